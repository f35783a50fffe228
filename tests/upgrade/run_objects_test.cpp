// The run's named objects when another account, or the program's own, made one first: the owner
// decides, another account's object is recorded (a recording event sink stands in for the
// Application log) and the run goes on as if it were not there; and every object the run creates
// names its owner and carries its own DACL, read back as the system keeps them.
#include "upgrade/run_objects.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "contract/event_report.h"
#include "diag/log.h"
#include "support/fake_private_namespace.h"
#include "support/fresh_log.h"
#include "support/named_object_support.h"
#include "support/recorded_events.h"
#include "support/test_support.h"
#include "upgrade/controller.h"

namespace {

using contract::EventId;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::Ace;
using testing_support::Allow;
using testing_support::Kind;
using testing_support::OwnAccountDescriptor;

constexpr ACCESS_MASK kMutexAll = 0x1f0001;
constexpr ACCESS_MASK kEventAll = 0x1f0003;
constexpr ACCESS_MASK kWaitAndRead = SYNCHRONIZE | READ_CONTROL | MUTANT_QUERY_STATE;
constexpr char kSystem[] = "S-1-5-18";
constexpr char kAdministrators[] = "S-1-5-32-544";
constexpr char kEveryone[] = "S-1-1-0";

class Operations final : public upgrade::RunOperations {
 public:
  bool ReportServiceStatus(DWORD, DWORD, DWORD) override { return true; }
  int RunDaxSetup(const std::string&, DWORD) override {
    ++setupRuns;
    if (onSetup) onSetup();
    return 0;
  }
  int DaxSetupResult() override { return upgrade::kSetupSucceeded; }
  int setupRuns = 0;
  std::function<void()> onSetup;
};

class RunObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    diag::g_daxDebugLog.Enable();
    testing_support::StartFreshLog();
  }
  void TearDown() override {
    diag::CloseLogFile();
    testing_support::DeleteFileIfPresent(testing_support::LogPath());
  }
  std::vector<std::string> Messages() {
    diag::CloseLogFile();
    return testing_support::LogMessages(testing_support::LogPath());
  }

  testing_support::RunRegistryGuard registry_;
  testing_support::RecordedEvents sink_;
  Operations operations_;
};

// Every object the run creates, read back while setup runs: the run's account as the owner, a
// protected DACL, and no right to change the DACL or the owner for anyone but SYSTEM and the
// Administrators; the rest of the client in any account may wait on the run guard and the
// service-control mutex and read them, nothing more.
TEST_F(RunObjectsTest, EveryObjectTheRunCreatesNamesItsOwnerAndCarriesItsOwnDacl) {
  testing_support::FakePrivateNamespaces namespaces;
  struct Expected {
    const char* name;
    Kind kind;
    std::vector<Ace> aces;
    testing_support::ObjectSecurity seen;
  };
  std::vector<Expected> objects = {
      {"DaxInstall_exist",
       Kind::kMutex,
       {Allow(kSystem, kMutexAll), Allow(kAdministrators, kMutexAll),
        Allow(kEveryone, kWaitAndRead)},
       {}},
      {"QuorvexDaxInstall\\DaxInstall_exist",
       Kind::kMutex,
       {Allow(kSystem, kMutexAll), Allow(kAdministrators, kMutexAll)},
       {}},
      {"FenmarkServiceCtrlObjMutex",
       Kind::kMutex,
       {Allow(kSystem, kMutexAll), Allow(kAdministrators, kMutexAll),
        Allow(kEveryone, kWaitAndRead)},
       {}},
      {"StopDaxInstServiceEvent",
       Kind::kEvent,
       {Allow(kSystem, kEventAll), Allow(kAdministrators, kEventAll)},
       {}},
      // Made by the stop routine, which holds it while it waits for the run's end.
      {"DaxInstServiceStoppedEvent",
       Kind::kEvent,
       {Allow(kSystem, kEventAll), Allow(kAdministrators, kEventAll)},
       {}},
      // Held while setup runs.
      {"Global\\TRVAutoUpgradeNotifyPass",
       Kind::kMutex,
       {Allow(kSystem, kMutexAll), Allow(kAdministrators, kMutexAll),
        Allow(kEveryone, kWaitAndRead)},
       {}},
  };
  std::optional<upgrade::StopRequest> stopRequest;
  operations_.onSetup = [&] {
    stopRequest = upgrade::RequestStop();
    // The launcher holds the notify mutex while setup runs; this stand-in for it takes it as
    // the launcher does.
    const platform::NamedObject notify = upgrade::CreateNotifyPassMutex();
    EXPECT_EQ(notify.found, platform::Found::kCreated);
    for (auto& object : objects) {
      platform::UniqueKernelHandle handle(object.kind == Kind::kMutex
                                              ? ::OpenMutexA(READ_CONTROL, FALSE, object.name)
                                              : ::OpenEventA(READ_CONTROL, FALSE, object.name));
      if (handle) object.seen = testing_support::ReadSecurity(handle.get());
    }
  };
  upgrade::DaxInst(0, nullptr, operations_);
  ASSERT_EQ(operations_.setupRuns, 1);
  ASSERT_TRUE(stopRequest);
  ASSERT_TRUE(stopRequest->stopped) << "the stop routine holds no stopped event";
  EXPECT_EQ(::WaitForSingleObject(stopRequest->stopped.get(), 0), WAIT_OBJECT_0)
      << "the run's end did not set the stopped event";
  upgrade::AwaitStop(*stopRequest);

  const std::string self = testing_support::OwnSid();
  for (const auto& object : objects) {
    ASSERT_TRUE(object.seen.read) << object.name << " was not there during setup";
    EXPECT_EQ(object.seen.owner, self) << object.name;
    EXPECT_TRUE(object.seen.daclPresent) << object.name;
    EXPECT_TRUE(object.seen.daclProtected) << object.name;
    EXPECT_EQ(object.seen.aces, object.aces) << object.name;
  }
  EXPECT_EQ(namespaces.boundarySids, std::vector<std::string>{kAdministrators});
  EXPECT_EQ(namespaces.namespaceOwner, self);
  EXPECT_EQ(namespaces.namespaceAces,
            (std::vector<Ace>{Allow(kSystem, 0xf000f), Allow(kAdministrators, 0xf000f)}));
  EXPECT_TRUE(sink_.entries().empty());
}

