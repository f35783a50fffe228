// The verification behind every request of the file trust verifier: WinTrust judges the
// signature, then the signer certificate is checked at the requested level.
#pragma once

#include <windows.h>

#include <string>

namespace sharedlib {

// The file named by `path` (normalised): its embedded signature, and the system catalogs where
// the level or an attempted external verdict asks for them.
ULONG FullVerification(const std::wstring& path, ULONG level, ULONG catalogHashOption,
                       bool driverMode, bool externalVerdictAttempted, bool wholeChainRevocation);

// The embedded signature of a held file, read through its handle alone, and the signer that
// WinTrust found in it. `path` is only the name WinTrust is given.
ULONG VerifyThroughHandle(const wchar_t* path, HANDLE file, ULONG level, bool wholeChainRevocation);

}  // namespace sharedlib
