// The upgrade run controller: one upgrade run per call of DaxInst, and its stop routine.
#pragma once

#include <windows.h>

#include <string>

#include "platform/unique_handle.h"

namespace upgrade {

constexpr DWORD MaxSetupTimes = 1;
constexpr DWORD SetupResultDone = 99;
constexpr DWORD kStartPendingWaitHint = 5000;
constexpr DWORD kStopEventWait = 500;
constexpr DWORD kStoppedEventWait = 120000;

constexpr char kStopEventName[] = "StopDaxInstServiceEvent";
constexpr char kStoppedEventName[] = "DaxInstServiceStoppedEvent";
constexpr char kServiceCtrlMutexName[] = "FenmarkServiceCtrlObjMutex";

// Values of the client key.
constexpr char kLaunchSetupValue[] = "LaunchSetup";
constexpr char kSetupStatusValue[] = "DaxSetupStatus";
constexpr char kInstResultValue[] = "DaxInstResult";
constexpr DWORD kSetupStatusPending = 1;
constexpr DWORD kSetupStatusFinished = 2;

// The key under HKEY_CLASSES_ROOT where the staged setup program leaves its setup code.
constexpr char kSetupResultKeyPath[] = "TSSAFILE\\{DCCB9E52-6A84A746}";
constexpr char kSetupResultValue[] = "Default";

// Answers of DaxSetupResult.
enum SetupAnswer : int { kSetupSucceeded = 0, kSetupFailed = 1, kSetupNoResult = 2 };

// What one run needs from the rest of the program. The system's own operations are the default;
// tests put fakes in their place.
class RunOperations {
 public:
  virtual ~RunOperations() = default;
  virtual bool ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint) = 0;
  virtual int RunDaxSetup(const std::string& packageDirectory, DWORD daxPid) = 0;
  virtual int DaxSetupResult() = 0;
};

RunOperations& SystemRunOperations();

// Performs one upgrade run. With argc == 2, argv[1] is the decimal process number that the start
// command passed to the service.
void DaxInst(int argc, char** argv);
void DaxInst(int argc, char** argv, RunOperations& operations);

// Asks a running run to stop and waits for it to finish (at most kStoppedEventWait).
void StopDaxInst();

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

// Registry state of a run, in the client view where the client key is concerned. Reads leave
// `value` untouched and answer false when the value is missing or not a REG_DWORD.
bool ReadClientDword(const char* valueName, DWORD& value);
void WriteClientDword(const char* valueName, DWORD value);
bool ReadSetupResult(DWORD& code);
// Deletes the setup code in the setup result key, the key and view that ReadSetupResult reads.
// ERROR_SUCCESS when it is gone or was never there, else the error that kept it.
LONG DeleteSetupResult();
// The open DeleteSetupResult deletes through, which changes nothing by itself: ERROR_SUCCESS
// with `key`, ERROR_FILE_NOT_FOUND when there is no key, else the error that would keep the code.
LONG OpenSetupResultForDeleting(platform::UniqueRegKey& key);

}  // namespace upgrade
