// Reader of the client's deployment file config.xml: finds the client's configuration folder,
// loads the file and answers, for the one ClientPackage entry that fits the staged package, its
// install options, its reboot options and its enabled features. It never writes anything.
#pragma once

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
  std::unique_ptr<InstallUtils::CXmlDom> xmlDom;
  bool documentLoaded = false;
  ConfigLoad load = ConfigLoad::kNoCom;
  std::wstring packageChecksum;
  std::wstring appType;
  std::wstring platformMarker;
  std::wstring language;
};

}  // namespace config
