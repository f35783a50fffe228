#pragma once

#include <windows.h>

namespace platform {

// Reads a REG_DWORD value. Leaves `value` untouched and answers false when the key or value is
// missing, cannot be read, or has another type.
bool ReadRegistryDword(HKEY root, const char* subKey, const char* valueName, REGSAM view,
                       DWORD& value);

}  // namespace platform
