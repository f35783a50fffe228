#include "sharedlib/signer_certificate.h"

#include <vector>

namespace sharedlib {

namespace {

struct CryptMsgTraits {
  using pointer = HCRYPTMSG;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CryptMsgClose(h); }
};

}  // namespace

ObjectSigner ReadObjectSigner(const std::wstring& path, SignedObject kind) {
  ObjectSigner signer;
  HCERTSTORE rawStore = nullptr;
  HCRYPTMSG rawMessage = nullptr;
  const DWORD contentTypes = kind == SignedObject::kCatalog
                                 ? CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED
                                 : CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED;
  if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), contentTypes,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &rawStore,
                          &rawMessage, nullptr)) {
    signer.openError = ::GetLastError();
    return signer;
  }
  signer.opened = true;
  signer.store.reset(rawStore);
  platform::UniqueHandle<CryptMsgTraits> message(rawMessage);

  DWORD size = 0;
  if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) {
    return signer;
  }
  std::vector<BYTE> buffer(size);
  if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
    return signer;
  }
  const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  CERT_INFO wanted = {};
  wanted.Issuer = info->Issuer;
  wanted.SerialNumber = info->SerialNumber;
  signer.certificate.reset(::CertFindCertificateInStore(signer.store.get(),
                                                        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                        CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
  return signer;
}

}  // namespace sharedlib
