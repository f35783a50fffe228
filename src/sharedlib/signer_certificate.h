// The signer certificate of a signed object as the file trust verifier finds it: the signer
// information of the object's PKCS #7 message, looked up by issuer and serial number among the
// certificates the message carries.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <string>

#include "platform/unique_handle.h"

namespace sharedlib {

// The kinds of object whose signer is read: a file with an embedded signature, or a catalog.
enum class SignedObject { kEmbeddedSignature, kCatalog };

struct ObjectSigner {
  // False when the object holds no signed content of its kind; `openError` then says why.
  bool opened = false;
  DWORD openError = 0;
  // The certificates the signature carries, once the object is opened.
  platform::UniqueCertStore store;
  // Empty when the signer information or its certificate is missing.
  platform::UniqueCertContext certificate;
};

ObjectSigner ReadObjectSigner(const std::wstring& path, SignedObject kind);

}  // namespace sharedlib
