#include "sharedlib/signature_verification.h"

#include "sharedlib/catalog_walk.h"
#include "sharedlib/signer_certificate.h"
#include "sharedlib/signer_checks.h"
#include "sharedlib/trust_trace.h"
#include "sharedlib/trust_verifier.h"
#include "sharedlib/wintrust_call.h"

namespace sharedlib {

namespace {

// The signer certificate of a signed file or catalog, and its checks.
ULONG CheckSigner(const std::wstring& signedObject, bool isCatalog, ULONG level, bool driverMode) {
  const ObjectSigner signer = ReadObjectSigner(
      signedObject, isCatalog ? SignedObject::kCatalog : SignedObject::kEmbeddedSignature);
  if (!signer.opened) {
    TraceTrustFailure(kMsgSignerMissing, signedObject.c_str(), signer.openError);
    return kTrustNoSignature;
  }
  if (!signer.certificate) return kTrustNoSignature;
  return CheckCertificateAtLevel(signer.certificate.get(), level, driverMode);
}

// The state WinTrust keeps after a verify request is released by a close request, whatever the
// verify answered and however the verification is left.
class TrustStateCloser {
 public:
  TrustStateCloser(const wchar_t* path, TrustRequestRecord& request)
      : path_(path), request_(request) {}
  ~TrustStateCloser() {
    request_.dwStateAction = WTD_STATEACTION_CLOSE;
    CallWinTrust(path_, request_, false, kMsgSlowWinTrust);
  }
  TrustStateCloser(const TrustStateCloser&) = delete;
  TrustStateCloser& operator=(const TrustStateCloser&) = delete;

 private:
  const wchar_t* path_;
  TrustRequestRecord& request_;
};

}  // namespace

ULONG FullVerification(const std::wstring& path, ULONG level, ULONG catalogHashOption,
                       bool driverMode, bool externalVerdictAttempted, bool wholeChainRevocation) {
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return kTrustNoFile;

  WINTRUST_FILE_INFO fileInfo = {};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path.c_str();
  TrustRequestRecord request = NewTrustRequest(WTD_CHOICE_FILE, &fileInfo, wholeChainRevocation);
  LONG result = CallWinTrust(path.c_str(), request, driverMode, kMsgSlowWinTrust);

  // The publisher level judges a file by its own signature unless an external verdict was
  // attempted: the catalogs are not searched for it.
  std::wstring catalogPath;
  if (result != 0 && (level != kTrustLevelPublisher || externalVerdictAttempted)) {
    const CatalogWalk walk =
        ConsultCatalogs(path, catalogHashOption, driverMode, wholeChainRevocation, result);
    if (walk.noContext) return kTrustNoFile;
    result = walk.result;
    catalogPath = walk.catalogPath;
  }

  const ULONG answer = MapWinTrustAnswer(result);
  if (answer != kTrustTrusted) return answer;
  const bool isCatalog = !catalogPath.empty();
  return CheckSigner(isCatalog ? catalogPath : path, isCatalog, level, driverMode);
}

// Level 3 never consults the catalogs: they would be searched only after an external verdict was
// asked for, and this form asks for none, so the file's own signature decides.
ULONG VerifyThroughHandle(const wchar_t* path, HANDLE file, ULONG level,
                          bool wholeChainRevocation) {
  // WinTrust reads from wherever the handle stands; where it leaves it is not ours to know.
  LARGE_INTEGER start = {};
  if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
    TraceTrustFailure(kMsgHeldFileUnread, path, ::GetLastError());
    return kTrustNoFile;
  }
  WINTRUST_FILE_INFO fileInfo = {};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path;
  fileInfo.hFile = file;
  TrustRequestRecord request = NewTrustRequest(WTD_CHOICE_FILE, &fileInfo, wholeChainRevocation);
  request.dwStateAction = WTD_STATEACTION_VERIFY;
  const TrustStateCloser closer(path, request);

  const ULONG answer = MapWinTrustAnswer(CallWinTrust(path, request, false, kMsgSlowWinTrust));
  if (answer != kTrustTrusted) return answer;
  PCCERT_CONTEXT signer = SignerFromState(request.hWVTStateData);
  if (!signer) {
    TraceTrustFailure(kMsgSignerMissing, path, 0);
    return kTrustNoSignature;
  }
  return CheckCertificateAtLevel(signer, level, false);
}

}  // namespace sharedlib
