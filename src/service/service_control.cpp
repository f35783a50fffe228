#include "service/service_control.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "diag/log.h"
#include "platform/unique_handle.h"
#include "service/process_entry.h"
#include "service/resource_ids.h"
#include "service/service_runtime.h"
#include "upgrade/controller.h"

namespace service {

using diag::LogLine;

const char* LastErrorText() {
  static char buffer[256];
  char* message = nullptr;
  // Some system messages hold inserts ("%1 is not a valid Win32 application."); with no
  // arguments to fill them, they must be left as they are rather than read from nowhere.
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, ::GetLastError(), LANG_NEUTRAL, reinterpret_cast<char*>(&message), 0, nullptr);
  platform::UniqueLocalMemory owned(message);
  if (length == 0 || !message || length + 14 > sizeof(buffer)) {
    buffer[0] = '\0';
    return buffer;
  }
  // The system's text ends in a line break.
  message[length >= 2 ? length - 2 : 0] = '\0';
  std::snprintf(buffer, sizeof(buffer), "%s (0x%lx)", message, ::GetLastError());
  return buffer;
}

bool IsServiceInstalled(const char* serviceName) {
  // Loaded by full path from the system directory so that no advapi32.dll planted in the
  // package folder is picked up.
  char systemDirectory[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryA(systemDirectory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::string libraryPath = std::string(systemDirectory) + "\\advapi32.dll";
  platform::UniqueLibrary advapi(::LoadLibraryA(libraryPath.c_str()));
  if (!advapi) return false;

  using OpenSCManagerFn = SC_HANDLE(WINAPI*)(LPCSTR, LPCSTR, DWORD);
  using OpenServiceFn = SC_HANDLE(WINAPI*)(SC_HANDLE, LPCSTR, DWORD);
  using QueryServiceStatusFn = BOOL(WINAPI*)(SC_HANDLE, LPSERVICE_STATUS);
  using CloseServiceHandleFn = BOOL(WINAPI*)(SC_HANDLE);
  auto lookUp = [&advapi](const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(advapi.get(), name));
  };
  auto openManager = reinterpret_cast<OpenSCManagerFn>(lookUp("OpenSCManagerA"));
  auto openService = reinterpret_cast<OpenServiceFn>(lookUp("OpenServiceA"));
  auto queryStatus = reinterpret_cast<QueryServiceStatusFn>(lookUp("QueryServiceStatus"));
  auto closeHandle = reinterpret_cast<CloseServiceHandleFn>(lookUp("CloseServiceHandle"));
  if (!openManager || !openService || !queryStatus || !closeHandle) return false;

  SC_HANDLE manager = openManager(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  bool installed = false;
  if (SC_HANDLE serviceHandle = openService(manager, serviceName, SERVICE_QUERY_STATUS)) {
    closeHandle(serviceHandle);
    installed = true;
  }
  closeHandle(manager);
  return installed;
}

int DeleteRegistryValue(HKEY root, const char* subKey, const char* valueName, REGSAM view) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(root, subKey, 0, KEY_ALL_ACCESS | view, key.put()) != ERROR_SUCCESS) {
    return 1;
  }
  return ::RegDeleteValueA(key.get(), valueName) == ERROR_SUCCESS ? 0 : 1;
}

