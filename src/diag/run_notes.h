// What one upgrade run notes about itself, for the record it leaves and its event log entry.
//
// Any layer notes what it decides (a gate's verdict, the command line, setup's codes) as it
// decides it; the run's end reads the notes once, writes the record and reports the outcome. One
// run per process, so the notes are process-wide. Noting never fails the run: a note that cannot
// be kept (no memory) is lost.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace diag {

// The outcome of a run as a stable reason code. The code is also the event ID of the run's one
// Application event log entry, so a code, once shipped, keeps its meaning and its number.
// 1000-1099 are successes, 1100-1199 failures; the README lists every code.
enum class RunOutcome : unsigned short {
  kSucceeded = 1000,                // setup ran and succeeded
  kSucceededRestartPending = 1001,  // setup succeeded and asks for a restart (3010, 1641)
  kSucceededBefore = 1002,          // an earlier run's setup succeeded for this package: no setup
  kFailedBefore = 1100,             // setup was run for this package before: not run again
  kRunInProgress = 1101,            // another run holds the run guard
  kObjectOfAnotherUser = 1102,      // a named object the run needs was made by another account
  kUnsafeFolder = 1103,             // another account may change the package or config.xml
  kNotTrusted = 1104,               // setup.exe or the .msi fails the trust check
  kLowerVersion = 1105,             // the package is older than the installed client
  kPackageInvalid = 1106,           // the package's .msi is not one readable file
  kSettingsUnusable = 1107,         // config.xml or setAid.ini cannot be read or written safely
  kSetupNotStarted = 1108,          // setup could not be started
  kSetupFailed = 1109,              // setup ran and reported a failure
  kNoResultInTime = 1110,           // setup left no result within the polling time
  kInstallerBusy = 1111,            // setup failed because another installation was in progress
  kEarlierResultKept = 1112,        // the result left from before cannot be deleted: not run
  kServiceNotStarted = 1113,        // the service could not report its start or make its objects
  kPackagePathUnusable = 1114,      // the run cannot read its own path, or it has no exact form
  kException = 1115,                // the run ended by an exception
};

// The stable snake_case name of an outcome ("succeeded", "not_trusted", ...), as the record and
// daxcheck.exe --last-run give it.
const char* RunOutcomeName(RunOutcome outcome) noexcept;
bool RunOutcomeSucceeded(RunOutcome outcome) noexcept;

// One gate as the run met it, with daxcheck.exe's gate names ("package_ground", "trust",
// "deployment_configuration", "version_gate", "command_line", ...).
struct GateNote {
  std::string name;
  bool passes = true;
  std::string reason;  // why it stops (or warns); empty when it passes without a word
};

struct RunNotes {
  std::string packageFolder;
  std::string packageVersion;    // empty: not read
  std::string installedVersion;  // empty: not read or none installed
  std::string path;              // "first_time", "counted", "succeeded_before", "failed_before"
  std::vector<GateNote> gates;   // in the run's order
  std::string setupCommandLine;  // empty: setup was not started
  std::optional<unsigned long> setupExitCode;
  std::optional<unsigned long> setupCode;                  // the code setup left in its result key
  std::optional<unsigned long> installerWaitMilliseconds;  // time waited for Windows Installer
  bool installerWaitTimedOut = false;
  std::optional<RunOutcome> outcome;  // the first outcome noted stands
  // The run's log lines, where the log is on: the newest kRunLogLinesKept, and how many older
  // ones were let go.
  std::vector<std::string> logLines;
  unsigned long logLinesDropped = 0;
};

// A record carries at most this many of the run's log lines.
constexpr std::size_t kRunLogLinesKept = 400;

// A copy of the notes of this process's run so far.
RunNotes CurrentRunNotes();
// Starts the notes afresh (a run's start; tests).
void ResetRunNotes() noexcept;

void NotePackageFolder(const std::string& folder) noexcept;
void NoteVersions(const std::string& packageVersion, const std::string& installedVersion) noexcept;
void NoteRunPath(const char* path) noexcept;
// A gate seen again replaces its earlier note: the last verdict of a gate is the one that held.
void NoteGate(const char* name, bool passes, const std::string& reason) noexcept;
void NoteSetupCommandLine(const std::string& commandLine) noexcept;
void NoteSetupExitCode(unsigned long exitCode) noexcept;
void NoteSetupCode(unsigned long code) noexcept;
void NoteInstallerWait(unsigned long milliseconds, bool timedOut) noexcept;
// The first outcome noted is the run's: a refusal deep in the run is noted where it happens, and
// the generic failure the run's end notes after it does not replace it.
void NoteOutcome(RunOutcome outcome) noexcept;
// One line the log writes (its line end left off), kept for the record.
void NoteLogLine(const std::string& line) noexcept;

}  // namespace diag
