#include "config/reboot_opt_parser.h"

#include <utility>

#include "config/reboot_option_text.h"
#include "diag/log.h"
#include "platform/text_conversion.h"

namespace config {

CRebootOptParser::CRebootOptParser(const std::string& packageDir, OptionWriterSystem& writerSystem)
    : CRebootOptParser(packageDir, nullptr, writerSystem) {}

CRebootOptParser::CRebootOptParser(const std::string& packageDir, std::shared_ptr<ConfigXmlRun> run,
                                   OptionWriterSystem& writerSystem)
    : COptionParser(packageDir, std::move(run), writerSystem), section("CUSTOM_DAX_CONFIG") {
  flagOptions = {
      {"AutoReboot", "AutoReboot"},
      {"HardReboot", "HardReboot"},
      {"PromptUser", "RebootPromptUser"},
      {"Randomize", "RebootRandomize"},
  };
  valueOptions = {
      {"Countdown", "Countdown"},           {"DisplayTimeout", "DisplayTimeout"},
      {"MaxSnoozeCount", "MaxSnoozeCount"}, {"PromptMessage", "RebootPromptMessage"},
      {"PromptType", "PromptType"},         {"RandomizeHours", "RebootRandomizeHours"},
      {"RebootDay", "RebootDay"},           {"RebootMethod", "RebootMethod"},
      {"RebootMinutes", "RebootMinutes"},   {"RebootSchedule", "RebootSchedule"},
      {"SnoozeInterval", "SnoozeInterval"},
  };
}

std::wstring CRebootOptParser::escapeOptionValue(std::wstring text) {
  return EscapeRebootText(std::move(text));
}

std::optional<int> CRebootOptParser::readFlagNumber(const std::wstring& text) {
  return ReadRebootFlagNumber(text);
}

std::uint32_t CRebootOptParser::propigateOptions() {
  if (!shouldUpdate()) return kNoConfigReader;
  std::uint32_t result = kOptionsMerged;
  for (const auto& [attribute, key] : flagOptions) {
    const std::wstring text = configParser->getRebootOption(attribute.c_str());
    if (text.empty()) continue;
    const std::optional<int> flag = readFlagNumber(text);
    if (!flag || (*flag != 0 && *flag != 1)) {
      result = kInvalidOptionValue;
      continue;
    }
    if (!writeValue(section.c_str(), key.c_str(), *flag == 1 ? "true" : "false")) {
      result = kOptionWriteFailed;
    }
  }
  for (const auto& [attribute, key] : valueOptions) {
    const std::wstring text = configParser->getRebootOption(attribute.c_str());
    if (text.empty()) continue;
    bool exact = true;
    const std::string value = platform::NarrowWithoutBestFit(escapeOptionValue(text), &exact);
    // Question marks in place of what the code page lacks would be shown to the user instead of
    // the package's own text.
    if (!exact) {
      diag::LogLine("CRebootOptParser::propigateOptions", " - value of '", attribute,
                    "' holds characters that the ANSI code page does not have; ", key,
                    " not written");
      result = kInvalidOptionValue;
      continue;
    }
    if (value.empty()) continue;  // nothing convertible: an empty write would erase the key
    if (!writeValue(section.c_str(), key.c_str(), value.c_str())) result = kOptionWriteFailed;
  }
  return result;
}

}  // namespace config
