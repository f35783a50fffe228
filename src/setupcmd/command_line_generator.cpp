#include "setupcmd/command_line_generator.h"

#include <comdef.h>
#include <msi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/config_xml_parser.h"
#include "diag/log.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "setupcmd/command_line_text.h"

namespace setupcmd {

using diag::LogLine;

namespace {

// Setup.ini is read once with a buffer of 260 for the log switch and once with 261 for
// IDCENABLE.
constexpr DWORD kLogSwitchCmdLineBuffer = 260;
constexpr DWORD kIdcEnableCmdLineBuffer = 261;
constexpr DWORD kVariableBuffer = 260;
// "/l*v " and the file name must fit in the 259 characters of the log switch's source.
constexpr size_t kLogFileNameLimit = 254;

// Judged in the code page the command line is in: setup's process gets it converted to UTF-16 by
// the same rules.
bool IsAnsiLeadByte(unsigned char byte) { return ::IsDBCSLeadByteEx(CP_ACP, byte) != FALSE; }

// The character as setup's process gets it in UTF-16. One that does not convert to a single
// unit is not known to be harmless, and counts as a blank.
bool IsAnsiBlank(std::string_view character) {
  wchar_t wide[2] = {};
  const int units = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, character.data(),
                                          static_cast<int>(character.size()), wide, 2);
  return units != 1 || IsUnicodeBlank(static_cast<char32_t>(wide[0]));
}

}  // namespace

// The value of an environment variable, or empty when it is not set or does not fit the buffer.
// The switch goes inside the quoted /v argument, and setup passes that on without expanding
// anything: its %variables% are expanded here.
std::string ProcessEnvironmentValue(const std::string& name) {
  if (name.empty()) return std::string();
  char buffer[kVariableBuffer] = {};
  const DWORD length = ::GetEnvironmentVariableA(name.c_str(), buffer, kVariableBuffer);
  if (length >= kVariableBuffer) {
    LogLine("WARNING: environment variable ", name,
            " is too long for the installer log switch and is left out");
    return std::string();
  }
  return std::string(buffer, length);
}

CommandLineGenerator::CommandLineGenerator(const std::string& packageDirectory)
    : packageDir(packageDirectory) {
  previousUiLevel = static_cast<DWORD>(::MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr));
}

CommandLineGenerator::~CommandLineGenerator() {
  ::MsiSetInternalUI(static_cast<INSTALLUILEVEL>(previousUiLevel), nullptr);
}

int CommandLineGenerator::GenerateCommandLine(char* out) {
  if (!LoadPackageInfo()) {
    findings_.packageMsiRefused = true;
    return kPackageMsiRefused;
  }

  findings_.packageMsiPath = packageMsiPath;
  findings_.upgradeCode = upgradeCode;
  findings_.installedProductFound = installedProductFound;
  findings_.installedProductCode = installedProductFound ? installedProductCode : std::string();

  std::string installed;
  if (installedProductFound && !GetInstalledVersion(installed)) {
    LogLine("GetInstalledVersion() failed");
    return kCommandLineNotStored;
  }
  findings_.installedVersion = installed;
  findings_.installedVersionRead = installedProductFound;

  std::string packageVersion;
  const bool versionRead = GetPackageVersion(packageVersion);
  if (msi_->found == HeldPackageMsi::Found::kOne && !StillNamesHeldFile(*msi_)) {
    RefuseMsi(MsiRefusal::kUnreadable,
              "ERROR: " + packageMsiPath + " no longer names the held file. Setup is not run");
    return kPackageMsiRefused;
  }
  findings_.packageVersion = packageVersion;
  LogLine("New Version = ", packageVersion, " Installed Version = ", installed);

  int pendingResult = kCommandLineReady;
  if (installedProductFound &&
      CompareVersionsOver(ParseVersion(installed), ParseVersion(packageVersion)) > 0) {
    LogLine("ERROR: attempting to install lower version ", packageVersion, " over version ",
            installed);
    pendingResult = kLowerVersionRefused;
    findings_.lowerVersion = true;
  } else if (installedProductFound && !versionRead) {
    // Whatever the installed version reads as, a package of unknown version may be older.
    LogLine("ERROR: the package version cannot be read; it is not installed over version ",
            installed);
    pendingResult = kLowerVersionRefused;
    findings_.lowerVersion = true;
  }

  // A refused version still gets its command line: the caller decides on the result alone.
  return BuildCommandLine(out, pendingResult);
}

