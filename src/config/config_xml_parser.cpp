#include "config/config_xml_parser.h"

#include <objbase.h>

#include <boost/algorithm/string.hpp>
#include <boost/lexical_cast.hpp>
#include <new>

#include "contract/product_registry.h"
#include "diag/log.h"
#include "platform/registry.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "sharedlib/path_expansion.h"

namespace config {

namespace {

constexpr char kLogTag[] = "CConfigXMLParser::CConfigXMLParser";
// ProductVersion 12.1 and later keep the configuration where %TRVCONFIGDIR% points.
struct MajorMinor {
  int major = 0;
  int minor = 0;
};
constexpr MajorMinor kFirstExpandedConfigVersion = {12, 1};

// Compared number by number: packed into 16 bits each, a minor number of 65536 or a negative one
// would wrap into another version (12.65536 read as 12.0, 12.-1 as 12.65535).
bool IsAtLeast(const MajorMinor& version, const MajorMinor& first) {
  if (version.major != first.major) return version.major > first.major;
  return version.minor >= first.minor;
}

std::string WithFile(const std::string& folder, const char* file) {
  return folder + (folder.back() == '\\' ? "" : "\\") + file;
}

// Reads a value of the product key as ANSI text of at most 260 bytes, whatever its registry type.
bool ReadProductValue(HKEY key, const char* name, std::string& value) {
  platform::TextValueLimits limits;
  limits.maxBytes = 260;
  return platform::ReadRegistryText(key, name, limits, value);
}

// The major and minor numbers of a dotted version; false when it has fewer than two pieces or
// its first two are not integers.
bool ParseVersion(const std::string& text, MajorMinor& number) {
  std::vector<std::string> pieces;
  boost::split(pieces, text, boost::is_any_of("."));
  if (pieces.size() < 2) return false;
  try {
    const MajorMinor parsed = {boost::lexical_cast<int>(pieces[0]),
                               boost::lexical_cast<int>(pieces[1])};
    number = parsed;
    return true;
  } catch (const boost::bad_lexical_cast&) {
    return false;
  }
}

}  // namespace

ConfigLocation LocateConfigXml() {
  ConfigLocation location;
  const REGSAM access = contract::ProductKeyAccess();
  location.readIn32BitView = (access & KEY_WOW64_32KEY) != 0;
  platform::UniqueRegKey key;
  if (!contract::OpenProductKey(access, key)) {
    location.failure =
        std::string(" - Unable to open registry key'") + contract::kProductKeyPath + "'";
    return location;
  }
  location.productKeyOpened = true;
  std::string version;
  MajorMinor number;
  if (!ReadProductValue(key.get(), "ProductVersion", version)) {
    location.failure = " - Unable to read value 'ProductVersion'";
    return location;
  }
  location.productVersion = version;
  if (!ParseVersion(version, number)) {
    location.failure = " - Unable to parse value 'ProductVersion'";
    return location;
  }
  location.versionParsed = true;
  if (IsAtLeast(number, kFirstExpandedConfigVersion)) {
    location.throughExpansion = true;
    std::wstring directory;
    if (sharedlib::ExpandPath(L"%TRVCONFIGDIR%", directory) != 1) {
      location.failure = " - Unable to expand TRVCONFIGDIR path expansion variable";
      return location;
    }
    location.expanded = true;
    location.directory = directory;
  } else {
    std::string installPath;
    if (!ReadProductValue(key.get(), "dax_install_path", installPath)) {
      location.failure = " - Unable to read value 'dax_install_path'";
      return location;
    }
    location.installPath = installPath;
    location.directory = platform::WidenCountedLenient(installPath);
  }
  if (!location.directory.empty()) {
    location.path =
        location.directory + (location.directory.back() == L'\\' ? L"" : L"\\") + L"config.xml";
  }
  return location;
}

namespace {

// A deployment configuration is a few kilobytes; one describing ten thousand packages is about
// 6 MB and still loads in about a second. MSXML needs minutes for a file of tens of megabytes
// (the time grows faster than the size), so a larger file would hold up the upgrade far beyond
// any of its waits.
constexpr ULONGLONG kMaxConfigBytes = 16ull << 20;

ConfigXmlRun::RetryPolicy g_retryPolicy;
ReaderStartHook g_readerStartHook;

// Another process holds the file without sharing it for reading, or has locked a range of it:
// it exists, and is worth another try.
bool IsHeldElsewhere(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

enum class ReadOutcome { kRead, kMissing, kTooLarge, kUnreadable };

// One try at the whole file through one handle. The size is judged on the bytes read, not on
// a size asked for beforehand: a file that grows or is swapped after such a question is still
// read no further than the limit.
ReadOutcome ReadWholeFile(const std::wstring& path, std::string& bytes, DWORD& error) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return ReadOutcome::kMissing;
  }
  platform::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? ReadOutcome::kMissing
               : ReadOutcome::kUnreadable;
  }
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    error = ERROR_INVALID_HANDLE;
    return ReadOutcome::kUnreadable;
  }
  std::string read;
  constexpr DWORD kChunk = 1u << 20;
  for (;;) {
    const size_t at = read.size();
    read.resize(at + kChunk);
    DWORD got = 0;
    if (!::ReadFile(file.get(), &read[at], kChunk, &got, nullptr)) {
      error = ::GetLastError();
      return ReadOutcome::kUnreadable;
    }
    read.resize(at + got);
    if (read.size() > kMaxConfigBytes) return ReadOutcome::kTooLarge;
    if (got == 0) break;
  }
  bytes.swap(read);
  return ReadOutcome::kRead;
}

