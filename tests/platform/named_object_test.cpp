// Named objects that another account may have made first: the name under which a process
// reaches a service's object, and whether an object found under a name is the program's own.
#include "platform/named_object.h"

#include <gtest/gtest.h>

#include <string>

#include "support/named_object_support.h"

namespace {

using platform::Found;
using platform::ObjectKind;
using testing_support::Kind;

struct NameCase {
  const char* what;
  const char* plain;
  DWORD ownSession;
  DWORD servicesSession;
  const char* expected;
};

class ServicesNamespaceName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ServicesNamespaceName, IsTheNameTheServiceCreatesUnder) {
  EXPECT_EQ(platform::NameInServicesNamespace(GetParam().plain, GetParam().ownSession,
                                              GetParam().servicesSession),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, ServicesNamespaceName,
    ::testing::Values(
        // Windows: services in session 0, whose plain names are the global ones.
        NameCase{"WindowsDesktop", "DaxInstall_exist", 1, 0, "Global\\DaxInstall_exist"},
        NameCase{"WindowsSecondDesktop", "StopDaxInstServiceEvent", 2, 0,
                 "Global\\StopDaxInstServiceEvent"},
        NameCase{"WindowsService", "DaxInstall_exist", 0, 0, "DaxInstall_exist"},
        // Wine: services run in the desktop's session, where a Global\ name misses them.
        NameCase{"WineDesktopAndService", "DaxInstall_exist", 1, 1, "DaxInstall_exist"},
        NameCase{"AlreadyGlobal", "Global\\TRVAutoUpgradeNotifyPass", 1, 0,
                 "Global\\TRVAutoUpgradeNotifyPass"},
        NameCase{"AlreadyLocal", "Local\\X", 1, 0, "Local\\X"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.what; });

// Under Wine the test and Wine's services share one session: the plain name is the service's.
TEST(ServicesNamespaceName, UnderWineThisProcessUsesThePlainName) {
  DWORD own = 0;
  ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &own));
  EXPECT_EQ(platform::ServicesSessionId(), own);
  EXPECT_EQ(platform::ServiceObjectName("DaxInstall_exist"), "DaxInstall_exist");
}

TEST(ObjectDescriptorTest, NamesTheProcessAccountAsOwnerAndKeepsTheDacl) {
  platform::ObjectDescriptor descriptor;
  EXPECT_EQ(descriptor.Attributes(), nullptr);
  ASSERT_TRUE(descriptor.Build("D:P(A;;0x1f0001;;;SY)(A;;0x120001;;;WD)"));
  ASSERT_NE(descriptor.Attributes(), nullptr);
  EXPECT_FALSE(descriptor.Attributes()->bInheritHandle);
  platform::UniqueKernelHandle mutex(
      ::CreateMutexA(descriptor.Attributes(), FALSE, "DaxinstTestDescriptorMutex"));
  ASSERT_TRUE(mutex);
  const auto security = testing_support::ReadSecurity(mutex.get());
  ASSERT_TRUE(security.read);
  EXPECT_EQ(security.owner, testing_support::OwnSid());
  EXPECT_EQ(security.aces,
            (std::vector<testing_support::Ace>{testing_support::Allow("S-1-5-18", 0x1f0001),
                                               testing_support::Allow("S-1-1-0", 0x120001)}));
}

// What a name held before the program created its object there.
struct PlantedCase {
  const char* what;
  Kind plantedKind;
  std::string descriptor;  // "" for default security (Wine: no owner at all)
  Found found;
  std::string owner;  // read from the planted object
  DWORD openError;    // 0: it could be opened
};

class PlantedObject : public ::testing::TestWithParam<PlantedCase> {};

