#include "sharedlib/path_expansion.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <new>
#include <stdexcept>
#include <vector>

#include "platform/registry.h"
#include "platform/unique_handle.h"
#include "sharedlib/isolation.h"
#include "sharedlib/path_expansion_text.h"

namespace sharedlib {

namespace {

struct SpecialFolder {
  const wchar_t* name;
  DWORD number;
};

// Sorted by name with letters compared in lower case (so "_" sorts before every letter).
const SpecialFolder kSpecialFolders[] = {
    {L"COMMON_SILO_DATA", kCommonSiloData},
    {L"CSIDL_ADMINTOOLS", CSIDL_ADMINTOOLS},
    {L"CSIDL_ALTSTARTUP", CSIDL_ALTSTARTUP},
    {L"CSIDL_APPDATA", CSIDL_APPDATA},
    {L"CSIDL_BITBUCKET", CSIDL_BITBUCKET},
    {L"CSIDL_CDBURN_AREA", CSIDL_CDBURN_AREA},
    {L"CSIDL_COMMON_ADMINTOOLS", CSIDL_COMMON_ADMINTOOLS},
    {L"CSIDL_COMMON_ALTSTARTUP", CSIDL_COMMON_ALTSTARTUP},
    {L"CSIDL_COMMON_APPDATA", CSIDL_COMMON_APPDATA},
    {L"CSIDL_COMMON_DESKTOPDIRECTORY", CSIDL_COMMON_DESKTOPDIRECTORY},
    {L"CSIDL_COMMON_DOCUMENTS", CSIDL_COMMON_DOCUMENTS},
    {L"CSIDL_COMMON_FAVORITES", CSIDL_COMMON_FAVORITES},
    {L"CSIDL_COMMON_MUSIC", CSIDL_COMMON_MUSIC},
    {L"CSIDL_COMMON_OEM_LINKS", CSIDL_COMMON_OEM_LINKS},
    {L"CSIDL_COMMON_PICTURES", CSIDL_COMMON_PICTURES},
    {L"CSIDL_COMMON_PROGRAMS", CSIDL_COMMON_PROGRAMS},
    {L"CSIDL_COMMON_STARTMENU", CSIDL_COMMON_STARTMENU},
    {L"CSIDL_COMMON_STARTUP", CSIDL_COMMON_STARTUP},
    {L"CSIDL_COMMON_TEMPLATES", CSIDL_COMMON_TEMPLATES},
    {L"CSIDL_COMMON_VIDEO", CSIDL_COMMON_VIDEO},
    {L"CSIDL_COMPUTERSNEARME", CSIDL_COMPUTERSNEARME},
    {L"CSIDL_CONNECTIONS", CSIDL_CONNECTIONS},
    {L"CSIDL_CONTROLS", CSIDL_CONTROLS},
    {L"CSIDL_COOKIES", CSIDL_COOKIES},
    {L"CSIDL_DESKTOP", CSIDL_DESKTOP},
    {L"CSIDL_DESKTOPDIRECTORY", CSIDL_DESKTOPDIRECTORY},
    {L"CSIDL_DRIVES", CSIDL_DRIVES},
    {L"CSIDL_FAVORITES", CSIDL_FAVORITES},
    {L"CSIDL_FONTS", CSIDL_FONTS},
    {L"CSIDL_HISTORY", CSIDL_HISTORY},
    {L"CSIDL_INTERNET", CSIDL_INTERNET},
    {L"CSIDL_INTERNET_CACHE", CSIDL_INTERNET_CACHE},
    {L"CSIDL_LOCAL_APPDATA", CSIDL_LOCAL_APPDATA},
    {L"CSIDL_MYMUSIC", CSIDL_MYMUSIC},
    {L"CSIDL_MYPICTURES", CSIDL_MYPICTURES},
    {L"CSIDL_MYVIDEO", CSIDL_MYVIDEO},
    {L"CSIDL_NETHOOD", CSIDL_NETHOOD},
    {L"CSIDL_NETWORK", CSIDL_NETWORK},
    {L"CSIDL_PERSONAL", CSIDL_PERSONAL},
    {L"CSIDL_PRINTERS", CSIDL_PRINTERS},
    {L"CSIDL_PRINTHOOD", CSIDL_PRINTHOOD},
    {L"CSIDL_PROFILE", CSIDL_PROFILE},
    {L"CSIDL_PROGRAM_FILES", CSIDL_PROGRAM_FILES},
    {L"CSIDL_PROGRAM_FILES_COMMON", CSIDL_PROGRAM_FILES_COMMON},
    {L"CSIDL_PROGRAM_FILES_COMMONX64", kProgramFilesCommonX64},
    {L"CSIDL_PROGRAM_FILES_COMMONX86", CSIDL_PROGRAM_FILES_COMMONX86},
    {L"CSIDL_PROGRAM_FILESX64", kProgramFilesX64},
    {L"CSIDL_PROGRAM_FILESX86", CSIDL_PROGRAM_FILESX86},
    {L"CSIDL_PROGRAMS", CSIDL_PROGRAMS},
    {L"CSIDL_RECENT", CSIDL_RECENT},
    {L"CSIDL_RESOURCES", CSIDL_RESOURCES},
    {L"CSIDL_RESOURCES_LOCALIZED", CSIDL_RESOURCES_LOCALIZED},
    {L"CSIDL_SENDTO", CSIDL_SENDTO},
    {L"CSIDL_STARTMENU", CSIDL_STARTMENU},
    {L"CSIDL_STARTUP", CSIDL_STARTUP},
    {L"CSIDL_SYSTEM", CSIDL_SYSTEM},
    {L"CSIDL_SYSTEMX86", CSIDL_SYSTEMX86},
    {L"CSIDL_TEMPLATES", CSIDL_TEMPLATES},
    {L"CSIDL_WINDOWS", CSIDL_WINDOWS},
    {L"LOCAL_SILO_DATA", kLocalSiloData},
};
static_assert(std::size(kSpecialFolders) == 60, "the special-folder table has 60 names");

constexpr wchar_t kExpansionMapSubKey[] = L"\\Varnel\\PathExpansionMap";
constexpr wchar_t kWindowsCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr size_t kVendorFolderMaxChars = 49;

int CompareNoCase(const wchar_t* left, const wchar_t* right) {
  for (;; ++left, ++right) {
    const wint_t a = std::towlower(*left);
    const wint_t b = std::towlower(*right);
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}

// A string value of `key`; REG_SZ or REG_EXPAND_SZ with an even length, used as stored.
bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& value) {
  platform::TextValueLimits limits;
  limits.stringTypesOnly = true;
  limits.wholeCharactersOnly = true;
  return platform::ReadRegistryText(key, name, limits, value);
}

bool ReadWindowsFolderValue(const wchar_t* name, std::wstring& out) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWindowsCurrentVersionKey, 0, KEY_READ | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS) {
    TraceFailure(L"ExpandFolderVariable", L"cannot open the Windows version key");
    return false;
  }
  if (!ReadStringValue(key.get(), name, out)) {
    TraceFailure(L"ExpandFolderVariable", std::wstring(L"cannot read ") + name);
    return false;
  }
  return true;
}

