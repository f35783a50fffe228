// The staged package's .msi as the version gate and the trust check take it: the one .msi file of
// the package folder, opened read-shared and held until setup has ended, so that the database
// whose version was compared and whose signature was checked is the one setup installs.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/unique_handle.h"

namespace setupcmd {

struct HeldPackageMsi {
  enum class Found {
    kNone,     // no .msi file in the folder
    kOne,      // exactly one, held
    kSeveral,  // more than one: which one setup installs is not known
    kNotHeld,  // exactly one, but it cannot be opened read-shared (error tells why)
  };
  Found found = Found::kNone;
  std::vector<std::string> names;  // every .msi file found, in the order the folder lists them
  std::string path;                // the one file's path (kOne, kNotHeld)
  std::wstring widePath;           // its one wide form, for the handle, the check and the gate
  // Denies writers and deleters for as long as it lives: the file can be neither changed, nor
  // renamed, nor replaced, and no folder above it renamed.
  platform::UniqueFileHandle handle;
  DWORD error = ERROR_SUCCESS;
};

// Lists the files of `packageDirectory` whose names end in ".msi" (folders so named are not
// packages) and holds the one there is.
HeldPackageMsi FindAndHoldPackageMsi(const std::string& packageDirectory);

// Why the gate may not read `msi`, as the line that says so; empty for one held file and for none
// (the gate then finds no product family, as before).
std::string PackageMsiRefusal(const HeldPackageMsi& msi);

// Why a package's .msi is refused, for the caller that records it.
enum class MsiRefusal {
  kNone,
  kSeveral,     // more than one .msi file
  kUnreadable,  // it cannot be held, no longer names the held file, or names no product family
};
// Receives each refusal with its line; the caller logs it (the generator's default logs the line).
using MsiRefusalReport = std::function<void(MsiRefusal why, const std::string& line)>;

// Whether `msi.path` still names the file the handle holds.
bool StillNamesHeldFile(const HeldPackageMsi& msi);

}  // namespace setupcmd
