#include "platform/process_query.h"

#include <tlhelp32.h>

#include "platform/unique_handle.h"

namespace platform {
namespace {

// Layout of ProcessBasicInformation; winternl.h hides the parent field behind a reserved name.
struct BasicProcessInformation {
  LONG exitStatus;
  void* pebBaseAddress;
  ULONG_PTR affinityMask;
  LONG basePriority;
  ULONG_PTR uniqueProcessId;
  ULONG_PTR inheritedFromUniqueProcessId;
};
constexpr int kProcessBasicInformation = 0;

// Holds SeDebugPrivilege enabled for its lifetime so that processes of other users can be opened,
// and puts the token back as it was afterwards.
class ScopedDebugPrivilege {
 public:
  ScopedDebugPrivilege() {
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                            token_.put())) {
      return;
    }
    TOKEN_PRIVILEGES wanted = {};
    if (!::LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &wanted.Privileges[0].Luid)) return;
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD previousSize = sizeof(previous_);
    adjusted_ = ::AdjustTokenPrivileges(token_.get(), FALSE, &wanted, sizeof(previous_), &previous_,
                                        &previousSize) != FALSE &&
                ::GetLastError() == ERROR_SUCCESS;
  }
  ~ScopedDebugPrivilege() {
    if (adjusted_) ::AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
  }
  ScopedDebugPrivilege(const ScopedDebugPrivilege&) = delete;
  ScopedDebugPrivilege& operator=(const ScopedDebugPrivilege&) = delete;

 private:
  UniqueKernelHandle token_;
  TOKEN_PRIVILEGES previous_ = {};
  bool adjusted_ = false;
};

bool LookUpInProcessList(DWORD processId, ProcessRecord& record) {
  UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32First(snapshot.get(), &entry); more;
       more = ::Process32Next(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == processId) {
      record.fileName = FileNameOf(entry.szExeFile);
      record.parentId = entry.th32ParentProcessID;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string FileNameOf(const std::string& path) {
  const auto cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool ProcessQuery::Initialise() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  if (!ntdll) return false;
  ntQueryInformationProcess_ = reinterpret_cast<NtQueryInformationProcessFn>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryInformationProcess")));
  return ntQueryInformationProcess_ != nullptr;
}

bool ProcessQuery::Query(DWORD processId, ProcessRecord& record) const {
  if (!ntQueryInformationProcess_) return false;
  ScopedDebugPrivilege privilege;

  UniqueKernelHandle process(
      ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  bool parentKnown = false;
  bool nameKnown = false;
  if (process) {
    BasicProcessInformation basic = {};
    ULONG returned = 0;
    if (ntQueryInformationProcess_(process.get(), kProcessBasicInformation, &basic, sizeof(basic),
                                   &returned) >= 0) {
      record.parentId = static_cast<DWORD>(basic.inheritedFromUniqueProcessId);
      parentKnown = true;
    }
    char image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (::QueryFullProcessImageNameA(process.get(), 0, image, &size)) {
      record.fileName = FileNameOf(image);
      nameKnown = true;
    }
  }
  if (parentKnown && nameKnown) return true;
  if (!nameKnown) LookUpInProcessList(processId, record);
  return false;
}

}  // namespace platform
