#include "daxcheck/chain_analysis.h"

#include "daxcheck/certificate_text.h"
#include "platform/unique_handle.h"

namespace daxcheck {

namespace {

struct CertChainTraits {
  using pointer = PCCERT_CHAIN_CONTEXT;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CertFreeCertificateChain(h); }
};
using UniqueCertChain = platform::UniqueHandle<CertChainTraits>;

// Statuses that say only that nobody could be asked about revocation.
constexpr DWORD kRevocationUnknown =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// The signature's own certificates and the bundle, as one extra store for the chain engine.
platform::UniqueCertStore ExtraStore(HCERTSTORE signatureStore, HCERTSTORE bundle) {
  platform::UniqueCertStore extra(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
  if (extra) {
    ::CertAddStoreToCollection(extra.get(), signatureStore, 0, 0);
    if (bundle) ::CertAddStoreToCollection(extra.get(), bundle, 0, 0);
  }
  return extra;
}

// A chain for code signing, from the local machine's engine; empty when none can be built.
UniqueCertChain BuildCodeSigningChain(PCCERT_CONTEXT signer, HCERTSTORE extra) {
  char codeSigning[] = szOID_PKIX_KP_CODE_SIGNING;
  LPSTR usages[] = {codeSigning};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof(para);
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // What the machine holds decides: no URL a certificate names is fetched, as the person who runs
  // the check, and the machine's roots are not updated.
  const DWORD flags =
      CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
  if (!::CertGetCertificateChain(HCCE_LOCAL_MACHINE, signer, nullptr, extra, &para, flags, nullptr,
                                 &chain)) {
    return UniqueCertChain();
  }
  return UniqueCertChain(chain);
}

}  // namespace

ChainAnalysis AnalyseChain(PCCERT_CONTEXT signer, HCERTSTORE signatureStore, HCERTSTORE bundle) {
  ChainAnalysis analysis;
  const platform::UniqueCertStore extra = ExtraStore(signatureStore, bundle);
  const UniqueCertChain chain = BuildCodeSigningChain(signer, extra.get());
  if (!chain || chain.get()->cChain == 0) {
    analysis.report["error"] = Hex8(static_cast<unsigned>(::GetLastError()));
    return analysis;
  }
  const CERT_SIMPLE_CHAIN* simple = chain.get()->rgpChain[0];
  Json elements = Json::array();
  PCCERT_CONTEXT root = nullptr;
  for (DWORD i = 0; i < simple->cElement; ++i) {
    const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i];
    elements.push_back({{"subject", CertificateName(element->pCertContext)},
                        {"thumbprint", Thumbprint(element->pCertContext)},
                        {"in_bundle", StoreHolds(bundle, element->pCertContext)},
                        {"status", TrustStatusNames(element->TrustStatus.dwErrorStatus)}});
    root = element->pCertContext;
  }
  const DWORD chainStatus = chain.get()->TrustStatus.dwErrorStatus;
  const bool selfSigned =
      root && ::CertCompareCertificateName(X509_ASN_ENCODING, &root->pCertInfo->Issuer,
                                           &root->pCertInfo->Subject);
  const bool endsInBundleRoot = selfSigned && StoreHolds(bundle, root);
  analysis.onlyFaultIsTheAgentsRoot =
      (chainStatus & ~kRevocationUnknown) == CERT_TRUST_IS_UNTRUSTED_ROOT && endsInBundleRoot;
  analysis.report["elements"] = elements;
  analysis.report["status"] = TrustStatusNames(chainStatus);
  analysis.report["ends_in_bundle_root"] = endsInBundleRoot;
  analysis.report["only_fault_is_the_agents_root"] = analysis.onlyFaultIsTheAgentsRoot;
  return analysis;
}

}  // namespace daxcheck
