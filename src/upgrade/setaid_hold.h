// setAid.ini as the merge of config.xml finds it: checked to be the package's own file and held
// so that it cannot be replaced while the profile functions rewrite it by name.
#pragma once

#include <windows.h>

#include <string>

#include "platform/unique_handle.h"

namespace upgrade {

enum class SetAidCheck {
  kHeld,          // one name, no reparse point; `handle` keeps it in place
  kAbsent,        // nothing there: the profile functions create it
  kLinked,        // another name of the same file lies elsewhere
  kReparsePoint,  // the name leads elsewhere (a symbolic link or a junction)
  // Another program holds it open without sharing it: the profile functions could not write it
  // either, and a reader of the package (any user may be one) must not be able to stop setup.
  kInUse,
  kNotOpened,  // it cannot be opened so (no access, a path that does not convert)
};

struct HeldSetAid {
  std::string path;
  SetAidCheck check = SetAidCheck::kNotOpened;
  DWORD links = 0;
  DWORD error = 0;
  // Read access without delete sharing: the file can be neither renamed nor deleted, so its name
  // keeps leading to the checked file, while the profile functions may still read and write it.
  platform::UniqueFileHandle handle;
};

// Opens setAid.ini of `packageDirectory` without following a reparse point and checks it.
HeldSetAid HoldSetAid(const std::string& packageDirectory);

// What the run does with setAid.ini before setup.
enum class SetAidUse {
  kMerge,          // held or absent: the merge writes it
  kLeaveAsItIs,    // in use: not written, setup runs with it as it is
  kDoNotRunSetup,  // a link, a reparse point, or not to be opened: not written, setup is not run
};
SetAidUse UseOf(const HeldSetAid& setAid);

// Records why the merge does not write setAid.ini (every answer of UseOf but kMerge).
void RecordSetAidNotMerged(const HeldSetAid& setAid);

}  // namespace upgrade
