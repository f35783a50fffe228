#include "diag/run_notes.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace diag {

namespace {

std::mutex g_notesLock;
RunNotes g_notes;

template <typename Change>
void Note(Change change) noexcept {
  try {
    std::lock_guard<std::mutex> lock(g_notesLock);
    change(g_notes);
  } catch (...) {
    // A note that cannot be kept is lost; the run is not.
  }
}

}  // namespace

const char* RunOutcomeName(RunOutcome outcome) noexcept {
  switch (outcome) {
    case RunOutcome::kSucceeded:
      return "succeeded";
    case RunOutcome::kSucceededRestartPending:
      return "succeeded_restart_pending";
    case RunOutcome::kSucceededBefore:
      return "succeeded_before";
    case RunOutcome::kFailedBefore:
      return "failed_before";
    case RunOutcome::kRunInProgress:
      return "run_in_progress";
    case RunOutcome::kObjectOfAnotherUser:
      return "object_of_another_user";
    case RunOutcome::kUnsafeFolder:
      return "unsafe_folder";
    case RunOutcome::kNotTrusted:
      return "not_trusted";
    case RunOutcome::kLowerVersion:
      return "lower_version";
    case RunOutcome::kPackageInvalid:
      return "package_invalid";
    case RunOutcome::kSettingsUnusable:
      return "settings_unusable";
    case RunOutcome::kSetupNotStarted:
      return "setup_not_started";
    case RunOutcome::kSetupFailed:
      return "setup_failed";
    case RunOutcome::kNoResultInTime:
      return "no_result_in_time";
    case RunOutcome::kInstallerBusy:
      return "installer_busy";
    case RunOutcome::kEarlierResultKept:
      return "earlier_result_kept";
    case RunOutcome::kServiceNotStarted:
      return "service_not_started";
    case RunOutcome::kPackagePathUnusable:
      return "package_path_unusable";
    case RunOutcome::kException:
      return "exception";
  }
  return "unknown";
}

bool RunOutcomeSucceeded(RunOutcome outcome) noexcept {
  return outcome == RunOutcome::kSucceeded || outcome == RunOutcome::kSucceededRestartPending ||
         outcome == RunOutcome::kSucceededBefore;
}

RunNotes CurrentRunNotes() {
  std::lock_guard<std::mutex> lock(g_notesLock);
  return g_notes;
}

void ResetRunNotes() noexcept {
  Note([](RunNotes& notes) { notes = RunNotes{}; });
}

void NotePackageFolder(const std::string& folder) noexcept {
  Note([&](RunNotes& notes) { notes.packageFolder = folder; });
}

void NoteVersions(const std::string& packageVersion, const std::string& installedVersion) noexcept {
  Note([&](RunNotes& notes) {
    notes.packageVersion = packageVersion;
    notes.installedVersion = installedVersion;
  });
}

void NoteRunPath(const char* path) noexcept {
  Note([&](RunNotes& notes) { notes.path = path ? path : ""; });
}

void NoteGate(const char* name, bool passes, const std::string& reason) noexcept {
  Note([&](RunNotes& notes) {
    const std::string gateName = name ? name : "";
    auto same = std::find_if(notes.gates.begin(), notes.gates.end(),
                             [&](const GateNote& gate) { return gate.name == gateName; });
    GateNote note{gateName, passes, reason};
    if (same != notes.gates.end()) {
      *same = std::move(note);
    } else {
      notes.gates.push_back(std::move(note));
    }
  });
}

void NoteSetupCommandLine(const std::string& commandLine) noexcept {
  Note([&](RunNotes& notes) { notes.setupCommandLine = commandLine; });
}

void NoteSetupExitCode(unsigned long exitCode) noexcept {
  Note([&](RunNotes& notes) { notes.setupExitCode = exitCode; });
}

void NoteSetupCode(unsigned long code) noexcept {
  Note([&](RunNotes& notes) { notes.setupCode = code; });
}

void NoteInstallerWait(unsigned long milliseconds, bool timedOut) noexcept {
  Note([&](RunNotes& notes) {
    notes.installerWaitMilliseconds = milliseconds;
    notes.installerWaitTimedOut = timedOut;
  });
}

void NoteOutcome(RunOutcome outcome) noexcept {
  Note([&](RunNotes& notes) {
    if (!notes.outcome) notes.outcome = outcome;
  });
}

void NoteLogLine(const std::string& line) noexcept {
  Note([&](RunNotes& notes) {
    std::string kept = line;
    while (!kept.empty() && (kept.back() == '\n' || kept.back() == '\r')) kept.pop_back();
    if (notes.logLines.size() >= kRunLogLinesKept) {
      notes.logLines.erase(notes.logLines.begin());
      ++notes.logLinesDropped;
    }
    notes.logLines.push_back(std::move(kept));
  });
}

}  // namespace diag
