#include "sharedlib/trust_verifier.h"

#include <wincrypt.h>
#include <wintrust.h>
// the catalog and policy headers need the two above
#include <mscat.h>
#include <softpub.h>

#include <atomic>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <tuple>
#include <vector>

#include "diag/trace.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "sharedlib/trust_identity.h"

namespace sharedlib {

const IID IID_IvnVerifyTrust = {
    0x7c0e5d4b, 0x2a19, 0x4f63, {0x8b, 0x7e, 0x96, 0xd1, 0xc3, 0xa0, 0x4f, 0x28}};
const IID IID_IvnVerifyTrustConfig = {
    0x5b9e112f, 0x80c3, 0x42a0, {0xa3, 0xed, 0x41, 0xda, 0x9e, 0xe5, 0x5f, 0xde}};
const IID IID_IvnVerifyHeldFile = {
    0xc047b31f, 0xa760, 0x4aaa, {0xb5, 0xdd, 0x68, 0xca, 0x58, 0x64, 0x55, 0x19}};

namespace {

// Messages of this component; the format files give their texts.
// {B2E4C1A7-5F3D-4E8B-A6C2-1D7F90E3B584}
const GUID kVerifyTrustMessages = {
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

constexpr ULONGLONG kSlowCallMs = 501;

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

const GUID kGenericVerifyV2 = {
    0x00aac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};
const GUID kDriverActionVerify = {
    0xf750e6c3, 0x38ee, 0x11d1, {0x85, 0xe5, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};

const char kCodeSigningUsage[] = "1.3.6.1.5.5.7.3.3";
const char kSystemComponentUsage[] = "1.3.6.1.4.1.311.10.3.6";
const char kHardwareQualityUsage[] = "1.3.6.1.4.1.311.10.3.5";

struct CatAdminTraits {
  using pointer = HCATADMIN;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CryptCATAdminReleaseContext(h, 0); }
};
struct CryptMsgTraits {
  using pointer = HCRYPTMSG;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CryptMsgClose(h); }
};

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  const size_t length = std::wcslen(prefix);
  return text.size() >= length && ::_wcsnicmp(text.c_str(), prefix, length) == 0;
}

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

// The process-wide verdict cache. An entry stays valid only while the file keeps the size and
// write time it had when it was judged, so a replaced file is judged afresh.
class VerdictCache {
 public:
  struct Key {
    std::wstring path;
    ULONG catalogHashOption;
    ULONG driverMode;
    bool operator<(const Key& other) const {
      return std::tie(path, catalogHashOption, driverMode) <
             std::tie(other.path, other.catalogHashOption, other.driverMode);
    }
  };
  enum class Lookup { kNothing, kTrusted };

  static VerdictCache& Instance() {
    static VerdictCache cache;
    return cache;
  }

  Lookup Find(const Key& key, ULONG level) {
    FileStamp stamp;
    if (!Stamp(key.path, stamp)) return Lookup::kNothing;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return Lookup::kNothing;
    if (!(it->second.stamp == stamp)) {
      entries_.erase(it);
      return Lookup::kNothing;
    }
    // Levels demand different checks rather than more of the same, so an entry speaks only
    // for its own level; negative verdicts are never stored.
    return it->second.level == level ? Lookup::kTrusted : Lookup::kNothing;
  }

