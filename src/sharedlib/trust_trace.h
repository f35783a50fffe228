// The event-trace messages of the file trust verifier, which its parts share; the format files
// give their texts.
#pragma once

#include <windows.h>

namespace sharedlib {

// {B2E4C1A7-5F3D-4E8B-A6C2-1D7F90E3B584}
inline constexpr GUID kVerifyTrustMessages = {
    0xb2e4c1a7, 0x5f3d, 0x4e8b, {0xa6, 0xc2, 0x1d, 0x7f, 0x90, 0xe3, 0xb5, 0x84}};
enum : USHORT {
  kMsgAnswer = 1,          // path, answer
  kMsgSlowWinTrust = 2,    // path, milliseconds
  kMsgSlowCatalog = 3,     // path, milliseconds
  kMsgOutOfMemory = 4,     // module name
  kMsgCatalogContext = 5,  // path, last error
  kMsgCatalogHash = 6,     // path, last error
  kMsgSignerMissing = 7,   // path, last error
  kMsgHeldFileUnread = 8,  // path, last error
};

// A call that takes this long or longer is traced.
constexpr ULONGLONG kSlowCallMs = 501;

// `message` at error level with the path and the error that made the step fail.
void TraceTrustFailure(USHORT message, const wchar_t* path, DWORD error);

// `message` at warning level with the path and the milliseconds the call took, when it took
// kSlowCallMs or longer.
void TraceIfSlow(USHORT message, const wchar_t* path, ULONGLONG elapsedMs);

}  // namespace sharedlib
