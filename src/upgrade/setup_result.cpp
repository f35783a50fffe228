#include "upgrade/setup_result.h"

#include <optional>

#include "contract/client_registry.h"
#include "contract/setup_result_key.h"
#include "diag/log.h"
#include "diag/run_notes.h"
#include "upgrade/controller.h"

namespace upgrade {

namespace {

constexpr char kTag[] = "<DaxSetupResult>";

// What the user is told about a setup code in debug mode; null for codes that tell nothing.
const char* SetupCodeMessage(DWORD code) {
  switch (code) {
    case contract::kSetupCodeSucceeded:
      return "Auto-upgrade installation SUCCESSFUL.";
    case contract::kSetupCodeFailed:
      return "Auto-upgrade installation FAILED.";
    case contract::kSetupCodeSucceededRestartRecommended:
      return "Auto-upgrade installation SUCCESSFUL. Restart the computer is recommended.";
    case contract::kSetupCodeSucceededDisabledUntilRestart:
      return "The Quorvex Security client has been successfully updated to a newer version and "
             "will be disabled until you restart your computer.  Please restart your computer at "
             "the soonest available opportunity.";
    case contract::kSetupCodeError:
      return "Auto-upgrade installation has error.";
    case contract::kSetupCodeCancelled:
      return "Auto-upgrade installation has been cancelled.";
    default:
      return nullptr;
  }
}

// Windows Installer's answers that setup may pass on as its exit code or its setup code.
constexpr unsigned long kInstallerBusy = 1618;     // ERROR_INSTALL_ALREADY_RUNNING
constexpr unsigned long kRestartRequired = 3010;   // ERROR_SUCCESS_REBOOT_REQUIRED
constexpr unsigned long kRestartInitiated = 1641;  // ERROR_SUCCESS_REBOOT_INITIATED

// The outcome the run's record gives a setup code; the run's own answer does not change.
diag::RunOutcome OutcomeOfSetupCode(DWORD code) {
  const std::optional<unsigned long> exitCode = diag::CurrentRunNotes().setupExitCode;
  switch (code) {
    case contract::kSetupCodeSucceeded:
      if (exitCode == kRestartRequired || exitCode == kRestartInitiated) {
        return diag::RunOutcome::kSucceededRestartPending;
      }
      return diag::RunOutcome::kSucceeded;
    case contract::kSetupCodeSucceededRestartRecommended:
    case contract::kSetupCodeSucceededDisabledUntilRestart:
      return diag::RunOutcome::kSucceededRestartPending;
    default:
      return code == kInstallerBusy || exitCode == kInstallerBusy ? diag::RunOutcome::kInstallerBusy
                                                                  : diag::RunOutcome::kSetupFailed;
  }
}

void TellUser(bool tellUser, DWORD code) {
  if (!tellUser) return;
  if (const char* message = SetupCodeMessage(code)) {
    ::MessageBoxA(nullptr, message, kSetupResultCaption, MB_OK);
  }
}

}  // namespace

int DaxSetupResult(bool tellUser) {
  return DaxSetupResult(tellUser, [](DWORD milliseconds) { ::Sleep(milliseconds); });
}

int DaxSetupResult(bool tellUser, const std::function<void(DWORD milliseconds)>& pause) {
  DWORD code = 0;
  bool found = false;
  for (int read = 0; read < kSetupResultReads; ++read) {
    if (contract::ReadSetupResult(code)) {
      found = true;
      break;
    }
    pause(kSetupResultPause);
  }
  if (!found) {
    // The text has always spoken of three minutes; the wait is about two.
    diag::LogLine(kTag, "Try to read DaxSetupResult for 3 minutes. Failed.");
    diag::LogLine(kTag, "ERR to read DaxSetupResult.");
    return kSetupNoResult;
  }

  contract::WriteClientDword(contract::kInstResultValue, code);
  diag::LogLine(kTag, "Dax Setup Code = ", code);
  diag::NoteSetupCode(code);
  diag::NoteOutcome(OutcomeOfSetupCode(code));

  switch (code) {
    case contract::kSetupCodeSucceeded:
    case contract::kSetupCodeSucceededRestartRecommended:
    case contract::kSetupCodeSucceededDisabledUntilRestart:
      // Taken over: the next service start for this package ends as succeeded without setup.
      contract::WriteSetupResult(contract::SetupResultDone);
      TellUser(tellUser, code);
      return kSetupSucceeded;
    case contract::kSetupCodeFailed:
    case contract::kSetupCodeError:
    case contract::kSetupCodeCancelled:
      TellUser(tellUser, code);
      return kSetupFailed;
    default:
      return kSetupFailed;
  }
}

}  // namespace upgrade
