// Who owns an object, and whether that owner is one this program trusts.
//
// The program runs as LocalSystem beside objects and files that other accounts may have made
// first. An object is the program's own (or an administrator's) only when its owner is SYSTEM,
// the Administrators group or the account the process runs as; files installed by the system may
// also belong to TrustedInstaller.
#pragma once

#include <windows.h>

#include <aclapi.h>

#include <optional>
#include <string>

namespace platform {

enum class OwnerRule {
  kKernelObject,  // SYSTEM, Administrators, the process's own account
  kFile,          // the same, and NT SERVICE\TrustedInstaller
};

struct ObjectOwner {
  std::string sid;  // in string form, "S-1-5-18"
  bool trusted = false;
};

// True when sid is one the rule trusts as an owner.
bool IsTrustedOwner(PSID sid, OwnerRule rule);

// The owner of an object opened with READ_CONTROL; nullopt (last error set) when it cannot be
// read or the object has none, which the caller treats as an owner it does not trust. (Windows
// gives every object an owner; Wine gives none to one created without an owner in its
// descriptor, so the program names the owner of what it creates.)
std::optional<ObjectOwner> ReadOwner(HANDLE object, SE_OBJECT_TYPE type, OwnerRule rule);

// A SID in string form, or "(unreadable SID)".
std::string SidText(PSID sid);

}  // namespace platform
