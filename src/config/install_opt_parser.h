// Copies the install options of the selected config.xml package entry into the
// CUSTOM_DAX_CONFIG section of setAid.ini, under the key names that setup expects.
#pragma once

#include <map>
#include <string>

#include "config/option_parser.h"

namespace config {

class CInstallOptParser : public COptionParser {
 public:
  explicit CInstallOptParser(const std::string& packageDir,
                             OptionWriterSystem& writerSystem = DefaultOptionWriterSystem());
  // Answering from the run's one reading of config.xml.
  CInstallOptParser(const std::string& packageDir, std::shared_ptr<ConfigXmlRun> run,
                    OptionWriterSystem& writerSystem = DefaultOptionWriterSystem());

  // kOptionsMerged; kNoConfigReader; kOptionWriteFailed or kInvalidOptionValue, whichever
  // failure came last. A failure does not stop the remaining options.
  std::uint32_t propigateOptions() override;

 private:
  std::string section;
  // InstallationOption attribute -> setAid.ini key, in the order of writing.
  std::map<std::string, std::string> optionMap;
};

}  // namespace config
