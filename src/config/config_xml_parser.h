// Reader of the client's deployment file config.xml: finds the client's configuration folder,
// loads the file and answers, for the one ClientPackage entry that fits the staged package, its
// install options, its reboot options and its enabled features. It never writes anything.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/xml_dom.h"

namespace config {

// Where a reader looks for config.xml, and why: the product key and its view, the client's
// version, and the folder that version leads to. Every reader finds it this way.
struct ConfigLocation {
  bool productKeyOpened = false;
  bool readIn32BitView = false;  // the product key was opened in the 32-bit registry view
  std::string productVersion;    // empty when it could not be read
  bool versionParsed = false;
  bool throughExpansion = false;  // 12.1 and later: the folder is %TRVCONFIGDIR%
  bool expanded = false;
  std::string installPath;  // dax_install_path, read only before 12.1
  std::wstring directory;   // empty when the folder cannot be found
  std::wstring path;        // directory + config.xml, empty with the directory
  std::string failure;      // the reader's line for why there is no folder, or empty
};
ConfigLocation LocateConfigXml();

// How a loaded config.xml was met: loaded, or why not.
enum class ConfigLoad { kLoaded, kNoFolder, kMissing, kTooLarge, kUnreadable, kNotParsed, kNoCom };

// config.xml as one setup run reads it: found once, opened once, its bytes read through that one
// handle and size-checked as they are read, and parsed at most once. Every reader of the run
// answers from these bytes, so a file changed or swapped during the run changes nothing of it.
class ConfigXmlRun {
 public:
  // Finds and reads config.xml. A file that exists but cannot be opened or read for a sharing
  // or lock violation is tried again for a bounded time first.
  static std::shared_ptr<ConfigXmlRun> Read();
  ~ConfigXmlRun();
  ConfigXmlRun(const ConfigXmlRun&) = delete;
  ConfigXmlRun& operator=(const ConfigXmlRun&) = delete;

  const ConfigLocation& location() const { return location_; }
  // kLoaded once the bytes are read (whether or not they parse), kNoFolder, kMissing, kTooLarge
  // or kUnreadable.
  ConfigLoad state() const { return state_; }
  // The last error of a file that could not be read.
  DWORD error() const { return error_; }
  const std::string& bytes() const { return bytes_; }
  // The document parsed from the bytes at the first call, shared by the readers of the run; null
  // when there are no bytes, COM cannot be used on this thread or they do not parse. A failing
  // COM call of the DOM is raised as _com_error (and tried again at the next call).
  InstallUtils::CXmlDom* document();

  // How long Read goes on trying a file that is held or locked; tests shorten it.
  struct RetryPolicy {
    int attempts = 20;
    DWORD pauseMs = 250;
  };
  static RetryPolicy SetRetryPolicyForTesting(RetryPolicy policy);

 private:
  ConfigXmlRun() = default;

  ConfigLocation location_;
  ConfigLoad state_ = ConfigLoad::kNoFolder;
  DWORD error_ = ERROR_SUCCESS;
  std::string bytes_;
  bool comInitialized_ = false;
  bool parseTried_ = false;
  std::unique_ptr<InstallUtils::CXmlDom> document_;
  bool parsed_ = false;
};

// Called as every reader of config.xml begins, before it takes its answers from the run: a test
// changes the file there. Returns the hook it replaces.
using ReaderStartHook = std::function<void()>;
ReaderStartHook SetReaderStartHookForTesting(ReaderStartHook hook);

// Which ClientPackage entry a reader answers for, and by which test it was chosen.
struct PackageSelection {
  enum class By { kNone, kChecksum, kAttributes } by = By::kNone;
  int position = 0;  // 1 for the first ClientPackage element, 0 when none is selected
  std::wstring checksum, product, type, language;  // the selected entry's attributes
  // The staged package's identity that the entries are compared with.
  std::wstring packageChecksum, appType, platformMarker, packageLanguage;
};

class CConfigXMLParser {
 public:
  // All reading happens here. `packageDir` is the staged package's folder (ANSI, with or without
  // a trailing backslash). Failures are logged and leave the answers empty. A failing COM call
  // of the DOM is raised as _com_error.
  explicit CConfigXMLParser(const char* packageDir);
  // The same, answering from the run's one reading of config.xml (read here when null).
  CConfigXMLParser(const char* packageDir, std::shared_ptr<ConfigXmlRun> run);
  virtual ~CConfigXMLParser();
  CConfigXMLParser(const CConfigXMLParser&) = delete;
  CConfigXMLParser& operator=(const CConfigXMLParser&) = delete;

  // Attribute `attribute` of the selected package's InstallationOption element, or empty.
  std::wstring getInstallOption(const char* attribute);
  // Attribute `attribute` of the selected package's RebootOptions element, or empty.
  std::wstring getRebootOption(const char* attribute);
  // FeatureName of every child of the selected package's EnabledClientFeatures, in document
  // order; empty names included.
  std::vector<std::string> getEnabledFeatures();

  // For those who explain a run: how config.xml was loaded and which entry applies.
  ConfigLoad loadState() const { return load; }
  PackageSelection describeSelection();

 private:
  std::wstring getOptionValue(const wchar_t* element, const char* attribute);
  bool selectClientPackage(bool byChecksum, int* position = nullptr);
  bool selectPackage();
  void readPackageIdentity(const std::string& packageDir);

  // COM for this thread, initialised by the constructor and balanced when the reader goes, also
  // when the constructor is left by an exception. Declared first so that it outlives xmlDom.
  class ComInitialization {
   public:
    ComInitialization() = default;
    ~ComInitialization();
    ComInitialization(const ComInitialization&) = delete;
    ComInitialization& operator=(const ComInitialization&) = delete;
    bool initialize();

   private:
    bool initialized_ = false;
  };

  ComInitialization com;
  std::shared_ptr<ConfigXmlRun> run_;
  InstallUtils::CXmlDom* xmlDom = nullptr;  // the run's document
  bool documentLoaded = false;
  ConfigLoad load = ConfigLoad::kNoCom;
  std::wstring packageChecksum;
  std::wstring appType;
  std::wstring platformMarker;
  std::wstring language;
};

}  // namespace config
