#include "platform/module_path.h"

#include "platform/text_conversion.h"

namespace platform {

bool NarrowNamesTheSamePath(const std::wstring& wide, std::string& narrow) {
  bool exact = false;
  narrow = NarrowWithoutBestFit(wide, &exact);
  return exact && !narrow.empty() && WidenToNulStrict(narrow.c_str()) == wide;
}

ModulePathRead ReadOwnModulePath(std::string& path, std::wstring* widePath) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  // A full buffer means the name was cut short: no usable path.
  if (length == 0 || length >= MAX_PATH) return ModulePathRead::kUnavailable;
  const std::wstring wide(buffer, length);
  std::string narrow;
  if (!NarrowNamesTheSamePath(wide, narrow)) {
    if (widePath) *widePath = wide;
    return ModulePathRead::kNotExact;
  }
  // Callers keep the narrow path in buffers of MAX_PATH bytes.
  if (narrow.size() >= MAX_PATH) return ModulePathRead::kUnavailable;
  path = narrow;
  if (widePath) *widePath = wide;
  return ModulePathRead::kRead;
}

bool GetOwnModulePath(std::string& path) {
  return ReadOwnModulePath(path) == ModulePathRead::kRead;
}

}  // namespace platform
