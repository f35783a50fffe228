#include "service/service_control.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "contract/event_report.h"
#include "contract/service_names.h"
#include "diag/log.h"
#include "platform/last_error.h"
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
constexpr char kNoDependencies[] = "\0";
constexpr DWORD kInteractiveOwnProcess = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;

// The executable's own full path enclosed in double quotes, as the Service Control Manager is to
// start it. False (with the last error set) when the path cannot be had whole.
bool QuotedImagePath(std::string& imagePath) {
  char path[512] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof(path));
  if (length == 0) return false;
  if (length >= sizeof(path)) {
    // A cut path would name another file.
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  imagePath = std::string("\"") + path + "\"";
  return true;
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

std::string ServiceDescription() {
  char text[256] = {};
  if (::LoadStringA(::GetModuleHandleA(nullptr), IDS_SERVICE_DESCRIPTION, text, sizeof(text)) <=
      0) {
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
  std::string imagePath;
  if (!QuotedImagePath(imagePath)) {
    LogLine("Unable to install ", kServiceDisplayName, " - ", LastErrorText());
    return;
  }
  platform::UniqueServiceHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    LogLine("OpenSCManager failed - ", LastErrorText());
    return;
  }
  platform::UniqueServiceHandle created(
      ::CreateServiceA(manager.get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                       ServiceTypeForThisSystem(), SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       imagePath.c_str(), nullptr, nullptr, kNoDependencies, nullptr, nullptr));
  if (!created) {
    LogLine("CreateService failed - ", LastErrorText());
    return;
  }
  std::string description = ServiceDescription();
  SERVICE_DESCRIPTIONA descriptionInfo = {&description[0]};
  if (!::ChangeServiceConfig2A(created.get(), SERVICE_CONFIG_DESCRIPTION, &descriptionInfo)) {
    LogLine("Fail to add service description");
  }
  LogLine(kServiceDisplayName, " installed.");
}

void ReconfigureAgentService() {
  std::string imagePath;
  if (!QuotedImagePath(imagePath)) {
    LogLine("Unable to change ", kServiceDisplayName, " - ", LastErrorText());
    return;
  }
  platform::UniqueServiceHandle manager;
  platform::UniqueServiceHandle existing;
  if (!OpenAgentService(manager, existing)) return;
  // Account and password stay as they are; so does the description.
  if (!::ChangeServiceConfigA(existing.get(), kInteractiveOwnProcess, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr,
                              kNoDependencies, nullptr, nullptr, kServiceDisplayName)) {
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