// One object made first, by another account or by the program's own.
struct PlantedCase {
  const char* what;
  const char* name;
  Kind kind;
  std::string descriptor;
  bool setEvent;  // a stop request already made through it
  bool setupRuns;
  std::optional<EventId> recorded;
  const char* line;        // a line the run logs, or nullptr
  const char* absentLine;  // a line it must not log, or nullptr
};

class PlantedBeforeTheRun : public RunObjectsTest,
                            public ::testing::WithParamInterface<PlantedCase> {};

TEST_P(PlantedBeforeTheRun, AnotherAccountsObjectIsRecordedAndTheRunGoesOn) {
  const PlantedCase& c = GetParam();
  platform::UniqueKernelHandle planted =
      testing_support::CreateWithDescriptor(c.kind, c.name, c.descriptor);
  ASSERT_TRUE(planted) << c.name;
  if (c.setEvent) ::SetEvent(planted.get());

  upgrade::DaxInst(0, nullptr, operations_);

  EXPECT_EQ(operations_.setupRuns, c.setupRuns ? 1 : 0);
  const auto messages = Messages();
  if (c.recorded) {
    ASSERT_EQ(sink_.ids(), std::vector<EventId>{*c.recorded});
    EXPECT_EQ(sink_.entries()[0].kind, contract::EventKind::kWarning);
    EXPECT_THAT(sink_.entries()[0].text, HasSubstr(std::string("\"") + c.name + "\""));
    EXPECT_THAT(messages, Contains(sink_.entries()[0].text)) << "the log has the record too";
  } else {
    EXPECT_TRUE(sink_.entries().empty()) << sink_.entries()[0].text;
  }
  if (c.line) {
    EXPECT_THAT(messages, Contains(c.line)) << testing_support::Dump(messages);
  }
  if (c.absentLine) {
    EXPECT_THAT(messages, Not(Contains(c.absentLine)));
  }
  // The program's own guard turns the run away before it announces anything: that run writes no
  // status of its own. Every other run ends with "finished".
  const bool turnedAwayByItsOwnGuard =
      std::string(c.name) == "DaxInstall_exist" && !c.recorded && !c.setupRuns;
  if (turnedAwayByItsOwnGuard) {
    EXPECT_EQ(testing_support::ClientValue("DaxSetupStatus"), std::nullopt);
  } else {
    EXPECT_EQ(testing_support::ClientValue("DaxSetupStatus"), 2u);
  }
}

