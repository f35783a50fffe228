// The guard in a private namespace, driven through the namespace calls' seam: Wine 8 has no
// private namespaces, so each namespace is a named directory object (support/
// fake_private_namespace.h) that "alias\name" reaches as it would reach a private namespace.
// What only Windows can show: that a process without the Administrators group cannot enter the
// boundary, and the system's own answers of OpenPrivateNamespace.
#include "platform/private_namespace.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/named_object.h"
#include "support/fake_private_namespace.h"
#include "support/named_object_support.h"

namespace {

using State = platform::PrivateGuard::State;

constexpr wchar_t kAlias[] = L"DaxinstTestNamespace";
constexpr char kMutexPath[] = "DaxinstTestNamespace\\Guard";

class PrivateGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(namespaceDescriptor_.Build("D:P(A;;0xf000f;;;SY)(A;;0xf000f;;;BA)"));
    ASSERT_TRUE(mutexDescriptor_.Build("D:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)"));
  }
  State Take(platform::PrivateGuard& guard) {
    return guard.Take(namespaceDescriptor_.Attributes(), mutexDescriptor_.Attributes());
  }

  testing_support::FakePrivateNamespaces calls_;
  platform::ObjectDescriptor namespaceDescriptor_;
  platform::ObjectDescriptor mutexDescriptor_;
};

TEST_F(PrivateGuardTest, ARunTakesTheGuardInANamespaceOnlyAdministratorsMayEnter) {
  platform::PrivateGuard guard(kAlias, L"Guard");
  EXPECT_EQ(guard.MutexPath(), std::wstring(kAlias) + L"\\Guard");
  ASSERT_EQ(Take(guard), State::kTaken);

  EXPECT_EQ(calls_.boundarySids, std::vector<std::string>{"S-1-5-32-544"});
  EXPECT_EQ(calls_.namespaceOwner, testing_support::OwnSid());
  EXPECT_EQ(calls_.namespaceAces,
            (std::vector<testing_support::Ace>{testing_support::Allow("S-1-5-18", 0xf000f),
                                               testing_support::Allow("S-1-5-32-544", 0xf000f)}));
  // The mutex is in the namespace, with its own descriptor.
  platform::UniqueKernelHandle mutex(::OpenMutexA(READ_CONTROL | SYNCHRONIZE, FALSE, kMutexPath));
  ASSERT_TRUE(mutex) << "no mutex at " << kMutexPath;
  const auto security = testing_support::ReadSecurity(mutex.get());
  EXPECT_EQ(security.owner, testing_support::OwnSid());
  EXPECT_EQ(security.aces,
            (std::vector<testing_support::Ace>{testing_support::Allow("S-1-5-18", 0x1f0001),
                                               testing_support::Allow("S-1-5-32-544", 0x1f0001)}));
  mutex.reset();

  guard.Release();
  platform::UniqueKernelHandle gone(::OpenMutexA(SYNCHRONIZE, FALSE, kMutexPath));
  EXPECT_FALSE(gone) << "the guard outlived its release";
  EXPECT_EQ(calls_.liveBoundaries, 0);
}

TEST_F(PrivateGuardTest, ASecondRunFindsTheGuardHeldThroughTheFirstRunsNamespace) {
  platform::PrivateGuard first(kAlias, L"Guard");
  ASSERT_EQ(Take(first), State::kTaken);
  platform::PrivateGuard second(kAlias, L"Guard");
  EXPECT_EQ(Take(second), State::kHeld);
  EXPECT_EQ(calls_.opens, 1) << "the existing namespace is opened";

  first.Release();
  EXPECT_EQ(Take(second), State::kTaken) << "a run may start once the first has ended";
}

TEST_F(PrivateGuardTest, AProbeSeesARunAndCreatesNothing) {
  platform::PrivateGuard probe(kAlias, L"Guard");
  EXPECT_EQ(probe.Probe(), State::kFree);
  EXPECT_EQ(calls_.creates, 0) << "a probe must never create the namespace";

  platform::PrivateGuard run(kAlias, L"Guard");
  ASSERT_EQ(Take(run), State::kTaken);
  EXPECT_EQ(probe.Probe(), State::kHeld);
  EXPECT_EQ(probe.Probe(), State::kHeld) << "a probe lets go of what it opened";
  EXPECT_EQ(calls_.creates, 1);
  run.Release();
  EXPECT_EQ(probe.Probe(), State::kFree);
  EXPECT_EQ(calls_.liveBoundaries, 0);
}

// A process outside the boundary (a standard user, on Windows) can neither make the namespace
// nor look into it: the run falls back on the public guard and says so.
TEST_F(PrivateGuardTest, OutsideTheBoundaryTheGuardIsRefused) {
  calls_.callerInBoundary = false;
  platform::PrivateGuard guard(kAlias, L"Guard");
  EXPECT_EQ(Take(guard), State::kRefused);
  EXPECT_EQ(guard.error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(guard.Probe(), State::kRefused);
  EXPECT_EQ(calls_.liveBoundaries, 0);
}

// Windows before Vista, and Wine 8: no calls, no namespace, nothing tried.
TEST_F(PrivateGuardTest, WithoutTheCallsTheGuardIsUnavailable) {
  calls_.available = false;
  platform::PrivateGuard guard(kAlias, L"Guard");
  EXPECT_EQ(Take(guard), State::kUnavailable);
  EXPECT_EQ(guard.Probe(), State::kUnavailable);
  EXPECT_EQ(calls_.creates + calls_.opens + calls_.liveBoundaries, 0);
}

TEST(SystemPrivateNamespaceCalls, Wine8HasNone) {
  EXPECT_FALSE(platform::CurrentPrivateNamespaceCalls().Available());
}

}  // namespace
