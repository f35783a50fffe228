#include "service/verbs.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "contract/client_registry.h"
#include "contract/named_objects.h"
#include "contract/service_names.h"
#include "diag/log.h"
#include "platform/module_path.h"
#include "platform/unique_handle.h"
#include "service/event_message_file.h"
#include "service/process_entry.h"
#include "service/service_control.h"
#include "upgrade/package_ground.h"
#include "upgrade/run_objects.h"

namespace service {

using diag::LogLine;

namespace {

// Only an administrator may open this key with all access.
bool IsNtAdministrator() {
  platform::UniqueRegKey key;
  return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_ALL_ACCESS,
                         key.put()) == ERROR_SUCCESS;
}

// True while the Service Control Manager shows the service anything but stopped, or a run holds
// its guard.
// The look creates nothing; a run guard of another account does not count, and is recorded.
bool RunGuardIsHeld(const char* tag) { return upgrade::RunInProgressForVerb(tag); }

// The service would run as LocalSystem what another account may change: it is not registered.
bool PackageFolderIsSafe() {
  std::string modulePath;
  if (!platform::GetOwnModulePath(modulePath)) return false;
  return upgrade::PackageGroundIsSafe(modulePath.substr(0, modulePath.find_last_of('\\')),
                                      "The service is not installed.");
}

void DeleteLaunchSetup() { contract::DeleteClientValue(contract::kLaunchSetupValue); }

}  // namespace

const VerbEntry* MatchVerb(const char* argument) {
  static const VerbEntry kVerbs[] = {
      {"-install", mfn_Install},  {"-uninstall", mfn_UnInstall}, {"-start", mfn_StartService},
      {"-stop", mfn_StopService}, {"-debug", ConfirmDebugMode},
  };
  if (!argument || !*argument) return nullptr;
  for (const VerbEntry& verb : kVerbs) {
    if (std::strstr(argument, verb.name)) return &verb;
  }
  return nullptr;
}

void mfn_Install() {
  LogLine("<mfn_Install> Begin.");
  const bool nt = GetPlatformKind() == kPlatformNt;
  if (nt && !IsNtAdministrator()) {
    LogLine("<mfn_Install> not a NT administartor user.");
    return;
  }
  // A finished run's service is still registered, and may still show running, until its
  // -uninstall child has removed it: wait for that before asking whether a run is in progress.
  if (nt) WaitForFinishedRunRemoval("<mfn_Install>");
  if (RunGuardIsHeld("<mfn_Install>")) {
    LogLine("<mfn_Install>", "daxinst.exe is running, please stop and uninstall it first");
    return;
  }
  if (!PackageFolderIsSafe()) return;
  if (nt) InstallEventMessageFile();
  if (!nt) {
    LogLine("The system isn't Windows NT.");
  } else {
    if (AgentServiceExists()) {
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
  // Held until "LaunchSetup" is gone: the deleted service stays marked for deletion until then,
  // so a next package's -install waits for it, and the next run's counter is not deleted here.
  platform::UniqueServiceHandle manager;
  platform::UniqueServiceHandle held;
  if (!nt) {
    LogLine("The system isn't Windows NT.");
  } else {
    manager.reset(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager) {
      held.reset(::OpenServiceA(manager.get(), contract::kServiceName, SERVICE_QUERY_STATUS));
    }
    // The end of a run keeps the event source: the entries of past runs keep their text. The
    // spent mark is the SCM's, which only an administrator or the run itself can set.
    const bool endOfARun = AgentServiceIsSpent();
    RemoveAgentService();
    if (!endOfARun) RemoveEventMessageFile();
  }
  // In both views: the run being removed chose its view when it began, and a setup that installed
  // or removed "daxService" since then has moved the view the next run chooses.
  contract::DeleteClientValueInBothViews(contract::kLaunchSetupValue);
  LogLine("<mfn_UnInstall> End.");
}

void mfn_StartService() {
  LogLine("<mfn_StartService> Begin.");
  const bool nt = GetPlatformKind() == kPlatformNt;
  if (nt) WaitForFinishedRunRemoval("<mfn_StartService>");
  if (RunGuardIsHeld("<mfn_StartService>")) {
    LogLine("<mfn_StartService> Create Mutex of daxinstall_exist failed.");
    return;
  }
  if (!nt) {
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

}  // namespace service
