// The product key, which the installed client writes and the run only reads, and the view it is
// read in.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

namespace contract {

// Below HKEY_LOCAL_MACHINE.
constexpr char kProductKeyPath[] = "SOFTWARE\\Quorvex\\Tarvane\\DAX";
// The vendor's key above it, in the 32-bit view: its "silo" value re-bases the shared library's
// registry data.
constexpr wchar_t kSiloKeyPath[] = L"SOFTWARE\\Quorvex\\Tarvane";

// True for IA64 and AMD64: the processors on which the product key is read in the 32-bit view
// while the client's service is not installed.
bool Is64BitProcessor(WORD architecture);

// The access to open the product key with on a processor of `architecture` (wProcessorArchitecture
// as GetSystemInfo reports it): KEY_READ in the 32-bit view on a 64-bit processor without the
// client's service, KEY_READ in the default view otherwise. Chosen anew at every call.
REGSAM ProductKeyAccess(WORD architecture);
// The same for this machine's processor.
REGSAM ProductKeyAccess();

// Opens the product key with `access` (one of the answers above); true with `key` on success,
// false with `key` untouched otherwise.
bool OpenProductKey(REGSAM access, platform::UniqueRegKey& key);

}  // namespace contract
