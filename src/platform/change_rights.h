// Who besides this program and the administrators may change a file or a folder.
//
// The program runs as LocalSystem what it finds in a folder that another program filled: whoever
// may write that folder, a file in it, or rename one of the folders above it, decides what runs
// as LocalSystem. The rights are read as Windows decides them: the ACEs of the DACL in order,
// allow and deny, inherited ones included, generic rights mapped; a NULL DACL grants everything
// to everyone. Every path is opened without following a reparse point, and its descriptor is
// read through that handle.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace platform {

// What is checked about a path, and which rights count as changing it.
enum class PathRole {
  kFile,      // a file the program opens or starts
  kFolder,    // a folder whose files the program opens or starts
  kAncestor,  // a folder above such a folder: only what lets others delete or rename its children
};

// Data, attributes, extended attributes, deleting or renaming, the DACL and the owner.
constexpr ACCESS_MASK kFileChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA |
                                          FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE |
                                          WRITE_DAC | WRITE_OWNER;
// The same for a folder (adding a file or a folder), and deleting or renaming what it holds.
constexpr ACCESS_MASK kFolderChangeRights = kFileChangeRights | FILE_DELETE_CHILD;
// Deleting or renaming a child, renaming the folder itself (the path below it then names another
// folder), and the DACL or the owner, which give the rest.
constexpr ACCESS_MASK kAncestorChangeRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

constexpr ACCESS_MASK ChangeRightsOf(PathRole role) {
  return role == PathRole::kFile     ? kFileChangeRights
         : role == PathRole::kFolder ? kFolderChangeRights
                                     : kAncestorChangeRights;
}

// A SID other than SYSTEM, the Administrators, TrustedInstaller and the process's own account,
// and the rights among those watched that the DACL grants it.
struct ForeignRight {
  std::string sid;  // in string form
  ACCESS_MASK rights = 0;
};

// The first such SID, in the order of the DACL's ACEs, that holds any of `watched`, evaluated
// for a token that holds that SID and Everyone. False when there is none. A null `dacl` is a
// NULL DACL: Everyone holds every right.
bool FindForeignRight(const ACL* dacl, ACCESS_MASK watched, ForeignRight& found);

struct PathRights {
  enum class Verdict {
    kPasses,
    kMissing,       // no such file or folder
    kUnreadable,    // cannot be opened or its descriptor cannot be read; `error` says why
    kForeignOwner,  // `sid` owns it (or it has no owner at all: `sid` empty)
    kForeignRight,  // `sid` holds `rights`
  };
  Verdict verdict = Verdict::kUnreadable;
  std::string sid;
  ACCESS_MASK rights = 0;
  DWORD error = ERROR_SUCCESS;
};

// Judges a descriptor for `role`: a trusted owner (the rule of ReadOwner with OwnerRule::kFile)
// and no foreign SID holding one of ChangeRightsOf(role) passes. A descriptor without a DACL is
// judged as a NULL DACL; one without an owner as an owner that is not trusted.
PathRights JudgeDescriptor(PSECURITY_DESCRIPTOR descriptor, PathRole role);

// Reads the owner and the DACL of `path` through a handle and judges them as JudgeDescriptor does.
PathRights CheckPathRights(const std::wstring& path, PathRole role);

// The names of the rights in `rights`, "|"-separated, as a folder's or a file's rights are called
// ("FILE_ADD_FILE" for a folder, "FILE_WRITE_DATA" for a file).
std::string RightNames(ACCESS_MASK rights, PathRole role);

// The folders above `path` (a full path, no trailing separator), nearest first, the root last:
// "C:\a\b" gives "C:\a" and "C:\", "\\server\share\a" gives "\\server\share\". Empty for a root.
std::vector<std::wstring> AncestorsOf(const std::wstring& path);

}  // namespace platform
