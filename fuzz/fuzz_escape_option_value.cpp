// EscapeRebootText: the C-style escapes of the reboot texts written to setAid.ini.
#include <string>

#include "config/reboot_option_text.h"
#include "fuzz_support.h"

namespace {

constexpr wchar_t kEscaped[] = L"\\\"\a\b\f\n\r\t\v";
constexpr wchar_t kLetters[] = L"\\\"abfnrtv";

// Undoes the escapes; false when the text holds a backslash that starts no escape.
bool Unescape(const std::wstring& text, std::wstring& plain) {
  plain.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'\\') {
      plain += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    const wchar_t* letter = std::char_traits<wchar_t>::find(kLetters, 9, text[i]);
    if (!letter) return false;
    plain += kEscaped[letter - kLetters];
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring text = fuzz::Utf16Units(data, size);
  const std::wstring escaped = config::EscapeRebootText(text);

  // Nothing of the nine characters is left bare, and each costs exactly one more character.
  size_t specials = 0;
  for (wchar_t c : text) specials += std::char_traits<wchar_t>::find(kEscaped, 9, c) ? 1 : 0;
  FUZZ_CHECK(escaped.size() == text.size() + specials);
  for (wchar_t c : escaped) FUZZ_CHECK(!std::char_traits<wchar_t>::find(kEscaped + 2, 7, c));

  // Every double quote stays, behind an odd run of backslashes, so the value cannot close a
  // quoted string early.
  size_t quotes = 0;
  size_t backslashRun = 0;
  for (wchar_t c : escaped) {
    if (c == L'"') {
      ++quotes;
      FUZZ_CHECK(backslashRun % 2 == 1);
    }
    backslashRun = c == L'\\' ? backslashRun + 1 : 0;
  }
  size_t textQuotes = 0;
  for (wchar_t c : text) textQuotes += c == L'"' ? 1 : 0;
  FUZZ_CHECK(quotes == textQuotes);

  // Round trip: the escapes read back as the original text.
  std::wstring plain;
  FUZZ_CHECK(Unescape(escaped, plain));
  FUZZ_CHECK(plain == text);
  return 0;
}