// A setAid.ini value, or empty when the read gives nothing.
std::wstring ReadSetAidValue(const std::string& iniPath, const char* section, const char* key,
                             const char* defaultValue) {
  char buffer[260] = {};
  const DWORD length = ::GetPrivateProfileStringA(section, key, defaultValue, buffer,
                                                  sizeof(buffer), iniPath.c_str());
  return length > 0 ? platform::WidenCountedLenient(std::string(buffer, length)) : std::wstring();
}

}  // namespace

ConfigXmlRun::RetryPolicy ConfigXmlRun::SetRetryPolicyForTesting(RetryPolicy policy) {
  const RetryPolicy previous = g_retryPolicy;
  g_retryPolicy = policy;
  return previous;
}

ReaderStartHook SetReaderStartHookForTesting(ReaderStartHook hook) {
  ReaderStartHook previous = std::move(g_readerStartHook);
  g_readerStartHook = std::move(hook);
  return previous;
}

std::shared_ptr<ConfigXmlRun> ConfigXmlRun::Read() {
  std::shared_ptr<ConfigXmlRun> run(new ConfigXmlRun());
  run->location_ = LocateConfigXml();
  // Without a folder there is nothing to read: a bare "config.xml" would be looked for in
  // whatever the current folder happens to be.
  if (run->location_.path.empty()) return run;
  const int attempts = g_retryPolicy.attempts > 0 ? g_retryPolicy.attempts : 1;
  for (int attempt = 1;; ++attempt) {
    DWORD error = ERROR_SUCCESS;
    switch (ReadWholeFile(run->location_.path, run->bytes_, error)) {
      case ReadOutcome::kRead:
        run->state_ = ConfigLoad::kLoaded;
        return run;
      case ReadOutcome::kMissing:
        run->state_ = ConfigLoad::kMissing;
        return run;
      case ReadOutcome::kTooLarge:
        run->state_ = ConfigLoad::kTooLarge;
        return run;
      case ReadOutcome::kUnreadable:
        run->state_ = ConfigLoad::kUnreadable;
        run->error_ = error;
        break;
    }
    if (!IsHeldElsewhere(run->error_) || attempt >= attempts) return run;
    ::Sleep(g_retryPolicy.pauseMs);
  }
}

ConfigXmlRun::~ConfigXmlRun() {
  document_.reset();
  if (comInitialized_) ::CoUninitialize();
}

InstallUtils::CXmlDom* ConfigXmlRun::document() {
  if (state_ != ConfigLoad::kLoaded) return nullptr;
  if (parseTried_) return parsed_ ? document_.get() : nullptr;
  if (!comInitialized_) {
    // S_FALSE (already initialised on this thread) counts too and is balanced the same way.
    comInitialized_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    if (!comInitialized_) return nullptr;
  }
  if (!document_) document_.reset(new (std::nothrow) InstallUtils::CXmlDom());
  if (!document_) return nullptr;
  // A COM failure leaves the parse untried, as a reader by name would meet it again.
  const bool parsed = document_->loadBytes(bytes_);
  parseTried_ = true;
  parsed_ = parsed;
  return parsed_ ? document_.get() : nullptr;
}

CConfigXMLParser::ComInitialization::~ComInitialization() {
  if (initialized_) ::CoUninitialize();
}

bool CConfigXMLParser::ComInitialization::initialize() {
  // S_FALSE (already initialised on this thread) counts too and is balanced the same way.
  initialized_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  return initialized_;
}

CConfigXMLParser::CConfigXMLParser(const char* packageDir)
    : CConfigXMLParser(packageDir, nullptr) {}

CConfigXMLParser::CConfigXMLParser(const char* packageDir, std::shared_ptr<ConfigXmlRun> run) {
  if (g_readerStartHook) g_readerStartHook();
  if (!com.initialize()) {
    diag::LogLine(kLogTag, " - CoInitialize() failed");
  } else {
    run_ = run ? std::move(run) : ConfigXmlRun::Read();
    const ConfigLocation& location = run_->location();
    if (!location.failure.empty()) diag::LogLine(kLogTag, location.failure);
    load = run_->state();
    switch (load) {
      case ConfigLoad::kLoaded:
        xmlDom = run_->document();
        documentLoaded = xmlDom != nullptr;
        if (!documentLoaded) load = ConfigLoad::kNotParsed;
        break;
      case ConfigLoad::kTooLarge:
        diag::LogLine(kLogTag, " - config.xml is larger than 16 MB and is not read");
        break;
      case ConfigLoad::kUnreadable:
        diag::LogLine(kLogTag, " - Unable to read config.xml (error ", run_->error(),
                      "); it is not read");
        break;
      default:  // no folder, or no file: as MSXML would answer it, not loaded, no line
        break;
    }
  }
  readPackageIdentity(packageDir ? packageDir : "");
}

