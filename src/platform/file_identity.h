// Which file a handle or a process stands for, whatever path names it by now, and the one way
// the staged setup program is opened. Both are seams: a test puts in a failure or a wrong answer
// that the real system cannot be made to give on demand.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

namespace platform {

// Opens `path` for reading and denies writers and deleters for as long as the handle lives
// (FILE_GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING). Fails as CreateFileW does, with the last
// error set by the call that failed.
UniqueFileHandle OpenReadShared(const wchar_t* path);

// The volume and the file number within it. Two handles with equal identities hold the same
// file, however each was opened.
struct FileIdentity {
  DWORD volumeSerial = 0;
  ULONGLONG fileIndex = 0;
  // The 128-bit form where the system has it (Windows 8 and later): file systems such as ReFS
  // number their files beyond what the 64-bit index can tell apart.
  bool hasExtended = false;
  ULONGLONG extendedVolumeSerial = 0;
  BYTE extendedFileId[16] = {};
};
bool operator==(const FileIdentity& a, const FileIdentity& b);
inline bool operator!=(const FileIdentity& a, const FileIdentity& b) { return !(a == b); }

// False when the system does not say.
bool FileIdentityOf(HANDLE file, FileIdentity& identity);

// The identity of the image file that `process` was created from. False when it cannot be told;
// callers treat that as a file they do not know.
bool ProcessImageIdentity(HANDLE process, FileIdentity& identity);

// Test seams. Each returns the function it replaces; null puts the system's own back.
using OpenReadSharedFn = HANDLE (*)(const wchar_t* path);
OpenReadSharedFn SetOpenReadSharedForTesting(OpenReadSharedFn open);
using ProcessImageIdentityFn = bool (*)(HANDLE process, FileIdentity& identity);
ProcessImageIdentityFn SetProcessImageIdentityForTesting(ProcessImageIdentityFn identify);

}  // namespace platform
