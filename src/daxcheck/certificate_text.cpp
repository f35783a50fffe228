#include "daxcheck/certificate_text.h"

#include <utility>

namespace daxcheck {

std::string CertificateName(PCCERT_CONTEXT certificate) {
  wchar_t buffer[512] = {};
  ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer, 512);
  return Utf8(std::wstring(buffer));
}

std::string Thumbprint(PCCERT_CONTEXT certificate) {
  BYTE hash[20] = {};
  DWORD size = sizeof(hash);
  if (!::CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size)) {
    return {};
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (DWORD i = 0; i < size; ++i) {
    text += kHex[hash[i] >> 4];
    text += kHex[hash[i] & 15];
  }
  return text;
}

platform::UniqueCertStore OpenMachineStoreReadOnly(const wchar_t* name) {
  return platform::UniqueCertStore(::CertOpenStore(
      CERT_STORE_PROV_SYSTEM_W, 0, 0,
      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
      name));
}

bool StoreHolds(HCERTSTORE store, PCCERT_CONTEXT certificate) {
  if (!store) return false;
  platform::UniqueCertContext found(::CertFindCertificateInStore(
      store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr));
  return static_cast<bool>(found);
}

Json TrustStatusNames(DWORD status) {
  static const std::pair<DWORD, const char*> kNames[] = {
      {CERT_TRUST_IS_NOT_TIME_VALID, "not time valid"},
      {CERT_TRUST_IS_REVOKED, "revoked"},
      {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "signature not valid"},
      {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, "not valid for code signing"},
      {CERT_TRUST_IS_UNTRUSTED_ROOT, "untrusted root"},
      {CERT_TRUST_REVOCATION_STATUS_UNKNOWN, "revocation status unknown"},
      {CERT_TRUST_IS_CYCLIC, "cyclic"},
      {CERT_TRUST_INVALID_EXTENSION, "invalid extension"},
      {CERT_TRUST_INVALID_POLICY_CONSTRAINTS, "invalid policy constraints"},
      {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "invalid basic constraints"},
      {CERT_TRUST_INVALID_NAME_CONSTRAINTS, "invalid name constraints"},
      {CERT_TRUST_IS_OFFLINE_REVOCATION, "revocation offline"},
      {CERT_TRUST_IS_PARTIAL_CHAIN, "partial chain"},
  };
  Json names = Json::array();
  for (const auto& name : kNames) {
    if (status & name.first) names.push_back(name.second);
  }
  if (status && names.empty()) names.push_back(Hex8(status));
  return names;
}

}  // namespace daxcheck
