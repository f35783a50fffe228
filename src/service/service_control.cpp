#include "service/service_control.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "contract/event_report.h"
#include "contract/service_names.h"
#include "diag/log.h"
#include "platform/last_error.h"
#include "platform/module_path.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "service/resource_ids.h"
#include "service/service_runtime.h"
#include "service/service_wait.h"

namespace service {

using contract::kServiceDisplayName;
using contract::kServiceName;
using diag::LogLine;
using platform::LastErrorText;

namespace {

// An empty dependency list: a multi-string that ends at once.
constexpr wchar_t kNoDependencies[] = L"\0";
constexpr DWORD kInteractiveOwnProcess = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;

// The service's names in UTF-16: the service is registered through the wide functions, so that
// the image path reaches the Service Control Manager as the system gave it, never through a
// conversion that may best-fit a character into another folder's name.
std::wstring Wide(const char* text) { return platform::WidenToNulStrict(text); }

// The executable's own full path enclosed in double quotes, as the Service Control Manager is to
// start it. False (with the last error set) when the path cannot be had whole; a path without an
// exact narrow form is refused with an entry, since every run would read its package folder as
// another folder.
bool QuotedImagePath(std::wstring& imagePath) {
  std::string path;
  std::wstring widePath;
  switch (platform::ReadOwnModulePath(path, &widePath)) {
    case platform::ModulePathRead::kRead:
      imagePath = L"\"" + widePath + L"\"";
      return true;
    case platform::ModulePathRead::kNotExact:
      contract::RecordEvent(contract::EventKind::kError, contract::EventId::kModulePathNotExact,
                            "DaxInst: the package folder of " +
                                platform::NarrowWithoutBestFit(widePath) +
                                " has no exact name in the ANSI code page. The service is not "
                                "registered");
      ::SetLastError(ERROR_INVALID_NAME);
      return false;
    case platform::ModulePathRead::kUnavailable:
      break;
  }
  // A cut path would name another file.
  ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return false;
}

// Own process plus interactive before Windows Vista, own process only from then on or when the
// version cannot be had.
DWORD ServiceTypeForThisSystem() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
  if (::GetVersionExA(&version) && version.dwMajorVersion < 6) return kInteractiveOwnProcess;
  return SERVICE_WIN32_OWN_PROCESS;
}

std::wstring ServiceDescription() {
  wchar_t text[256] = {};
  if (::LoadStringW(::GetModuleHandleW(nullptr), IDS_SERVICE_DESCRIPTION, text,
                    static_cast<int>(sizeof(text) / sizeof(text[0]))) <= 0) {
    return {};
  }
  return text;
}

platform::UniqueServiceHandle OpenManager(DWORD access) {
  return platform::UniqueServiceHandle(::OpenSCManagerA(nullptr, nullptr, access));
}

// Sends the stop control and, when the service accepts it, waits for it to stop.
void StopIfRunning(SC_HANDLE serviceHandle) {
  if (!::ControlService(serviceHandle, SERVICE_CONTROL_STOP, &serviceStatus)) return;
  ScmWaitEnvironment environment(serviceHandle);
  WaitForServiceStop(environment);
}

// Opens the manager and the agent's service with all access; a failure is logged the way every
// operation reports it.
bool OpenAgentService(platform::UniqueServiceHandle& manager,
                      platform::UniqueServiceHandle& existing) {
  manager = OpenManager(SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    LogLine("OpenSCManager failed - ", LastErrorText());
    return false;
  }
  existing.reset(::OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!existing) {
    LogLine("OpenService failed - ", LastErrorText());
    return false;
  }
  return true;
}

}  // namespace

bool AgentServiceExists() {
  platform::UniqueServiceHandle manager = OpenManager(GENERIC_READ);
  if (!manager) return false;
  platform::UniqueServiceHandle existing(::OpenServiceA(manager.get(), kServiceName, GENERIC_READ));
  return existing.is_valid();
}

void CreateAgentService() {
  std::wstring imagePath;
  if (!QuotedImagePath(imagePath)) {
    LogLine("Unable to install ", kServiceDisplayName, " - ", LastErrorText());
    return;
  }
  platform::UniqueServiceHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    LogLine("OpenSCManager failed - ", LastErrorText());
    return;
  }
  platform::UniqueServiceHandle created(::CreateServiceW(
      manager.get(), Wide(kServiceName).c_str(), Wide(kServiceDisplayName).c_str(),
      SERVICE_ALL_ACCESS, ServiceTypeForThisSystem(), SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      imagePath.c_str(), nullptr, nullptr, kNoDependencies, nullptr, nullptr));
  if (!created) {
    LogLine("CreateService failed - ", LastErrorText());
    return;
  }
  std::wstring description = ServiceDescription();
  SERVICE_DESCRIPTIONW descriptionInfo = {&description[0]};
  if (!::ChangeServiceConfig2W(created.get(), SERVICE_CONFIG_DESCRIPTION, &descriptionInfo)) {
    LogLine("Fail to add service description");
  }
  LogLine(kServiceDisplayName, " installed.");
}

