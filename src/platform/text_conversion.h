// Every conversion between the ANSI code pages (or UTF-8) and UTF-16. Each name says its rule: how
// far the input goes (a counted text, or up to its first NUL) and what becomes of bytes or
// characters that the code page lacks (lenient: replaced; strict: the conversion fails). A text
// that must name exactly one file, such as the setup.exe path, needs the strict form: a replaced
// byte could name another file.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

namespace platform {

// The whole of `text`, NULs included, from the system ANSI code page; invalid bytes are replaced.
// Empty when nothing converts.
inline std::wstring WidenCountedLenient(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size =
      ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

namespace detail {
inline std::wstring WidenToNul(const char* text, DWORD flags) {
  if (!text || !*text) return {};
  const int length = ::MultiByteToWideChar(CP_ACP, flags, text, -1, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, flags, text, -1, &wide[0], length);
  wide.resize(static_cast<size_t>(length) - 1);
  return wide;
}
}  // namespace detail

// `text` up to its first NUL, from the system ANSI code page; invalid bytes are replaced. Empty
// for null or empty text.
inline std::wstring WidenToNulLenient(const char* text) { return detail::WidenToNul(text, 0); }

// `text` up to its first NUL, from the system ANSI code page; empty when any byte is not a
// character of the code page (and for null or empty text).
inline std::wstring WidenToNulStrict(const char* text) {
  return detail::WidenToNul(text, MB_ERR_INVALID_CHARS);
}

// The whole of `text` into the system ANSI code page, without best fit: a character that the
// code page lacks becomes "?", never a look-alike. Best fit turns FULLWIDTH QUOTATION MARK into a
// quote and FULLWIDTH REVERSE SOLIDUS into a backslash, which then reach setAid.ini or the setup
// command line unescaped, after every check and escape made on the UTF-16 text. `exact`, when
// given, tells whether every character was there. Empty when nothing converts.
inline std::string NarrowWithoutBestFit(const std::wstring& text, bool* exact = nullptr) {
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

// `text` up to its first NUL into the thread's ANSI code page, with the system's default
// handling of missing characters; "" for null text or when it cannot be converted.
inline std::string NarrowToNulInThreadCodePage(const wchar_t* text) {
  if (!text) return {};
  const size_t length = std::wcslen(text);
  std::string buffer(length * 2 + 2, '\0');
  const int written = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, &buffer[0],
                                            static_cast<int>(buffer.size()), nullptr, nullptr);
  if (written <= 0) return {};
  buffer.resize(static_cast<size_t>(written) - 1);
  return buffer;
}

// The whole of `text` as UTF-8, for reports meant for other programs; a lone surrogate becomes
// U+FFFD. Empty when nothing converts.
inline std::string NarrowCountedToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, &narrow[0], size, nullptr, nullptr);
  return narrow;
}

}  // namespace platform
