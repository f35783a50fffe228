#include "sharedlib/wintrust_call.h"

// softpub declares the provider-data helpers; it needs wintrust.h first
#include <softpub.h>

#include <atomic>

#include "sharedlib/trust_trace.h"
#include "sharedlib/trust_verifier.h"

namespace sharedlib {

namespace {

thread_local std::optional<LONG> t_lastVerifyResult;
std::atomic<bool> g_cacheOnly{false};

}  // namespace

std::optional<LONG> LastVerifyResult() { return t_lastVerifyResult; }
void ForgetLastVerifyResult() { t_lastVerifyResult.reset(); }

void UseCacheOnlyRetrieval() { g_cacheOnly = true; }
bool CacheOnlyRetrieval() { return g_cacheOnly.load(); }

TrustRequestRecord NewTrustRequest(DWORD unionChoice, void* info, bool wholeChainRevocation) {
  TrustRequestRecord request = {};
  request.cbStruct = sizeof(request);
  request.dwUIChoice = WTD_UI_NONE;
  request.fdwRevocationChecks = wholeChainRevocation ? WTD_REVOKE_WHOLECHAIN : WTD_REVOKE_NONE;
  request.dwProvFlags = wholeChainRevocation ? kRevocationCheckChain : kRevocationCheckNone;
  request.dwUnionChoice = unionChoice;
  request.pInfo = info;
  request.dwStateAction = WTD_STATEACTION_IGNORE;
  if (g_cacheOnly) request.dwProvFlags |= WTD_CACHE_ONLY_URL_RETRIEVAL;
  return request;
}

LONG CallWinTrust(const wchar_t* path, TrustRequestRecord& request, bool driverMode,
                  USHORT slowMessage) {
  GUID action = driverMode ? kDriverActionVerify : kGenericVerifyV2;
  const HWND noWindow = reinterpret_cast<HWND>(static_cast<INT_PTR>(-1));
  const ULONGLONG start = ::GetTickCount64();
  const LONG result = ::WinVerifyTrust(noWindow, &action, &request);
  TraceIfSlow(slowMessage, path, ::GetTickCount64() - start);
  if (request.dwStateAction != WTD_STATEACTION_CLOSE) t_lastVerifyResult = result;
  return result;
}

ULONG MapWinTrustAnswer(LONG result) {
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

}  // namespace sharedlib
