// The security attributes of the named objects that every user must be able to open.
#include "platform/security_attributes.h"

#include <gtest/gtest.h>

#include "platform/unique_handle.h"

namespace {

TEST(EveryoneDaclTest, GrantsEveryoneThroughAPresentNullDacl) {
  platform::CEveryoneDACL everyone;
  EXPECT_EQ(everyone.Attributes(), nullptr);
  ASSERT_TRUE(everyone.Create());
  ASSERT_TRUE(everyone.Create());  // a second Create replaces the first without leaking it

  SECURITY_ATTRIBUTES* attributes = everyone.Attributes();
  ASSERT_NE(attributes, nullptr);
  EXPECT_EQ(attributes->nLength, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_TRUE(attributes->bInheritHandle);
  ASSERT_NE(attributes->lpSecurityDescriptor, nullptr);
  BOOL present = FALSE;
  BOOL defaulted = TRUE;
  PACL acl = reinterpret_cast<PACL>(1);
  ASSERT_TRUE(
      ::GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &acl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(acl, nullptr);
  EXPECT_FALSE(defaulted);

  platform::UniqueKernelHandle mutex(
      ::CreateMutexA(attributes, FALSE, "DaxinstTestEveryoneDaclMutex"));
  ASSERT_TRUE(mutex);
  platform::UniqueKernelHandle opened(
      ::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "DaxinstTestEveryoneDaclMutex"));
  EXPECT_TRUE(opened);

  everyone.Release();
  EXPECT_EQ(everyone.Attributes(), nullptr);
}

}  // namespace
