#include "platform/module_path.h"

namespace platform {

bool GetOwnModulePath(std::string& path) {
  char buffer[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  // A full buffer means the name was cut short: no usable path.
  if (length == 0 || length >= MAX_PATH) return false;
  path.assign(buffer, length);
  return true;
}

}  // namespace platform
