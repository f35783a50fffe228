// Runs of the real daxinst.exe, copied into a package folder of the test's own.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace e2e {

// The diagnostic variant (log switched on) and the shipped variant (log switched off), built
// beside the test executable.
constexpr char kLogOnVariant[] = "daxinst_log_on.exe";
constexpr char kLogOffVariant[] = "daxinst_log_off.exe";

// Where the client keeps the values of a run, and where setup leaves its code.
using testing_support::kClientKey;
using testing_support::kSetupResultKey;
// The product key's list of features the client does not allow.
constexpr char kNotAllowedValue[] = "ProductFeaturesValidButNotAllowed";

// Product family F of the whole-upgrade executables (tests/e2e/CMakeLists.txt): the installed
// client's package and the staged packages above and below it.
constexpr char kInstalledMsi[] = "installed_f_12.1.2.msi";
constexpr char kInstalledProduct[] = "{DA1F0000-0000-4000-8000-0000000000F1}";
constexpr char kHigherPackageMsi[] = "package_f_12.1.10.msi";
constexpr char kLowerPackageMsi[] = "package_f_12.1.1.msi";
// A staged package's own Setup.ini.
constexpr char kSetupIni[] = "[Startup]\r\nCmdLine=/qb IDCENABLE = 1 /norestart\r\n";

// A staged package's own setAid.ini before any merge: its identity and settings of its own.
constexpr char kStagedSetAid[] =
    "[PREDEFINED_DAX_CONFIG]\r\nPackageChecksum=C0FFEE\r\nAppType=105\r\n"
    "[CUSTOM_DAX_CONFIG]\r\nDestinationDirectory=C:\\Old\r\nAutoReboot=false\r\n"
    "[FEATURE_SELECTION]\r\nOld=1\r\n";

class PackageFolder {
 public:
  // `name` may hold blanks: package folders often do.
  PackageFolder(const std::string& name, const char* variant);

  const std::string& path() const { return folder_.path(); }
  std::string executable() const { return path() + "\\daxinst.exe"; }
  std::string log() const { return path() + "\\daxinst.log"; }

  // Runs daxinst.exe with `arguments` (none when empty) and waits for it.
  std::optional<DWORD> Run(const std::string& arguments, DWORD timeoutMs = 60000) const;

  // The log's messages without stamps.
  std::vector<std::string> Messages() const { return testing_support::LogMessages(log()); }

  // Waits (bounded) until the log holds `message`.
  bool WaitForMessage(const std::string& message, DWORD timeoutMs) const;

 private:
  testing_support::TempFolder folder_;
};

// Polls `done` every `interval` ms for at most `timeoutMs`.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs, DWORD interval = 20);

// The service "Daxinst", if it is installed.
platform::UniqueServiceHandle OpenDaxinst(DWORD access = SERVICE_ALL_ACCESS);
bool ServiceExists();
// Stops and deletes the service, whoever left it, and waits (bounded) until it is gone.
void RemoveDaxinst();

// The frame every upgrade run logs before it looks at the package, and its end.
std::vector<std::string> RunOpening(const std::string& packageDirectory);
std::vector<std::string> RunClosing();

// How many running processes have this executable file name.
int CountProcessesNamed(const char* name);

}  // namespace e2e
