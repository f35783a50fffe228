// The SECURITY_ATTRIBUTES that give what a Create call makes the descriptor of an SDDL text.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

namespace platform {

class SddlAttributes {
 public:
  // False, with the conversion's last error kept, when `sddl` is not a descriptor; get() then
  // hands no descriptor.
  [[nodiscard]] bool Build(const wchar_t* sddl);
  SECURITY_ATTRIBUTES* get() { return &attributes_; }

 private:
  UniqueLocalMemory descriptor_;
  SECURITY_ATTRIBUTES attributes_ = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

}  // namespace platform