int CommandLineGenerator::BuildCommandLine(char* out, int pendingResult) const {
  const std::string uiSwitch = GetUiSwitch();
  std::string logSwitch;
  if (includeLogSwitch) GetLogSwitch(logSwitch);
  std::string idcEnable;
  GetIdcEnableProperty(idcEnable);
  const std::string commandLine =
      AssembleCommandLine(packageDir, uiSwitch, logSwitch, idcEnable, daxPid);

  if (commandLine.size() >= kCommandLineBufferSize) {
    LogLine("Array not large enough to store command line: Supplied ", kCommandLineBufferSize,
            " bytes but need ", commandLine.size());
    return kCommandLineNotStored;
  }
  std::memcpy(out, commandLine.c_str(), commandLine.size() + 1);
  LogLine(commandLine);
  return pendingResult;
}

std::string CommandLineGenerator::GetUiSwitch() const {
  return UiSwitchFor(platform::NarrowWithoutBestFit(ReadInstallOption("UserInterfaceLevel")),
                     personAtDesktop ? SetupAudience::kPersonAtDesktop : SetupAudience::kNobody);
}

void CommandLineGenerator::GetLogSwitch(std::string& logSwitch) const {
  std::string fileName;
  bool exact = true;
  const std::string configName =
      platform::NarrowWithoutBestFit(ReadInstallOption("InstallationLogFileName"), &exact);
  if (!exact) {
    LogLine(
        "WARNING: InstallationLogFileName of config.xml holds characters that the ANSI code "
        "page does not have and is ignored");
  } else if (configName.size() > kLogFileNameLimit) {
    LogLine("WARNING: InstallationLogFileName of config.xml has more than ", kLogFileNameLimit,
            " characters and is ignored");
  } else {
    fileName = configName;
  }
  const VariableLookup lookup =
      environmentLookup ? environmentLookup : VariableLookup(ProcessEnvironmentValue);
  logSwitch = ChooseLogSwitch(
      fileName, ReadSetupCmdLine(kLogSwitchCmdLineBuffer), lookup, IsAnsiLeadByte,
      [](const std::string& warning) { LogLine(warning); }, IsAnsiBlank);
  CheckDefaultLogFile(lookup, logSwitch);
}

void CommandLineGenerator::CheckDefaultLogFile(const VariableLookup& lookup,
                                               std::string& logSwitch) const {
  installerLog_ = InstallerLogFindings();
  const std::string defaultSwitch =
      EscapeForQuotedArgument(ExpandVariables(kDefaultLogSwitch, lookup), IsAnsiLeadByte);
  if (logSwitch.empty() || logSwitch != defaultSwitch) return;
  installerLog_.defaultSwitch = true;
  installerLog_.defaultPath = ExpandVariables(kDefaultLogFile, lookup);
  installerLog_.check = CheckInstallerLogPath(installerLog_.defaultPath);
  if (DefaultLogStays(installerLog_.check.place)) {
    installerLog_.path = installerLog_.defaultPath;
    return;
  }
  installerLog_.defaultTaken = true;
  if (!moveTakenInstallerLog) return;

  const std::string& defaultPath = installerLog_.defaultPath;
  const std::string parent = defaultPath.substr(0, defaultPath.find_last_of('\\'));
  std::string privatePath;
  if (CreatePrivateLogFolder(parent, privatePath)) {
    const std::string moved = "/l*v \"" + privatePath + "\"";
    if (CheckLogSwitch(moved, IsAnsiLeadByte) == LogSwitchFault::kNone) {
      logSwitch = EscapeForQuotedArgument(moved, IsAnsiLeadByte);
      installerLog_.path = privatePath;
      return;
    }
    ::SetLastError(ERROR_INVALID_NAME);
  }
  // Better no installer log than one in a place someone else prepared.
  const DWORD error = ::GetLastError();
  installerLog_.folderError = error != ERROR_SUCCESS ? error : ERROR_CANNOT_MAKE;
  logSwitch.clear();
}

