// The text side of the isolation context: isolate.ini as bytes and lines, and the form of a silo
// name. Free of any Windows type so that the same code runs in the native fuzz build.
#pragma once

#include <optional>
#include <string>

namespace sharedlib {

// Exactly "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with hexadecimal digits in any letter case.
bool IsBracedGuid(const wchar_t* text);

// isolate.ini's bytes as text: UTF-16 LE after an FF FE byte-order mark (a last odd byte is
// dropped), otherwise 8-bit text through the run-time library's multibyte conversion, taken
// byte by byte up to the first NUL when that conversion refuses it.
std::wstring DecodeIsolateIni(const std::string& bytes);

// The value of `key` in `section` of isolate.ini's text, or nothing when the section, the key
// or its "=" is missing. Lines are trimmed of blanks and tabs, ";" and "#" start comments, and
// names match without regard to case over their own length; after the section line every later
// line is a candidate, section lines too.
std::optional<std::wstring> FindIsolateIniValue(const std::wstring& text, const wchar_t* section,
                                                const wchar_t* key);

}  // namespace sharedlib
