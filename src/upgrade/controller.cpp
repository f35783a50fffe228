#include "upgrade/controller.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "contract/client_registry.h"
#include "contract/event_report.h"
#include "contract/named_objects.h"
#include "contract/setup_result_key.h"
#include "diag/current_exception.h"
#include "diag/log.h"
#include "diag/run_notes.h"
#include "platform/module_path.h"
#include "platform/process_query.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "upgrade/package_ground.h"
#include "upgrade/run_objects.h"
#include "upgrade/run_record.h"

namespace upgrade {

using contract::kInstResultValue;
using contract::kLaunchSetupValue;
using contract::kSetupStatusValue;
using contract::ReadClientDword;
using contract::WriteClientDword;
using diag::LogLine;
using diag::RunOutcome;

namespace {

// Process-wide so that the end sequence closes exactly what the run opened, each at most once.
platform::UniqueKernelHandle g_stopEvent;
platform::UniqueKernelHandle g_runGuardMutex;
platform::UniqueKernelHandle g_serviceCtrlMutex;
// The guard that decides whether a run is in progress, where the system has private namespaces.
platform::PrivateGuard g_privateRunGuard = MakePrivateRunGuard();
// Whether this run took the run guard. Only such a run has a status and a stop handshake to end:
// a run that another run's guard turns away would otherwise write "finished" and set the stopped
// event while the other run's setup still goes on.
bool g_ownsRunGuard = false;

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

enum class Outcome { kSucceeded, kFailed };

// A failure, and the reason the run's record and event log entry give for it.
Outcome Fails(RunOutcome why) {
  diag::NoteOutcome(why);
  return Outcome::kFailed;
}

// The run's verdict on setup's result, for the record: a more exact one noted while the result
// was read (a restart asked for, a busy installer) stands.
Outcome ByResult(int answer) {
  switch (answer) {
    case kSetupSucceeded:
      diag::NoteOutcome(RunOutcome::kSucceeded);
      return Outcome::kSucceeded;
    case kSetupNoResult:
      return Fails(RunOutcome::kNoResultInTime);
    default:
      return Fails(RunOutcome::kSetupFailed);
  }
}

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
  diag::NoteGate("run_state", false, "the setup result left from before cannot be deleted");
  diag::NoteOutcome(RunOutcome::kEarlierResultKept);
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
      diag::NoteRunPath("succeeded_before");
      diag::NoteGate("run_state", false, "setup already succeeded for this package");
      diag::NoteOutcome(RunOutcome::kSucceededBefore);
      return Outcome::kSucceeded;
    case RunPath::kFailedBefore:
      LogLine("DaxInst: Dax Setup has FAILED for ", MaxSetupTimes, " times.");
      diag::NoteRunPath("failed_before");
      diag::NoteGate("run_state", false, "setup was run for this package before");
      return Fails(RunOutcome::kFailedBefore);
    default:
      break;
  }
  diag::NoteRunPath("counted");
  diag::NoteGate("run_state", true, std::string());
  if (!ForgetEarlierResult()) return Outcome::kFailed;
  ++launchCount;
  CountSetupBeforeItStarts(launchCount);
  const int code = operations.RunDaxSetup(packageDirectory, daxPid);
  LogLine("DaxInst: RunDaxSetup returns code = ", code);
  WriteClientDword(kLaunchSetupValue, launchCount);
  LogLine("DaxInst: Times to set up = ", launchCount);
  return ByResult(operations.DaxSetupResult());
}

Outcome FirstTimePath(RunOperations& operations, const std::string& packageDirectory,
                      DWORD daxPid) {
  LogLine("DaxInst: LaunchSetup not found, first time setup. ");
  diag::NoteRunPath("first_time");
  diag::NoteGate("run_state", true, std::string());
  for (int attempt = 1; attempt <= static_cast<int>(MaxSetupTimes); ++attempt) {
    if (!ForgetEarlierResult()) return Outcome::kFailed;
    CountSetupBeforeItStarts(1);
    const int code = operations.RunDaxSetup(packageDirectory, daxPid);
    LogLine("DaxInst: RunDaxSetup returns code = ", code);
    WriteClientDword(kLaunchSetupValue, 1);
    LogLine("DaxInst: Write ", 1, " to LaunchSetup.");
    const int answer = operations.DaxSetupResult();
    if (answer != kSetupNoResult) return ByResult(answer);
    LogLine("********* install error 1303-- retry ", attempt);
  }
  return Fails(RunOutcome::kNoResultInTime);
}

