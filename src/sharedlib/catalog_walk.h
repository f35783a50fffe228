// The fall-back from a file's embedded signature to the system catalogs that hold its hash.
#pragma once

#include <windows.h>

#include <string>

namespace sharedlib {

struct CatalogWalk {
  // WinTrust's result for the first catalog that verifies the file, or the embedded result when
  // none does (or a hash error when the file cannot be hashed).
  LONG result = 0;
  // The catalog that verified the file; empty when none did.
  std::wstring catalogPath;
  // No catalog administrator context could be had: nothing was consulted.
  bool noContext = false;
};

// Tries the catalogs that hold the hash of `path` (computed with `catalogHashOption`) in turn;
// `embedded` is what WinTrust answered for the file's own signature.
CatalogWalk ConsultCatalogs(const std::wstring& path, ULONG catalogHashOption, bool driverMode,
                            bool wholeChainRevocation, LONG embedded);

}  // namespace sharedlib
