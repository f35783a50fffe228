#include "platform/security_attributes.h"

namespace platform {

CDACL::~CDACL() { CDACL::Release(); }

bool CDACL::Create() {
  Release();
  descriptor_ = ::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (descriptor_ && ::InitializeSecurityDescriptor(descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
      ::SetSecurityDescriptorDacl(descriptor_, TRUE, acl_, FALSE) &&
      ::IsValidSecurityDescriptor(descriptor_)) {
    attributes_ =
        static_cast<SECURITY_ATTRIBUTES*>(::LocalAlloc(LPTR, sizeof(SECURITY_ATTRIBUTES)));
    if (attributes_) {
      attributes_->nLength = sizeof(SECURITY_ATTRIBUTES);
      attributes_->lpSecurityDescriptor = descriptor_;
      attributes_->bInheritHandle = TRUE;
      return true;
    }
  }
  Release();
  return false;
}

void CDACL::Release() {
  if (descriptor_) ::LocalFree(descriptor_);
  if (attributes_) ::LocalFree(attributes_);
  if (everyoneSid_) ::FreeSid(everyoneSid_);
  descriptor_ = nullptr;
  attributes_ = nullptr;
  everyoneSid_ = nullptr;
}

CEveryoneDACL::~CEveryoneDACL() {
  if (acl_) ::LocalFree(acl_);
  acl_ = nullptr;
}

}  // namespace platform