// Set while this thread computes a silo data folder, whose vendor name is itself an expansion:
// a vendor name that leads back to a silo data folder would otherwise recurse without end.
thread_local bool t_inAppDataFolder = false;

}  // namespace

bool FindSpecialFolderNumber(const wchar_t* name, DWORD& number) {
  if (!name) return false;
  const auto end = std::end(kSpecialFolders);
  const auto found = std::lower_bound(std::begin(kSpecialFolders), end, name,
                                      [](const SpecialFolder& entry, const wchar_t* key) {
                                        return CompareNoCase(entry.name, key) < 0;
                                      });
  if (found == end || CompareNoCase(found->name, name) != 0) return false;
  number = found->number;
  return true;
}

bool ExpandFolderVariable(const wchar_t* name, std::wstring& out) {
  DWORD number = 0;
  if (!FindSpecialFolderNumber(name, number)) return false;
  switch (number) {
    case kCommonSiloData:
      return GetAppDataFolder(CSIDL_COMMON_APPDATA, out);
    case kLocalSiloData:
      return GetAppDataFolder(CSIDL_LOCAL_APPDATA, out);
    case kProgramFilesX64:
      return ReadWindowsFolderValue(L"ProgramFilesDir", out);
    case kProgramFilesCommonX64:
      return ReadWindowsFolderValue(L"CommonFilesDir", out);
    default:
      break;
  }
  wchar_t path[MAX_PATH] = {};
  const HRESULT result =
      ::SHGetFolderPathW(nullptr, static_cast<int>(number), nullptr, SHGFP_TYPE_DEFAULT, path);
  if (FAILED(result)) {
    TraceFailure(L"ExpandFolderVariable",
                 std::wstring(name) + L": SHGetFolderPath failed " + std::to_wstring(result));
    return false;
  }
  out = path;
  return true;
}