  void Store(const Key& key, ULONG level) {
    FileStamp stamp;
    if (!Stamp(key.path, stamp)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[key] = Entry{level, stamp};
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }

 private:
  struct FileStamp {
    ULONGLONG size = 0;
    ULONGLONG writeTime = 0;
    bool operator==(const FileStamp& other) const {
      return size == other.size && writeTime == other.writeTime;
    }
  };
  struct Entry {
    ULONG level;
    FileStamp stamp;
  };

  static bool Stamp(const std::wstring& path, FileStamp& stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    stamp.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.writeTime = (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                      data.ftLastWriteTime.dwLowDateTime;
    return true;
  }

  std::mutex mutex_;
  std::map<Key, Entry> entries_;
};

// Signer certificate checks. Each answers 1 when the certificate passes.
ULONG CheckNameText(PCCERT_CONTEXT certificate, const PublisherIdentity& expected) {
  const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
  const DWORD length = ::CertNameToStrW(X509_ASN_ENCODING, subject, type, nullptr, 0);
  if (length <= 1) return kTrustNoSignature;
  std::wstring name(length, L'\0');
  ::CertNameToStrW(X509_ASN_ENCODING, subject, type, &name[0], length);
  name.resize(length - 1);
  return name == PublisherNameText(expected) ? kTrustTrusted : kTrustNotTrusted;
}

struct UsageFlags {
  bool codeSigning = false;
  bool systemComponent = false;
  bool hardwareQuality = false;
};

UsageFlags ReadUsages(PCCERT_CONTEXT certificate) {
  UsageFlags flags;
  DWORD size = 0;
  if (!::CertGetEnhancedKeyUsage(certificate, 0, nullptr, &size) || size == 0) return flags;
  std::vector<BYTE> buffer(size);
  auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
  if (!::CertGetEnhancedKeyUsage(certificate, 0, usage, &size)) return flags;
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    const char* oid = usage->rgpszUsageIdentifier[i];
    if (std::strcmp(oid, kCodeSigningUsage) == 0) flags.codeSigning = true;
    if (std::strcmp(oid, kSystemComponentUsage) == 0) flags.systemComponent = true;
    if (std::strcmp(oid, kHardwareQualityUsage) == 0) flags.hardwareQuality = true;
  }
  return flags;
}

ULONG CheckUsage(PCCERT_CONTEXT certificate, const UsageFlags& usages) {
  if (usages.codeSigning) return kTrustTrusted;
  return CheckNameText(certificate, ExpectedPublisher());
}

// One subject attribute, at most 260 characters; false when it cannot be read.
bool ReadAttribute(PCCERT_CONTEXT certificate, const char* oid, std::wstring& value) {
  wchar_t buffer[261] = {};
  const DWORD length = ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0,
                                            const_cast<char*>(oid), buffer, 261);
  if (length <= 1) return false;
  value.assign(buffer, length - 1);
  return true;
}

ULONG CompareAttributes(PCCERT_CONTEXT certificate,
                        const std::vector<std::pair<const char*, const std::wstring*>>& wanted) {
  for (const auto& attribute : wanted) {
    std::wstring value;
    if (!ReadAttribute(certificate, attribute.first, value)) return kTrustNotTrusted;
    if (attribute.second->empty() || value != *attribute.second) return kTrustNotTrusted;
  }
  return kTrustTrusted;
}

ULONG CheckIdentity(PCCERT_CONTEXT certificate, const PublisherIdentity& expected) {
  return CompareAttributes(certificate,
                           {{szOID_COMMON_NAME, &expected.commonName},
                            {szOID_ORGANIZATIONAL_UNIT_NAME, &expected.organisationalUnit},
                            {szOID_ORGANIZATION_NAME, &expected.organisation},
                            {szOID_LOCALITY_NAME, &expected.locality},
                            {szOID_STATE_OR_PROVINCE_NAME, &expected.state},
                            {szOID_COUNTRY_NAME, &expected.country}});
}

ULONG CheckOrganisation(PCCERT_CONTEXT certificate, const PublisherIdentity& expected) {
  return CompareAttributes(certificate,
                           {{szOID_ORGANIZATIONAL_UNIT_NAME, &expected.organisationalUnit},
                            {szOID_ORGANIZATION_NAME, &expected.organisation}});
}

// The further identity that level 5 demands. This product configures none, so level 5 never
// trusts a file until one is configured here.
const PublisherIdentity& FurtherExpectedPublisher() {
  static const PublisherIdentity none;
  return none;
}

ULONG CheckCertificateAtLevel(PCCERT_CONTEXT certificate, ULONG level, bool driverMode) {
  const UsageFlags usages = ReadUsages(certificate);
  ULONG answer = CheckUsage(certificate, usages);
  if (answer != kTrustTrusted) return answer;
  switch (level) {
    case 1:
    case 2:
      break;
    case 3:
      answer = CheckIdentity(certificate, ExpectedPublisher());
      break;
    case 4:
      answer = CheckOrganisation(certificate, ExpectedPublisher());
      break;
    case 5:
      answer = CheckIdentity(certificate, FurtherExpectedPublisher());
      break;
    default:
      answer = kTrustInvalidArguments;
      break;
  }
  if (answer == kTrustTrusted && driverMode && !usages.hardwareQuality) answer = kTrustNotTrusted;
  return answer;
}

// The signer certificate of a signed file or catalog, and its checks.
ULONG CheckSigner(const std::wstring& signedObject, bool isCatalog, ULONG level, bool driverMode) {
  HCERTSTORE rawStore = nullptr;
  HCRYPTMSG rawMessage = nullptr;
  const DWORD contentTypes =
      isCatalog ? CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED : CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED;
  if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, signedObject.c_str(), contentTypes,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &rawStore,
                          &rawMessage, nullptr)) {
    diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelError, kVerifyTrustMessages,
                     kMsgSignerMissing,
                     {diag::TraceArg::Text(signedObject.c_str()),
                      diag::TraceArg::Number(static_cast<std::int32_t>(::GetLastError()))});
    return kTrustNoSignature;
  }
  platform::UniqueCertStore store(rawStore);
  platform::UniqueHandle<CryptMsgTraits> message(rawMessage);

  DWORD size = 0;
  if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) {
    return kTrustNoSignature;
  }
  std::vector<BYTE> buffer(size);
  if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
    return kTrustNoSignature;
  }
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  CERT_INFO wanted = {};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  platform::UniqueCertContext certificate(
      ::CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
  if (!certificate) return kTrustNoSignature;
  return CheckCertificateAtLevel(certificate.get(), level, driverMode);
}

