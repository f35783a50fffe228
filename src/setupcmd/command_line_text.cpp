#include "setupcmd/command_line_text.h"

namespace setupcmd {

namespace {

constexpr std::string_view kIdcEnable = "IDCENABLE";

// Upper case as the default C locale has it: only a to z change.
std::string UpperCase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// White space as the default C locale has it.
bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string UiSwitchFor(std::string_view level) {
  const std::string upper = UpperCase(level);
  if (upper == "NORMAL") return "/qf";
  if (upper == "UNATTENDED") return "/qb!-";
  return "/qn";
}

std::string FindLogSwitch(std::string_view source) {
  size_t start = source.find('/');
  while (start != std::string_view::npos &&
         !(start + 1 < source.size() && (source[start + 1] == 'l' || source[start + 1] == 'L'))) {
    start = source.find('/', start + 1);
  }
  if (start == std::string_view::npos) return std::string();

  const size_t blank = source.find(' ', start);
  if (blank == std::string_view::npos) return std::string(source.substr(start));
  size_t end = std::string_view::npos;
  if (blank + 1 < source.size() && source[blank + 1] == '"') {
    const size_t closingQuote = source.find('"', blank + 2);
    if (closingQuote != std::string_view::npos) end = closingQuote + 1;
  } else {
    end = source.find(' ', blank + 2);
  }
  return std::string(end == std::string_view::npos ? source.substr(start)
                                                   : source.substr(start, end - start));
}

std::string RewriteForQuotedArgument(std::string_view logSwitch, const VariableLookup& lookup) {
  std::string result;
  for (size_t index = 0; index < logSwitch.size(); ++index) {
    const char c = logSwitch[index];
    if (c == '"') {
      result += "\\\"";
    } else if (c == '%') {
      const size_t closing = logSwitch.find('%', index + 1);
      const size_t nameLength =
          closing == std::string_view::npos ? std::string_view::npos : closing - index - 1;
      const std::string name(logSwitch.substr(index + 1, nameLength));
      if (!name.empty() && lookup) result += lookup(name);
      if (closing == std::string_view::npos) break;
      index = closing;
    } else {
      result += c;
    }
  }
  return result;
}

std::string IdcEnablePropertyIn(std::string_view cmdLine) {
  size_t index = cmdLine.find(kIdcEnable);
  if (index == std::string_view::npos) return std::string();
  index += kIdcEnable.size();
  while (index < cmdLine.size() && IsWhiteSpace(cmdLine[index])) ++index;
  if (index >= cmdLine.size() || cmdLine[index] != '=') return std::string();
  ++index;
  while (index < cmdLine.size() && IsWhiteSpace(cmdLine[index])) ++index;
  if (index >= cmdLine.size()) return std::string();
  // Only 0 and 1 are passed on, without the blanks the author may have put around "=".
  if (cmdLine[index] == '0') return "IDCENABLE=0";
  if (cmdLine[index] == '1') return "IDCENABLE=1";
  return std::string();
}

}  // namespace setupcmd
