// The local machine's certificate stores as the setup trust tests see them: every look opens
// the store afresh, so that only changes a verifier made lasting are seen.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <memory>
#include <vector>

namespace testing_support {

struct CertFree {
  void operator()(const CERT_CONTEXT* c) const { ::CertFreeCertificateContext(c); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertFree>;

inline HCERTSTORE OpenMachineStore(const wchar_t* name) {
  return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name);
}

// Wine keeps the machine's system stores open inside the process, so a change reaches the
// registry only when it is committed.
inline void CommitAndClose(HCERTSTORE store) {
  ::CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  ::CertCloseStore(store, 0);
}

inline bool InMachineStore(const wchar_t* name, const CERT_CONTEXT* certificate) {
  HCERTSTORE store = OpenMachineStore(name);
  if (!store) return false;
  const CERT_CONTEXT* found = ::CertFindCertificateInStore(
      store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
  if (found) ::CertFreeCertificateContext(found);
  ::CertCloseStore(store, 0);
  return found != nullptr;
}

inline void RemoveFromMachineStore(const wchar_t* name, const CERT_CONTEXT* certificate) {
  HCERTSTORE store = OpenMachineStore(name);
  if (!store) return;
  const CERT_CONTEXT* found = nullptr;
  while ((found = ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                               certificate, nullptr)) != nullptr) {
    if (!::CertDeleteCertificateFromStore(found)) break;
  }
  CommitAndClose(store);
}

inline bool AddToMachineStore(const wchar_t* name, const CERT_CONTEXT* certificate) {
  HCERTSTORE store = OpenMachineStore(name);
  if (!store) return false;
  const BOOL added = ::CertAddCertificateContextToStore(store, certificate,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CommitAndClose(store);
  return added != FALSE;
}

// The certificates of this program's own "ROOTC" bundle, in bundle order.
inline std::vector<Certificate> BundleCertificates() {
  std::vector<Certificate> result;
  HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), L"ROOTC");
  if (!resource) return result;
  CRYPT_DATA_BLOB blob = {::SizeofResource(module, resource),
                          static_cast<BYTE*>(::LockResource(::LoadResource(module, resource)))};
  HCERTSTORE bundle = nullptr;
  if (!::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_ALL,
                          CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, &bundle,
                          nullptr, nullptr)) {
    return result;
  }
  const CERT_CONTEXT* current = nullptr;
  while ((current = ::CertEnumCertificatesInStore(bundle, current)) != nullptr) {
    result.emplace_back(::CertDuplicateCertificateContext(current));
  }
  ::CertCloseStore(bundle, 0);
  return result;
}

}  // namespace testing_support
