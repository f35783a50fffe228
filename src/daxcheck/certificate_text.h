// Certificates as the trust gate names them, and the machine's stores as it reads them.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <string>

#include "daxcheck/report_text.h"
#include "platform/unique_handle.h"

namespace daxcheck {

// The certificate's simple display name.
std::string CertificateName(PCCERT_CONTEXT certificate);

// The SHA-1 thumbprint in lower-case hexadecimal; empty when it cannot be read.
std::string Thumbprint(PCCERT_CONTEXT certificate);

// A system store of the local machine, opened for reading only; never created.
platform::UniqueCertStore OpenMachineStoreReadOnly(const wchar_t* name);

// Whether `store` (which may be null) holds this very certificate.
bool StoreHolds(HCERTSTORE store, PCCERT_CONTEXT certificate);

// The names of the faults a chain status holds; the number itself when none is known.
Json TrustStatusNames(DWORD status);

}  // namespace daxcheck
