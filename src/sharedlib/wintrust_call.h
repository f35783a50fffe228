// One WinTrust request: its record with this verifier's fixed settings, the call, and what its
// result and the state it keeps say.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <optional>

#include "sharedlib/wintrust_records.h"

namespace sharedlib {

// A request with no user interface and no state action for the subject `info` of `unionChoice`;
// revocation is checked along the whole chain or not at all.
TrustRequestRecord NewTrustRequest(DWORD unionChoice, void* info, bool wholeChainRevocation);

// WinVerifyTrust with no window, under the driver or the generic action; a call of kSlowCallMs
// or more is traced as `slowMessage` with `path`.
LONG CallWinTrust(const wchar_t* path, TrustRequestRecord& request, bool driverMode,
                  USHORT slowMessage);

// WinTrust's own result of the last verify request on this thread (a close request does not
// count), for callers that report why a file is refused: the mapped answer below tells an
// untrusted root from a tampered file no more. Empty until a verify request was made, and after
// ForgetLastVerifyResult.
std::optional<LONG> LastVerifyResult();
void ForgetLastVerifyResult();

// For a program run by a person rather than by the service (daxcheck.exe): from then on every
// request and chain of this process is built from what the machine already holds, never fetching
// a URL that a certificate names and never updating the machine's roots. Off by default.
void UseCacheOnlyRetrieval();
bool CacheOnlyRetrieval();

// WinTrust's result as the answer of a request.
ULONG MapWinTrustAnswer(LONG result);

// The signer certificate that WinTrust itself found and checked, from the state it keeps between
// a verify and a close request; null when any part of the way there is missing. The certificate
// lives as long as that state.
PCCERT_CONTEXT SignerFromState(HANDLE state);

}  // namespace sharedlib
