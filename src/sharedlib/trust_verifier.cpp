#include "sharedlib/trust_verifier.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "diag/trace.h"
#include "platform/text_conversion.h"
#include "sharedlib/signature_verification.h"
#include "sharedlib/trust_identity.h"
#include "sharedlib/trust_trace.h"
#include "sharedlib/verdict_cache.h"

namespace sharedlib {

const IID IID_IvnVerifyTrust = {
    0x7c0e5d4b, 0x2a19, 0x4f63, {0x8b, 0x7e, 0x96, 0xd1, 0xc3, 0xa0, 0x4f, 0x28}};
const IID IID_IvnVerifyTrustConfig = {
    0x5b9e112f, 0x80c3, 0x42a0, {0xa3, 0xed, 0x41, 0xda, 0x9e, 0xe5, 0x5f, 0xde}};
const IID IID_IvnVerifyHeldFile = {
    0xc047b31f, 0xa760, 0x4aaa, {0xb5, 0xdd, 0x68, 0xca, 0x58, 0x64, 0x55, 0x19}};

namespace {

// The catalog-hash option of the two-argument forms of VerifyFile.
constexpr ULONG kDefaultCatalogHashOption = 1;

// Every answer goes to the trace: verdicts at information level, the rest at error level.
ULONG Traced(const wchar_t* path, ULONG answer) {
  if (!path) path = L"";
  diag::TracePoint(
      diag::kTraceFlagGeneral,
      IsTrustVerdict(answer) ? diag::kTraceLevelInformation : diag::kTraceLevelError,
      kVerifyTrustMessages, kMsgAnswer,
      {diag::TraceArg::Text(path), diag::TraceArg::Number(static_cast<std::int32_t>(answer))});
  return answer;
}

ULONG ReportOutOfMemory() {
  diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelError, kVerifyTrustMessages,
                   kMsgOutOfMemory, {diag::TraceArg::Text(L"VerifyFile")});
  return kTrustOutOfMemory;
}

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
    return VerifyFileEx(path, level, kDefaultCatalogHashOption, nullptr, 0);
  }
  ULONG STDMETHODCALLTYPE VerifyFileA(const char* path, ULONG level) override {
    return VerifyFileExA(path, level, kDefaultCatalogHashOption, nullptr, 0);
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
      return Request(NormaliseTrustPath(path), level, catalogHashOption, outFlag, driverMode);
    } catch (const std::bad_alloc&) {
      return ReportOutOfMemory();
    } catch (const std::length_error&) {
      return ReportOutOfMemory();
    }
  }

  // IvnVerifyHeldFile
  ULONG STDMETHODCALLTYPE VerifyHeldFile(const wchar_t* path, HANDLE file, ULONG level) override {
    if (!path || !*path || !file || file == INVALID_HANDLE_VALUE || level != kTrustLevelPublisher) {
      return Traced(path, kTrustInvalidArguments);
    }
    if (!initialised_) return Traced(path, kTrustInvalidArguments);
    try {
      return Traced(path, VerifyThroughHandle(path, file, level, wholeChainRevocation_));
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

  // A request for a normalised path with valid arguments: the cache, then full verification.
  ULONG Request(const std::wstring& normalised, ULONG level, ULONG catalogHashOption, BYTE* outFlag,
                ULONG driverMode) const {
    // A stored verdict is asked for only when the lookup is on and a provider is loaded; this
    // product loads none, so full verification always decides.
    const bool externalVerdictAttempted =
        externalLookup_ && externalProviderLoaded_ && level != kTrustLevelFurtherPublisher;
    if (outFlag) *outFlag = 0;

    const VerdictCache::Key key = VerdictCache::KeyFor(normalised, catalogHashOption, driverMode);
    if (cacheEnabled_) {
      switch (VerdictCache::Instance().Find(key, level)) {
        case VerdictCache::Lookup::kTrusted:
          return Traced(normalised.c_str(), kTrustTrusted);
        case VerdictCache::Lookup::kNothing:
          break;
      }
    }

    const ULONG answer = FullVerification(normalised, level, catalogHashOption, driverMode != 0,
                                          externalVerdictAttempted, wholeChainRevocation_);
    if (answer == kTrustTrusted && cacheEnabled_ && !externalVerdictAttempted) {
      // With the out flag set, the verdict is stored for the organisation level.
      VerdictCache::Instance().Store(key, outFlag && *outFlag ? kTrustLevelOrganisation : level);
    }
    if (outFlag && answer != kTrustTrusted) *outFlag = 0;
    return Traced(normalised.c_str(), answer);
  }

  std::atomic<ULONG> references_{1};
  bool initialised_ = false;
  bool externalProviderLoaded_ = false;
  bool cacheEnabled_ = false;
  bool externalLookup_ = true;
  bool wholeChainRevocation_ = false;
};

}  // namespace

HRESULT CreateVerifyTrust(IvnVerifyTrust** instance) {
  if (!instance) return E_POINTER;
  *instance = new (std::nothrow) CVerifyTrust();
  return *instance ? S_OK : E_OUTOFMEMORY;
}

}  // namespace sharedlib
