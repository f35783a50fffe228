// The records and constants of WinTrust requests in the forms this verifier sends them, whatever
// version of the Windows headers builds it.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>
#include <wintrust.h>
// the catalog header needs the two above
#include <mscat.h>

namespace sharedlib {

// WINTRUST_DATA as Windows 8 and later define it; older headers end before the signature
// settings and give a record that is 8 bytes short.
struct TrustRequestRecord {
  DWORD cbStruct;
  LPVOID pPolicyCallbackData;
  LPVOID pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  void* pInfo;
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR* pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
  void* pSignatureSettings;
};
static_assert(sizeof(void*) != 8 || sizeof(TrustRequestRecord) == 88,
              "the full WinTrust request record is 88 bytes on 64-bit Windows");

// WINTRUST_CATALOG_INFO with the catalog context that Windows 8 added.
struct CatalogMemberRecord {
  DWORD cbStruct;
  DWORD dwCatalogVersion;
  LPCWSTR pcwszCatalogFilePath;
  LPCWSTR pcwszMemberTag;
  LPCWSTR pcwszMemberFilePath;
  HANDLE hMemberFile;
  BYTE* pbCalculatedFileHash;
  DWORD cbCalculatedFileHash;
  PCCTL_CONTEXT pcCatalogContext;
  HCATADMIN hCatAdmin;
};

constexpr DWORD kRevocationCheckNone = 0x10;   // WTD_REVOCATION_CHECK_NONE
constexpr DWORD kRevocationCheckChain = 0x40;  // WTD_REVOCATION_CHECK_CHAIN
constexpr DWORD kPolicyIgnoreSecuritySettings = 0x40000;

// WINTRUST_ACTION_GENERIC_VERIFY_V2
inline constexpr GUID kGenericVerifyV2 = {
    0x00aac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};
// DRIVER_ACTION_VERIFY
inline constexpr GUID kDriverActionVerify = {
    0xf750e6c3, 0x38ee, 0x11d1, {0x85, 0xe5, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};

}  // namespace sharedlib
