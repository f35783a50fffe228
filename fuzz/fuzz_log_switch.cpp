// FindLogSwitch and RewriteForQuotedArgument: the installer log switch taken from Setup.ini or
// config.xml and made ready for the quoted /v argument.
#include <map>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "setupcmd/command_line_text.h"

using setupcmd::FindLogSwitch;
using setupcmd::RewriteForQuotedArgument;

namespace {

// Undoes the quote escaping of the rewrite.
std::string Unescape(std::string_view text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '"') continue;
    plain += text[i];
  }
  return plain;
}

size_t FirstLogSwitchAt(std::string_view source) {
  for (size_t i = 0; i + 1 < source.size(); ++i) {
    if (source[i] == '/' && (source[i + 1] == 'l' || source[i + 1] == 'L')) return i;
  }
  return std::string_view::npos;
}

void CheckRewrite(std::string_view logSwitch) {
  // Values without quotes or percent signs, as the environment usually has them.
  const std::map<std::string, std::string> environment = {
      {"TEMP", "C:\\Windows\\TEMP"}, {"A", "x y"}, {"EMPTY", ""}};
  size_t lookups = 0;
  size_t valueLength = 0;
  const setupcmd::VariableLookup lookup = [&](const std::string& name) {
    FUZZ_CHECK(!name.empty());
    FUZZ_CHECK(name.find('%') == std::string::npos);
    ++lookups;
    const auto found = environment.find(name);
    const std::string value = found == environment.end() ? std::string() : found->second;
    valueLength += value.size();
    return value;
  };
  const std::string rewritten = RewriteForQuotedArgument(logSwitch, lookup);

  // Every reference is consumed, every quote escaped, and nothing else is added.
  FUZZ_CHECK(rewritten.find('%') == std::string::npos);
  for (size_t i = 0; i < rewritten.size(); ++i) {
    if (rewritten[i] == '"') FUZZ_CHECK(i > 0 && rewritten[i - 1] == '\\');
  }
  FUZZ_CHECK(rewritten.size() <= 2 * logSwitch.size() + valueLength);
  FUZZ_CHECK(lookups <= logSwitch.size() / 2);
  // Without references the rewrite only escapes quotes: undoing that gives the switch back.
  if (logSwitch.find('%') == std::string_view::npos) {
    FUZZ_CHECK(lookups == 0);
    FUZZ_CHECK(Unescape(rewritten) == logSwitch);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string source = fuzz::Bytes(data, size);
  const std::string found = FindLogSwitch(source);

  const size_t at = FirstLogSwitchAt(source);
  FUZZ_CHECK(found.empty() == (at == std::string_view::npos));
  if (!found.empty()) {
    // The switch is a piece of the source from its first /l or /L on, and taking it again
    // from the piece alone gives the same piece.
    FUZZ_CHECK(source.compare(at, found.size(), found) == 0);
    FUZZ_CHECK(FindLogSwitch(found) == found);
  }

  CheckRewrite(found.empty() ? std::string_view(setupcmd::kDefaultLogSwitch) : found);
  CheckRewrite(source);
  return 0;
}
