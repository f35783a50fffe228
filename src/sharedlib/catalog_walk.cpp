#include "sharedlib/catalog_walk.h"

#include <vector>

#include "platform/unique_handle.h"
#include "sharedlib/trust_trace.h"
#include "sharedlib/wintrust_call.h"

namespace sharedlib {

namespace {

struct CatAdminTraits {
  using pointer = HCATADMIN;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CryptCATAdminReleaseContext(h, 0); }
};
using UniqueCatAdmin = platform::UniqueHandle<CatAdminTraits>;

bool IsWindows8OrLater() {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return false;
  auto getVersion = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!getVersion || getVersion(&info) != 0) return false;
  return info.dwMajorVersion > 6 || (info.dwMajorVersion == 6 && info.dwMinorVersion >= 2);
}

// The catalog functions that take a hash algorithm, where this system has them.
struct CatalogApi {
  using AcquireContext2Fn = BOOL(WINAPI*)(HCATADMIN*, const GUID*, const WCHAR*, const void*,
                                          DWORD);
  using CalcHash2Fn = BOOL(WINAPI*)(HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD);

  CatalogApi() : library(::LoadLibraryW(L"WinTrust.dll")) {
    if (!library) return;
    acquireContext2 = reinterpret_cast<AcquireContext2Fn>(
        reinterpret_cast<void*>(::GetProcAddress(library.get(), "CryptCATAdminAcquireContext2")));
    calcHash2 = reinterpret_cast<CalcHash2Fn>(reinterpret_cast<void*>(
        ::GetProcAddress(library.get(), "CryptCATAdminCalcHashFromFileHandle2")));
  }

  platform::UniqueLibrary library;
  AcquireContext2Fn acquireContext2 = nullptr;
  CalcHash2Fn calcHash2 = nullptr;
};

// SHA-256 catalogs where the system has them, the system's default otherwise; empty, traced,
// when no context can be had.
UniqueCatAdmin AcquireCatalogAdmin(const CatalogApi& api, const std::wstring& path) {
  HCATADMIN rawAdmin = nullptr;
  BOOL acquired = FALSE;
  if (api.acquireContext2 && IsWindows8OrLater()) {
    acquired = api.acquireContext2(&rawAdmin, nullptr, L"SHA256", nullptr, 0);
  } else {
    acquired = ::CryptCATAdminAcquireContext(&rawAdmin, nullptr, 0);
  }
  if (!acquired || !rawAdmin) {
    TraceTrustFailure(kMsgCatalogContext, path.c_str(), ::GetLastError());
    return UniqueCatAdmin();
  }
  return UniqueCatAdmin(rawAdmin);
}

// The file's catalog hash; false, with the error traced, when it cannot be computed.
bool CalculateCatalogHash(const CatalogApi& api, HCATADMIN admin, HANDLE file,
                          ULONG catalogHashOption, const std::wstring& path,
                          std::vector<BYTE>& hash, DWORD& error) {
  hash.assign(64, 0);
  DWORD hashSize = static_cast<DWORD>(hash.size());
  BOOL hashed = FALSE;
  if (file != INVALID_HANDLE_VALUE) {
    hashed = api.calcHash2 ? api.calcHash2(admin, file, &hashSize, hash.data(), catalogHashOption)
                           : ::CryptCATAdminCalcHashFromFileHandle(file, &hashSize, hash.data(),
                                                                   catalogHashOption);
  }
  if (!hashed) {
    error = ::GetLastError();
    TraceTrustFailure(kMsgCatalogHash, path.c_str(), error);
    return false;
  }
  hash.resize(hashSize);
  return true;
}

// The member tag of a catalog entry: the hash as upper-case hexadecimal text.
std::wstring MemberTag(const std::vector<BYTE>& hash) {
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring tag;
  for (BYTE b : hash) {
    tag += kHex[b >> 4];
    tag += kHex[b & 0x0F];
  }
  return tag;
}

// The WinTrust request for the file as a member of one catalog.
LONG VerifyAsCatalogMember(const std::wstring& path, HANDLE file, HCATADMIN admin,
                           const CATALOG_INFO& info, const std::wstring& memberTag,
                           std::vector<BYTE>& hash, bool driverMode, bool wholeChainRevocation) {
  CatalogMemberRecord member = {};
  member.cbStruct = sizeof(member);
  member.pcwszCatalogFilePath = info.wszCatalogFile;
  member.pcwszMemberTag = memberTag.c_str();
  member.pcwszMemberFilePath = path.c_str();
  member.hMemberFile = file;
  member.pbCalculatedFileHash = hash.data();
  member.cbCalculatedFileHash = static_cast<DWORD>(hash.size());
  member.hCatAdmin = admin;
  TrustRequestRecord request = NewTrustRequest(WTD_CHOICE_CATALOG, &member, wholeChainRevocation);
  return CallWinTrust(path.c_str(), request, driverMode, kMsgSlowCatalog);
}

}  // namespace

CatalogWalk ConsultCatalogs(const std::wstring& path, ULONG catalogHashOption, bool driverMode,
                            bool wholeChainRevocation, LONG embedded) {
  CatalogWalk walk;
  walk.result = embedded;
  const CatalogApi api;
  const UniqueCatAdmin admin = AcquireCatalogAdmin(api, path);
  if (!admin) {
    walk.noContext = true;
    return walk;
  }

  platform::UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
  std::vector<BYTE> hash;
  DWORD hashError = 0;
  if (!CalculateCatalogHash(api, admin.get(), file.get(), catalogHashOption, path, hash,
                            hashError)) {
    walk.result = hashError == ERROR_INVALID_PARAMETER ? TRUST_E_SUBJECT_NOT_TRUSTED
                                                       : TRUST_E_SUBJECT_FORM_UNKNOWN;
    return walk;
  }
  const std::wstring memberTag = MemberTag(hash);

  HCATINFO catalog = nullptr;
  const ULONGLONG start = ::GetTickCount64();
  while ((catalog = ::CryptCATAdminEnumCatalogFromHash(
              admin.get(), hash.data(), static_cast<DWORD>(hash.size()), 0, &catalog)) != nullptr) {
    CATALOG_INFO info = {};
    info.cbStruct = sizeof(info);
    if (!::CryptCATCatalogInfoFromContext(catalog, &info, 0)) continue;
    walk.catalogPath = info.wszCatalogFile;
    walk.result = VerifyAsCatalogMember(path, file.get(), admin.get(), info, memberTag, hash,
                                        driverMode, wholeChainRevocation);
    if (walk.result == 0) {
      ::CryptCATAdminReleaseCatalogContext(admin.get(), catalog, 0);
      break;
    }
  }
  TraceIfSlow(kMsgSlowCatalog, path.c_str(), ::GetTickCount64() - start);
  if (walk.result != 0) walk.catalogPath.clear();
  return walk;
}

}  // namespace sharedlib
