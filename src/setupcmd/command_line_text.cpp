#include "setupcmd/command_line_text.h"

#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

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

// The text of a set-aside switch for a log line: control characters as \xNN, so that the line
// stays one line.
std::string Shown(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escape[5] = {};
      std::snprintf(escape, sizeof(escape), "\\x%02X", static_cast<unsigned>(byte));
      shown += escape;
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace

bool NoLeadBytes(unsigned char) { return false; }

bool NoWideBlanks(std::string_view) { return false; }

bool IsUnicodeBlank(char32_t character) {
  switch (character) {
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x180E:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
    case 0xFEFF:
      return true;
    default:
      return character >= 0x2000 && character <= 0x200B;
  }
}

const char* DescribeLogSwitchFault(LogSwitchFault fault) {
  switch (fault) {
    case LogSwitchFault::kNone:
      return "it can be used";
    case LogSwitchFault::kNoFileName:
      return "it names no log file";
    case LogSwitchFault::kControlCharacter:
      return "it holds a control character";
    case LogSwitchFault::kStrayQuote:
      return "it holds a double quote that does not enclose the file name";
    case LogSwitchFault::kBlankOutsideQuotes:
      return "its file name holds a blank outside quotes";
    case LogSwitchFault::kTrailingBackslash:
      return "its file name ends in a backslash";
    case LogSwitchFault::kIncompleteCharacter:
      return "it holds an incomplete double-byte character";
    case LogSwitchFault::kWideBlankOutsideQuotes:
      return "its unquoted file name holds a character that may read as a blank";
    case LogSwitchFault::kBlankName:
      return "its quoted file name is blank";
    case LogSwitchFault::kSwitchLikeName:
      return "its file name begins with / or -";
    case LogSwitchFault::kNameTooLong:
      return "its file name is longer than a path can be";
  }
  return "?";
}

std::string UiSwitchFor(std::string_view level, SetupAudience audience) {
  const std::string upper = UpperCase(level);
  if (upper == "NORMAL") return audience == SetupAudience::kPersonAtDesktop ? "/qf" : "/qb!-";
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

std::string ExpandVariables(std::string_view text, const VariableLookup& lookup) {
  std::string result;
  for (size_t index = 0; index < text.size(); ++index) {
    const char c = text[index];
    if (c != '%') {
      result += c;
      continue;
    }
    const size_t closing = text.find('%', index + 1);
    const size_t nameLength =
        closing == std::string_view::npos ? std::string_view::npos : closing - index - 1;
    const std::string name(text.substr(index + 1, nameLength));
    if (!name.empty() && lookup) result += lookup(name);
    if (closing == std::string_view::npos) break;
    index = closing;
  }
  return result;
}

LogSwitchFault CheckLogSwitch(std::string_view logSwitch, LeadBytePredicate isLeadByte,
                              BlankCharacterPredicate isBlank) {
  if (!isLeadByte) isLeadByte = NoLeadBytes;
  if (!isBlank) isBlank = NoWideBlanks;
  // Checked byte by byte: whoever reads the line next may not know the code page.
  for (const char c : logSwitch) {
    if (static_cast<unsigned char>(c) < 0x20) return LogSwitchFault::kControlCharacter;
  }
  // Where each character starts, and whether it is a single byte. A lead byte takes the next
  // byte with it, whatever that is, as the conversion to UTF-16 does; a quote or a blank taken
  // so would still be one to a reader going byte by byte.
  struct Character {
    size_t at;
    bool single;
    bool wideBlank;  // beyond ASCII, and a splitter may take it for white space
  };
  std::vector<Character> characters;
  for (size_t at = 0; at < logSwitch.size();) {
    const auto byte = static_cast<unsigned char>(logSwitch[at]);
    if (isLeadByte(byte)) {
      if (at + 1 == logSwitch.size() || logSwitch[at + 1] == '"' || logSwitch[at + 1] == ' ') {
        return LogSwitchFault::kIncompleteCharacter;
      }
      characters.push_back({at, false, isBlank(logSwitch.substr(at, 2))});
      at += 2;
    } else {
      characters.push_back({at, true, byte >= 0x80 && isBlank(logSwitch.substr(at, 1))});
      ++at;
    }
  }
  const auto is = [&](size_t character, char c) {
    return characters[character].single && logSwitch[characters[character].at] == c;
  };
  const auto blank = [&](size_t character) {
    return is(character, ' ') || characters[character].wideBlank;
  };

  // The option runs to the first blank; the file name follows it, after any further blanks.
  size_t character = 0;
  for (; character < characters.size() && !is(character, ' '); ++character) {
    if (is(character, '"')) return LogSwitchFault::kStrayQuote;
  }
  while (character < characters.size() && is(character, ' ')) ++character;
  if (character == characters.size()) return LogSwitchFault::kNoFileName;

  const size_t first = character;
  const size_t last = characters.size() - 1;
  const bool quoted = is(first, '"');
  if (quoted) {
    if (last == first || !is(last, '"')) return LogSwitchFault::kStrayQuote;
    for (size_t inner = first + 1; inner < last; ++inner) {
      if (is(inner, '"')) return LogSwitchFault::kStrayQuote;
    }
    if (last == first + 1) return LogSwitchFault::kNoFileName;
  } else {
    for (size_t inner = first; inner <= last; ++inner) {
      if (is(inner, '"')) return LogSwitchFault::kStrayQuote;
      if (is(inner, ' ')) return LogSwitchFault::kBlankOutsideQuotes;
      if (characters[inner].wideBlank) return LogSwitchFault::kWideBlankOutsideQuotes;
    }
  }
  // The name itself, without its quotes.
  const size_t nameFirst = quoted ? first + 1 : first;
  const size_t nameLast = quoted ? last - 1 : last;
  bool onlyBlanks = true;
  for (size_t inner = nameFirst; inner <= nameLast && onlyBlanks; ++inner) {
    onlyBlanks = blank(inner);
  }
  if (onlyBlanks) return LogSwitchFault::kBlankName;
  if (is(nameFirst, '/') || is(nameFirst, '-')) return LogSwitchFault::kSwitchLikeName;
  // A backslash before the closing quote escapes it; unquoted, setup hands Windows Installer a
  // folder that it cannot log into.
  if (is(nameLast, '\\')) return LogSwitchFault::kTrailingBackslash;
  if (nameLast - nameFirst + 1 > kMaxLogFileNameCharacters) return LogSwitchFault::kNameTooLong;
  return LogSwitchFault::kNone;
}

std::string EscapeForQuotedArgument(std::string_view text, LeadBytePredicate isLeadByte) {
  if (!isLeadByte) isLeadByte = NoLeadBytes;
  std::string escaped;
  size_t backslashes = 0;  // single-byte backslashes just before the current character
  for (size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (isLeadByte(static_cast<unsigned char>(c)) && at + 1 < text.size()) {
      escaped += c;
      escaped += text[++at];
      backslashes = 0;
      continue;
    }
    if (c == '"') {
      // 2n backslashes and an escaped quote give n backslashes and the quote back.
      escaped.append(backslashes + 1, '\\');
      escaped += '"';
      backslashes = 0;
      continue;
    }
    backslashes = c == '\\' ? backslashes + 1 : 0;
    escaped += c;
  }
  return escaped;
}

std::string ChooseLogSwitch(const std::string& configFileName, std::string_view setupCmdLine,
                            const VariableLookup& lookup, LeadBytePredicate isLeadByte,
                            const std::function<void(const std::string&)>& warn,
                            BlankCharacterPredicate isBlank) {
  struct Candidate {
    const char* what;
    std::string found;
  };
  std::vector<Candidate> candidates;
  if (!configFileName.empty()) {
    candidates.push_back(
        {"InstallationLogFileName of config.xml", FindLogSwitch("/l*v " + configFileName)});
  }
  std::string fromSetupIni = FindLogSwitch(setupCmdLine);
  if (!fromSetupIni.empty()) {
    candidates.push_back({"the log switch of Setup.ini", std::move(fromSetupIni)});
  }
  candidates.push_back({"the default log switch", kDefaultLogSwitch});

  for (const Candidate& candidate : candidates) {
    const std::string expanded = ExpandVariables(candidate.found, lookup);
    const LogSwitchFault fault = CheckLogSwitch(expanded, isLeadByte, isBlank);
    if (fault == LogSwitchFault::kNone) return EscapeForQuotedArgument(expanded, isLeadByte);
    if (warn) {
      warn(std::string("WARNING: ") + candidate.what +
           " is set aside: " + DescribeLogSwitchFault(fault) + " [" + Shown(expanded) + "]");
    }
  }
  if (warn) warn("WARNING: setup is started without an installer log switch");
  return std::string();
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

std::string CommandLineEnd(std::string_view daxPidText) {
  std::string end;
  if (!daxPidText.empty()) {
    end += " DAXPID=";
    end += daxPidText;
  }
  end += " REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\"";
  return end;
}

std::string AssembleCommandLine(std::string_view packageDir, std::string_view uiSwitch,
                                std::string_view logSwitch, std::string_view idcEnable,
                                std::uint32_t daxPid) {
  std::string line = "\"";
  line += packageDir;
  line += "\\setup.exe\" /w /s /v\"";
  line += uiSwitch;
  if (!logSwitch.empty()) {
    line += ' ';
    line += logSwitch;
  }
  if (!idcEnable.empty()) {
    line += ' ';
    line += idcEnable;
  }
  line += CommandLineEnd(daxPid != 0 ? std::to_string(daxPid) : std::string());
  return line;
}

}  // namespace setupcmd