// The signer certificate that WinTrust itself found and checked, from the state it keeps between
// a verify and a close request; null when any part of the way there is missing. The certificate
// lives as long as that state.
PCCERT_CONTEXT SignerFromState(HANDLE state) {
  if (!state) return nullptr;
  CRYPT_PROVIDER_DATA* data = ::WTHelperProvDataFromStateData(state);
  if (!data || data->csSigners == 0 || !data->pasSigners) return nullptr;
  CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(data, 0, FALSE, 0);
  if (!signer || signer->csCertChain == 0 || !signer->pasCertChain) return nullptr;
  PCCERT_CONTEXT certificate = signer->pasCertChain[0].pCert;
  if (!certificate || !certificate->pCertInfo) return nullptr;
  return certificate;
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

class CVerifyTrust final : public IvnVerifyTrust,
                           public IvnVerifyTrustConfig,
                           public IvnVerifyHeldFile {
 public:
  // IUnknown, reached through either interface.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IvnVerifyTrust)) {
      *object = static_cast<IvnVerifyTrust*>(this);
    } else if (IsEqualIID(iid, IID_IvnVerifyTrustConfig)) {
      *object = static_cast<IvnVerifyTrustConfig*>(this);
    } else if (IsEqualIID(iid, IID_IvnVerifyHeldFile)) {
      *object = static_cast<IvnVerifyHeldFile*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  ULONG STDMETHODCALLTYPE Initialise(ULONG /*mode*/) override {
    // Without a usable expected identity no file could be judged fairly.
    if (!ExpectedPublisher().complete()) return 0;
    // The external hash provider is not part of this product: with the lookup on, requests
    // simply find no stored verdict and go on to the full verification.
    initialised_ = true;
    return kTrustReady;
  }

  ULONG STDMETHODCALLTYPE FlushVerdictCache() override {
    VerdictCache::Instance().Clear();
    return 0;
  }

  ULONG STDMETHODCALLTYPE VerifyFile(const wchar_t* path, ULONG level) override {
    return VerifyFileEx(path, level, 1, nullptr, 0);
  }
  ULONG STDMETHODCALLTYPE VerifyFileA(const char* path, ULONG level) override {
    return VerifyFileExA(path, level, 1, nullptr, 0);
  }
  ULONG STDMETHODCALLTYPE VerifyFileExA(const char* path, ULONG level, ULONG catalogHashOption,
                                        BYTE* outFlag, ULONG driverMode) override {
    if (!path) return VerifyFileEx(nullptr, level, catalogHashOption, outFlag, driverMode);
    try {
      const std::wstring wide = platform::WidenToNulLenient(path);
      return VerifyFileEx(wide.c_str(), level, catalogHashOption, outFlag, driverMode);
    } catch (const std::bad_alloc&) {
      return ReportOutOfMemory();
    }
  }

  ULONG STDMETHODCALLTYPE VerifyFileEx(const wchar_t* path, ULONG level, ULONG catalogHashOption,
                                       BYTE* outFlag, ULONG driverMode) override {
    if (!path || !*path || level == 0) return Traced(path, kTrustInvalidArguments);
    // An instance that could not be initialised judges nothing.
    if (!initialised_) return Traced(path, kTrustInvalidArguments);
    try {
      const std::wstring normalised = NormaliseTrustPath(path);
      const bool driver = driverMode != 0;
      // A stored verdict is asked for only when the lookup is on and a provider is loaded;
      // this product loads none, so full verification always decides.
      const bool externalVerdictAttempted =
          externalLookup_ && externalProviderLoaded_ && level != 5;
      if (outFlag) *outFlag = 0;

      const VerdictCache::Key key{Lowered(normalised), catalogHashOption, driverMode};
      if (cacheEnabled_) {
        switch (VerdictCache::Instance().Find(key, level)) {
          case VerdictCache::Lookup::kTrusted:
            return Traced(normalised.c_str(), kTrustTrusted);
          case VerdictCache::Lookup::kNothing:
            break;
        }
      }

      const ULONG answer =
          FullVerification(normalised, level, catalogHashOption, driver, externalVerdictAttempted);
      if (answer == kTrustTrusted && cacheEnabled_ && !externalVerdictAttempted) {
        VerdictCache::Instance().Store(key, outFlag && *outFlag ? 4 : level);
      }
      if (outFlag && answer != kTrustTrusted) *outFlag = 0;
      return Traced(normalised.c_str(), answer);
    } catch (const std::bad_alloc&) {
      return ReportOutOfMemory();
    } catch (const std::length_error&) {
      return ReportOutOfMemory();
    }
  }

  // IvnVerifyHeldFile
  ULONG STDMETHODCALLTYPE VerifyHeldFile(const wchar_t* path, HANDLE file, ULONG level) override {
    if (!path || !*path || !file || file == INVALID_HANDLE_VALUE || level != 3) {
      return Traced(path, kTrustInvalidArguments);
    }
    if (!initialised_) return Traced(path, kTrustInvalidArguments);
    try {
      return Traced(path, VerifyThroughHandle(path, file, level));
    } catch (const std::bad_alloc&) {
      return ReportOutOfMemory();
    } catch (const std::length_error&) {
      return ReportOutOfMemory();
    }
  }

  // IvnVerifyTrustConfig
  HRESULT STDMETHODCALLTYPE SetOption(ULONG externalVerdictLookup) override {
    externalLookup_ = externalVerdictLookup != 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetVerdictCache(ULONG enabled) override {
    cacheEnabled_ = enabled != 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetRevocationMode(ULONG wholeChain) override {
    wholeChainRevocation_ = wholeChain != 0;
    return S_OK;
  }

 private:
  ~CVerifyTrust() = default;

  static std::wstring Lowered(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
  }

  static ULONG Traced(const wchar_t* path, ULONG answer) {
    if (!path) path = L"";
    const bool information =
        answer == 1 || answer == 3 || answer == 11 || answer == 13 || answer == 14 || answer == 18;
    diag::TracePoint(
        diag::kTraceFlagGeneral,
        information ? diag::kTraceLevelInformation : diag::kTraceLevelError, kVerifyTrustMessages,
        kMsgAnswer,
        {diag::TraceArg::Text(path), diag::TraceArg::Number(static_cast<std::int32_t>(answer))});
    return answer;
  }

  static ULONG ReportOutOfMemory() {
    diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelError, kVerifyTrustMessages,
                     kMsgOutOfMemory, {diag::TraceArg::Text(L"VerifyFile")});
    return kTrustOutOfMemory;
  }

  TrustRequestRecord NewRequest(DWORD unionChoice, void* info) const {
    TrustRequestRecord request = {};
    request.cbStruct = sizeof(request);
    request.dwUIChoice = WTD_UI_NONE;
    request.fdwRevocationChecks = wholeChainRevocation_ ? WTD_REVOKE_WHOLECHAIN : WTD_REVOKE_NONE;
    request.dwProvFlags = wholeChainRevocation_ ? kRevocationCheckChain : kRevocationCheckNone;
    request.dwUnionChoice = unionChoice;
    request.pInfo = info;
    request.dwStateAction = WTD_STATEACTION_IGNORE;
    return request;
  }

  static LONG CallWinTrust(const wchar_t* path, TrustRequestRecord& request, bool driverMode,
                           USHORT slowMessage) {
    GUID action = driverMode ? kDriverActionVerify : kGenericVerifyV2;
    const HWND noWindow = reinterpret_cast<HWND>(static_cast<INT_PTR>(-1));
    const ULONGLONG start = ::GetTickCount64();
    const LONG result = ::WinVerifyTrust(noWindow, &action, &request);
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    if (elapsed >= kSlowCallMs) {
      diag::TracePoint(
          diag::kTraceFlagTiming, diag::kTraceLevelWarning, kVerifyTrustMessages, slowMessage,
          {diag::TraceArg::Text(path), diag::TraceArg::Number(static_cast<std::int32_t>(elapsed))});
    }
    return result;
  }

  LONG RunWinTrust(const std::wstring& path, DWORD unionChoice, void* info, bool driverMode,
                   USHORT slowMessage) const {
    TrustRequestRecord request = NewRequest(unionChoice, info);
    return CallWinTrust(path.c_str(), request, driverMode, slowMessage);
  }

  // The embedded signature of a held file, read through its handle alone, and the signer that
  // WinTrust found in it. Level 3 never consults the catalogs: they would be searched only after
  // an external verdict was asked for, and this form asks for none, so the file's own signature
  // decides.
  ULONG VerifyThroughHandle(const wchar_t* path, HANDLE file, ULONG level) const {
    // WinTrust reads from wherever the handle stands; where it leaves it is not ours to know.
    LARGE_INTEGER start = {};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
      diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelError, kVerifyTrustMessages,
                       kMsgHeldFileUnread,
                       {diag::TraceArg::Text(path),
                        diag::TraceArg::Number(static_cast<std::int32_t>(::GetLastError()))});
      return kTrustNoFile;
    }
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    TrustRequestRecord request = NewRequest(WTD_CHOICE_FILE, &fileInfo);
    request.dwStateAction = WTD_STATEACTION_VERIFY;

    // The state WinTrust keeps after a verify request is released by a close request, whatever
    // the verify answered and however this function is left.
    struct StateCloser {
      const wchar_t* path;
      TrustRequestRecord& request;
      ~StateCloser() {
        request.dwStateAction = WTD_STATEACTION_CLOSE;
        CallWinTrust(path, request, false, kMsgSlowWinTrust);
      }
    } closer{path, request};

    const ULONG answer = MapWinTrustAnswer(CallWinTrust(path, request, false, kMsgSlowWinTrust));
    if (answer != kTrustTrusted) return answer;
    PCCERT_CONTEXT signer = SignerFromState(request.hWVTStateData);
    if (!signer) {
      diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelError, kVerifyTrustMessages,
                       kMsgSignerMissing, {diag::TraceArg::Text(path), diag::TraceArg::Number(0)});
      return kTrustNoSignature;
    }
    return CheckCertificateAtLevel(signer, level, false);
  }

  // Tries the system catalogs that hold the file's hash. Answers the WinTrust result of the
  // first catalog that verifies, or `embedded` when none does; `catalogPath` names it.
  LONG ConsultCatalogs(const std::wstring& path, ULONG catalogHashOption, bool driverMode,
                       LONG embedded, std::wstring& catalogPath, bool& noContext) const {
    const CatalogApi api;
    HCATADMIN rawAdmin = nullptr;
    BOOL acquired = FALSE;
    if (api.acquireContext2 && IsWindows8OrLater()) {
      acquired = api.acquireContext2(&rawAdmin, nullptr, L"SHA256", nullptr, 0);
    } else {
      acquired = ::CryptCATAdminAcquireContext(&rawAdmin, nullptr, 0);
    }
    if (!acquired || !rawAdmin) {
      diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelError, kVerifyTrustMessages,
                       kMsgCatalogContext,
                       {diag::TraceArg::Text(path.c_str()),
                        diag::TraceArg::Number(static_cast<std::int32_t>(::GetLastError()))});
      noContext = true;
      return embedded;
    }
    platform::UniqueHandle<CatAdminTraits> admin(rawAdmin);

    platform::UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_GENERIC_READ, FILE_SHARE_READ,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<BYTE> hash(64);
    DWORD hashSize = static_cast<DWORD>(hash.size());
    BOOL hashed = FALSE;
    if (file) {
      hashed = api.calcHash2 ? api.calcHash2(admin.get(), file.get(), &hashSize, hash.data(),
                                             catalogHashOption)
                             : ::CryptCATAdminCalcHashFromFileHandle(
                                   file.get(), &hashSize, hash.data(), catalogHashOption);
    }
    if (!hashed) {
      const DWORD error = ::GetLastError();
      diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelError, kVerifyTrustMessages,
                       kMsgCatalogHash,
                       {diag::TraceArg::Text(path.c_str()),
                        diag::TraceArg::Number(static_cast<std::int32_t>(error))});
      return error == ERROR_INVALID_PARAMETER ? TRUST_E_SUBJECT_NOT_TRUSTED
                                              : TRUST_E_SUBJECT_FORM_UNKNOWN;
    }
    hash.resize(hashSize);

    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring memberTag;
    for (BYTE b : hash) {
      memberTag += kHex[b >> 4];
      memberTag += kHex[b & 0x0F];
    }

    LONG result = embedded;
    HCATINFO catalog = nullptr;
    const ULONGLONG start = ::GetTickCount64();
    while ((catalog = ::CryptCATAdminEnumCatalogFromHash(admin.get(), hash.data(), hashSize, 0,
                                                         &catalog)) != nullptr) {
      CATALOG_INFO info = {};
      info.cbStruct = sizeof(info);
      if (!::CryptCATCatalogInfoFromContext(catalog, &info, 0)) continue;
      catalogPath = info.wszCatalogFile;
      CatalogMemberRecord member = {};
      member.cbStruct = sizeof(member);
      member.pcwszCatalogFilePath = info.wszCatalogFile;
      member.pcwszMemberTag = memberTag.c_str();
      member.pcwszMemberFilePath = path.c_str();
      member.hMemberFile = file.get();
      member.pbCalculatedFileHash = hash.data();
      member.cbCalculatedFileHash = hashSize;
      member.hCatAdmin = admin.get();
      result = RunWinTrust(path, WTD_CHOICE_CATALOG, &member, driverMode, kMsgSlowCatalog);
      if (result == 0) {
        ::CryptCATAdminReleaseCatalogContext(admin.get(), catalog, 0);
        break;
      }
    }
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    if (elapsed >= kSlowCallMs) {
      diag::TracePoint(diag::kTraceFlagTiming, diag::kTraceLevelWarning, kVerifyTrustMessages,
                       kMsgSlowCatalog,
                       {diag::TraceArg::Text(path.c_str()),
                        diag::TraceArg::Number(static_cast<std::int32_t>(elapsed))});
    }
    if (result != 0) catalogPath.clear();
    return result;
  }

  static ULONG MapWinTrustAnswer(LONG result) {
    switch (static_cast<DWORD>(result)) {
      case 0:
        return kTrustTrusted;
      case static_cast<DWORD>(CRYPT_E_SECURITY_SETTINGS): {
        DWORD policy = 0;
        ::WintrustGetRegPolicyFlags(&policy);
        return (policy & kPolicyIgnoreSecuritySettings) ? kTrustNoSignature : kTrustNotTrusted;
      }
      case static_cast<DWORD>(TRUST_E_TIME_STAMP):
        return kTrustBadTimeStamp;
      case static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN):
      case static_cast<DWORD>(TRUST_E_ACTION_UNKNOWN):
      case static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN):
        return kTrustNoSignature;
      case static_cast<DWORD>(CERT_E_REVOCATION_FAILURE):
        return kTrustRevocationIncomplete;
      default:
        return kTrustNotTrusted;
    }
  }

  ULONG FullVerification(const std::wstring& path, ULONG level, ULONG catalogHashOption,
                         bool driverMode, bool externalVerdictAttempted) const {
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return kTrustNoFile;

    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    LONG result = RunWinTrust(path, WTD_CHOICE_FILE, &fileInfo, driverMode, kMsgSlowWinTrust);

    std::wstring catalogPath;
    if (result != 0 && (level != 3 || externalVerdictAttempted)) {
      bool noContext = false;
      result = ConsultCatalogs(path, catalogHashOption, driverMode, result, catalogPath, noContext);
      if (noContext) return kTrustNoFile;
    }

    const ULONG answer = MapWinTrustAnswer(result);
    if (answer != kTrustTrusted) return answer;
    const bool isCatalog = !catalogPath.empty();
    return CheckSigner(isCatalog ? catalogPath : path, isCatalog, level, driverMode);
  }

  std::atomic<ULONG> references_{1};
  bool initialised_ = false;
  bool externalProviderLoaded_ = false;
  bool cacheEnabled_ = false;
  bool externalLookup_ = true;
  bool wholeChainRevocation_ = false;
};

}  // namespace

