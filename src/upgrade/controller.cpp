#include "upgrade/controller.h"

#include <cstdlib>
#include <cstring>

#include "contract/client_registry.h"
#include "contract/named_objects.h"
#include "contract/setup_result_key.h"
#include "diag/current_exception.h"
#include "diag/log.h"
#include "platform/module_path.h"
#include "platform/process_query.h"
#include "platform/security_attributes.h"
#include "platform/unique_handle.h"
#include "upgrade/package_ground.h"

namespace upgrade {

using contract::kInstResultValue;
using contract::kLaunchSetupValue;
using contract::kSetupStatusValue;
using contract::ReadClientDword;
using contract::WriteClientDword;
using diag::LogLine;

namespace {

// Process-wide so that the end sequence closes exactly what the run opened, each at most once.
platform::UniqueKernelHandle g_stopEvent;
platform::UniqueKernelHandle g_runGuardMutex;
platform::UniqueKernelHandle g_serviceCtrlMutex;

void LogTagged(const char* message) { LogLine("<ServiceStart>", message); }

// For the lines after the run: a line that cannot be put together (out of memory) is lost, and
// the end sequence still runs to its last step.
template <typename... Pieces>
void LogLineOrLoseIt(const Pieces&... pieces) noexcept {
  try {
    LogLine(pieces...);
  } catch (...) {
  }
}

enum class Outcome { kSucceeded, kFailed, kAbandoned };

// The counter is written once before setup may start, not only after it ended: a service process
// killed while setup runs would otherwise leave the attempt uncounted, and the next start would
// run setup for the same package a second time. The write after setup stays as it was.
void CountSetupBeforeItStarts(DWORD launchCount) {
  WriteClientDword(kLaunchSetupValue, launchCount);
}

// Only a code that setup leaves during this run may decide it. A code left from before (a setup
// run outside the agent, a run killed before it took the code over, an earlier success's 99)
// would otherwise be read after a setup that was refused or wrote nothing, and a refused setup
// would count as a success. "DaxInstResult" goes too, so the rest of the client never sees an
// earlier run's result as this one's. False when the old code cannot be deleted: a stale success
// could then not be told from a new one, so setup must not run.
bool ForgetEarlierResult() {
  contract::DeleteClientValue(kInstResultValue);
  const LONG error = contract::DeleteSetupResult();
  if (error == ERROR_SUCCESS) return true;
  LogLine("DaxInst: Cannot delete the setup result left from before - error ", error,
          ". Setup is not run.");
  return false;
}

// Setup has been run for this package before (an earlier run ended before the service was
// removed): never run it a second time.
Outcome CountedPath(RunOperations& operations, const std::string& packageDirectory, DWORD daxPid,
                    DWORD launchCount) {
  DWORD setupResult = 0;
  contract::ReadSetupResult(setupResult);
  switch (ChooseRunPath(true, launchCount, setupResult)) {
    case RunPath::kAlreadySucceeded:
      LogLine("DaxInst: RunDaxSetup has been run, result = ", setupResult);
      return Outcome::kSucceeded;
    case RunPath::kFailedBefore:
      LogLine("DaxInst: Dax Setup has FAILED for ", MaxSetupTimes, " times.");
      return Outcome::kFailed;
    default:
      break;
  }
  if (!ForgetEarlierResult()) return Outcome::kFailed;
  ++launchCount;
  CountSetupBeforeItStarts(launchCount);
  const int code = operations.RunDaxSetup(packageDirectory, daxPid);
  LogLine("DaxInst: RunDaxSetup returns code = ", code);
  WriteClientDword(kLaunchSetupValue, launchCount);
  LogLine("DaxInst: Times to set up = ", launchCount);
  return operations.DaxSetupResult() == kSetupSucceeded ? Outcome::kSucceeded : Outcome::kFailed;
}

Outcome FirstTimePath(RunOperations& operations, const std::string& packageDirectory,
                      DWORD daxPid) {
  LogLine("DaxInst: LaunchSetup not found, first time setup. ");
  for (int attempt = 1; attempt <= static_cast<int>(MaxSetupTimes); ++attempt) {
    if (!ForgetEarlierResult()) return Outcome::kFailed;
    CountSetupBeforeItStarts(1);
    const int code = operations.RunDaxSetup(packageDirectory, daxPid);
    LogLine("DaxInst: RunDaxSetup returns code = ", code);
    WriteClientDword(kLaunchSetupValue, 1);
    LogLine("DaxInst: Write ", 1, " to LaunchSetup.");
    switch (operations.DaxSetupResult()) {
      case kSetupSucceeded:
        return Outcome::kSucceeded;
      case kSetupNoResult:
        LogLine("********* install error 1303-- retry ", attempt);
        break;
      default:
        return Outcome::kFailed;
    }
  }
  return Outcome::kFailed;
}

Outcome Run(int argc, char** argv, RunOperations& operations, platform::CEveryoneDACL& everyone) {
  LogTagged("To begin the service");
  LogTagged("Set up pending");
  WriteClientDword(kSetupStatusValue, contract::kSetupStatusPending);
  if (!operations.ReportServiceStatus(SERVICE_START_PENDING, 0, kStartPendingWaitHint)) {
    return Outcome::kFailed;
  }

  LogTagged("If already running");
  HANDLE runGuard = ::CreateMutexA(nullptr, FALSE, contract::kRunGuardMutexName);
  const DWORD runGuardError = ::GetLastError();
  g_runGuardMutex.reset(runGuard);
  if (runGuardError == ERROR_ALREADY_EXISTS) return Outcome::kFailed;

  DWORD daxPid = 0;
  if (argc == 2 && argv && argv[1]) {
    daxPid = ResolveDaxPid(static_cast<DWORD>(std::strtol(argv[1], nullptr, 10)));
  }

  LogTagged("To create event");
  g_stopEvent.reset(::CreateEventA(nullptr, TRUE, FALSE, contract::kStopEventName));
  if (!g_stopEvent) return Outcome::kFailed;
  if (!operations.ReportServiceStatus(SERVICE_START_PENDING, 0, kStartPendingWaitHint)) {
    return Outcome::kFailed;
  }

  if (!everyone.Create()) {
    LogLine("Create security attributes failed");
    return Outcome::kFailed;
  }
  if (!operations.ReportServiceStatus(SERVICE_START_PENDING, 0, kStartPendingWaitHint)) {
    return Outcome::kFailed;
  }

  LogTagged("To create mutex");
  g_serviceCtrlMutex.reset(
      ::CreateMutexA(everyone.Attributes(), FALSE, contract::kServiceCtrlMutexName));
  if (!g_serviceCtrlMutex) {
    LogLine("DaxInst: Cannot create mutex.");
    return Outcome::kFailed;
  }
  if (!operations.ReportServiceStatus(SERVICE_RUNNING, 0, 0)) return Outcome::kFailed;

  // The only look at the stop event: once setup runs, a stop request does not interrupt it.
  LogTagged("To wait for stop event");
  if (::WaitForSingleObjectEx(g_stopEvent.get(), kStopEventWait, TRUE) == WAIT_OBJECT_0) {
    LogLine("DaxInst: Stop event received.");
  }

  std::string modulePath;
  if (!platform::GetOwnModulePath(modulePath)) return Outcome::kAbandoned;
  const std::string packageDirectory = modulePath.substr(0, modulePath.find_last_of('\\'));
  LogLine("DaxInst: Storage Path=", packageDirectory);
  // Whoever may change the package decides what runs as LocalSystem. Refused, the run fails
  // without an earlier run's result left to be read as this one's.
  if (!PackageGroundIsSafe(packageDirectory, "Setup is not run.")) {
    contract::DeleteClientValue(kInstResultValue);
    return Outcome::kFailed;
  }

  DWORD launchCount = 0;
  if (ReadClientDword(kLaunchSetupValue, launchCount)) {
    return CountedPath(operations, packageDirectory, daxPid, launchCount);
  }
  return FirstTimePath(operations, packageDirectory, daxPid);
}

void EndSequence() {
  LogLineOrLoseIt("DaxInst: Stopping Daxinst ...");
  g_serviceCtrlMutex.reset();
  g_runGuardMutex.reset();
  LogLineOrLoseIt("================= End ===================");
  diag::CloseLogFile();
  g_stopEvent.reset();
  platform::UniqueKernelHandle stopped(
      ::OpenEventA(EVENT_MODIFY_STATE, FALSE, contract::kStoppedEventName));
  if (stopped) ::SetEvent(stopped.get());
  WriteClientDword(kSetupStatusValue, contract::kSetupStatusFinished);
}

}  // namespace

RunPath ChooseRunPath(bool launchSetupFound, DWORD launchCount, DWORD setupResult) {
  if (!launchSetupFound) return RunPath::kFirstTime;
  if (setupResult == contract::SetupResultDone) return RunPath::kAlreadySucceeded;
  if (launchCount >= MaxSetupTimes) return RunPath::kFailedBefore;
  return RunPath::kCounted;
}

void DaxInst(int argc, char** argv, RunOperations& operations) {
  platform::CEveryoneDACL everyone;
  Outcome outcome = Outcome::kFailed;
  try {
    outcome = Run(argc, argv, operations, everyone);
  } catch (...) {
    // Whatever leaves the run fails it and still gets the end sequence: without it
    // "DaxSetupStatus" stays 1, the stopped event is never set and the mutexes stay open, and in
    // debug mode nothing above would catch it at all.
    diag::LogCurrentException();
    outcome = Outcome::kFailed;
  }
  switch (outcome) {
    case Outcome::kAbandoned:
      return;
    case Outcome::kSucceeded:
      LogLineOrLoseIt("DaxInst: Auto-upgrade succeeded.");
      break;
    case Outcome::kFailed:
      LogLineOrLoseIt("DaxInst: Auto-upgrade failed.");
      break;
  }
  EndSequence();
}

void StopDaxInst() {
  LogLine("DaxInst : Stopping Service ...");
  platform::UniqueKernelHandle stopped(
      ::CreateEventA(nullptr, TRUE, FALSE, contract::kStoppedEventName));
  if (!stopped) {
    LogLine("DaxInst: Creating stopped event handle failed!");
    return;
  }
  platform::UniqueKernelHandle stop(
      ::OpenEventA(EVENT_MODIFY_STATE, FALSE, contract::kStopEventName));
  if (!stop) {
    LogLine("DaxInst: Opening stop event handle failed!");
    return;
  }
  ::SetEvent(stop.get());
  LogLine("DaxInst: Waiting for service to stop...");
  ::WaitForSingleObjectEx(stopped.get(), kStoppedEventWait, TRUE);
}

DWORD ResolveDaxPid(DWORD processId) {
  platform::ProcessQuery query;
  if (!query.Initialise()) return 0;
  platform::ProcessRecord self;
  if (!query.Query(::GetCurrentProcessId(), self) && self.fileName.empty()) return 0;
  platform::ProcessRecord starter;
  if (!query.Query(processId, starter) && starter.fileName.empty() && starter.parentId == 0) {
    return 0;
  }
  // Only the start command, which runs this same executable, names its caller this way.
  if (self.fileName.empty() || starter.fileName.empty()) return 0;
  return _stricmp(self.fileName.c_str(), starter.fileName.c_str()) == 0 ? starter.parentId : 0;
}

}  // namespace upgrade
