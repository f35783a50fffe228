// The isolation context of the shared library: every installation of the client's shared
// library lives in a silo named by a braced GUID. The silo is found in an isolate.ini above the
// running executable and decides where the library's registry data lives.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "sharedlib/isolation_text.h"

namespace sharedlib {

// Hive used when isolate.ini names none.
constexpr wchar_t kDefaultRegistryHive[] = L"Software\\Quorvex\\Isolation";
// A braced GUID has 38 characters; GetSiloName's buffer has room for it and its end.
constexpr size_t kSiloNameChars = 40;
constexpr size_t kRegistryHiveChars = 100;

// Makes the context be found from the folder of `executablePath` instead of this program's, as
// the program there would find it. Only before the context is first set up; daxinst.exe never
// calls it.
void SetIsolationAnchor(const std::wstring& executablePath);

// Sets up the context once per process; true at once when it already is. Without `silo` the
// silo comes from the isolate.ini above the running executable. A failed set-up is retried by
// the next call.
bool InitIsolation(const wchar_t* silo = nullptr);

// Replaces the hive part of the silo's registry root, once per process: `base` when given, else
// the hive of isolate.ini. Later calls answer true and change nothing.
bool SetSiloRegistryBase(const wchar_t* base = nullptr);

// Registry path below HKEY_LOCAL_MACHINE of the silo (hive, "\", silo), or empty when the
// context cannot be set up.
std::wstring GetSiloRegistryRoot();
// The silo of the context, or empty when the context cannot be set up.
std::wstring GetContextSiloName();

// The silo named by the isolate.ini above `module`. Win32 code: 0, 87 for bad arguments or a
// buffer under 38 characters, 2 without isolate.ini, 122 when the value fills the buffer, 13
// when it is not a braced GUID (`out` is then empty), or the module path's error.
DWORD GetSiloName(HMODULE module, wchar_t* out, size_t outChars);

class CIsolation {
 public:
  // The registry hive named by the isolate.ini above `module` (the default without one). Win32
  // code: 0, 87 for bad arguments or a buffer under 100 characters, 122 when the value fills
  // the buffer, 13 when the hive ends up empty, or the module path's error.
  static DWORD GetRegistryHive(HMODULE module, wchar_t* out, size_t outChars);
};

// Reads `key` of `section` from the isolate.ini at `path` (UTF-16 LE with a byte-order mark, or
// 8-bit text). Writes the value, or `defaultValue` when the file, section or key is missing,
// into `out` (cut to fit) and answers the number of characters written.
size_t ReadIsolateIni(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue,
                      wchar_t* out, size_t outChars, const wchar_t* path);

// The library's own diagnostics: one debug-output line per failure.
void TraceFailure(const wchar_t* where, const std::wstring& what);

}  // namespace sharedlib
