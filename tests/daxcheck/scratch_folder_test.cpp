// The folder the option writers run in lets no one but SYSTEM and Administrators in, whatever the
// temporary folder passes on: a program of the caller's that is not elevated could otherwise
// swap the copy for a link while the elevated check writes it, or change the prediction.
#include "daxcheck/scratch_folder.h"

#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/unique_handle.h"

namespace {

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!::ConvertSidToStringSidA(sid, &text)) return "?";
  platform::UniqueLocalMemory owned(text);
  return text;
}

TEST(ScratchFolder, HasAProtectedDaclOfSystemAndAdministratorsOnly) {
  BYTE admins[SECURITY_MAX_SID_SIZE] = {};
  DWORD size = sizeof(admins);
  BOOL member = FALSE;
  ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
  ASSERT_TRUE(::CheckTokenMembership(nullptr, admins, &member));
  if (!member) GTEST_SKIP() << "the test account is not an administrator here";
  // Wine keeps a file's security as Unix mode bits: a folder made with this descriptor reads back
  // as SYSTEM and its owner, unprotected, whatever was asked (measured). Windows keeps it.
  if (::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version")) {
    GTEST_SKIP() << "Wine cannot hold a file DACL of SYSTEM and Administrators";
  }

  const daxcheck::ScratchFolder scratch;
  ASSERT_FALSE(scratch.path().empty());

  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(
      ::GetNamedSecurityInfoA(scratch.path().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &dacl, nullptr, &descriptor),
      static_cast<DWORD>(ERROR_SUCCESS));
  platform::UniqueLocalMemory ownedDescriptor(descriptor);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the temporary folder's entries are inherited";
  ASSERT_NE(dacl, nullptr) << "a null DACL lets everyone in";

  std::set<std::string> allowed;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, &ace));
    const auto* header = static_cast<ACE_HEADER*>(ace);
    ASSERT_EQ(header->AceType, ACCESS_ALLOWED_ACE_TYPE);
    auto* allowedAce = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    allowed.insert(SidText(&allowedAce->SidStart));
  }
  EXPECT_EQ(allowed, (std::set<std::string>{"S-1-5-18", "S-1-5-32-544"}));
}

TEST(ScratchFolder, IsRemovedWithItsFiles) {
  std::string path;
  {
    const daxcheck::ScratchFolder scratch;
    path = scratch.path();
    ASSERT_FALSE(path.empty());
    const std::string file = path + "\\setAid.ini";
    platform::UniqueFileHandle written(::CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr,
                                                     CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr));
    ASSERT_TRUE(written);
  }
  EXPECT_EQ(::GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
