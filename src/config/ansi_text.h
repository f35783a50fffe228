// Conversions between the system ANSI code page and UTF-16, as config.xml and setAid.ini need
// them: no flags, so a character missing from the code page becomes its default character, and
// an input that converts to nothing gives an empty string.
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

inline std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string narrow(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], size,
                        nullptr, nullptr);
  return narrow;
}

}  // namespace config