// The run's own path, or false (recorded) when it cannot be read or has no exact narrow form: a
// package folder whose name best-fits into the ANSI code page would be read as another folder,
// which may exist and hold another setup.
bool ReadRunModulePath(std::string& modulePath) {
  std::wstring wideModulePath;
  switch (platform::ReadOwnModulePath(modulePath, &wideModulePath)) {
    case platform::ModulePathRead::kRead:
      return true;
    case platform::ModulePathRead::kNotExact:
      contract::RecordEvent(contract::EventKind::kError, contract::EventId::kModulePathNotExact,
                            "DaxInst: the package folder of " +
                                platform::NarrowWithoutBestFit(wideModulePath) +
                                " has no exact name in the ANSI code page. Setup is not run");
      return false;
    case platform::ModulePathRead::kUnavailable:
      break;
  }
  contract::RecordEvent(contract::EventKind::kError, contract::EventId::kModulePathUnreadable,
                        "DaxInst: Cannot read the path of daxinst.exe - error " +
                            std::to_string(::GetLastError()) + ".");
  return false;
}

bool ReportsPending(RunOperations& operations) {
  return operations.ReportServiceStatus(SERVICE_START_PENDING, 0, kStartPendingWaitHint);
}

// Another run's guard turns this run away; a guard that cannot be built ends it unstarted.
Outcome RefusedAtGuard(GuardOutcome guard) {
  if (guard != GuardOutcome::kAnotherRun) return Fails(RunOutcome::kServiceNotStarted);
  diag::NoteGate("run_state", false, "another run holds the run guard");
  return Fails(RunOutcome::kRunInProgress);
}

Outcome Run(int argc, char** argv, RunOperations& operations) {
  LogTagged("To begin the service");
  LogTagged("Set up pending");
  if (!ReportsPending(operations)) return Fails(RunOutcome::kServiceNotStarted);

  LogTagged("If already running");
  if (const GuardOutcome guard = TakeRunGuards(g_privateRunGuard, g_runGuardMutex);
      guard != GuardOutcome::kTaken) {
    return RefusedAtGuard(guard);
  }
  // Pending only once this run owns the guard: written before, a run that another run's guard
  // turns away would announce a run that is not its own.
  g_ownsRunGuard = true;
  WriteClientDword(kSetupStatusValue, contract::kSetupStatusPending);

  DWORD daxPid = 0;
  if (argc == 2 && argv && argv[1]) {
    daxPid = ResolveDaxPid(static_cast<DWORD>(std::strtol(argv[1], nullptr, 10)));
  }

  LogTagged("To create event");
  // Another account's stop event leaves the run without one: nobody can ask it to stop.
  CreatedObject stopEvent = CreateStopEvent();
  if (stopEvent.failure != CreatedObject::Failure::kNone) {
    return Fails(RunOutcome::kServiceNotStarted);
  }
  g_stopEvent = std::move(stopEvent.handle);
  if (!ReportsPending(operations)) return Fails(RunOutcome::kServiceNotStarted);

  platform::ObjectDescriptor serviceCtrlDescriptor;
  if (!serviceCtrlDescriptor.Build(RunObjectDacl(RunObject::kServiceCtrlMutex))) {
    LogLine("Create security attributes failed");
    return Fails(RunOutcome::kServiceNotStarted);
  }
  if (!ReportsPending(operations)) return Fails(RunOutcome::kServiceNotStarted);

  LogTagged("To create mutex");
  CreatedObject serviceCtrl = CreateServiceCtrlMutex(serviceCtrlDescriptor);
  if (serviceCtrl.failure != CreatedObject::Failure::kNone) {
    LogLine("DaxInst: Cannot create mutex.");
    return Fails(RunOutcome::kServiceNotStarted);
  }
  g_serviceCtrlMutex = std::move(serviceCtrl.handle);
  if (!operations.ReportServiceStatus(SERVICE_RUNNING, 0, 0)) {
    return Fails(RunOutcome::kServiceNotStarted);
  }

  // The only look at the stop event: once setup runs, a stop request does not interrupt it.
  LogTagged("To wait for stop event");
  if (g_stopEvent &&
      ::WaitForSingleObjectEx(g_stopEvent.get(), kStopEventWait, TRUE) == WAIT_OBJECT_0) {
    LogLine("DaxInst: Stop event received.");
  }

  // A run that cannot tell its package still ends as a run: without its end sequence
  // "DaxSetupStatus" would stay 1 for good and a waiting stop request would wait its whole time.
  std::string modulePath;
  if (!ReadRunModulePath(modulePath)) return Fails(RunOutcome::kPackagePathUnusable);
  const std::string packageDirectory = modulePath.substr(0, modulePath.find_last_of('\\'));
  LogLine("DaxInst: Storage Path=", packageDirectory);
  diag::NotePackageFolder(packageDirectory);
  // Whoever may change the package decides what runs as LocalSystem. Refused, the run fails
  // without an earlier run's result left to be read as this one's.
  if (!PackageGroundIsSafe(packageDirectory, "Setup is not run.")) {
    contract::DeleteClientValue(kInstResultValue);
    return Fails(RunOutcome::kUnsafeFolder);
  }

  DWORD launchCount = 0;
  if (ReadClientDword(kLaunchSetupValue, launchCount)) {
    return CountedPath(operations, packageDirectory, daxPid, launchCount);
  }
  return FirstTimePath(operations, packageDirectory, daxPid);
}

