#include "upgrade/run_record_folder.h"

#include <windows.h>

#include <shlobj.h>

namespace upgrade {

namespace {

bool Digits(const std::wstring& text, size_t at, size_t count) {
  if (at + count > text.size()) return false;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
  }
  return true;
}

}  // namespace

bool CommonAppDataFolder(std::wstring& folder) {
  wchar_t common[MAX_PATH] = {};
  // SHGFP_TYPE_DEFAULT: the folder's default place, not a redirection in the registry.
  if (FAILED(
          ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_DEFAULT, common))) {
    return false;
  }
  std::wstring path(common);
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  if (path.empty()) return false;
  folder = path;
  return true;
}

bool RunRecordFolder(std::wstring& folder) {
  std::wstring common;
  if (!CommonAppDataFolder(common)) return false;
  folder = common + L"\\" + kRunRecordSubfolder;
  return true;
}

bool IsRunRecordName(const std::wstring& name) {
  // run-20261211T031500.123Z-4242.json: 25 characters before the process id, 5 after it.
  constexpr size_t kIdAt = 25;
  constexpr size_t kSuffixLength = 5;
  if (name.size() < kIdAt + 1 + kSuffixLength) return false;
  const size_t suffixAt = name.size() - kSuffixLength;
  return name.compare(0, 4, L"run-") == 0 && Digits(name, 4, 8) && name[12] == L'T' &&
         Digits(name, 13, 6) && name[19] == L'.' && Digits(name, 20, 3) && name[23] == L'Z' &&
         name[24] == L'-' && Digits(name, kIdAt, suffixAt - kIdAt) &&
         name.compare(suffixAt, kSuffixLength, L".json") == 0;
}

}  // namespace upgrade
