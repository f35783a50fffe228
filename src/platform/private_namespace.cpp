#include "platform/private_namespace.h"

#include <atomic>
#include <utility>

namespace platform {

namespace {

class SystemCalls final : public PrivateNamespaceCalls {
 public:
  SystemCalls() {
    // Always loaded in every process: looking it up loads nothing from the package folder.
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    createBoundary_ = LookUp<CreateBoundaryFn>(kernel, "CreateBoundaryDescriptorW");
    addSid_ = LookUp<AddSidFn>(kernel, "AddSIDToBoundaryDescriptor");
    deleteBoundary_ = LookUp<DeleteBoundaryFn>(kernel, "DeleteBoundaryDescriptor");
    createNamespace_ = LookUp<CreateNamespaceFn>(kernel, "CreatePrivateNamespaceW");
    openNamespace_ = LookUp<OpenNamespaceFn>(kernel, "OpenPrivateNamespaceW");
    closeNamespace_ = LookUp<CloseNamespaceFn>(kernel, "ClosePrivateNamespace");
  }

  bool Available() override {
    return createBoundary_ && addSid_ && deleteBoundary_ && createNamespace_ && openNamespace_ &&
           closeNamespace_;
  }
  HANDLE CreateBoundaryDescriptor(const wchar_t* name) override { return createBoundary_(name, 0); }
  bool AddSidToBoundaryDescriptor(HANDLE* boundary, PSID sid) override {
    return addSid_(boundary, sid) != FALSE;
  }
  void DeleteBoundaryDescriptor(HANDLE boundary) override { deleteBoundary_(boundary); }
  HANDLE CreatePrivateNamespace(SECURITY_ATTRIBUTES* attributes, HANDLE boundary,
                                const wchar_t* alias) override {
    return createNamespace_(attributes, boundary, alias);
  }
  HANDLE OpenPrivateNamespace(HANDLE boundary, const wchar_t* alias) override {
    return openNamespace_(boundary, alias);
  }
  // Without PRIVATE_NAMESPACE_FLAG_DESTROY: a run that opened the namespace keeps using it.
  void ClosePrivateNamespace(HANDLE privateNamespace) override {
    closeNamespace_(privateNamespace, 0);
  }

 private:
  using CreateBoundaryFn = HANDLE(WINAPI*)(LPCWSTR, ULONG);
  using AddSidFn = BOOL(WINAPI*)(HANDLE*, PSID);
  using DeleteBoundaryFn = VOID(WINAPI*)(HANDLE);
  using CreateNamespaceFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
  using OpenNamespaceFn = HANDLE(WINAPI*)(LPVOID, LPCWSTR);
  using CloseNamespaceFn = BOOLEAN(WINAPI*)(HANDLE, ULONG);

  template <typename Fn>
  static Fn LookUp(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  }

  CreateBoundaryFn createBoundary_ = nullptr;
  AddSidFn addSid_ = nullptr;
  DeleteBoundaryFn deleteBoundary_ = nullptr;
  CreateNamespaceFn createNamespace_ = nullptr;
  OpenNamespaceFn openNamespace_ = nullptr;
  CloseNamespaceFn closeNamespace_ = nullptr;
};

std::atomic<PrivateNamespaceCalls*> g_calls{nullptr};

bool IsAbsent(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

PrivateNamespaceCalls* UsePrivateNamespaceCallsForTesting(PrivateNamespaceCalls* calls) {
  return g_calls.exchange(calls);
}

PrivateNamespaceCalls& CurrentPrivateNamespaceCalls() {
  // Never destroyed: a guard that outlives main may still close its handles through it.
  static SystemCalls* const system = new SystemCalls;
  PrivateNamespaceCalls* calls = g_calls.load();
  return calls ? *calls : *system;
}

PrivateGuard::PrivateGuard(std::wstring alias, std::wstring mutexName)
    : alias_(std::move(alias)), mutexName_(std::move(mutexName)) {}

bool PrivateGuard::MakeBoundary() {
  PrivateNamespaceCalls& calls = CurrentPrivateNamespaceCalls();
  boundary_.reset(calls.CreateBoundaryDescriptor(alias_.c_str()));
  if (!boundary_) {
    error_ = ::GetLastError();
    return false;
  }
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(administrators);
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
    error_ = ::GetLastError();
    return false;
  }
  // The call may move the descriptor: it takes the handle's address.
  HANDLE boundary = boundary_.release();
  const bool added = calls.AddSidToBoundaryDescriptor(&boundary, administrators);
  error_ = ::GetLastError();
  boundary_.reset(boundary);
  return added;
}

PrivateGuard::State PrivateGuard::Take(SECURITY_ATTRIBUTES* namespaceAttributes,
                                       SECURITY_ATTRIBUTES* mutexAttributes) {
  Release();
  PrivateNamespaceCalls& calls = CurrentPrivateNamespaceCalls();
  if (!calls.Available()) return State::kUnavailable;
  if (!MakeBoundary()) {
    Release();
    return State::kRefused;
  }
  namespace_.reset(
      calls.CreatePrivateNamespace(namespaceAttributes, boundary_.get(), alias_.c_str()));
  if (!namespace_ && ::GetLastError() == ERROR_ALREADY_EXISTS) {
    namespace_.reset(calls.OpenPrivateNamespace(boundary_.get(), alias_.c_str()));
  }
  if (!namespace_) {
    error_ = ::GetLastError();
    Release();
    return State::kRefused;
  }
  ::SetLastError(ERROR_SUCCESS);
  mutex_.reset(::CreateMutexW(mutexAttributes, FALSE, MutexPath().c_str()));
  const DWORD error = ::GetLastError();
  if (mutex_ && error != ERROR_ALREADY_EXISTS) return State::kTaken;
  error_ = error;
  Release();
  // Only an administrator could have made a mutex there that the program may not open.
  return error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED ? State::kHeld
                                                                       : State::kRefused;
}

PrivateGuard::State PrivateGuard::Probe() {
  Release();
  PrivateNamespaceCalls& calls = CurrentPrivateNamespaceCalls();
  if (!calls.Available()) return State::kUnavailable;
  if (!MakeBoundary()) {
    Release();
    return State::kRefused;
  }
  // A run holds the namespace for as long as it holds the mutex: no namespace, no run.
  namespace_.reset(calls.OpenPrivateNamespace(boundary_.get(), alias_.c_str()));
  if (!namespace_) {
    error_ = ::GetLastError();
    Release();
    return IsAbsent(error_) ? State::kFree : State::kRefused;
  }
  UniqueKernelHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, MutexPath().c_str()));
  error_ = mutex ? ERROR_SUCCESS : ::GetLastError();
  mutex.reset();
  Release();
  if (error_ == ERROR_SUCCESS || error_ == ERROR_ACCESS_DENIED) return State::kHeld;
  return IsAbsent(error_) ? State::kFree : State::kRefused;
}

void PrivateGuard::Release() {
  mutex_.reset();
  namespace_.reset();
  boundary_.reset();
}

}  // namespace platform
