// 3 Run state
#include <windows.h>

#include "contract/client_registry.h"
#include "contract/named_objects.h"
#include "contract/service_names.h"
#include "contract/setup_result_key.h"
#include "daxcheck/gates.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"
#include "upgrade/controller.h"
#include "upgrade/run_objects.h"

namespace daxcheck {

namespace {

std::string ServiceState(const char* name, bool& installed) {
  installed = false;
  platform::UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return "unknown";
  platform::UniqueServiceHandle service(::OpenServiceA(manager.get(), name, SERVICE_QUERY_STATUS));
  if (!service) return "not installed";
  installed = true;
  SERVICE_STATUS status = {};
  if (!::QueryServiceStatus(service.get(), &status)) return "unknown";
  switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    case SERVICE_RUNNING:
      return "running";
    default:
      return "other";
  }
}

const char* PrivateGuardText(platform::PrivateGuard::State state) {
  switch (state) {
    case platform::PrivateGuard::State::kUnavailable:
      return "no private namespaces on this system";
    case platform::PrivateGuard::State::kRefused:
      return "cannot be opened";
    case platform::PrivateGuard::State::kHeld:
      return "held";
    default:
      return "free";
  }
}

// The run guards as the verbs see them, asked by opening, never by creating, so that the check
// leaves no object behind and takes nothing from a run that starts meanwhile. A public guard of
// another account is shown; the run and the verbs record it and go on.
bool ReportRunGuards(Json& gate, const upgrade::RunLook& look) {
  const bool foreign = look.publicGuard.found == platform::Found::kForeign;
  const bool held = look.publicGuard.found == platform::Found::kOwn ||
                    look.privateGuard == platform::PrivateGuard::State::kHeld;
  Json guard = {{"name", look.publicName}, {"held", held}};
  guard["private_guard"] = PrivateGuardText(look.privateGuard);
  guard["made_by_another_account"] = foreign;
  if (foreign) guard["owner"] = platform::ForeignOwnerText(look.publicGuard);
  gate["run_guard"] = guard;
  return held;
}

const char* PathName(upgrade::RunPath path) {
  switch (path) {
    case upgrade::RunPath::kFirstTime:
      return "first time";
    case upgrade::RunPath::kCounted:
      return "counted, with setup";
    case upgrade::RunPath::kAlreadySucceeded:
      return "already done";
    case upgrade::RunPath::kFailedBefore:
      return "counted, without setup";
  }
  return "unknown";
}

// The setup result key as the service sees it: LocalSystem's classes are the machine's, so the
// caller's own HKCU\Software\Classes, which HKCR merges in for the check, is left out.
constexpr char kMachineSetupResultKey[] = "SOFTWARE\\Classes\\TSSAFILE\\{DCCB9E52-6A84A746}";

bool ReadMachineSetupResult(DWORD& code) {
  return platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kMachineSetupResultKey,
                                     contract::kSetupResultValue, 0, code);
}

// True when this process is not LocalSystem: what the service may open or delete can then read
// as refused here, and the other way round.
bool RunsWithoutTheServicesRights() {
  BYTE sid[SECURITY_MAX_SID_SIZE] = {};
  DWORD size = sizeof(sid);
  BOOL member = FALSE;
  if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, sid, &size) ||
      !::CheckTokenMembership(nullptr, sid, &member)) {
    return true;
  }
  return !member;
}

// The run's values in the client key and the code in the setup result key.
struct RunValues {
  bool launchFound = false;
  DWORD launchSetup = 0;
  bool setupResultFound = false;
  DWORD setupResult = 0;
};