bool GetAppDataFolder(int folder, std::wstring& out) {
  out.clear();
  if (t_inAppDataFolder) {
    TraceFailure(L"GetAppDataFolder", L"vendor folder name refers to a silo data folder");
    return false;
  }
  try {
    t_inAppDataFolder = true;
    std::wstring vendor;
    const bool expanded = ExpandPath(L"%APPDATAEXTENSION%", vendor) == 1;
    t_inAppDataFolder = false;
    if (!expanded) vendor = L"Quorvex";
    if (vendor.size() > kVendorFolderMaxChars) vendor.resize(kVendorFolderMaxChars);

    const std::wstring silo = GetContextSiloName();
    wchar_t path[MAX_PATH] = {};
    if (silo.empty() || !::SHGetSpecialFolderPathW(nullptr, path, folder, FALSE) ||
        !::PathAppendW(path, vendor.c_str()) || !::PathAppendW(path, silo.c_str())) {
      TraceFailure(L"GetAppDataFolder", L"folder " + std::to_wstring(folder) + L" not available");
      return false;
    }
    out = path;
    return true;
  } catch (const std::exception&) {
    t_inAppDataFolder = false;
    out.clear();
    TraceFailure(L"GetAppDataFolder", L"out of memory");
    return false;
  }
}

int ExpandPath(const wchar_t* text, std::wstring& out) {
  if (!text) {
    TraceFailure(L"ExpandPath", L"no text");
    return 0;
  }
  bool mapOpened = false;
  try {
    const std::wstring root = GetSiloRegistryRoot();
    if (root.empty()) {
      TraceFailure(L"ExpandPath", L"no silo registry root");
      return 0;
    }
    platform::UniqueRegKey map;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (root + kExpansionMapSubKey).c_str(), 0,
                        KEY_READ | KEY_WOW64_32KEY, map.put()) != ERROR_SUCCESS) {
      TraceFailure(L"ExpandPath", L"cannot open the expansion map of " + root);
      return 0;
    }
    mapOpened = true;

    ExpansionFailure failure;
    const int result = SubstituteVariables(
        text,
        [&map](const std::wstring& name, std::wstring& value) {
          return ReadStringValue(map.get(), name.c_str(), value) ||
                 ExpandFolderVariable(name.c_str(), value);
        },
        out, failure);
    switch (failure.kind) {
      case ExpansionFailure::kNone:
        break;
      case ExpansionFailure::kUnpairedPercent:
        TraceFailure(L"ExpandPath", std::wstring(L"unpaired % in ") + text);
        break;
      case ExpansionFailure::kEmptyName:
        TraceFailure(L"ExpandPath", std::wstring(L"empty variable name in ") + text);
        break;
      case ExpansionFailure::kUnknownVariable:
        TraceFailure(L"ExpandPath", L"unknown variable " + failure.reference + L" in " + text);
        break;
      case ExpansionFailure::kExpandedTwice:
        TraceFailure(L"ExpandPath",
                     L"variable " + failure.reference + L" expanded twice in " + text);
        break;
      case ExpansionFailure::kTooLong:
        TraceFailure(L"ExpandPath", L"variable " + failure.reference + L" makes more than " +
                                        std::to_wstring(kMaxExpandedChars) + L" characters of " +
                                        text);
        break;
    }
    return result;
  } catch (const std::exception&) {
    TraceFailure(L"ExpandPath", L"exception during the expansion");
    if (mapOpened) {
      try {
        out = text;
        CleanUpBackslashes(out);
      } catch (const std::exception&) {
      }
    }
    return 0;
  }
}

}  // namespace sharedlib
