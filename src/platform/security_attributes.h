// Security attributes for the named objects that the rest of the client opens.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

namespace platform {

// The descriptor is marked as having a DACL but is given a null one (acl_ stays null): a NULL
// DACL, which puts no limit on access, so every user may open the object with any right. That
// differs from an empty DACL, which would deny everyone. The rest of the client must reach the
// object from any account.
class CDACL {
 public:
  CDACL() = default;
  CDACL(const CDACL&) = delete;
  CDACL& operator=(const CDACL&) = delete;
  virtual ~CDACL();
  virtual bool Create();
  virtual void Release();

  SECURITY_ATTRIBUTES* Attributes() const noexcept {
    return static_cast<SECURITY_ATTRIBUTES*>(attributes_.get());
  }

 protected:
  // Null: see above. A class below that builds one owns it.
  PACL acl_ = nullptr;

 private:
  UniqueLocalMemory attributes_;
  UniqueLocalMemory descriptor_;
};

class CEveryoneDACL : public CDACL {
 public:
  ~CEveryoneDACL() override;
};

}  // namespace platform
