#include "contract/client_registry.h"

#include "platform/registry.h"
#include "platform/service_presence.h"

namespace contract {

REGSAM ClientRegistryView() {
  return platform::IsServiceInstalled(kClientServiceName) ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

bool ReadClientDword(const char* valueName, DWORD& value) {
  return platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kClientKeyPath, valueName,
                                     ClientRegistryView(), value);
}

void WriteClientDword(const char* valueName, DWORD value) {
  platform::WriteRegistryDword(HKEY_LOCAL_MACHINE, kClientKeyPath, valueName, value,
                               ClientRegistryView());
}

void DeleteClientValue(const char* valueName) {
  platform::DeleteRegistryValue(HKEY_LOCAL_MACHINE, kClientKeyPath, valueName,
                                ClientRegistryView());
}

}  // namespace contract
