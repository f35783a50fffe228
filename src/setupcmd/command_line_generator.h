// The version gate in front of setup and the setup command line that follows it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "setupcmd/command_line_text.h"
#include "setupcmd/installer_log.h"
#include "setupcmd/package_msi.h"
#include "setupcmd/version_text.h"

namespace config {
class ConfigXmlRun;
}  // namespace config

namespace setupcmd {

// Size of the caller's buffer for the command line, terminating NUL included.
constexpr size_t kCommandLineBufferSize = 4096;

// Results of CommandLineGenerator::GenerateCommandLine.
constexpr int kCommandLineReady = 0;
constexpr int kCommandLineNotStored = 113;
constexpr int kLowerVersionRefused = 114;
// The package's .msi is not one readable database: several of them, one that cannot be held, or
// one whose product family cannot be read. `out` is left untouched.
constexpr int kPackageMsiRefused = 115;

// The value of an environment variable of this process as the log switch takes it: empty when
// it is not set or does not fit 259 characters.
std::string ProcessEnvironmentValue(const std::string& name);

// What the version gate of one GenerateCommandLine call found, for those who explain it.
struct VersionGateFindings {
  struct RelatedProduct {
    std::string productCode;
    std::string version;  // empty when it could not be read (such a product is skipped)
  };
  std::string packageMsiPath;
  std::vector<std::string> packageMsiNames;  // every .msi file of the package
  bool packageMsiRefused = false;
  MsiRefusal msiRefusal = MsiRefusal::kNone;
  std::string upgradeCode;
  std::string packageVersion;
  std::vector<RelatedProduct> relatedProducts;  // in enumeration order
  bool installedProductFound = false;
  std::string installedProductCode;
  std::string installedVersion;
  bool installedVersionRead = false;
  bool lowerVersion = false;
};

// Which installer log setup gets, as one GenerateCommandLine call decided it.
struct InstallerLogFindings {
  // The log switch is the default one (also when Setup.ini names the same).
  bool defaultSwitch = false;
  std::string defaultPath;  // the default log file, its variables expanded
  InstallerLogCheck check;  // what is at defaultPath, when the switch is the default one
  // Something other than a plain file of a trusted owner is at defaultPath.
  bool defaultTaken = false;
  // The log file setup gets when the switch is the default one: defaultPath, a file in a folder
  // of the run's own, or empty when no such folder could be made (setup then gets no log switch)
  // or when the generator only tells (moveTakenInstallerLog not set).
  std::string path;
  // Why no folder for another log could be made, when none could.
  DWORD folderError = 0;
};

// Decides whether the staged package may be installed over the installed client and builds the
// setup.exe command line. Windows Installer shows no user interface of its own while one exists;
// the level is process-wide, so no other user of Windows Installer in the process may rely on its
// own level meanwhile.
class CommandLineGenerator {
 public:
  explicit CommandLineGenerator(const std::string& packageDirectory);
  virtual ~CommandLineGenerator();
  CommandLineGenerator(const CommandLineGenerator&) = delete;
  CommandLineGenerator& operator=(const CommandLineGenerator&) = delete;

  // Runs the version gate, then builds the command line into `out`, a buffer of
  // kCommandLineBufferSize bytes. kCommandLineReady or kLowerVersionRefused leave the command
  // line in `out`; kCommandLineNotStored leaves `out` untouched. One call per generator.
  int GenerateCommandLine(char* out);

  // Splits a version text at its dots; strtol rules for each component, an empty component
  // counts as 0 and a trailing dot adds nothing.
  static VersionNumbers ParseVersion(const std::string& versionText);

  // Filled by GenerateCommandLine as far as it got.
  const VersionGateFindings& findings() const { return findings_; }
  const InstallerLogFindings& installerLog() const { return installerLog_; }

 private:
  // False when the gate refuses the package's .msi.
  bool LoadPackageInfo();
  // Tells the refusal and notes it in the findings.
  void RefuseMsi(MsiRefusal why, const std::string& line);
  bool GetMsiProperty(const std::string& databasePath, const char* propertyName,
                      std::string& value) const;
  bool GetUpgradeCode(std::string& value) const;
  bool GetPackageVersion(std::string& value) const;
  UINT FindNewestRelatedProduct(std::string& productCode) const;
  bool FindInstalledProduct();
  bool GetInstalledVersion(std::string& versionText) const;

  // The command line itself, once the gate has answered `pendingResult`.
  int BuildCommandLine(char* out, int pendingResult) const;
  std::string GetUiSwitch() const;
  // The installer's log switch, ready to sit inside the quoted /v argument; empty only when even
  // the default switch would break the command line (a TEMP that holds a quote, say).
  void GetLogSwitch(std::string& logSwitch) const;
  // Looks at the file of the default log switch and, where it is taken, gives setup another log
  // or, when no folder for one can be made, none.
  void CheckDefaultLogFile(const VariableLookup& lookup, std::string& logSwitch) const;
  // "IDCENABLE=0", "IDCENABLE=1" or empty, as the package's Setup.ini asks.
  void GetIdcEnableProperty(std::string& property) const;
  // One InstallationOption attribute of config.xml, empty when it is not there.
  std::wstring ReadInstallOption(const char* attribute) const;
  // The installer arguments the package's author put in Setup.ini, at most `bufferSize` - 1
  // characters; empty when the file or the value is missing.
  std::string ReadSetupCmdLine(DWORD bufferSize) const;

  DWORD previousUiLevel = 0;
  bool installedProductFound = false;

 public:
  // Set by the caller between construction and GenerateCommandLine.
  bool includeLogSwitch = false;
  DWORD daxPid = 0;
  // Debug mode: a person at the desktop confirmed the run and can answer setup's dialogs. In a
  // service run nobody can, so "Normal" gives a UI that never waits for input.
  bool personAtDesktop = false;
  // The package's .msi as the caller holds it (and has judged with PackageMsiRefusal); null:
  // the generator finds, judges and holds it itself for as long as it lives.
  const HeldPackageMsi* heldMsi = nullptr;
  // Where the gate's refusals of the .msi go; empty: they are logged.
  MsiRefusalReport reportMsiRefusal;
  // The run's one reading of config.xml; null: each question reads config.xml itself.
  std::shared_ptr<config::ConfigXmlRun> configRun;
  // Where the %variables% of the log switch are read: this process's environment when empty.
  VariableLookup environmentLookup;
  // Set by the run: a default log file that is taken makes a folder of the run's own for setup's
  // log. Unset (the check), nothing is made, the command line keeps the default switch and
  // installerLog() tells what the run would do.
  bool moveTakenInstallerLog = false;

 private:
  std::string upgradeCode;
  std::string installedProductCode;
  std::string packageDir;
  std::string packageMsiPath;
  const HeldPackageMsi* msi_ = nullptr;
  HeldPackageMsi ownMsi_;
  mutable VersionGateFindings findings_;
  mutable InstallerLogFindings installerLog_;
};

}  // namespace setupcmd
