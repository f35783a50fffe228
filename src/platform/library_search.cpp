#include "platform/library_search.h"

#include <windows.h>
// After windows.h, which it needs.
#include <delayimp.h>

#include <atomic>
#include <string>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace platform {

namespace {

// Set once, before any library is delay-loaded.
std::atomic<bool> searchRestricted{false};

// The system folder's copy of a library named by the import table. Loaded by full path; its own
// imports come from the system folder too: through the restricted search where the system took
// it, else through the search that begins in the library's own folder instead of the package
// folder.
HMODULE LoadFromSystemFolder(const char* name) {
  if (!name || !*name) return nullptr;
  std::wstring file;
  for (const char* c = name; *c; ++c) {
    const unsigned char ch = static_cast<unsigned char>(*c);
    // The names are our own import names: plain ASCII file names, never a path.
    if (ch >= 0x80 || ch == '\\' || ch == '/' || ch == ':') return nullptr;
    file += static_cast<wchar_t>(ch);
  }
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, length) + L"\\" + file;
  return ::LoadLibraryExW(path.c_str(), nullptr,
                          searchRestricted ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC WINAPI LoadDelayedFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || !info) return nullptr;
  if (HMODULE module = LoadFromSystemFolder(info->szDll)) return reinterpret_cast<FARPROC>(module);
  // What the helper tries next is a search by name, which without the restriction begins in the
  // package folder. Fail as the helper fails for a library it cannot find.
  info->dwLastError = ::GetLastError();
  ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
  ::RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
  return nullptr;
}

}  // namespace

bool RestrictLibrarySearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  bool restricted = false;
  if (HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll")) {
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
    restricted = setDefaultDllDirectories && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // Takes the current folder out of the search where the restriction is missing.
  ::SetDllDirectoryW(L"");
  searchRestricted = restricted;
  return restricted;
}

}  // namespace platform

// The delay-load helper asks this hook before it loads a library. It is defined here, in the
// object that WinMain's first call pulls into the executable, so that it takes the place of the
// runtime's own empty hook. The two helpers declare it differently.
extern "C" {
#if defined(_MSC_VER)
const PfnDliHook __pfnDliNotifyHook2 = platform::LoadDelayedFromSystemFolder;
#else
PfnDliHook __pfnDliNotifyHook2 = platform::LoadDelayedFromSystemFolder;
#endif
}
