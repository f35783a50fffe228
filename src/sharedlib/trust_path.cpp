#include "sharedlib/trust_path.h"

#include <windows.h>

#include <cwchar>

namespace sharedlib {

namespace {

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  const size_t length = std::wcslen(prefix);
  return text.size() >= length && ::_wcsnicmp(text.c_str(), prefix, length) == 0;
}

// "\??\C:\..." and "\??\UNC\server\..." as the paths they stand for.
std::wstring WithoutObjectPrefix(std::wstring path) {
  path.erase(0, 4);
  if (StartsWithNoCase(path, L"UNC\\")) path.replace(0, 4, L"\\\\");
  return path;
}

// "\Device\HarddiskVolumeN\..." with the drive letter whose device it names; unchanged when no
// drive names that device.
std::wstring WithDriveLetter(const std::wstring& path) {
  wchar_t drive[] = L"A:";
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    drive[0] = letter;
    wchar_t target[MAX_PATH] = {};
    if (!::QueryDosDeviceW(drive, target, MAX_PATH)) continue;
    const size_t length = std::wcslen(target);
    if (length == 0 || !StartsWithNoCase(path, target)) continue;
    if (path.size() > length && path[length] != L'\\') continue;
    return std::wstring(drive) + path.substr(length);
  }
  return path;
}

// Environment references expanded; unchanged when the expansion fails.
std::wstring Expanded(const std::wstring& path) {
  const DWORD needed = ::ExpandEnvironmentStringsW(path.c_str(), nullptr, 0);
  if (needed == 0) return path;
  std::wstring expanded(needed, L'\0');
  const DWORD written = ::ExpandEnvironmentStringsW(path.c_str(), &expanded[0], needed);
  if (written == 0 || written > needed) return path;
  expanded.resize(written - 1);
  return expanded;
}

}  // namespace

std::wstring NormaliseTrustPath(const std::wstring& path) {
  std::wstring result = path;
  if (StartsWithNoCase(result, L"\\??\\")) {
    result = WithoutObjectPrefix(result);
  } else if (StartsWithNoCase(result, L"\\device\\harddiskVolume")) {
    result = WithDriveLetter(result);
  }
  if (result.find(L'%') != std::wstring::npos) result = Expanded(result);
  return result;
}

}  // namespace sharedlib
