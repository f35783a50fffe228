#include "setupcmd/command_line_generator.h"

#include <msi.h>
#include <msiquery.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "diag/log.h"
#include "platform/unique_handle.h"

namespace setupcmd {

using diag::LogLine;

namespace {

// Buffer sizes of the Windows Installer answers, terminating NUL included.
constexpr DWORD kProductCodeBuffer = 39;
constexpr DWORD kVersionBuffer = 39;
constexpr DWORD kPropertyBuffer = 260;

constexpr char kVersionStringProperty[] = "VersionString";
constexpr char kUnreadablePackageVersion[] = "0.0.0.0";

// strtol semantics, held to 32 bits whatever the width of long.
std::int32_t ParseComponent(const std::string& piece) {
  const long value = std::strtol(piece.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

// A component that one side lacks counts as 0.
std::int32_t ComponentAt(const VersionNumbers& version, size_t index) {
  return index < version.size() ? version[index] : 0;
}

// Compares over the components of `first` only: negative when `first` is lower there, positive
// when higher, 0 when equal over them.
int CompareOverFirst(const VersionNumbers& first, const VersionNumbers& second) {
  for (size_t index = 0; index < first.size(); ++index) {
    const std::int32_t mine = first[index];
    const std::int32_t theirs = ComponentAt(second, index);
    if (mine != theirs) return mine < theirs ? -1 : 1;
  }
  return 0;
}

bool ReadProductVersion(const char* productCode, std::string& version, UINT& error) {
  char buffer[kVersionBuffer] = {};
  DWORD length = kVersionBuffer;
  error = ::MsiGetProductInfoA(productCode, kVersionStringProperty, buffer, &length);
  if (error != ERROR_SUCCESS) return false;
  version = buffer;
  return true;
}

}  // namespace

CommandLineGenerator::CommandLineGenerator(const std::string& packageDirectory)
    : packageDir(packageDirectory) {
  previousUiLevel = static_cast<DWORD>(::MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr));
}

CommandLineGenerator::~CommandLineGenerator() {
  ::MsiSetInternalUI(static_cast<INSTALLUILEVEL>(previousUiLevel), nullptr);
}

int CommandLineGenerator::GenerateCommandLine(char* out) {
  LoadPackageInfo();

  std::string installed;
  if (installedProductFound && !GetInstalledVersion(installed)) {
    LogLine("GetInstalledVersion() failed");
    return kCommandLineNotStored;
  }

  std::string packageVersion;
  GetPackageVersion(packageVersion);
  LogLine("New Version = ", packageVersion, " Installed Version = ", installed);

  int pendingResult = kCommandLineReady;
  if (installedProductFound &&
      CompareOverFirst(ParseVersion(installed), ParseVersion(packageVersion)) > 0) {
    LogLine("ERROR: attempting to install lower version ", packageVersion, " over version ",
            installed);
    pendingResult = kLowerVersionRefused;
  }

  // A refused version still gets its command line: the caller decides on the result alone.
  return BuildCommandLine(out, pendingResult);
}

// Placeholder until the deployment settings reach the command line: only the fixed pieces, the
// default user interface switch and the caller's process number.
int CommandLineGenerator::BuildCommandLine(char* out, int pendingResult) const {
  std::string commandLine = "\"" + packageDir + "\\setup.exe\" /w /s /v\"";
  commandLine += "/qn";
  if (daxPid != 0) commandLine += " DAXPID=" + std::to_string(daxPid);
  commandLine += " REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\"";

  if (commandLine.size() >= kCommandLineBufferSize) {
    LogLine("Array not large enough to store command line: Supplied ", kCommandLineBufferSize,
            " bytes but need ", commandLine.size());
    return kCommandLineNotStored;
  }
  std::memcpy(out, commandLine.c_str(), commandLine.size() + 1);
  LogLine(commandLine);
  return pendingResult;
}

void CommandLineGenerator::LoadPackageInfo() {
  packageMsiPath = FindPackageMsi();
  GetUpgradeCode(upgradeCode);
  installedProductFound = FindInstalledProduct();
}

std::string CommandLineGenerator::FindPackageMsi() const {
  WIN32_FIND_DATAA match = {};
  platform::UniqueFindHandle search(::FindFirstFileA((packageDir + "\\*.msi").c_str(), &match));
  if (!search) return packageDir;
  return packageDir + "\\" + match.cFileName;
}

bool CommandLineGenerator::GetMsiProperty(const std::string& databasePath, const char* propertyName,
                                          std::string& value) const {
  platform::UniqueMsiHandle database;
  UINT error = ::MsiOpenDatabaseA(databasePath.c_str(), MSIDBOPEN_READONLY, database.put());
  if (error != ERROR_SUCCESS) {
    LogLine("ERROR: MsiOpenDatabase failed with error ", error, " on ", packageMsiPath);
    return false;
  }

  const std::string query =
      std::string("SELECT * FROM Property WHERE `Property`='") + propertyName + "'";
  platform::UniqueMsiHandle view;
  error = ::MsiDatabaseOpenViewA(database.get(), query.c_str(), view.put());
  if (error != ERROR_SUCCESS) {
    LogLine("ERROR: MsiDatabaseOpenView failed with error ", error, " from query ", query);
    return false;
  }
  error = ::MsiViewExecute(view.get(), 0);
  if (error != ERROR_SUCCESS) {
    LogLine("ERROR: MsiViewExecute failed with error ", error);
    return false;
  }
  platform::UniqueMsiHandle record;
  error = ::MsiViewFetch(view.get(), record.put());
  if (error != ERROR_SUCCESS) {
    LogLine("ERROR: MsiViewFetch failed with error ", error);
    return false;
  }

  // Field 2 is the Value column of the Property table.
  char buffer[kPropertyBuffer] = {};
  DWORD length = kPropertyBuffer;
  error = ::MsiRecordGetStringA(record.get(), 2, buffer, &length);
  if (error != ERROR_SUCCESS) {
    LogLine("ERROR: MsiRecordGetString failed with error ", error);
    return false;
  }
  value = buffer;
  return true;
}

bool CommandLineGenerator::GetUpgradeCode(std::string& value) const {
  value.clear();
  return GetMsiProperty(packageMsiPath, "UpgradeCode", value);
}

bool CommandLineGenerator::GetPackageVersion(std::string& value) const {
  value = kUnreadablePackageVersion;
  return GetMsiProperty(packageMsiPath, "ProductVersion", value);
}

UINT CommandLineGenerator::FindNewestRelatedProduct(std::string& productCode) const {
  std::string bestCode;
  VersionNumbers bestVersion;
  bool haveBest = false;
  for (DWORD index = 0;; ++index) {
    char candidate[kProductCodeBuffer] = {};
    const UINT error = ::MsiEnumRelatedProductsA(upgradeCode.c_str(), 0, index, candidate);
    if (error != ERROR_SUCCESS) {
      if (!haveBest) return error;
      productCode = bestCode;
      return ERROR_SUCCESS;
    }

    std::string versionText;
    UINT versionError = ERROR_SUCCESS;
    if (!ReadProductVersion(candidate, versionText, versionError)) continue;
    VersionNumbers version = ParseVersion(versionText);
    // Ties go to the product enumerated first.
    if (!haveBest || CompareOverFirst(version, bestVersion) > 0) {
      bestCode = candidate;
      bestVersion = std::move(version);
      haveBest = true;
    }
  }
}

bool CommandLineGenerator::FindInstalledProduct() {
  std::string productCode;
  const UINT error = FindNewestRelatedProduct(productCode);
  if (error != ERROR_SUCCESS) {
    LogLine("ERROR: MsiEnumRelatedProducts failed with error ", error);
    return false;
  }
  installedProductCode = productCode;
  return true;
}

bool CommandLineGenerator::GetInstalledVersion(std::string& versionText) const {
  UINT error = ERROR_SUCCESS;
  if (!ReadProductVersion(installedProductCode.c_str(), versionText, error)) {
    LogLine("ERROR: MsiGetProductInfo failed with error", error);
    return false;
  }
  return true;
}

VersionNumbers CommandLineGenerator::ParseVersion(const std::string& versionText) {
  VersionNumbers numbers;
  size_t start = 0;
  for (size_t dot = versionText.find('.'); dot != std::string::npos;
       dot = versionText.find('.', start)) {
    numbers.push_back(ParseComponent(versionText.substr(start, dot - start)));
    start = dot + 1;
  }
  if (start < versionText.size()) numbers.push_back(ParseComponent(versionText.substr(start)));
  return numbers;
}

}  // namespace setupcmd
