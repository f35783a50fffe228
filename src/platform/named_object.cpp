#include "platform/named_object.h"

#include <sddl.h>

#include <vector>

#include "platform/owner_check.h"

namespace platform {

namespace {

constexpr char kGlobalPrefix[] = "Global\\";

bool SaysWhereItLives(const std::string& name) {
  return name.rfind(kGlobalPrefix, 0) == 0 || name.rfind("Local\\", 0) == 0 ||
         name.rfind("Session\\", 0) == 0;
}

DWORD SessionOf(DWORD processId, bool& known) {
  DWORD session = 0;
  known = ::ProcessIdToSessionId(processId, &session) != FALSE;
  return known ? session : 0;
}

HANDLE OpenByKind(ObjectKind kind, DWORD access, const char* name) {
  return kind == ObjectKind::kMutex ? ::OpenMutexA(access, FALSE, name)
                                    : ::OpenEventA(access, FALSE, name);
}

// Decides an existing object by its owner; drops the handle of a foreign one.
void DecideByOwner(NamedObject& object) {
  const auto owner = ReadOwner(object.handle.get(), SE_KERNEL_OBJECT, OwnerRule::kKernelObject);
  if (owner) object.owner = owner->sid;
  if (owner && owner->trusted) {
    object.found = Found::kOwn;
    return;
  }
  object.found = Found::kForeign;
  object.handle.reset();
}

// A name that exists but cannot be opened as asked: its owner, where a handle for reading it can
// be had, for the record.
void ReadOwnerOfUnopenable(ObjectKind kind, const std::string& name, NamedObject& object) {
  UniqueKernelHandle reader(OpenByKind(kind, READ_CONTROL, name.c_str()));
  if (!reader) return;
  if (const auto owner = ReadOwner(reader.get(), SE_KERNEL_OBJECT, OwnerRule::kKernelObject)) {
    object.owner = owner->sid;
  }
}

bool IsAbsent(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::string NameInServicesNamespace(const std::string& plain, DWORD ownSession,
                                    DWORD servicesSession) {
  if (ownSession == servicesSession || SaysWhereItLives(plain)) return plain;
  return kGlobalPrefix + plain;
}

DWORD ServicesSessionId() {
  UniqueServiceHandle manager(
      ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
  if (!manager) return 0;
  // One look is enough: a part of the list serves as well as the whole.
  std::vector<BYTE> buffer(64 * 1024);
  DWORD needed = 0;
  DWORD count = 0;
  DWORD resume = 0;
  if (!::EnumServicesStatusExA(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE,
                               buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count,
                               &resume, nullptr) &&
      ::GetLastError() != ERROR_MORE_DATA) {
    return 0;
  }
  const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    const DWORD processId = services[i].ServiceStatusProcess.dwProcessId;
    if (processId == 0) continue;
    bool known = false;
    const DWORD session = SessionOf(processId, known);
    if (known) return session;
  }
  return 0;
}

std::string ServiceObjectName(const char* plain) {
  // Asked once per process: neither session changes while it runs, and the stop routine, which
  // races the run's end, must not wait for the Service Control Manager's answer.
  static const struct Sessions {
    DWORD own;
    DWORD services;
  } sessions = [] {
    bool known = false;
    const DWORD own = SessionOf(::GetCurrentProcessId(), known);
    // Session 0's plain names are the global ones: no need to ask where services run.
    return Sessions{own, known && own == 0 ? own : ServicesSessionId()};
  }();
  return NameInServicesNamespace(plain, sessions.own, sessions.services);
}

std::optional<std::string> ProcessUserSidText() {
  HANDLE rawToken = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return std::nullopt;
  UniqueKernelHandle token(rawToken);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> buffer(size);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return std::nullopt;
  }
  LPSTR text = nullptr;
  if (!::ConvertSidToStringSidA(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid,
                                &text)) {
    return std::nullopt;
  }
  UniqueLocalMemory owned(text);
  return std::string(text);
}

bool ObjectDescriptor::Build(const std::string& dacl) {
  descriptor_.reset();
  const auto self = ProcessUserSidText();
  if (!self) return false;
  const std::string sddl = "O:" + *self + dacl;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return false;
  }
  descriptor_.reset(descriptor);
  attributes_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  return true;
}

NamedObject CreateNamedObject(ObjectKind kind, const std::string& name,
                              SECURITY_ATTRIBUTES* attributes, bool initialOwner) {
  NamedObject object;
  ::SetLastError(ERROR_SUCCESS);
  object.handle.reset(kind == ObjectKind::kMutex
                          ? ::CreateMutexA(attributes, initialOwner ? TRUE : FALSE, name.c_str())
                          : ::CreateEventA(attributes, TRUE, FALSE, name.c_str()));
  const DWORD error = ::GetLastError();
  if (!object.handle) {
    object.openError = error;
    object.found = Found::kForeign;
    ReadOwnerOfUnopenable(kind, name, object);
    return object;
  }
  if (error != ERROR_ALREADY_EXISTS) {
    object.found = Found::kCreated;
    return object;
  }
  DecideByOwner(object);
  return object;
}

NamedObject OpenNamedObject(ObjectKind kind, const std::string& name, DWORD access) {
  NamedObject object;
  object.handle.reset(OpenByKind(kind, access | READ_CONTROL, name.c_str()));
  if (!object.handle) {
    object.openError = ::GetLastError();
    if (IsAbsent(object.openError)) {
      object.found = Found::kAbsent;
      return object;
    }
    object.found = Found::kForeign;
    ReadOwnerOfUnopenable(kind, name, object);
    return object;
  }
  DecideByOwner(object);
  return object;
}

const char* ObjectKindText(ObjectKind kind) {
  return kind == ObjectKind::kMutex ? "the mutex" : "the event";
}

std::string ForeignOwnerText(const NamedObject& object) {
  std::string text = !object.owner.empty()               ? "owner " + object.owner
                     : object.openError == ERROR_SUCCESS ? std::string("no owner")
                                                         : std::string("owner unknown");
  if (object.openError != ERROR_SUCCESS) {
    text += ", cannot be opened: error " + std::to_string(object.openError);
  }
  return text;
}

}  // namespace platform
