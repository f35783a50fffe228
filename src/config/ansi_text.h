// Conversions between the system ANSI code page and UTF-16, as config.xml and setAid.ini need
// them. An input that converts to nothing gives an empty string.
#pragma once

#include <windows.h>

#include <string>

namespace config {

inline std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size =
      ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

// Without best fit: a character that the code page lacks becomes "?", never a look-alike. Best
// fit turns FULLWIDTH QUOTATION MARK into a quote and FULLWIDTH REVERSE SOLIDUS into a
// backslash, which then reach setAid.ini or the setup command line unescaped, after every check
// and escape made on the UTF-16 text. `exact`, when given, tells whether every character was
// there.
inline std::string Narrow(const std::wstring& text, bool* exact = nullptr) {
  if (exact) *exact = true;
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  // UTF-8 takes neither the flag nor a default character; it has every character, and only a
  // lone surrogate (which it turns into U+FFFD) is not converted exactly.
  const bool utf8 = ::GetACP() == CP_UTF8;
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  const char* defaultCharacter = "?";
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = &usedDefault;
  if (utf8) {
    flags = 0;
    defaultCharacter = nullptr;
    usedDefaultOut = nullptr;
    if (exact && ::WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, text.c_str(), length, nullptr,
                                       0, nullptr, nullptr) <= 0) {
      *exact = false;
    }
  }
  const int size = ::WideCharToMultiByte(CP_ACP, flags, text.c_str(), length, nullptr, 0,
                                         defaultCharacter, usedDefaultOut);
  if (size <= 0) return std::string();
  std::string narrow(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, flags, text.c_str(), length, &narrow[0], size, defaultCharacter,
                        usedDefaultOut);
  if (exact && usedDefault) *exact = false;
  return narrow;
}

}  // namespace config