int WriteRegistryDword(HKEY root, const char* subKey, const char* valueName, DWORD value,
                       REGSAM view) {
  platform::UniqueRegKey key;
  if (::RegCreateKeyExA(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | view,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return 1;
  }
  return ::RegSetValueExA(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS
             ? 0
             : 1;
}

REGSAM ClientRegistryView() {
  return IsServiceInstalled(kClientServiceName) ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

namespace {

// An empty dependency list: a multi-string that ends at once.
constexpr char kNoDependencies[] = "\0";
constexpr DWORD kInteractiveOwnProcess = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
constexpr DWORD kPollInterval = 1000;
constexpr DWORD kLongestStartPoll = 10000;

// Only an administrator may open this key with all access.
bool IsNtAdministrator() {
  platform::UniqueRegKey key;
  return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_ALL_ACCESS,
                         key.put()) == ERROR_SUCCESS;
}

// True while an upgrade run holds the run-guard mutex, or when it exists but may not be opened.
// The probe creates the mutex only for a moment and never owns it.
bool RunGuardIsHeld() {
  ::SetLastError(ERROR_SUCCESS);
  platform::UniqueKernelHandle probe(::CreateMutexA(nullptr, FALSE, kRunGuardMutexName));
  const DWORD error = ::GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED;
}

void DeleteLaunchSetup() {
  DeleteRegistryValue(HKEY_LOCAL_MACHINE, kClientKeyPath, upgrade::kLaunchSetupValue,
                      ClientRegistryView());
}

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

class ScmWaitEnvironment final : public ServiceWaitEnvironment {
 public:
  explicit ScmWaitEnvironment(SC_HANDLE serviceHandle) : service_(serviceHandle) {}
  bool QueryStatus(SERVICE_STATUS& status) override {
    return ::QueryServiceStatus(service_, &status) != FALSE;
  }
  void Pause(DWORD milliseconds) override { ::Sleep(milliseconds); }
  DWORD TickCount() override { return ::GetTickCount(); }

 private:
  SC_HANDLE service_;
};

// Sends the stop control and, when the service accepts it, waits for it to stop.
void StopIfRunning(SC_HANDLE serviceHandle) {
  if (!::ControlService(serviceHandle, SERVICE_CONTROL_STOP, &serviceStatus)) return;
  ScmWaitEnvironment environment(serviceHandle);
  WaitForServiceStop(environment);
}

void LogStatusLine(const char* format, DWORD value) {
  char line[256];
  std::snprintf(line, sizeof(line), format, static_cast<int>(value));
  LogLine(line);
}

}  // namespace

void mfn_Install() {
  LogLine("<mfn_Install> Begin.");
  const bool nt = GetPlatformKind() == kPlatformNt;
  if (nt && !IsNtAdministrator()) {
    LogLine("<mfn_Install> not a NT administartor user.");
    return;
  }
  if (RunGuardIsHeld()) {
    LogLine("<mfn_Install>", "daxinst.exe is running, please stop and uninstall it first");
    return;
  }
  if (!nt) {
    LogLine("The system isn't Windows NT.");
  } else {
    bool exists = false;
    {
      platform::UniqueServiceHandle manager = OpenManager(GENERIC_READ);
      if (manager) {
        platform::UniqueServiceHandle existing(
            ::OpenServiceA(manager.get(), kServiceName, GENERIC_READ));
        exists = existing.is_valid();
      }
    }
    if (exists) {
      // A new package over an installed agent: its next run is a first run.
      DeleteLaunchSetup();
      LogLine("<mfn_Install> daxinst service already exist.");
      ReconfigureAgentService();
      LogLine("<mfn_Install> change service config.modify image path.");
      return;
    }
    LogLine("<mfn_Install> Begin to install daxinst service.");
    CreateAgentService();
  }
  LogLine("<mfn_Install> End.");
}

void mfn_UnInstall() {
  LogLine("<mfn_UnInstall> Begin.");
  const bool nt = GetPlatformKind() == kPlatformNt;
  if (nt && !IsNtAdministrator()) return;
  if (!nt) {
    LogLine("The system isn't Windows NT.");
  } else {
    RemoveAgentService();
  }
  DeleteLaunchSetup();
  LogLine("<mfn_UnInstall> End.");
}

void mfn_StartService() {
  LogLine("<mfn_StartService> Begin.");
  if (RunGuardIsHeld()) {
    LogLine("<mfn_StartService> Create Mutex of daxinstall_exist failed.");
    return;
  }
  if (GetPlatformKind() != kPlatformNt) {
    LogLine("The system isn't Windows NT.");
  } else {
    StartStatus();
  }
  LogLine("<mfn_StartService> End.");
}

void mfn_StopService() {
  if (GetPlatformKind() != kPlatformNt) {
    LogLine("The system isn't Windows NT.");
  } else {
    StopAgentService();
  }
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

namespace {

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

void WaitForServiceStart(ServiceWaitEnvironment& environment) {
  std::string progress = std::string("Starting ") + kServiceDisplayName;
  LogLine(progress);

  // A failed query leaves the last status that was seen.
  SERVICE_STATUS polled = {};
  environment.Pause(kPollInterval);
  if (!environment.QueryStatus(polled)) {
    LogLine("QueryServiceStatus failed - ", LastErrorText());
    return;
  }
  serviceStatus = polled;

  DWORD progressTick = environment.TickCount();
  DWORD lastCheckPoint = serviceStatus.dwCheckPoint;
  while (serviceStatus.dwCurrentState == SERVICE_START_PENDING) {
    // A tenth of the service's own estimate, within one and ten seconds.
    DWORD pause = serviceStatus.dwWaitHint / 10;
    if (pause < kPollInterval) pause = kPollInterval;
    if (pause > kLongestStartPoll) pause = kLongestStartPoll;
    environment.Pause(pause);

    if (!environment.QueryStatus(polled)) {
      LogLine("QueryServiceStatus failed - ", LastErrorText());
      break;
    }
    serviceStatus = polled;
    // Running or stopped reports carry check point 0 and usually no wait hint: judged as a
    // pending report they would read as a stall and log a false "no progress" line.
    if (serviceStatus.dwCurrentState != SERVICE_START_PENDING) break;
    if (serviceStatus.dwCheckPoint > lastCheckPoint) {
      lastCheckPoint = serviceStatus.dwCheckPoint;
      progressTick = environment.TickCount();
    } else if (environment.TickCount() - progressTick > serviceStatus.dwWaitHint) {
      LogLine("StartStatus - No progress made within the wait hint");
      break;
    }
    progress += ".";
    LogLine(progress);
  }

  if (serviceStatus.dwCurrentState == SERVICE_RUNNING) {
    LogLine(kServiceDisplayName, " started.");
    return;
  }
  LogLine(kServiceDisplayName, " failed to start.");
  LogStatusLine("  Current State: %d\n", serviceStatus.dwCurrentState);
  LogStatusLine("  Exit Code: %d\n", serviceStatus.dwWin32ExitCode);
  LogStatusLine("  Service Specific Exit Code: %d\n", serviceStatus.dwServiceSpecificExitCode);
  LogStatusLine("  Check Point: %d\n", serviceStatus.dwCheckPoint);
  LogStatusLine("  Wait Hint: %d\n", serviceStatus.dwWaitHint);
  LogStatusLine("  Last Error Code: %d\n", ::GetLastError());
}

void WaitForServiceStop(ServiceWaitEnvironment& environment) {
  std::string progress = std::string("Stopping ") + kServiceDisplayName;
  LogLine(progress);

  SERVICE_STATUS polled = {};
  environment.Pause(kPollInterval);
  int polls = 1;
  bool queried = environment.QueryStatus(polled);
  if (queried) serviceStatus = polled;
  while (queried && serviceStatus.dwCurrentState == SERVICE_STOP_PENDING && polls < kMaxStopPolls) {
    progress += ".";
    LogLine(progress);
    environment.Pause(kPollInterval);
    ++polls;
    queried = environment.QueryStatus(polled);
    if (queried) serviceStatus = polled;
  }

  LogLine(kServiceDisplayName,
          serviceStatus.dwCurrentState == SERVICE_STOPPED ? " stopped." : " failed to stop.");
}

}  // namespace service