ULONG CheckSignerCertificate(PCCERT_CONTEXT certificate, ULONG level) {
  if (!certificate || !certificate->pCertInfo) return kTrustNoSignature;
  return CheckCertificateAtLevel(certificate, level, false);
}

HRESULT CreateVerifyTrust(IvnVerifyTrust** instance) {
  if (!instance) return E_POINTER;
  *instance = new (std::nothrow) CVerifyTrust();
  return *instance ? S_OK : E_OUTOFMEMORY;
}

std::wstring NormaliseTrustPath(const std::wstring& path) {
  std::wstring result = path;
  if (StartsWithNoCase(result, L"\\??\\")) {
    result.erase(0, 4);
    if (StartsWithNoCase(result, L"UNC\\")) result.replace(0, 4, L"\\\\");
  } else if (StartsWithNoCase(result, L"\\device\\harddiskVolume")) {
    wchar_t drive[] = L"A:";
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
      drive[0] = letter;
      wchar_t target[MAX_PATH] = {};
      if (!::QueryDosDeviceW(drive, target, MAX_PATH)) continue;
      const size_t length = std::wcslen(target);
      if (length == 0 || !StartsWithNoCase(result, target)) continue;
      if (result.size() > length && result[length] != L'\\') continue;
      result = std::wstring(drive) + result.substr(length);
      break;
    }
  }
  if (result.find(L'%') != std::wstring::npos) {
    const DWORD needed = ::ExpandEnvironmentStringsW(result.c_str(), nullptr, 0);
    if (needed > 0) {
      std::wstring expanded(needed, L'\0');
      const DWORD written = ::ExpandEnvironmentStringsW(result.c_str(), &expanded[0], needed);
      if (written > 0 && written <= needed) {
        expanded.resize(written - 1);
        result = expanded;
      }
    }
  }
  return result;
}

}  // namespace sharedlib
