// Every registry value read, write and delete of the program: DWORD and text, ANSI and UTF-16.
// Each caller names its own limits (the longest text, the types it takes); reads leave their
// out-parameter untouched on failure.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Reads a REG_DWORD value. Leaves `value` untouched and answers false when the key or value is
// missing, cannot be read, or has another type.
bool ReadRegistryDword(HKEY root, const char* subKey, const char* valueName, REGSAM view,
                       DWORD& value);
// The same for a key the caller has open.
bool ReadRegistryDword(HKEY key, const char* valueName, DWORD& value);
bool ReadRegistryDword(HKEY key, const wchar_t* valueName, DWORD& value);

// How a text read takes a value. The text always ends at its first NUL, whether or not the
// stored data carries one.
struct TextValueLimits {
  // The most bytes read; a longer value fails the read. 0 reads a value of any length.
  DWORD maxBytes = 0;
  // Only REG_SZ and REG_EXPAND_SZ; otherwise the bytes of any type are read as text.
  bool stringTypesOnly = false;
  // UTF-16 reads only: a value of an odd number of bytes fails the read, instead of losing its
  // last half character.
  bool wholeCharactersOnly = false;
};
bool ReadRegistryText(HKEY key, const char* valueName, const TextValueLimits& limits,
                      std::string& value);
bool ReadRegistryText(HKEY key, const wchar_t* valueName, const TextValueLimits& limits,
                      std::wstring& value);

// Creates the key when needed and writes a REG_DWORD value with all access in `view`. 0 on
// success, 1 on failure.
int WriteRegistryDword(HKEY root, const char* subKey, const char* valueName, DWORD value,
                       REGSAM view);

// Deletes a value of a key opened with all access in `view`. 0 on success, 1 on failure.
int DeleteRegistryValue(HKEY root, const char* subKey, const char* valueName, REGSAM view);
// Deletes a value of a key the caller has open; the registry's answer.
LONG DeleteOpenKeyValue(HKEY key, const char* valueName);

}  // namespace platform
