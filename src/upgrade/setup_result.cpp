#include "upgrade/setup_result.h"

#include "diag/log.h"
#include "service/service_control.h"
#include "upgrade/controller.h"

namespace upgrade {

// Placeholder until result collection is built: one read, no polling, no message boxes.
int DaxSetupResult() {
  DWORD code = 0;
  if (!ReadSetupResult(code)) return kSetupNoResult;
  WriteClientDword(kInstResultValue, code);
  diag::LogLine("<DaxSetupResult>Dax Setup Code = ", code);
  if (code == 0 || code == 4 || code == 5) {
    service::WriteRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKeyPath, kSetupResultValue,
                                SetupResultDone, 0);
    return kSetupSucceeded;
  }
  return kSetupFailed;
}

}  // namespace upgrade
