// Named objects made the way another account, or the program's own, would make them first, and
// an object's owner and DACL read back as the system keeps them.
//
// Under Wine a process may give what it creates any owner ("O:BU" stands for another account),
// and an object created without an owner in its descriptor has none; DACLs are enforced.
#pragma once

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/unique_handle.h"

namespace testing_support {

// The SID of the account the test runs as, in string form ("" when it cannot be read).
inline std::string OwnSid() {
  HANDLE rawToken = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return {};
  platform::UniqueKernelHandle token(rawToken);
  unsigned char buffer[256];
  DWORD size = 0;
  if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return {};
  LPSTR text = nullptr;
  if (!::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
    return {};
  }
  platform::UniqueLocalMemory owned(text);
  return text;
}

// A descriptor in the program's own way: the test's own account as the owner, everything to
// SYSTEM and the Administrators (which the test's account belongs to under Wine).
inline std::string OwnAccountDescriptor() { return "O:" + OwnSid() + "D:(A;;GA;;;SY)(A;;GA;;;BA)"; }
// Another account's object that everyone may open, and one nobody may ("D:" without entries).
constexpr char kUsersOwnedOpen[] = "O:BUD:(A;;GA;;;WD)";
constexpr char kUsersOwnedEmptyDacl[] = "O:BUD:";

enum class Kind { kMutex, kEvent };

// Creates the named object with the descriptor `sddl`; empty when it cannot be created.
inline platform::UniqueKernelHandle CreateWithDescriptor(Kind kind, const std::string& name,
                                                         const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return {};
  }
  platform::UniqueLocalMemory owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  return platform::UniqueKernelHandle(kind == Kind::kMutex
                                          ? ::CreateMutexA(&attributes, FALSE, name.c_str())
                                          : ::CreateEventA(&attributes, TRUE, FALSE, name.c_str()));
}

struct Ace {
  BYTE type;  // ACCESS_ALLOWED_ACE_TYPE, ACCESS_DENIED_ACE_TYPE
  ACCESS_MASK mask;
  std::string sid;
  bool operator==(const Ace& other) const {
    return type == other.type && mask == other.mask && sid == other.sid;
  }
};
inline std::ostream& operator<<(std::ostream& out, const Ace& ace) {
  return out << (ace.type == ACCESS_ALLOWED_ACE_TYPE ? "allow " : "deny ") << ace.sid << " 0x"
             << std::hex << ace.mask << std::dec;
}
inline Ace Allow(const char* sid, ACCESS_MASK mask) {
  return Ace{ACCESS_ALLOWED_ACE_TYPE, mask, sid};
}

struct ObjectSecurity {
  bool read = false;
  std::string owner;  // "" when the object has none
  bool daclPresent = false;
  // SE_DACL_PROTECTED: no entry is inherited from a parent, now or later.
  bool daclProtected = false;
  std::vector<Ace> aces;
};

inline std::string SidString(PSID sid) {
  LPSTR text = nullptr;
  if (!sid || !::ConvertSidToStringSidA(sid, &text)) return {};
  platform::UniqueLocalMemory owned(text);
  return text;
}

// The owner and the DACL of a kernel object, with GetSecurityInfo.
inline ObjectSecurity ReadSecurity(HANDLE object) {
  ObjectSecurity security;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (::GetSecurityInfo(object, SE_KERNEL_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &raw) != ERROR_SUCCESS) {
    return security;
  }
  platform::UniqueLocalMemory descriptor(raw);
  security.read = true;
  security.owner = SidString(owner);
  security.daclPresent = dacl != nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (::GetSecurityDescriptorControl(raw, &control, &revision)) {
    security.daclProtected = (control & SE_DACL_PROTECTED) != 0;
  }
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(dacl, i, &entry)) continue;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    // Allowed and denied entries have the same layout.
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    security.aces.push_back(
        Ace{header->AceType, allowed->Mask, SidString(const_cast<DWORD*>(&allowed->SidStart))});
  }
  return security;
}

}  // namespace testing_support
