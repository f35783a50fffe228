// The checks a signer certificate must pass at each level of a request, once WinTrust has
// accepted the signature: the usage check, then the identity or the organisation check.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <string>

namespace sharedlib {

// The checks at `level` as every request makes them: kTrustTrusted when the certificate passes.
// In driver mode a certificate without the hardware-quality usage is not trusted.
ULONG CheckCertificateAtLevel(PCCERT_CONTEXT certificate, ULONG level, bool driverMode);

// The same outside driver mode, for a certificate that may be missing (kTrustNoSignature).
ULONG CheckSignerCertificate(PCCERT_CONTEXT certificate, ULONG level);

// One subject attribute as the identity check reads it: at most 260 characters; false, with
// `value` untouched, when it cannot be read.
bool ReadSubjectAttribute(PCCERT_CONTEXT certificate, const char* oid, std::wstring& value);

}  // namespace sharedlib
