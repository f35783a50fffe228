#include "config/install_opt_parser.h"

#include <utility>

#include "diag/log.h"
#include "platform/text_conversion.h"

namespace config {

CInstallOptParser::CInstallOptParser(const std::string& packageDir,
                                     OptionWriterSystem& writerSystem)
    : CInstallOptParser(packageDir, nullptr, writerSystem) {}

CInstallOptParser::CInstallOptParser(const std::string& packageDir,
                                     std::shared_ptr<ConfigXmlRun> run,
                                     OptionWriterSystem& writerSystem)
    : COptionParser(packageDir, std::move(run), writerSystem), section("CUSTOM_DAX_CONFIG") {
  // Values travel unchanged even where the names differ in sense: setup reads
  // OptOutRepSubmission and ReducedSize with the meaning config.xml gives them.
  optionMap = {
      {"AddProgramIntoStartMenu", "AddProgramIntoStartMenu"},
      {"EnableMrCleanSubMission", "OptOutRepSubmission"},
      {"InstallationDirectory", "DestinationDirectory"},
      {"KeepAllDataOnUpgrade", "KeepPreviousSetting"},
      {"SpecifyReducedInstallSize", "ReducedSize"},
  };
}

std::uint32_t CInstallOptParser::propigateOptions() {
  if (!shouldUpdate()) return kNoConfigReader;
  std::uint32_t result = kOptionsMerged;
  for (const auto& [attribute, key] : optionMap) {
    bool exact = true;
    const std::string value =
        platform::NarrowWithoutBestFit(configParser->getInstallOption(attribute.c_str()), &exact);
    if (value.empty()) continue;  // the package's own value stays
    // A "?" in place of a character the code page lacks would give setup another folder than
    // the one config.xml names.
    if (!exact) {
      diag::LogLine("CInstallOptParser::propigateOptions", " - value of '", attribute,
                    "' holds characters that the ANSI code page does not have; ", key,
                    " not written");
      result = kInvalidOptionValue;
      continue;
    }
    // A line end would end the entry inside the value and let the rest of it read as further
    // keys or sections of setAid.ini.
    if (value.find_first_of("\r\n") != std::string::npos) {
      diag::LogLine("CInstallOptParser::propigateOptions", " - value of '", attribute,
                    "' holds a line break; ", key, " not written");
      result = kInvalidOptionValue;
      continue;
    }
    if (!writeValue(section.c_str(), key.c_str(), value.c_str())) result = kOptionWriteFailed;
  }
  return result;
}

}  // namespace config
