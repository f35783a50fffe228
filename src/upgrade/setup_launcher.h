#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace upgrade {

// Prepares the staged package in `packageDirectory` and runs its setup.exe once, waiting for it:
// 0 when setup ran (whatever its exit code) or was refused for its file or its trust, -1 when
// its process could not be created, or the command-line generator's refusal (113, 114).
int RunDaxSetup(const std::string& packageDirectory, DWORD daxPid);

namespace detail {
// Runs one option writer; a COM failure of its reader is logged and becomes its result.
std::uint32_t RunOptionWriter(const char* kind, const std::function<std::uint32_t()>& write);
}  // namespace detail

}  // namespace upgrade
