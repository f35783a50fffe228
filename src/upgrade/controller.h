// The upgrade run controller: one upgrade run per call of DaxInst, and its stop routine.
#pragma once

#include <windows.h>

#include <string>

#include "platform/unique_handle.h"

namespace upgrade {

constexpr DWORD MaxSetupTimes = 1;
constexpr DWORD kStartPendingWaitHint = 5000;
constexpr DWORD kStopEventWait = 500;
constexpr DWORD kStoppedEventWait = 120000;

// Answers of DaxSetupResult.
enum SetupAnswer : int { kSetupSucceeded = 0, kSetupFailed = 1, kSetupNoResult = 2 };

// What one run needs from the rest of the program: the only way the run reaches the service's
// status reports. The service binds the system's own operations; tests put fakes in their place.
class RunOperations {
 public:
  virtual ~RunOperations() = default;
  virtual bool ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint) = 0;
  virtual int RunDaxSetup(const std::string& packageDirectory, DWORD daxPid) = 0;
  virtual int DaxSetupResult() = 0;
  // Called once the run is over, before "DaxSetupStatus" = 2 tells the staging program so: marks
  // the service that ran it as spent, so that a next package's -install and -start wait for its
  // removal instead of reusing the registration that the removal then deletes. Nothing by
  // default and in debug mode.
  virtual void MarkRegistrationSpent() {}
};

// Performs one upgrade run. With argc == 2, argv[1] is the decimal process number that the start
// command passed to the service.
void DaxInst(int argc, char** argv, RunOperations& operations);

// Asks a running run to stop and waits for it to finish (at most kStoppedEventWait).
void StopDaxInst();

// StopDaxInst in its two halves, for a caller that may not wait where it asks (the service's
// control handler): the request, which returns at once, and the wait, which may run elsewhere.
struct StopRequest {
  platform::UniqueKernelHandle stopped;  // empty: nothing to wait for
};
StopRequest RequestStop();
void AwaitStop(StopRequest& request);

// The process that ran the start command, from the number the start command passed: the parent
// of `processId` when that runs this same executable, else 0.
DWORD ResolveDaxPid(DWORD processId);

// The way a run goes from the registry's state: "LaunchSetup" (found or not, and its count) and
// the setup result read on the counted path. The run and daxcheck.exe both decide with this.
enum class RunPath {
  kFirstTime,         // "LaunchSetup" absent: setup runs
  kCounted,           // "LaunchSetup" 0, no earlier success: setup runs, counted
  kAlreadySucceeded,  // the setup result holds SetupResultDone: the run succeeds without setup
  kFailedBefore,      // setup was run for this package before: the run fails without setup
};
RunPath ChooseRunPath(bool launchSetupFound, DWORD launchCount, DWORD setupResult);
constexpr bool RunPathRunsSetup(RunPath path) {
  return path == RunPath::kFirstTime || path == RunPath::kCounted;
}

}  // namespace upgrade
