#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/unique_handle.h"

namespace config {
class ConfigXmlRun;
}  // namespace config

namespace upgrade {

// setup.exe of a package as the run names and holds it: the path, its one wide form, and the
// handle that denies writers and deleters. The handle is empty when the file cannot be opened
// so (missing, locked, no access, a path that does not convert or does not fit).
struct HeldSetupFile {
  std::string path;
  std::wstring widePath;
  platform::UniqueFileHandle handle;
};
HeldSetupFile OpenSetupFile(const std::string& packageDirectory);

// The three option writers' results, in the order they run.
struct OptionMergeResults {
  std::uint32_t install = 0;
  std::uint32_t reboot = 0;
  std::uint32_t feature = 0;
};
// Merges config.xml into the setAid.ini of `packageDirectory` as a run does before it builds the
// command line, logging each writer's failure. Every writer answers from `configRun`, the run's
// one reading of config.xml (read here when null).
OptionMergeResults MergeDeploymentOptions(
    const std::string& packageDirectory, std::shared_ptr<config::ConfigXmlRun> configRun = nullptr);

// Prepares the staged package in `packageDirectory` and runs its setup.exe once, waiting for it:
// 0 when setup ran (whatever its exit code) or was refused for its files, their trust, an
// unreadable config.xml or a setAid.ini that is not the package's own file (a link) or cannot be
// held, -1 when its process could not be created, or the refusal of the package's .msi or of the
// command-line generator (113, 114, 115). `personAtDesktop`: debug mode, where someone can answer
// setup's dialogs.
int RunDaxSetup(const std::string& packageDirectory, DWORD daxPid, bool personAtDesktop = false);

namespace detail {
// Runs one option writer; a COM failure of its reader is logged and becomes its result.
std::uint32_t RunOptionWriter(const char* kind, const std::function<std::uint32_t()>& write);
}  // namespace detail

}  // namespace upgrade
