// What the program's own folders and files in the common application-data folder must show:
// an owner every reader trusts, SYSTEM and the Administrators alone may change them, the users
// may read them.
#pragma once

#include <windows.h>

#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/change_rights.h"
#include "platform/owner_check.h"
#include "platform/unique_handle.h"

namespace testing_support {

// The access an ACE of `dacl` allows `sid` (0 when none).
inline ACCESS_MASK AllowedTo(const ACL* dacl, WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(sid);
  if (!::CreateWellKnownSid(type, nullptr, sid, &size)) return 0;
  ACCESS_MASK mask = 0;
  for (DWORD index = 0; dacl && index < dacl->AceCount; ++index) {
    void* ace = nullptr;
    if (!::GetAce(const_cast<ACL*>(dacl), index, &ace)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    if (::EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid)) mask |= allowed->Mask;
  }
  return mask;
}

// Wine keeps a file's descriptor as its Unix mode: the owner is the account that runs it, and a
// grant to Users alone has no mode bit.
inline bool UnderWine() {
  return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

inline void ExpectAdministratorsChangeAndUsersRead(const std::string& path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  ASSERT_EQ(::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &raw),
            static_cast<DWORD>(ERROR_SUCCESS))
      << path;
  platform::UniqueLocalMemory descriptor(raw);
  ASSERT_NE(owner, nullptr) << path;
  EXPECT_TRUE(platform::IsTrustedOwner(owner, platform::OwnerRule::kFile))
      << path << " is owned by " << platform::SidText(owner);
  platform::ForeignRight foreign;
  EXPECT_FALSE(platform::FindForeignRight(dacl, platform::kFolderChangeRights, foreign))
      << path << ": " << foreign.sid << " may change it";
  EXPECT_EQ(AllowedTo(dacl, WinLocalSystemSid) & FILE_ALL_ACCESS, FILE_ALL_ACCESS) << path;
  if (UnderWine()) return;
  EXPECT_TRUE(::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) << path;
  EXPECT_EQ(AllowedTo(dacl, WinBuiltinAdministratorsSid) & FILE_ALL_ACCESS, FILE_ALL_ACCESS)
      << path;
  const ACCESS_MASK users = AllowedTo(dacl, WinBuiltinUsersSid);
  EXPECT_NE(users & FILE_READ_DATA, 0u) << path << ": users cannot read";
  EXPECT_EQ(users & platform::kFolderChangeRights, 0u) << path;
}

}  // namespace testing_support
