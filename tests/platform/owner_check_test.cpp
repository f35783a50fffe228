#include "platform/owner_check.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include "platform/unique_handle.h"

namespace {

platform::UniqueLocalMemory SidFromText(const char* text) {
  PSID sid = nullptr;
  EXPECT_TRUE(::ConvertStringSidToSidA(text, &sid)) << text;
  return platform::UniqueLocalMemory(sid);
}

struct OwnerCase {
  const char* sid;
  bool trustedForObjects;
  bool trustedForFiles;
};

class TrustedOwnerTest : public ::testing::TestWithParam<OwnerCase> {};

TEST_P(TrustedOwnerTest, OnlySystemAdministratorsAndTrustedInstallerForFiles) {
  const auto sid = SidFromText(GetParam().sid);
  ASSERT_TRUE(sid);
  EXPECT_EQ(platform::IsTrustedOwner(sid.get(), platform::OwnerRule::kKernelObject),
            GetParam().trustedForObjects);
  EXPECT_EQ(platform::IsTrustedOwner(sid.get(), platform::OwnerRule::kFile),
            GetParam().trustedForFiles);
}

INSTANTIATE_TEST_SUITE_P(
    Sids, TrustedOwnerTest,
    ::testing::Values(OwnerCase{"S-1-5-18", true, true},      // SYSTEM
                      OwnerCase{"S-1-5-32-544", true, true},  // Administrators
                      OwnerCase{"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                false, true},                   // TrustedInstaller
                      OwnerCase{"S-1-5-32-545", false, false},  // Users
                      OwnerCase{"S-1-1-0", false, false},       // Everyone
                      OwnerCase{"S-1-5-11", false, false},      // Authenticated Users
                      OwnerCase{"S-1-5-21-1-2-3-1001", false, false},
                      // One number off TrustedInstaller's.
                      OwnerCase{"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465",
                                false, false}));

TEST(TrustedOwnerTest, NoSidIsNotTrusted) {
  EXPECT_FALSE(platform::IsTrustedOwner(nullptr, platform::OwnerRule::kFile));
}

platform::UniqueKernelHandle EventWithDescriptor(const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
  platform::UniqueLocalMemory owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  return platform::UniqueKernelHandle(::CreateEventA(&attributes, TRUE, FALSE, nullptr));
}

std::string ProcessUserSid() {
  HANDLE rawToken = nullptr;
  EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken));
  platform::UniqueKernelHandle token(rawToken);
  unsigned char buffer[256];
  DWORD size = 0;
  EXPECT_TRUE(::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size));
  return platform::SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

// Wine lets a process give what it creates any owner: that is how another account's object is
// shown from one account.
TEST(ReadOwnerTest, TheOwnerInTheDescriptorDecides) {
  const std::string self = ProcessUserSid();
  const struct {
    std::string owner;
    bool trusted;
  } cases[] = {{"S-1-5-32-545", false}, {"S-1-1-0", false}, {"S-1-5-18", true},
               {"S-1-5-32-544", true},  {self, true},       {"S-1-5-21-1-2-3-1001", false}};
  for (const auto& c : cases) {
    const auto event = EventWithDescriptor(("O:" + c.owner + "D:(A;;GA;;;WD)").c_str());
    ASSERT_TRUE(event) << c.owner;
    const auto owner =
        platform::ReadOwner(event.get(), SE_KERNEL_OBJECT, platform::OwnerRule::kKernelObject);
    ASSERT_TRUE(owner) << c.owner;
    EXPECT_EQ(owner->sid, c.owner);
    EXPECT_EQ(owner->trusted, c.trusted) << c.owner;
  }
}

TEST(ReadOwnerTest, AHandleWithoutReadControlGivesNoOwner) {
  const auto event = EventWithDescriptor("O:BUD:(A;;GA;;;WD)");
  ASSERT_TRUE(event);
  HANDLE rawSynchronizeOnly = nullptr;
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), event.get(), ::GetCurrentProcess(),
                                &rawSynchronizeOnly, SYNCHRONIZE, FALSE, 0));
  platform::UniqueKernelHandle synchronizeOnly(rawSynchronizeOnly);
  EXPECT_FALSE(platform::ReadOwner(synchronizeOnly.get(), SE_KERNEL_OBJECT,
                                   platform::OwnerRule::kKernelObject));
}

}  // namespace
