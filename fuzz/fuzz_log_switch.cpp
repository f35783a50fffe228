// The installer log switch from config.xml, Setup.ini and the environment, and the setup command
// line it goes into. The input is up to five parts separated by NUL bytes: the CmdLine of
// Setup.ini, InstallationLogFileName of config.xml, the value of TEMP, the value of L, and a
// byte of flags (bit 0: code page 932's lead bytes; bit 1: no DAXPID). A plain text is a CmdLine.
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "setupcmd/command_line_text.h"
#include "support/command_line_split.h"

namespace {

using setupcmd::LeadBytePredicate;

// Shift-JIS, as code page 932 has it.
bool Lead932(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || byte >= 0xE0; }

std::vector<std::string> Parts(const std::string& input) {
  std::vector<std::string> parts(1);
  for (const char c : input) {
    if (c == '\0' && parts.size() < 5) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  parts.resize(5);
  return parts;
}

size_t FirstLogSwitchAt(std::string_view source) {
  for (size_t i = 0; i + 1 < source.size(); ++i) {
    if (source[i] == '/' && (source[i + 1] == 'l' || source[i + 1] == 'L')) return i;
  }
  return std::string_view::npos;
}

void CheckFind(const std::string& source) {
  const std::string found = setupcmd::FindLogSwitch(source);
  const size_t at = FirstLogSwitchAt(source);
  FUZZ_CHECK(found.empty() == (at == std::string_view::npos));
  if (!found.empty()) {
    // The switch is a piece of the source from its first /l or /L on, and taking it again
    // from the piece alone gives the same piece.
    FUZZ_CHECK(source.compare(at, found.size(), found) == 0);
    FUZZ_CHECK(setupcmd::FindLogSwitch(found) == found);
  }
}

void CheckExpansion(const std::string& text, const setupcmd::VariableLookup& values) {
  size_t lookups = 0;
  size_t valueLength = 0;
  const setupcmd::VariableLookup lookup = [&](const std::string& name) {
    FUZZ_CHECK(!name.empty());
    FUZZ_CHECK(name.find('%') == std::string::npos);
    ++lookups;
    const std::string value = values(name);
    valueLength += value.size();
    return value;
  };
  const std::string expanded = setupcmd::ExpandVariables(text, lookup);
  FUZZ_CHECK(lookups <= text.size() / 2);
  FUZZ_CHECK(expanded.size() <= text.size() + valueLength);
  if (text.find('%') == std::string::npos) FUZZ_CHECK(expanded == text);
}

// Inside quotes the C runtime gives the escaped text back, unless it ends in a backslash (which
// would escape the closing quote) or a lead byte (which would take it).
void CheckEscape(const std::string& text, LeadBytePredicate isLeadByte) {
  bool backslashLast = false;
  bool incomplete = false;
  for (size_t at = 0; at < text.size(); ++at) {
    if (isLeadByte(static_cast<unsigned char>(text[at]))) {
      incomplete = at + 1 == text.size();
      backslashLast = false;
      ++at;
    } else {
      backslashLast = text[at] == '\\';
    }
  }
  if (backslashLast || incomplete) return;
  const std::string line = "p \"" + setupcmd::EscapeForQuotedArgument(text, isLeadByte) + "\"";
  const auto arguments = command_line_split::SplitLikeTheCRuntime(line, isLeadByte);
  FUZZ_CHECK(arguments.size() == 2);
  FUZZ_CHECK(arguments[1] == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> parts = Parts(fuzz::Bytes(data, size));
  const std::string& cmdLine = parts[0];
  const std::string& configName = parts[1];
  const unsigned flags = parts[4].empty() ? 0u : static_cast<unsigned char>(parts[4][0]);
  const LeadBytePredicate isLeadByte = (flags & 1) ? Lead932 : setupcmd::NoLeadBytes;
  const std::uint32_t daxPid = (flags & 2) ? 0 : 4321;
  const std::map<std::string, std::string> environment = {{"TEMP", parts[2]}, {"L", parts[3]}};
  const setupcmd::VariableLookup lookup = [&](const std::string& name) {
    const auto found = environment.find(name);
    return found == environment.end() ? std::string() : found->second;
  };

  CheckFind(cmdLine);
  CheckFind("/l*v " + configName);
  CheckExpansion(cmdLine, lookup);
  CheckEscape(setupcmd::ExpandVariables(cmdLine, lookup), isLeadByte);

  // Whatever the three sources hold, the finished line keeps its promise.
  std::vector<std::string> warnings;
  const std::string logSwitch =
      setupcmd::ChooseLogSwitch(configName, cmdLine, lookup, isLeadByte,
                                [&](const std::string& warning) { warnings.push_back(warning); });
  const std::string line =
      setupcmd::AssembleCommandLine("C:\\Pkg", setupcmd::UiSwitchFor(parts[3]), logSwitch,
                                    setupcmd::IdcEnablePropertyIn(cmdLine), daxPid);
  const std::string broken = command_line_split::BrokenPromise(line, "C:\\Pkg", daxPid, isLeadByte);
  if (!broken.empty()) {
    std::fprintf(stderr, "line: %s\n%s\n", line.c_str(), broken.c_str());
    FUZZ_CHECK(broken.empty());
  }
  // Each warning is one line of the log.
  for (const std::string& warning : warnings) {
    FUZZ_CHECK(warning.rfind("WARNING: ", 0) == 0);
    for (const char c : warning) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
  }
  // No switch only when every source was set aside, the default too.
  const size_t sources =
      1 + (configName.empty() ? 0 : 1) + (setupcmd::FindLogSwitch(cmdLine).empty() ? 0 : 1);
  FUZZ_CHECK(warnings.size() <= sources + 1);
  FUZZ_CHECK(logSwitch.empty() == (warnings.size() == sources + 1));
  return 0;
}
