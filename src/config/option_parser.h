// Common base of the three writers that merge the deployment options of config.xml into the
// staged package's setAid.ini before setup runs: it locates setAid.ini, makes it writable, owns
// the config.xml reader for the same package and fixes the calling contract of the merge.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "config/config_xml_parser.h"

namespace config {

// Results of propigateOptions.
constexpr std::uint32_t kOptionsMerged = ERROR_SUCCESS;
constexpr std::uint32_t kNoConfigReader = 1;
// A value that cannot be written as given: a reboot flag other than 0 or 1, or text that would
// break the layout of setAid.ini.
constexpr std::uint32_t kInvalidOptionValue = ERROR_INVALID_DATA;
constexpr std::uint32_t kOptionWriteFailed = ERROR_WRITE_FAULT;

// What the writers ask of the system besides the reader: the profile write and the processor
// architecture. The real system by default; tests fail chosen writes and pose as another
// processor, neither of which a real INI file or Wine does on demand.
class OptionWriterSystem {
 public:
  virtual ~OptionWriterSystem() = default;
  // WritePrivateProfileStringA; false, with the thread's last error set, when it fails.
  virtual bool WriteProfileString(const char* section, const char* key, const char* value,
                                  const char* iniPath);
  // wProcessorArchitecture as GetSystemInfo reports it.
  virtual WORD ProcessorArchitecture();
  // GetPrivateProfileSectionA, the whole section however long: its "key=value" lines, each
  // ending in NUL; false when the section cannot be read whole.
  virtual bool ReadProfileSection(const char* section, const char* iniPath, std::string& lines);
  // WritePrivateProfileSectionA with `lines` as GetPrivateProfileSectionA gives them (empty:
  // the section is removed); false when it fails.
  virtual bool WriteProfileSection(const char* section, const std::string& lines,
                                   const char* iniPath);
};

// The real system, shared by every writer that is not given another.
OptionWriterSystem& DefaultOptionWriterSystem();

class COptionParser {
 public:
  // `packageDir` is the staged package's folder, with or without a trailing backslash.
  // `run` is the run's one reading of config.xml; null: the reader reads config.xml itself.
  COptionParser(const std::string& packageDir, std::shared_ptr<ConfigXmlRun> run,
                OptionWriterSystem& writerSystem);
  virtual ~COptionParser();
  COptionParser(const COptionParser&) = delete;
  COptionParser& operator=(const COptionParser&) = delete;

  // Merges this writer's options into setAid.ini: kOptionsMerged, kNoConfigReader when
  // shouldUpdate() is false, or the code of the failure that the writer describes.
  virtual std::uint32_t propigateOptions() = 0;
  // True when the reader exists (whether or not config.xml could be loaded).
  virtual bool shouldUpdate();

  const std::string& getIniPath() const { return iniPath; }

 protected:
  // One profile write into setAid.ini; false when it failed.
  bool writeValue(const char* section, const char* key, const char* value);

  std::unique_ptr<CConfigXMLParser> configParser;
  std::string iniPath;
  OptionWriterSystem& system;
};

}  // namespace config