RunValues ReportRunValues(Json& gate) {
  RunValues run;
  DWORD status = 0, result = 0;
  run.launchFound = contract::ReadClientDword(contract::kLaunchSetupValue, run.launchSetup);
  const bool statusFound = contract::ReadClientDword(contract::kSetupStatusValue, status);
  const bool resultFound = contract::ReadClientDword(contract::kInstResultValue, result);
  run.setupResultFound = ReadMachineSetupResult(run.setupResult);
  Json values;
  values["LaunchSetup"] = OptionalDword(run.launchFound, run.launchSetup);
  values["DaxSetupStatus"] = OptionalDword(statusFound, status);
  values["DaxInstResult"] = OptionalDword(resultFound, result);
  gate["client_values"] = values;
  gate["setup_result_key"] = std::string("HKLM\\") + kMachineSetupResultKey;
  gate["setup_result"] = OptionalDword(run.setupResultFound, run.setupResult);
  return run;
}

// Whether the service is installed.
bool ReportService(Json& gate) {
  bool installed = false;
  Json serviceJson;
  serviceJson["name"] = contract::kServiceName;
  serviceJson["state"] = ServiceState(contract::kServiceName, installed);
  serviceJson["installed"] = installed;
  gate["service"] = serviceJson;
  return installed;
}

// On a path with setup the run first deletes the code left from before; one it cannot delete
// keeps setup from running. True when that code stays. The run opens the key for deleting
// whatever "Default" holds, so the open is tried whenever the key is there.
bool EarlierCodeStays(Json& gate, upgrade::RunPath path) {
  if (!upgrade::RunPathRunsSetup(path)) return false;
  platform::UniqueRegKey key;
  const LONG opened =
      ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMachineSetupResultKey, 0, KEY_SET_VALUE, key.put());
  if (opened == ERROR_FILE_NOT_FOUND) return false;
  const bool stays = opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND;
  gate["earlier_setup_result_deletable"] = !stays;
  return stays;
}

void StopForRunState(Json& gate, bool guardHeld, upgrade::RunPath path, bool earlierCodeStays) {
  if (guardHeld) {
    Stop(gate, std::string("the run guard \"") + contract::kRunGuardMutexName +
                   "\" is held: -install and -start refuse, and a run would stop at once");
  }
  if (path == upgrade::RunPath::kAlreadySucceeded) {
    Stop(gate,
         "the setup result holds 99: setup already succeeded for this package, the run "
         "ends as succeeded without setup",
         RunStep::kRunPath);
  } else if (path == upgrade::RunPath::kFailedBefore) {
    Stop(gate,
         "LaunchSetup shows setup was run for this package before: the run ends as "
         "failed without setup",
         RunStep::kRunPath);
  }
  if (earlierCodeStays) {
    Stop(gate, "the setup result left from before cannot be deleted: the run does not start setup",
         RunStep::kEarlierCode);
  }
}

}  // namespace

Json RunStateGate() {
  Json gate = Gate(3, "run_state");
  gate["client_key"] = std::string("HKLM\\") + contract::kClientKeyPath;
  gate["client_view"] = (contract::ClientRegistryView() & KEY_WOW64_64KEY) ? "64-bit" : "32-bit";
  const RunValues run = ReportRunValues(gate);
  const bool installed = ReportService(gate);
  const upgrade::RunLook look = upgrade::LookForARun();
  const bool guardHeld = ReportRunGuards(gate, look);
  if (look.serviceActive) {
    Stop(gate, "the service \"" + std::string(contract::kServiceName) +
                   "\" is not stopped: -install and -start refuse");
  }

  // -install over an existing service deletes "LaunchSetup": the run that follows is a first
  // run whatever the value says now.
  const bool launchSeen = run.launchFound && !installed;
  const upgrade::RunPath path =
      upgrade::ChooseRunPath(launchSeen, run.launchSetup, run.setupResult);
  gate["path"] = PathName(path);
  gate["launch_setup_deleted_by_install"] = run.launchFound && installed;
  gate["path_runs_setup"] = upgrade::RunPathRunsSetup(path);

  const bool earlierCodeStays = EarlierCodeStays(gate, path);
  if (RunsWithoutTheServicesRights()) {
    gate["rights_note"] =
        "the check runs without the rights of the service (LocalSystem): a key the service may "
        "delete or a file it may open can read here as refused, and the other way round";
  }
  StopForRunState(gate, guardHeld, path, earlierCodeStays);
  return gate;
}

}  // namespace daxcheck
