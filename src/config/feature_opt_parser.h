// Rebuilds the FEATURE_SELECTION section of setAid.ini from the enabled features of the selected
// config.xml package entry: one key per feature to install, value "1", leaving out the features
// that the installed client lists as valid but not allowed.
#pragma once

#include <set>
#include <string>

#include "config/option_parser.h"

namespace config {

class CFeatureOptParser : public COptionParser {
 public:
  explicit CFeatureOptParser(const std::string& packageDir,
                             OptionWriterSystem& writerSystem = DefaultOptionWriterSystem());
  // Answering from the run's one reading of config.xml.
  CFeatureOptParser(const std::string& packageDir, std::shared_ptr<ConfigXmlRun> run,
                    OptionWriterSystem& writerSystem = DefaultOptionWriterSystem());

  // kOptionsMerged; kNoConfigReader (setAid.ini untouched); kOptionWriteFailed as soon as a
  // write fails (the features after it are not written); kInvalidOptionValue when a feature
  // name could not be written as a key (the other features are written).
  std::uint32_t propigateOptions() override;

 private:
  // The pieces of ProductFeaturesValidButNotAllowed; empty when it cannot be read.
  std::set<std::string> readNotAllowedFeatures();

  std::string section;
};

}  // namespace config
