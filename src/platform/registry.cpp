#include "platform/registry.h"

#include "platform/unique_handle.h"

namespace platform {

bool ReadRegistryDword(HKEY root, const char* subKey, const char* valueName, REGSAM view,
                       DWORD& value) {
  UniqueRegKey key;
  if (::RegOpenKeyExA(root, subKey, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (::RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data),
                         &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(data)) {
    return false;
  }
  value = data;
  return true;
}

}  // namespace platform
