// The staged package's .msi as the version gate and the trust check take it: the one .msi file of
// the package folder, opened read-shared and held until setup has ended, so that the database
// whose version was compared and whose signature was checked is the one setup installs.
#pragma once

#include <windows.h>

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

// Whether the gate may read `msi`: true for one held file and for none (the gate then finds no
// product family, as before); otherwise logs why setup is not run, records the event and returns
// false.
bool AcceptPackageMsi(const HeldPackageMsi& msi);

// Whether `msi.path` still names the file the handle holds.
bool StillNamesHeldFile(const HeldPackageMsi& msi);

}  // namespace setupcmd
