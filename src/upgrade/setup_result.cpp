#include "upgrade/setup_result.h"

#include "diag/log.h"
#include "service/process_entry.h"
#include "service/service_control.h"
#include "upgrade/controller.h"

namespace upgrade {

namespace {

constexpr char kTag[] = "<DaxSetupResult>";

// What the user is told about a setup code in debug mode; null for codes that tell nothing.
const char* SetupCodeMessage(DWORD code) {
  switch (code) {
    case 0:
      return "Auto-upgrade installation SUCCESSFUL.";
    case 1:
      return "Auto-upgrade installation FAILED.";
    case 4:
      return "Auto-upgrade installation SUCCESSFUL. Restart the computer is recommended.";
    case 5:
      return "The Quorvex Security client has been successfully updated to a newer version and "
             "will be disabled until you restart your computer.  Please restart your computer at "
             "the soonest available opportunity.";
    case 6:
      return "Auto-upgrade installation has error.";
    case 7:
      return "Auto-upgrade installation has been cancelled.";
    default:
      return nullptr;
  }
}

void TellUser(DWORD code) {
  if (!service::debugMode) return;
  if (const char* message = SetupCodeMessage(code)) {
    ::MessageBoxA(nullptr, message, kSetupResultCaption, MB_OK);
  }
}

}  // namespace

int DaxSetupResult() {
  return DaxSetupResult([](DWORD milliseconds) { ::Sleep(milliseconds); });
}

int DaxSetupResult(const std::function<void(DWORD milliseconds)>& pause) {
  DWORD code = 0;
  bool found = false;
  for (int read = 0; read < kSetupResultReads; ++read) {
    if (ReadSetupResult(code)) {
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

  WriteClientDword(kInstResultValue, code);
  diag::LogLine(kTag, "Dax Setup Code = ", code);

  switch (code) {
    case 0:
    case 4:
    case 5:
      // Taken over: the next service start for this package ends as succeeded without setup.
      service::WriteRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKeyPath, kSetupResultValue,
                                  SetupResultDone, 0);
      TellUser(code);
      return kSetupSucceeded;
    case 1:
    case 6:
    case 7:
      TellUser(code);
      return kSetupFailed;
    default:
      return kSetupFailed;
  }
}

}  // namespace upgrade