const std::string kUsersOpen = testing_support::kUsersOwnedOpen;
const std::string kUsersClosed = testing_support::kUsersOwnedEmptyDacl;

INSTANTIATE_TEST_SUITE_P(
    Objects, PlantedBeforeTheRun,
    ::testing::Values(
        PlantedCase{"RunGuardOfUsers", "DaxInstall_exist", Kind::kMutex, kUsersOpen, false, true,
                    EventId::kForeignRunGuard,
                    "DaxInst: The mutex \"DaxInstall_exist\" was made by another account (owner "
                    "S-1-5-32-545): it is not taken for another run in progress, and the run goes "
                    "on without it.",
                    nullptr},
        PlantedCase{"RunGuardNobodyMayOpen", "DaxInstall_exist", Kind::kMutex, kUsersClosed, false,
                    true, EventId::kForeignRunGuard, "DaxInst: Auto-upgrade succeeded.", nullptr},
        PlantedCase{"RunGuardOfTheOwnAccount", "DaxInstall_exist", Kind::kMutex,
                    OwnAccountDescriptor(), false, false, std::nullopt,
                    "DaxInst: Auto-upgrade failed.", "<ServiceStart>To create event"},
        PlantedCase{"StopEventNobodyMayOpen", "StopDaxInstServiceEvent", Kind::kEvent, kUsersClosed,
                    false, true, EventId::kForeignStopEvent, "DaxInst: Auto-upgrade succeeded.",
                    nullptr},
        // Another account's stop event, already set, cannot ask this run to stop.
        PlantedCase{"StopEventOfUsersAlreadySet", "StopDaxInstServiceEvent", Kind::kEvent,
                    kUsersOpen, true, true, EventId::kForeignStopEvent,
                    "DaxInst: Auto-upgrade succeeded.", "DaxInst: Stop event received."},
        PlantedCase{"StopEventOfTheOwnAccountAlreadySet", "StopDaxInstServiceEvent", Kind::kEvent,
                    OwnAccountDescriptor(), true, true, std::nullopt,
                    "DaxInst: Stop event received.", nullptr},
        PlantedCase{"ServiceCtrlMutexNobodyMayOpen", "FenmarkServiceCtrlObjMutex", Kind::kMutex,
                    kUsersClosed, false, true, EventId::kForeignServiceCtrlMutex,
                    "DaxInst: Auto-upgrade succeeded.", "DaxInst: Cannot create mutex."},
        PlantedCase{"ServiceCtrlMutexOfTheOwnAccount", "FenmarkServiceCtrlObjMutex", Kind::kMutex,
                    OwnAccountDescriptor(), false, true, std::nullopt,
                    "DaxInst: Auto-upgrade succeeded.", nullptr},
        // An event under the mutex's name: the run cannot open it as its mutex.
        PlantedCase{"ServiceCtrlNameTakenByAnEvent", "FenmarkServiceCtrlObjMutex", Kind::kEvent,
                    kUsersOpen, false, true, EventId::kForeignServiceCtrlMutex,
                    "DaxInst: Auto-upgrade succeeded.", nullptr}),
    [](const ::testing::TestParamInfo<PlantedCase>& info) { return info.param.what; });

// Where the system has private namespaces, the guard there decides: a run that holds it keeps a
// second run out even when the public name is another account's.
TEST_F(RunObjectsTest, ThePrivateGuardKeepsASecondRunOutWhateverThePublicNameHolds) {
  testing_support::FakePrivateNamespaces namespaces;
  platform::UniqueKernelHandle squatted =
      testing_support::CreateWithDescriptor(Kind::kMutex, "DaxInstall_exist", kUsersOpen);
  ASSERT_TRUE(squatted);
  platform::PrivateGuard firstRun = upgrade::MakePrivateRunGuard();
  platform::ObjectDescriptor namespaceDescriptor;
  platform::ObjectDescriptor guardDescriptor;
  ASSERT_TRUE(
      namespaceDescriptor.Build(upgrade::RunObjectDacl(upgrade::RunObject::kRunGuardNamespace)));
  ASSERT_TRUE(guardDescriptor.Build(upgrade::RunObjectDacl(upgrade::RunObject::kPrivateRunGuard)));
  ASSERT_EQ(firstRun.Take(namespaceDescriptor.Attributes(), guardDescriptor.Attributes()),
            platform::PrivateGuard::State::kTaken);

  upgrade::DaxInst(0, nullptr, operations_);
  EXPECT_EQ(operations_.setupRuns, 0);
  EXPECT_TRUE(sink_.entries().empty()) << "refused at the private guard, before the public name";

  firstRun.Release();
  upgrade::DaxInst(0, nullptr, operations_);
  EXPECT_EQ(operations_.setupRuns, 1);
  EXPECT_EQ(sink_.ids(), std::vector<EventId>{EventId::kForeignRunGuard});
}

