#include "platform/command_line.h"

namespace platform {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> SplitCommandLine(const wchar_t* line) {
  std::vector<std::wstring> arguments;
  const std::wstring text = line ? line : L"";
  size_t at = 0;
  std::wstring program;
  if (at < text.size() && text[at] == L'"') {
    for (++at; at < text.size() && text[at] != L'"'; ++at) program += text[at];
    if (at < text.size()) ++at;
  } else {
    for (; at < text.size() && !IsBlank(text[at]); ++at) program += text[at];
  }
  arguments.push_back(program);

  std::wstring current;
  bool started = false;
  bool quoted = false;
  size_t backslashes = 0;
  for (; at < text.size(); ++at) {
    const wchar_t c = text[at];
    if (IsBlank(c) && !quoted) {
      if (started) arguments.push_back(current);
      current.clear();
      started = false;
      backslashes = 0;
    } else if (c == L'\\') {
      current += c;
      started = true;
      ++backslashes;
    } else if (c == L'"') {
      started = true;
      // Of the backslashes just before the quote, half (rounded down) stay.
      current.erase(current.size() - (backslashes - backslashes / 2));
      if (backslashes % 2 == 1) {
        current += L'"';
      } else if (quoted && at + 1 < text.size() && text[at + 1] == L'"') {
        current += L'"';
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

}  // namespace platform
