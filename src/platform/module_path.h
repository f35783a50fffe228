#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Full path of this process's executable, as GetModuleFileNameA gives it into a buffer of
// MAX_PATH bytes. Leaves `path` untouched and answers false when the system gives none.
bool GetOwnModulePath(std::string& path);

}  // namespace platform
