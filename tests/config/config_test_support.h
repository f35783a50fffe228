// Helpers that the config tests share: the product key and cleaning it up, and the log beside
// the test executable.
#pragma once

#include <windows.h>

#include <string>

#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace config_testing {

constexpr char kProductKey[] = "SOFTWARE\\Quorvex\\Tarvane\\DAX";

inline std::string LogPath() { return testing_support::ExecutableDirectory() + "\\daxinst.log"; }

inline void DeleteTree(const char* parent, const char* child, REGSAM view) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent, 0, KEY_ALL_ACCESS | view, key.put()) ==
      ERROR_SUCCESS) {
    ::RegDeleteTreeA(key.get(), child);
  }
}

// Removes a key this test may have created, but only when nothing else lives in it.
inline void DeleteKeyIfEmpty(const char* path, REGSAM view) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
    return;
  }
  DWORD subKeys = 0;
  DWORD values = 0;
  if (::RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
      subKeys == 0 && values == 0) {
    key.reset();
    ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, view, 0);
  }
}

}  // namespace config_testing