void CommandLineGenerator::GetIdcEnableProperty(std::string& property) const {
  property = IdcEnablePropertyIn(ReadSetupCmdLine(kIdcEnableCmdLineBuffer));
}

// A DOM failure while reading config.xml costs only this one setting: the command line falls
// back to what it uses when config.xml says nothing, instead of ending the run.
std::wstring CommandLineGenerator::ReadInstallOption(const char* attribute) const {
  try {
    config::CConfigXMLParser reader(packageDir.c_str(), configRun);
    return reader.getInstallOption(attribute);
  } catch (const _com_error& error) {
    char code[11] = {};
    std::snprintf(code, sizeof(code), "%08lx", static_cast<unsigned long>(error.Error()));
    LogLine("ERROR: Unable to read ", attribute, " from config.xml - 0x", code);
    return std::wstring();
  }
}

std::string CommandLineGenerator::ReadSetupCmdLine(DWORD bufferSize) const {
  const bool endsInSeparator = !packageDir.empty() && packageDir.back() == '\\';
  const std::string iniPath = packageDir + (endsInSeparator ? "" : "\\") + "Setup.ini";
  std::vector<char> buffer(bufferSize, '\0');
  const DWORD length = ::GetPrivateProfileStringA("Startup", "CmdLine", nullptr, buffer.data(),
                                                  bufferSize, iniPath.c_str());
  return std::string(buffer.data(), length);
}

bool CommandLineGenerator::LoadPackageInfo() {
  msi_ = heldMsi;
  if (!msi_) {
    ownMsi_ = FindAndHoldPackageMsi(packageDir);
    msi_ = &ownMsi_;
    const std::string refusal = PackageMsiRefusal(ownMsi_);
    if (!refusal.empty()) {
      findings_.packageMsiNames = ownMsi_.names;
      RefuseMsi(ownMsi_.found == HeldPackageMsi::Found::kSeveral ? MsiRefusal::kSeveral
                                                                 : MsiRefusal::kUnreadable,
                refusal);
      return false;
    }
  }
  findings_.packageMsiNames = msi_->names;
  const bool one = msi_->found == HeldPackageMsi::Found::kOne;
  if (!one && msi_->found != HeldPackageMsi::Found::kNone) return false;
  // Without an .msi the folder itself is tried as the database, which finds no family.
  packageMsiPath = one ? msi_->path : packageDir;
  // Read by name, as Windows Installer opens databases only so; the name is taken only while it
  // leads to the held file, which nobody can change, rename or replace meanwhile.
  if (one && !StillNamesHeldFile(*msi_)) {
    RefuseMsi(MsiRefusal::kUnreadable,
              "ERROR: " + packageMsiPath + " no longer names the held file. Setup is not run");
    return false;
  }
  const bool familyRead = GetUpgradeCode(upgradeCode);
  // An .msi whose family cannot be read could belong to any product: the newer client that is
  // installed would then go unseen.
  if (one && !familyRead) {
    findings_.packageMsiPath = packageMsiPath;
    RefuseMsi(MsiRefusal::kUnreadable, "ERROR: the product family of " + packageMsiPath +
                                           " cannot be read. Setup is not run");
    return false;
  }
  installedProductFound = FindInstalledProduct();
  return true;
}

void CommandLineGenerator::RefuseMsi(MsiRefusal why, const std::string& line) {
  findings_.packageMsiRefused = true;
  findings_.msiRefusal = why;
  if (reportMsiRefusal) {
    reportMsiRefusal(why, line);
  } else {
    LogLine(line);
  }
}

VersionNumbers CommandLineGenerator::ParseVersion(const std::string& versionText) {
  return ParseVersionText(versionText);
}

}  // namespace setupcmd
