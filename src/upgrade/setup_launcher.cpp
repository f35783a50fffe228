#include "upgrade/setup_launcher.h"

#include "diag/log.h"

namespace upgrade {

// Placeholder until setup preparation and launch are built: names the setup program it would
// run but starts nothing, since nothing has verified it yet.
int RunDaxSetup(const std::string& packageDirectory, DWORD) {
  diag::LogLine("Setup path = ", packageDirectory, "\\setup.exe");
  return 0;
}

}  // namespace upgrade
