#include "platform/security_attributes.h"

namespace platform {

CDACL::~CDACL() { CDACL::Release(); }

bool CDACL::Create() {
  Release();
  descriptor_.reset(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
  PSECURITY_DESCRIPTOR descriptor = descriptor_.get();
  if (descriptor && ::InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      ::SetSecurityDescriptorDacl(descriptor, TRUE, acl_, FALSE) &&
      ::IsValidSecurityDescriptor(descriptor)) {
    attributes_.reset(::LocalAlloc(LPTR, sizeof(SECURITY_ATTRIBUTES)));
    if (SECURITY_ATTRIBUTES* attributes = Attributes()) {
      attributes->nLength = sizeof(SECURITY_ATTRIBUTES);
      attributes->lpSecurityDescriptor = descriptor;
      attributes->bInheritHandle = TRUE;
      return true;
    }
  }
  Release();
  return false;
}

void CDACL::Release() {
  // The attributes point into the descriptor: they go first.
  attributes_.reset();
  descriptor_.reset();
}

CEveryoneDACL::~CEveryoneDACL() {
  if (acl_) ::LocalFree(acl_);
  acl_ = nullptr;
}

}  // namespace platform