TEST_P(PlantedObject, IsTheProgramsOwnOnlyWithATrustedOwner) {
  const PlantedCase& c = GetParam();
  const std::string name = std::string("DaxinstTestPlanted") + c.what;
  platform::UniqueKernelHandle planted =
      c.descriptor.empty()
          ? platform::UniqueKernelHandle(c.plantedKind == Kind::kMutex
                                             ? ::CreateMutexA(nullptr, FALSE, name.c_str())
                                             : ::CreateEventA(nullptr, TRUE, FALSE, name.c_str()))
          : testing_support::CreateWithDescriptor(c.plantedKind, name, c.descriptor);
  ASSERT_TRUE(planted);

  platform::ObjectDescriptor own;
  ASSERT_TRUE(own.Build("D:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)"));
  const auto created = platform::CreateNamedObject(ObjectKind::kMutex, name, own.Attributes());
  EXPECT_EQ(created.found, c.found);
  EXPECT_EQ(created.handle.is_valid(), c.found == Found::kOwn);
  EXPECT_EQ(created.owner, c.owner);
  EXPECT_EQ(created.openError, c.openError);

  // Opened without creating: the same verdict.
  const auto opened = platform::OpenNamedObject(ObjectKind::kMutex, name, SYNCHRONIZE);
  EXPECT_EQ(opened.found, c.found);
  EXPECT_EQ(opened.handle.is_valid(), c.found == Found::kOwn);
  EXPECT_EQ(opened.owner, c.owner);
}

INSTANTIATE_TEST_SUITE_P(
    Owners, PlantedObject,
    ::testing::Values(
        PlantedCase{"Users", Kind::kMutex, testing_support::kUsersOwnedOpen, Found::kForeign,
                    "S-1-5-32-545", 0},
        PlantedCase{"Everyone", Kind::kMutex, "O:WDD:(A;;GA;;;WD)", Found::kForeign, "S-1-1-0", 0},
        // The owner's implicit right to read the descriptor lets the record name it (Wine's user
        // is a member of Users).
        PlantedCase{"UsersEmptyDacl", Kind::kMutex, testing_support::kUsersOwnedEmptyDacl,
                    Found::kForeign, "S-1-5-32-545", ERROR_ACCESS_DENIED},
        PlantedCase{"NoOwner", Kind::kMutex, "", Found::kForeign, "", 0},
        PlantedCase{"AnEventOfTheName", Kind::kEvent, "O:SYD:(A;;GA;;;WD)", Found::kForeign, "",
                    ERROR_INVALID_HANDLE},
        PlantedCase{"System", Kind::kMutex, "O:SYD:(A;;GA;;;WD)", Found::kOwn, "S-1-5-18", 0},
        PlantedCase{"Administrators", Kind::kMutex, "O:BAD:(A;;GA;;;WD)", Found::kOwn,
                    "S-1-5-32-544", 0},
        PlantedCase{"OwnAccount", Kind::kMutex, testing_support::OwnAccountDescriptor(),
                    Found::kOwn, testing_support::OwnSid(), 0}),
    [](const ::testing::TestParamInfo<PlantedCase>& info) { return info.param.what; });

TEST(NamedObjectTest, AFreeNameIsCreatedAndAnAbsentOneIsNotOpened) {
  const auto absent =
      platform::OpenNamedObject(ObjectKind::kEvent, "DaxinstTestNeverMade", SYNCHRONIZE);
  EXPECT_EQ(absent.found, Found::kAbsent);
  EXPECT_FALSE(absent.handle);

  platform::ObjectDescriptor own;
  ASSERT_TRUE(own.Build("D:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)"));
  auto created =
      platform::CreateNamedObject(ObjectKind::kEvent, "DaxinstTestFreshEvent", own.Attributes());
  EXPECT_EQ(created.found, Found::kCreated);
  ASSERT_TRUE(created.handle);
  EXPECT_EQ(::WaitForSingleObject(created.handle.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "a new event is not set";
  // Made by the program itself: its own when found again.
  const auto again =
      platform::OpenNamedObject(ObjectKind::kEvent, "DaxinstTestFreshEvent", EVENT_MODIFY_STATE);
  EXPECT_EQ(again.found, Found::kOwn);
}

TEST(NamedObjectTest, TheRecordSaysWhatTheForeignObjectShowed) {
  platform::NamedObject object;
  object.found = Found::kForeign;
  object.owner = "S-1-5-32-545";
  EXPECT_EQ(platform::ForeignOwnerText(object), "owner S-1-5-32-545");
  object.owner.clear();
  EXPECT_EQ(platform::ForeignOwnerText(object), "no owner");
  object.openError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(platform::ForeignOwnerText(object), "owner unknown, cannot be opened: error 5");
}

}  // namespace
