#include "platform/security_attributes.h"

// After windows.h.
#include <sddl.h>

namespace platform {

bool SddlAttributes::Build(const wchar_t* sddl) {
  descriptor_.reset();
  attributes_.lpSecurityDescriptor = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw,
                                                              nullptr)) {
    return false;
  }
  descriptor_.reset(raw);
  attributes_.lpSecurityDescriptor = raw;
  return true;
}

}  // namespace platform