void EndSequence(RunOperations& operations, Outcome outcome) {
  LogLineOrLoseIt("DaxInst: Stopping Daxinst ...");
  g_serviceCtrlMutex.reset();
  g_runGuardMutex.reset();
  g_privateRunGuard.Release();
  LogLineOrLoseIt("================= End ===================");
  diag::CloseLogFile();
  g_stopEvent.reset();
  try {
    operations.MarkRegistrationSpent();
  } catch (...) {
  }
  // Before the status says "finished": a reader that sees it finds the run's record.
  FinishRunRecord(outcome == Outcome::kSucceeded ? RunOutcome::kSucceeded
                                                 : RunOutcome::kSetupFailed);
  if (!g_ownsRunGuard) return;
  g_ownsRunGuard = false;
  platform::UniqueKernelHandle stopped = OpenStoppedEventToSet();
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
  const contract::ClientViewForRun view;
  BeginRunRecord();
  Outcome outcome = Outcome::kFailed;
  try {
    outcome = Run(argc, argv, operations);
  } catch (...) {
    // Whatever leaves the run fails it and still gets the end sequence: without it
    // "DaxSetupStatus" stays 1, the stopped event is never set and the mutexes stay open, and in
    // debug mode nothing above would catch it at all.
    diag::LogCurrentException();
    diag::NoteOutcome(RunOutcome::kException);
    outcome = Outcome::kFailed;
  }
  switch (outcome) {
    case Outcome::kSucceeded:
      LogLineOrLoseIt("DaxInst: Auto-upgrade succeeded.");
      break;
    case Outcome::kFailed:
      LogLineOrLoseIt("DaxInst: Auto-upgrade failed.");
      break;
  }
  EndSequence(operations, outcome);
}

StopRequest RequestStop() {
  StopRequest request;
  LogLine("DaxInst : Stopping Service ...");
  // Another account's stopped event can be set by its maker at any time: it cannot tell the end
  // of the run, so the request goes out without a wait.
  CreatedObject stopped = CreateStoppedEvent();
  if (stopped.failure != CreatedObject::Failure::kNone) {
    LogLine("DaxInst: Creating stopped event handle failed!");
    return request;
  }
  platform::UniqueKernelHandle stop = OpenStopEventToSet();
  if (!stop) {
    LogLine("DaxInst: Opening stop event handle failed!");
    return request;
  }
  ::SetEvent(stop.get());
  if (!stopped.handle) return request;
  LogLine("DaxInst: Waiting for service to stop...");
  request.stopped = std::move(stopped.handle);
  return request;
}

void AwaitStop(StopRequest& request) {
  if (request.stopped) ::WaitForSingleObjectEx(request.stopped.get(), kStoppedEventWait, TRUE);
  request.stopped.reset();
}

void StopDaxInst() {
  StopRequest request = RequestStop();
  AwaitStop(request);
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
