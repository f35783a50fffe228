#include "config/reboot_option_text.h"

#include <boost/algorithm/string/replace.hpp>
#include <locale>
#include <sstream>
#include <utility>

namespace config {

std::wstring EscapeRebootText(std::wstring text) {
  static const std::pair<const wchar_t*, const wchar_t*> kEscapes[] = {
      {L"\\", L"\\\\"}, {L"\"", L"\\\""}, {L"\a", L"\\a"}, {L"\b", L"\\b"}, {L"\f", L"\\f"},
      {L"\n", L"\\n"},  {L"\r", L"\\r"},  {L"\t", L"\\t"}, {L"\v", L"\\v"},
  };
  for (const auto& [character, escape] : kEscapes) boost::replace_all(text, character, escape);
  return text;
}

std::optional<int> ReadRebootFlagNumber(const std::wstring& text) {
  std::wistringstream in(text);
  in.imbue(std::locale::classic());
  int number = 0;
  if (!(in >> number)) return std::nullopt;
  return number;
}

}  // namespace config
