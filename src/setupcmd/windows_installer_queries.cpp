// The version gate's questions to Windows Installer: properties of the package's .msi, the
// related products that are installed, and their versions.
#include "setupcmd/command_line_generator.h"

#include <msi.h>
#include <msiquery.h>

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

bool ReadProductVersion(const char* productCode, std::string& version, UINT& error) {
  char buffer[kVersionBuffer] = {};
  DWORD length = kVersionBuffer;
  error = ::MsiGetProductInfoA(productCode, kVersionStringProperty, buffer, &length);
  if (error != ERROR_SUCCESS) return false;
  version = buffer;
  return true;
}

}  // namespace

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
    const bool readable = ReadProductVersion(candidate, versionText, versionError);
    findings_.relatedProducts.push_back({candidate, readable ? versionText : std::string()});
    if (!readable) continue;
    VersionNumbers version = ParseVersion(versionText);
    // Ties go to the product enumerated first.
    if (!haveBest || CompareVersionsOver(version, bestVersion) > 0) {
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

}  // namespace setupcmd
