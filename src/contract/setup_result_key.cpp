#include "contract/setup_result_key.h"

#include "platform/registry.h"

namespace contract {

bool ReadSetupResult(DWORD& code) {
  return platform::ReadRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKeyPath, kSetupResultValue, 0,
                                     code);
}

void WriteSetupResult(DWORD code) {
  platform::WriteRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKeyPath, kSetupResultValue, code, 0);
}

LONG OpenSetupResultForDeleting(platform::UniqueRegKey& key) {
  return ::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSetupResultKeyPath, 0, KEY_SET_VALUE, key.put());
}

LONG DeleteSetupResult() {
  platform::UniqueRegKey key;
  LONG error = OpenSetupResultForDeleting(key);
  if (error == ERROR_SUCCESS) error = platform::DeleteOpenKeyValue(key.get(), kSetupResultValue);
  // No key or no value: nothing is left for the polling to read.
  return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

}  // namespace contract
