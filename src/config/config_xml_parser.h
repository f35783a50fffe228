// Reader of the client's deployment file config.xml: finds the client's configuration folder,
// loads the file and answers, for the one ClientPackage entry that fits the staged package, its
// install options, its reboot options and its enabled features. It never writes anything.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/xml_dom.h"

namespace config {

// The product key below HKEY_LOCAL_MACHINE.
constexpr char kProductKeyPath[] = "SOFTWARE\\Quorvex\\Tarvane\\DAX";

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

 private:
  std::wstring getOptionValue(const wchar_t* element, const char* attribute);
  bool selectClientPackage(bool byChecksum);
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
  std::wstring packageChecksum;
  std::wstring appType;
  std::wstring platformMarker;
  std::wstring language;
};

}  // namespace config
