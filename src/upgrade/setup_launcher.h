#pragma once

#include <windows.h>

#include <string>

namespace upgrade {

// Prepares the staged package in `packageDirectory` and runs its setup.exe once, waiting for it.
// The result is only logged by the caller; the outcome of setup is collected from the registry.
int RunDaxSetup(const std::string& packageDirectory, DWORD daxPid);

}  // namespace upgrade
