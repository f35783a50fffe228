#include "config/reboot_opt_parser.h"

#include <boost/algorithm/string/replace.hpp>
#include <locale>
#include <sstream>

#include "config/ansi_text.h"

namespace config {

CRebootOptParser::CRebootOptParser(const std::string& packageDir, OptionWriterSystem& writerSystem)
    : COptionParser(packageDir, writerSystem), section("CUSTOM_DAX_CONFIG") {
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
  static const std::pair<const wchar_t*, const wchar_t*> kEscapes[] = {
      {L"\\", L"\\\\"}, {L"\"", L"\\\""}, {L"\a", L"\\a"}, {L"\b", L"\\b"}, {L"\f", L"\\f"},
      {L"\n", L"\\n"},  {L"\r", L"\\r"},  {L"\t", L"\\t"}, {L"\v", L"\\v"},
  };
  for (const auto& [character, escape] : kEscapes) boost::replace_all(text, character, escape);
  return text;
}

std::optional<int> CRebootOptParser::readFlagNumber(const std::wstring& text) {
  std::wistringstream in(text);
  in.imbue(std::locale::classic());
  int number = 0;
  if (!(in >> number)) return std::nullopt;  // no leading number, or outside the int range
  return number;
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
    const std::string value = Narrow(escapeOptionValue(text));
    if (value.empty()) continue;  // nothing convertible: an empty write would erase the key
    if (!writeValue(section.c_str(), key.c_str(), value.c_str())) result = kOptionWriteFailed;
  }
  return result;
}

}  // namespace config