TEST_F(RunObjectsTest, ANamespaceThatCannotBeHadIsRecordedAndThePublicGuardStillHolds) {
  testing_support::FakePrivateNamespaces namespaces;
  namespaces.callerInBoundary = false;
  operations_.onSetup = [&] {
    // A second run meanwhile is kept out by the public guard alone.
    Operations second;
    upgrade::DaxInst(0, nullptr, second);
    EXPECT_EQ(second.setupRuns, 0);
  };
  upgrade::DaxInst(0, nullptr, operations_);
  EXPECT_EQ(operations_.setupRuns, 1);
  ASSERT_GE(sink_.entries().size(), 1u);
  EXPECT_EQ(sink_.entries()[0].id, EventId::kPrivateRunGuardRefused);
  EXPECT_EQ(sink_.entries()[0].text,
            "DaxInst: The private namespace of the run guard cannot be created or opened (error "
            "5): the run relies on \"DaxInstall_exist\" alone.");
}

// The stop routine with objects another account made first.
TEST_F(RunObjectsTest, AForeignStopEventGetsNoStopRequest) {
  platform::UniqueKernelHandle planted =
      testing_support::CreateWithDescriptor(Kind::kEvent, "StopDaxInstServiceEvent", kUsersOpen);
  ASSERT_TRUE(planted);
  upgrade::StopDaxInst();
  EXPECT_EQ(::WaitForSingleObject(planted.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the stop routine set another account's event";
  EXPECT_EQ(sink_.ids(), std::vector<EventId>{EventId::kForeignStopEvent});
  EXPECT_THAT(Messages(), Contains("DaxInst: Opening stop event handle failed!"));
}

TEST_F(RunObjectsTest, AForeignStoppedEventIsNeitherWaitedOnNorSetByTheRun) {
  platform::UniqueKernelHandle planted =
      testing_support::CreateWithDescriptor(Kind::kEvent, "DaxInstServiceStoppedEvent", kUsersOpen);
  ASSERT_TRUE(planted);
  // A run's stop event, so that the stop routine has a request to make.
  upgrade::CreatedObject stop = upgrade::CreateStopEvent();
  ASSERT_TRUE(stop.handle);

  const DWORD start = ::GetTickCount();
  upgrade::StopDaxInst();
  EXPECT_LT(::GetTickCount() - start, 5000u) << "waited on another account's event";
  EXPECT_EQ(::WaitForSingleObject(stop.handle.get(), 0), WAIT_OBJECT_0) << "no stop request";
  EXPECT_EQ(sink_.ids(), std::vector<EventId>{EventId::kForeignStoppedEvent});
  stop.handle.reset();

  // The run's end sequence does not set it either.
  upgrade::DaxInst(0, nullptr, operations_);
  EXPECT_EQ(::WaitForSingleObject(planted.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(sink_.ids(),
            (std::vector<EventId>{EventId::kForeignStoppedEvent, EventId::kForeignStoppedEvent}));
}

TEST_F(RunObjectsTest, AForeignNotifyMutexIsRecordedAndNotHeld) {
  platform::UniqueKernelHandle planted = testing_support::CreateWithDescriptor(
      Kind::kMutex, "Global\\TRVAutoUpgradeNotifyPass", kUsersClosed);
  ASSERT_TRUE(planted);
  platform::NamedObject notify = upgrade::CreateNotifyPassMutex();
  EXPECT_EQ(notify.found, platform::Found::kForeign);
  EXPECT_FALSE(notify.handle);
  ASSERT_EQ(sink_.ids(), std::vector<EventId>{EventId::kForeignNotifyPassMutex});
  EXPECT_EQ(sink_.entries()[0].text,
            "DaxInst: The mutex \"Global\\TRVAutoUpgradeNotifyPass\" was made by another account "
            "(owner S-1-5-32-545, cannot be opened: error 5): setup runs without it being held.");
}

// -install, -start and -debug: a run is in progress only by the Service Control Manager's state,
// the private guard, or a public guard of a trusted owner.
constexpr char kUsersGuardRecord[] =
    "The mutex \"DaxInstall_exist\" was made by another account (owner S-1-5-32-545): it is not "
    "taken for a run in progress.";

// Under Wine the owner of an object may always open it, and the test's account is in the
// Administrators and the Users: only an object of SYSTEM's with a DACL for SYSTEM alone keeps
// it out.
constexpr char kOnlySystemMayOpen[] = "O:SYD:(A;;GA;;;SY)";
constexpr char kUnopenableGuardRecord[] =
    "The mutex \"DaxInstall_exist\" was made by another account (owner unknown, cannot be opened: "
    "error 5): it is not taken for a run in progress.";

struct VerbCase {
  const char* what;
  std::string descriptor;  // of a public guard made first; "" for none
  bool privateHeld;
  bool inProgress;
  // The verb's record of another account's guard, after "<mfn_StartService>"; nullptr: none.
  const char* recorded;
};

class VerbLook : public RunObjectsTest, public ::testing::WithParamInterface<VerbCase> {};

TEST_P(VerbLook, DecidesByTheOwnerAndThePrivateGuard) {
  const VerbCase& c = GetParam();
  testing_support::FakePrivateNamespaces namespaces;
  platform::UniqueKernelHandle planted;
  if (!c.descriptor.empty()) {
    planted = testing_support::CreateWithDescriptor(Kind::kMutex, "DaxInstall_exist", c.descriptor);
    ASSERT_TRUE(planted);
  }
  platform::PrivateGuard run = upgrade::MakePrivateRunGuard();
  platform::ObjectDescriptor namespaceDescriptor;
  platform::ObjectDescriptor guardDescriptor;
  ASSERT_TRUE(
      namespaceDescriptor.Build(upgrade::RunObjectDacl(upgrade::RunObject::kRunGuardNamespace)));
  ASSERT_TRUE(guardDescriptor.Build(upgrade::RunObjectDacl(upgrade::RunObject::kPrivateRunGuard)));
  if (c.privateHeld) {
    ASSERT_EQ(run.Take(namespaceDescriptor.Attributes(), guardDescriptor.Attributes()),
              platform::PrivateGuard::State::kTaken);
  }

  EXPECT_EQ(upgrade::RunInProgressForVerb("<mfn_StartService>"), c.inProgress);
  if (c.recorded) {
    ASSERT_EQ(sink_.ids(), std::vector<EventId>{EventId::kForeignRunGuardAtVerb});
    EXPECT_EQ(sink_.entries()[0].text, std::string("<mfn_StartService> ") + c.recorded);
  } else {
    EXPECT_TRUE(sink_.entries().empty()) << sink_.entries()[0].text;
  }
  const upgrade::RunLook look = upgrade::LookForARun();
  EXPECT_FALSE(look.serviceActive) << "no service in the test prefix";
  EXPECT_EQ(look.publicName, "DaxInstall_exist");
}

INSTANTIATE_TEST_SUITE_P(
    Guards, VerbLook,
    ::testing::Values(
        VerbCase{"Nothing", "", false, false, nullptr},
        VerbCase{"PublicOfUsers", kUsersOpen, false, false, kUsersGuardRecord},
        VerbCase{"PublicOfTheOwnAccount", OwnAccountDescriptor(), false, true, nullptr},
        VerbCase{"PrivateHeld", "", true, true, nullptr},
        VerbCase{"PrivateHeldPublicOfUsers", kUsersOpen, true, true, kUsersGuardRecord},
        // A guard the verb may neither open nor read the owner of (ERROR_ACCESS_DENIED): the
        // program's own guard lets SYSTEM and the Administrators open it, so this one is
        // another account's. It is recorded, never taken for nothing there, and the private
        // guard still decides.
        VerbCase{"PublicThatDeniesOpening", kOnlySystemMayOpen, false, false,
                 kUnopenableGuardRecord},
        VerbCase{"PrivateHeldPublicThatDeniesOpening", kOnlySystemMayOpen, true, true,
                 kUnopenableGuardRecord}),
    [](const ::testing::TestParamInfo<VerbCase>& info) { return info.param.what; });

}  // namespace
