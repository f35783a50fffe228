#include "contract/product_registry.h"

#include <utility>

#include "contract/client_registry.h"
#include "platform/service_presence.h"

namespace contract {

bool Is64BitProcessor(WORD architecture) {
  return architecture == PROCESSOR_ARCHITECTURE_IA64 ||
         architecture == PROCESSOR_ARCHITECTURE_AMD64;
}

REGSAM ProductKeyAccess(WORD architecture) {
  if (!platform::IsServiceInstalled(kClientServiceName) && Is64BitProcessor(architecture)) {
    return KEY_READ | KEY_WOW64_32KEY;
  }
  return KEY_READ;
}

REGSAM ProductKeyAccess() {
  SYSTEM_INFO info = {};
  ::GetSystemInfo(&info);
  return ProductKeyAccess(info.wProcessorArchitecture);
}

bool OpenProductKey(REGSAM access, platform::UniqueRegKey& key) {
  platform::UniqueRegKey opened;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, access, opened.put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  key = std::move(opened);
  return true;
}

}  // namespace contract
