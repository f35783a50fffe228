// How the programs that get the setup command line take it apart, in plain C++ so that the native
// fuzz build checks the same thing as the tests under Wine:
//
// - setup.exe splits it by the C runtime's rules (CommandLineToArgvW): blanks and tabs separate
//   arguments outside quotes; 2n backslashes before a quote are n backslashes and the quote
//   opens or closes quoted text; 2n+1 are n and a literal quote; other backslashes are plain;
//   inside quoted text "" is a literal quote (Wine's CommandLineToArgvW does the same).
// - Windows Installer gets the /v argument without "/v" and splits it again at white space,
//   quotes grouping and dropped, a backslash a plain character.
//
// Bytes are ANSI text; `isLeadByte` names the first bytes of two-byte characters, whose second
// byte is never a quote, backslash or blank to either reader.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace command_line_split {

using LeadBytePredicate = bool (*)(unsigned char byte);

inline bool IsLead(LeadBytePredicate isLeadByte, std::string_view text, size_t at) {
  return isLeadByte && isLeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size();
}

// argv as the C runtime builds it from a whole command line.
inline std::vector<std::string> SplitLikeTheCRuntime(std::string_view line,
                                                     LeadBytePredicate isLeadByte = nullptr) {
  std::vector<std::string> arguments;
  size_t at = 0;
  // The program: up to the next quote when it starts with one, else up to white space, with no
  // escapes at all.
  std::string program;
  if (at < line.size() && line[at] == '"') {
    for (++at; at < line.size() && line[at] != '"'; ++at) program += line[at];
    if (at < line.size()) ++at;
  } else {
    for (; at < line.size() && line[at] != ' ' && line[at] != '\t'; ++at) program += line[at];
  }
  arguments.push_back(program);

  std::string current;
  bool started = false;
  bool quoted = false;
  size_t backslashes = 0;
  for (; at < line.size(); ++at) {
    const char c = line[at];
    if (IsLead(isLeadByte, line, at)) {
      current += c;
      current += line[++at];
      started = true;
      backslashes = 0;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (started) arguments.push_back(current);
      current.clear();
      started = false;
      backslashes = 0;
    } else if (c == '\\') {
      current += c;
      started = true;
      ++backslashes;
    } else if (c == '"') {
      started = true;
      // Half of them, rounded down, stay.
      current.erase(current.size() - (backslashes - backslashes / 2));
      if (backslashes % 2 == 1) {
        current += '"';
      } else if (quoted && at + 1 < line.size() && line[at + 1] == '"') {
        current += '"';
        ++at;
      } else {
        quoted = !quoted;
      }
      backslashes = 0;
    } else {
      current += c;
      started = true;
      backslashes = 0;
    }
  }
  if (started) arguments.push_back(current);
  return arguments;
}

// The arguments Windows Installer makes of the text setup hands it.
inline std::vector<std::string> SplitLikeTheInstaller(std::string_view text,
                                                      LeadBytePredicate isLeadByte = nullptr) {
  std::vector<std::string> arguments;
  std::string current;
  bool started = false;
  bool quoted = false;
  for (size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (IsLead(isLeadByte, text, at)) {
      current += c;
      current += text[++at];
      started = true;
    } else if (static_cast<unsigned char>(c) <= ' ' && !quoted) {
      if (started) arguments.push_back(current);
      current.clear();
      started = false;
    } else if (c == '"') {
      quoted = !quoted;
      started = true;
    } else {
      current += c;
      started = true;
    }
  }
  if (started) arguments.push_back(current);
  return arguments;
}

inline bool StartsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

// The promise of the generated line, whatever config.xml, Setup.ini and the environment held:
// setup.exe gets exactly its path, /w, /s and one /v argument; Windows Installer gets the UI
// switch, at most one log switch with exactly one file name, at most IDCENABLE, then DAXPID (when
// not 0), REBOOT=ReallySuppress and IDCDEPLOYMENT=AutoUpgrade, nothing else; and the line holds
// no "" after the program, on which the runtimes disagree. `setupArguments` is what setup.exe
// made of `line`. Empty when the promise holds, else what is wrong.
inline std::string BrokenPromise(std::string_view line,
                                 const std::vector<std::string>& setupArguments,
                                 std::string_view packageDir, std::uint32_t daxPid,
                                 LeadBytePredicate isLeadByte = nullptr) {
  std::string shown;
  for (const auto& argument : setupArguments) shown += " <" + argument + ">";
  if (setupArguments.size() != 4) {
    return "setup.exe gets " + std::to_string(setupArguments.size()) + " arguments:" + shown;
  }
  if (setupArguments[0] != std::string(packageDir) + "\\setup.exe" || setupArguments[1] != "/w" ||
      setupArguments[2] != "/s" || !StartsWith(setupArguments[3], "/v")) {
    return "setup.exe gets other arguments:" + shown;
  }
  const size_t afterProgram = line.find('"', 1);
  if (afterProgram != std::string_view::npos &&
      line.find("\"\"", afterProgram + 1) != std::string_view::npos) {
    return "the line holds \"\" after the program";
  }

  std::vector<std::string> tail;
  if (daxPid != 0) tail.push_back("DAXPID=" + std::to_string(daxPid));
  tail.push_back("REBOOT=ReallySuppress");
  tail.push_back("IDCDEPLOYMENT=AutoUpgrade");
  const std::vector<std::string> installer =
      SplitLikeTheInstaller(std::string_view(setupArguments[3]).substr(2), isLeadByte);
  std::string installerShown;
  for (const auto& argument : installer) installerShown += " <" + argument + ">";
  const auto broken = [&](const char* what) {
    return std::string("Windows Installer gets ") + what + ":" + installerShown;
  };
  if (installer.size() < tail.size() + 1) return broken("too few arguments");
  const size_t head = installer.size() - tail.size();
  if (!std::equal(tail.begin(), tail.end(), installer.begin() + head)) {
    return broken("another end");
  }
  const std::string& ui = installer[0];
  if (ui != "/qf" && ui != "/qb!-" && ui != "/qn") return broken("another UI switch");
  size_t next = 1;
  if (next < head && (StartsWith(installer[next], "/l") || StartsWith(installer[next], "/L"))) {
    // The switch and exactly one file name.
    if (next + 1 >= head) return broken("a log switch without its file name");
    next += 2;
  }
  if (next < head && (installer[next] == "IDCENABLE=0" || installer[next] == "IDCENABLE=1")) {
    ++next;
  }
  if (next != head) return broken("arguments of its own");
  return std::string();
}

// The same, with the line split here by the C runtime's rules.
inline std::string BrokenPromise(std::string_view line, std::string_view packageDir,
                                 std::uint32_t daxPid, LeadBytePredicate isLeadByte = nullptr) {
  return BrokenPromise(line, SplitLikeTheCRuntime(line, isLeadByte), packageDir, daxPid,
                       isLeadByte);
}

}  // namespace command_line_split