CConfigXMLParser::~CConfigXMLParser() {
  xmlDom = nullptr;
  run_.reset();
}

void CConfigXMLParser::readPackageIdentity(const std::string& packageDir) {
  language = L"en_us";
  // Without a folder the profile functions would read a setAid.ini of the Windows folder.
  if (packageDir.empty()) return;
  const std::string iniPath = WithFile(packageDir, "setAid.ini");
  packageChecksum = ReadSetAidValue(iniPath, "PREDEFINED_DAX_CONFIG", "PackageChecksum", "");
  appType = ReadSetAidValue(iniPath, "PREDEFINED_DAX_CONFIG", "AppType", "");
  const std::wstring platform =
      ReadSetAidValue(iniPath, "PREDEFINED_DAX_CONFIG", "PlatformType", "");
  if (boost::iequals(platform, L"WIN32BIT")) {
    platformMarker = L" Win32";
  } else if (boost::iequals(platform, L"WIN64BIT")) {
    platformMarker = L" Win64";
  } else if (!platform.empty()) {
    diag::LogLine(kLogTag, " Found invalid platform string in setAid.ini");
  }
  language = ReadSetAidValue(iniPath, "LU_CONFIG", "Language", "en_us");
}

bool CConfigXMLParser::selectClientPackage(bool byChecksum, int* position) {
  xmlDom->moveToRoot();
  if (!xmlDom->selectChild(L"ClientPackage")) return false;
  int elements = 0;
  do {
    // Comments and processing instructions between the entries are not entries.
    if (!xmlDom->isElement()) continue;
    if (position) *position = ++elements;
    if (byChecksum) {
      if (boost::iequals(xmlDom->readAttribute(L"Checksum"), packageChecksum)) return true;
    } else {
      const std::wstring product = xmlDom->readAttribute(L"Product");
      const bool productFits = !product.empty() && !platformMarker.empty() &&
                               !boost::ifind_first(product, platformMarker).empty();
      if (productFits && xmlDom->readAttribute(L"Type") == appType + L".1" &&
          boost::iequals(xmlDom->readAttribute(L"Language"), language)) {
        return true;
      }
    }
  } while (xmlDom->moveToNextSibling());
  return false;
}

// An entry for this package's checksum anywhere in the file wins over one that fits by product,
// type and language; among entries of one kind the first wins.
bool CConfigXMLParser::selectPackage() {
  if (!documentLoaded || !xmlDom) return false;
  return selectClientPackage(true) || selectClientPackage(false);
}

PackageSelection CConfigXMLParser::describeSelection() {
  PackageSelection selection;
  selection.packageChecksum = packageChecksum;
  selection.appType = appType;
  selection.platformMarker = platformMarker;
  selection.packageLanguage = language;
  if (!documentLoaded || !xmlDom) return selection;
  int position = 0;
  if (selectClientPackage(true, &position)) {
    selection.by = PackageSelection::By::kChecksum;
  } else if (selectClientPackage(false, &position)) {
    selection.by = PackageSelection::By::kAttributes;
  } else {
    return selection;
  }
  selection.position = position;
  selection.checksum = xmlDom->readAttribute(L"Checksum");
  selection.product = xmlDom->readAttribute(L"Product");
  selection.type = xmlDom->readAttribute(L"Type");
  selection.language = xmlDom->readAttribute(L"Language");
  return selection;
}

std::wstring CConfigXMLParser::getOptionValue(const wchar_t* element, const char* attribute) {
  std::wstring value;
  if (!attribute || !selectPackage()) return value;
  if (xmlDom->selectChild(element))
    value = xmlDom->readAttribute(platform::WidenCountedLenient(attribute));
  return value;
}

std::wstring CConfigXMLParser::getInstallOption(const char* attribute) {
  return getOptionValue(L"InstallationOption", attribute);
}

std::wstring CConfigXMLParser::getRebootOption(const char* attribute) {
  return getOptionValue(L"RebootOptions", attribute);
}

std::vector<std::string> CConfigXMLParser::getEnabledFeatures() {
  std::vector<std::string> features;
  if (!selectPackage() || !xmlDom->selectChild(L"EnabledClientFeatures")) return features;
  if (xmlDom->moveToFirstChild()) {
    do {
      features.push_back(platform::NarrowWithoutBestFit(xmlDom->readAttribute(L"FeatureName")));
    } while (xmlDom->moveToNextSibling());
  }
  return features;
}

}  // namespace config