void ReconfigureAgentService() {
  std::wstring imagePath;
  if (!QuotedImagePath(imagePath)) {
    LogLine("Unable to change ", kServiceDisplayName, " - ", LastErrorText());
    return;
  }
  platform::UniqueServiceHandle manager;
  platform::UniqueServiceHandle existing;
  if (!OpenAgentService(manager, existing)) return;
  // Account and password stay as they are; so does the description.
  if (!::ChangeServiceConfigW(existing.get(), kInteractiveOwnProcess, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr,
                              kNoDependencies, nullptr, nullptr,
                              Wide(kServiceDisplayName).c_str())) {
    LogLine("Change service config error - ", kServiceDisplayName, " - ", LastErrorText());
  }
}

void RemoveAgentService() {
  platform::UniqueServiceHandle manager;
  platform::UniqueServiceHandle existing;
  if (!OpenAgentService(manager, existing)) return;
  // A service that is not running refuses the stop control; it is deleted all the same.
  StopIfRunning(existing.get());
  if (::DeleteService(existing.get())) {
    LogLine(kServiceDisplayName, " removed.");
  } else {
    LogLine("DeleteService failed - ", LastErrorText());
  }
}

void StopAgentService() {
  platform::UniqueServiceHandle manager;
  platform::UniqueServiceHandle existing;
  if (!OpenAgentService(manager, existing)) return;
  StopIfRunning(existing.get());
}

void MarkAgentServiceSpent() {
  platform::UniqueServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
  if (!manager) return;
  platform::UniqueServiceHandle own(
      ::OpenServiceA(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG));
  if (!own ||
      !::ChangeServiceConfigA(own.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    LogLine("DaxInst: Cannot mark the service of this run as spent - ", LastErrorText());
  }
}

namespace {

enum class Registration { kAbsent, kInUse, kSpent };

Registration AgentRegistration() {
  platform::UniqueServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
  if (!manager) return Registration::kInUse;
  platform::UniqueServiceHandle existing(
      ::OpenServiceA(manager.get(), kServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
  if (!existing) {
    return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? Registration::kAbsent
                                                            : Registration::kInUse;
  }
  // A change that changes nothing is the one question the SCM answers with "marked for deletion".
  if (!::ChangeServiceConfigA(existing.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr) &&
      ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE) {
    return Registration::kSpent;
  }
  DWORD needed = 0;
  ::QueryServiceConfigA(existing.get(), nullptr, 0, &needed);
  if (needed == 0) return Registration::kInUse;
  std::vector<unsigned char> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (!::QueryServiceConfigA(existing.get(), config, needed, &needed)) return Registration::kInUse;
  return config->dwStartType == SERVICE_DISABLED ? Registration::kSpent : Registration::kInUse;
}

constexpr DWORD kRegistrationPoll = 250;

}  // namespace

void WaitForFinishedRunRemoval(const char* tag) {
  const DWORD began = ::GetTickCount();
  while (AgentRegistration() == Registration::kSpent) {
    if (::GetTickCount() - began >= kFinishedRunWait) {
      contract::RecordEvent(
          contract::EventKind::kWarning, contract::EventId::kFinishedRunStillRegistered,
          std::string(tag) + " The service of a finished upgrade run is still registered after " +
              std::to_string(kFinishedRunWait / 1000) + " s; going on.");
      return;
    }
    ::Sleep(kRegistrationPoll);
  }
}

bool AgentServiceIsSpent() { return AgentRegistration() == Registration::kSpent; }

void StartStatus() {
  platform::UniqueServiceHandle manager;
  platform::UniqueServiceHandle existing;
  if (!OpenAgentService(manager, existing)) return;

  // The run takes this number as the process that started it.
  char processId[32];
  const int length = std::snprintf(processId, sizeof(processId), "%lu",
                                   static_cast<unsigned long>(::GetCurrentProcessId()));
  const char* arguments[1] = {processId};
  const bool withArgument = length > 0 && static_cast<size_t>(length) < sizeof(processId);
  if (!::StartServiceA(existing.get(), withArgument ? 1 : 0, withArgument ? arguments : nullptr)) {
    LogLine("StartService failed - ", LastErrorText());
    return;
  }
  ScmWaitEnvironment environment(existing.get());
  WaitForServiceStart(environment);
}

}  // namespace service
