// Registry staging for tests that build a config.xml reader: the product key that leads the
// reader to its configuration folder, the silo's expansion map, and the clean-up that leaves the
// prefix as it was found (the suites run again in the same prefix).
#pragma once

#include <windows.h>

#include <string>

#include "config/config_xml_parser.h"
#include "contract/product_registry.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace config_testing {

constexpr const char* kProductKey = contract::kProductKeyPath;
// The silo that the test executables' isolate.ini names, and the hive of its expansion map.
constexpr char kSilo[] = "{5E0C3A71-2B4D-4C8E-9F10-A1B2C3D4E5F6}";
constexpr char kHive[] = "Software\\Quorvex\\Isolation";

using testing_support::LogPath;

inline std::string MapKey() {
  return std::string(kHive) + "\\" + kSilo + "\\Varnel\\PathExpansionMap";
}

inline void DeleteTree(const char* parent, const char* child, REGSAM view) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent, 0, KEY_ALL_ACCESS | view, key.put()) ==
      ERROR_SUCCESS) {
    const LONG deleted = ::RegDeleteTreeA(key.get(), child);
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
      ADD_FAILURE() << "cannot delete " << parent << "\\" << child << ": error " << deleted;
    }
  }
}

// Removes a key a test may have created, but only when nothing else lives in it.
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

// The product key's values and the silo's expansion map exist only for the length of one case.
inline void ClearRegistry() {
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    platform::UniqueRegKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS | view, key.put()) ==
        ERROR_SUCCESS) {
      testing_support::ExpectDeletedValue(key.get(), kProductKey, "ProductVersion");
      testing_support::ExpectDeletedValue(key.get(), kProductKey, "dax_install_path");
    }
    DeleteTree(kHive, kSilo, view);
    for (const char* path :
         {kProductKey, "SOFTWARE\\Quorvex\\Tarvane", kHive, "SOFTWARE\\Quorvex"}) {
      DeleteKeyIfEmpty(path, view);
    }
  }
}

// The 32-bit view is where the reader looks while the client's service is not installed.
inline void SetProductValue(const char* name, const std::string& value,
                            REGSAM view = KEY_WOW64_32KEY) {
  testing_support::SetRegistryString(HKEY_LOCAL_MACHINE, kProductKey, name, value, view);
}

// A client older than 12.1 keeps config.xml in its installation folder: the simplest way to
// point a reader at `folder` without a silo.
inline void UseConfigFolder(const std::string& folder) {
  SetProductValue("ProductVersion", "11.0");
  SetProductValue("dax_install_path", folder);
}

inline std::string Document(const std::string& body) {
  return "<?xml version=\"1.0\"?>\r\n<Deployment>\r\n" + body + "\r\n</Deployment>\r\n";
}

}  // namespace config_testing
