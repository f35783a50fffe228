// Named objects made first, before the whole upgrade runs through Wine's real Service Control
// Manager. The test process stands in for the other account: under Wine it may give what it
// creates any owner ("O:BU", BUILTIN\Users) and Wine enforces the DACL ("D:" without entries
// lets nobody open the object) between processes. Another account's object is recorded and the
// upgrade succeeds; the same object made by the program's own account is what it always was: a
// held run guard refuses the run, a stop event or service-control mutex of its own is used.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/staged_package.h"
#include "platform/unique_handle.h"
#include "support/named_object_support.h"
#include "support/test_support.h"

namespace {

using e2e::kRunWait;
using e2e::RunEnd;
using e2e::SetAidAfter;
using testing_support::Dump;
using testing_support::Has;
using testing_support::InOrder;
using testing_support::Kind;

constexpr char kConfigBody[] =
    "<ClientPackage Checksum=\"C0FFEE\">"
    "<InstallationOption InstallationDirectory=\"D:\\New\" UserInterfaceLevel=\"Unattended\"/>"
    "<RebootOptions AutoReboot=\"1\"/>"
    "<EnabledClientFeatures><F FeatureName=\"Core\"/><F FeatureName=\"Legacy\"/>"
    "</EnabledClientFeatures>"
    "</ClientPackage>";

class NamedObjectTest : public e2e::WholeRunTest {
 protected:
  NamedObjectTest() : WholeRunTest("objects", kConfigBody) {}

  void SetUp() override {
    WholeRunTest::SetUp();
    clientBefore_ = e2e::ClientData();
    // No related product is installed, so the version gate lets the package through without
    // msiexec.
    e2e::PackageContents contents;
    contents.folder = "objects pkg";
    contents.msi = "package_o_13.0.1.msi";
    Stage(contents);
  }

  e2e::RegistryValues clientBefore_;
};

struct ForeignCase {
  const char* name;
  Kind kind;
  const char* object;
  const char* descriptor;
  std::string recorded;  // the run's line for it
};

class MadeByAnotherAccount : public NamedObjectTest,
                             public ::testing::WithParamInterface<ForeignCase> {};

// Measured on the code before: each of these kept the run from running setup (a guard of
// another account refused -install; a stop event or service-control mutex nobody may open
// failed the run).
TEST_P(MadeByAnotherAccount, IsRecordedAndTheUpgradeSucceeds) {
  const ForeignCase& c = GetParam();
  platform::UniqueKernelHandle planted =
      testing_support::CreateWithDescriptor(c.kind, c.object, c.descriptor);
  ASSERT_TRUE(planted) << c.object;

  const e2e::StagedRunResult run = package_->InstallStartAndWait(starter_, kRunWait);

  ASSERT_TRUE(e2e::RanToTheEnd(run, *package_));
  const auto lines = package_->LastRunLines();
  EXPECT_TRUE(
      InOrder(lines, {"<ServiceStart>To begin the service", c.recorded,
                      "DaxInst: RunDaxSetup returns code = 0", "DaxInst: Auto-upgrade succeeded."}))
      << Dump(lines);
  e2e::ExpectKept(*package_, clientBefore_, 1, SetAidAfter::kMerged);
  e2e::ExpectSucceeded();
}

INSTANTIATE_TEST_SUITE_P(
    Objects, MadeByAnotherAccount,
    ::testing::Values(
        ForeignCase{"RunGuardOwnedByUsers", Kind::kMutex, "DaxInstall_exist",
                    testing_support::kUsersOwnedOpen,
                    "DaxInst: The mutex \"DaxInstall_exist\" was made by another account (owner "
                    "S-1-5-32-545): it is not taken for another run in progress, and the run goes "
                    "on without it."},
        ForeignCase{"StopEventNobodyMayOpen", Kind::kEvent, "StopDaxInstServiceEvent",
                    testing_support::kUsersOwnedEmptyDacl,
                    "DaxInst: The event \"StopDaxInstServiceEvent\" was made by another account "
                    "(owner S-1-5-32-545, cannot be opened: error 5): it cannot ask this run to "
                    "stop, and the run goes on without a stop event."},
        ForeignCase{"ServiceCtrlMutexNobodyMayOpen", Kind::kMutex, "FenmarkServiceCtrlObjMutex",
                    testing_support::kUsersOwnedEmptyDacl,
                    "DaxInst: The mutex \"FenmarkServiceCtrlObjMutex\" was made by another account "
                    "(owner S-1-5-32-545, cannot be opened: error 5): the run goes on without "
                    "holding it."}),
    [](const ::testing::TestParamInfo<ForeignCase>& info) { return info.param.name; });

// The verbs go on past another account's run guard and say so in their own log.
TEST_F(NamedObjectTest, VerbsGoOnPastAnotherAccountsRunGuardAndRecordIt) {
  platform::UniqueKernelHandle planted = testing_support::CreateWithDescriptor(
      Kind::kMutex, "DaxInstall_exist", testing_support::kUsersOwnedOpen);
  ASSERT_TRUE(planted);

  const e2e::StagedRunResult run = package_->InstallStartAndWait(starter_, kRunWait);

  ASSERT_TRUE(e2e::RanToTheEnd(run, *package_));
  const std::string verbRecord =
      " The mutex \"DaxInstall_exist\" was made by another account (owner S-1-5-32-545): it is "
      "not taken for a run in progress.";
  EXPECT_TRUE(InOrder(package_->Messages(), {"-install", "<mfn_Install>" + verbRecord,
                                             "<mfn_Install> Begin to install daxinst service."}))
      << Dump(package_->Messages());
  EXPECT_TRUE(InOrder(starter_.Messages(),
                      {"-start", "<mfn_StartService>" + verbRecord, "<mfn_StartService> End."}))
      << Dump(starter_.Messages());
  e2e::ExpectSucceeded();
}

// The run guard of the program's own account: another run is in progress. -start refuses, and a
// run the Service Control Manager starts all the same fails without setup, as it always did.
TEST_F(NamedObjectTest, RunGuardOfTheOwnAccountRefusesAsBefore) {
  ASSERT_EQ(package_->Install(), 0u);
  platform::UniqueKernelHandle guard = testing_support::CreateWithDescriptor(
      Kind::kMutex, "DaxInstall_exist", testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(guard);

  ASSERT_EQ(package_->Start(starter_), 0u);
  EXPECT_TRUE(InOrder(starter_.Messages(),
                      {"-start", "<mfn_StartService> Create Mutex of daxinstall_exist failed."}))
      << Dump(starter_.Messages());
  EXPECT_FALSE(Has(starter_.Messages(), "<mfn_StartService> End."));

  {
    platform::UniqueServiceHandle service = e2e::OpenDaxinst(SERVICE_START);
    ASSERT_TRUE(service);
    ASSERT_TRUE(::StartServiceA(service.get(), 0, nullptr));
  }
  const e2e::StagedRunResult run = package_->WaitForRunEnd(kRunWait);
  EXPECT_TRUE(run.ended) << Dump(package_->Messages());
  const auto lines = package_->LastRunLines();
  EXPECT_TRUE(InOrder(lines, {"<ServiceStart>If already running", "DaxInst: Auto-upgrade failed.",
                              "================= End ==================="}))
      << Dump(lines);
  EXPECT_FALSE(Has(lines, "<ServiceStart>To create event"));
  e2e::ExpectKept(*package_, clientBefore_, 0, SetAidAfter::kOriginal);
}

// A stop event or service-control mutex of the program's own account is the run's own: it is
// used as it always was, with nothing recorded.
struct OwnCase {
  const char* name;
  Kind kind;
  const char* object;
};

class MadeByTheOwnAccount : public NamedObjectTest,
                            public ::testing::WithParamInterface<OwnCase> {};

TEST_P(MadeByTheOwnAccount, IsUsedAsTheRunsOwn) {
  platform::UniqueKernelHandle planted = testing_support::CreateWithDescriptor(
      GetParam().kind, GetParam().object, testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(planted);

  const e2e::StagedRunResult run = package_->InstallStartAndWait(starter_, kRunWait);

  ASSERT_TRUE(e2e::RanToTheEnd(run, *package_));
  const auto lines = package_->LastRunLines();
  EXPECT_TRUE(InOrder(lines, {"<ServiceStart>To create mutex", "DaxInst: Auto-upgrade succeeded."}))
      << Dump(lines);
  for (const auto& line : package_->Messages()) {
    EXPECT_EQ(line.find("was made by another account"), std::string::npos) << line;
  }
  e2e::ExpectKept(*package_, clientBefore_, 1, SetAidAfter::kMerged);
  e2e::ExpectSucceeded();
}

INSTANTIATE_TEST_SUITE_P(
    Objects, MadeByTheOwnAccount,
    ::testing::Values(OwnCase{"StopEvent", Kind::kEvent, "StopDaxInstServiceEvent"},
                      OwnCase{"ServiceCtrlMutex", Kind::kMutex, "FenmarkServiceCtrlObjMutex"}),
    [](const ::testing::TestParamInfo<OwnCase>& info) { return info.param.name; });

}  // namespace

namespace {

// Windows Installer's execution mutex, held by the test as another installation would hold it:
// the run waits before it starts setup, and setup runs once, after the mutex is let go. Measured
// under Wine, where the service runs in the desktop's session: the test must create it as
// "Global\_MSIExecute", the name the run opens, which both reach in the global namespace; a test
// that creates "_MSIExecute" makes an object in its session's namespace, which the run never
// sees, so it does not wait.
TEST_F(NamedObjectTest, BusyWindowsInstallerIsWaitedForAndSetupRunsOnceItIsFree) {
  platform::UniqueKernelHandle installer = testing_support::CreateWithDescriptor(
      Kind::kMutex, "Global\\_MSIExecute", testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(installer);
  ASSERT_EQ(::WaitForSingleObject(installer.get(), 0), WAIT_OBJECT_0);

  const std::string waiting =
      "DaxInst: Windows Installer is busy; waiting up to 10 minutes before setup starts.";
  ASSERT_EQ(package_->Install(), 0u);
  ASSERT_EQ(package_->Start(starter_), 0u);
  const bool waited =
      e2e::WaitUntil([&] { return Has(package_->Messages(), waiting); }, kRunWait, 200);
  ::Sleep(3000);
  const size_t startsWhileHeld = package_->SetupStarts();
  ASSERT_TRUE(::ReleaseMutex(installer.get()));
  ASSERT_TRUE(waited) << Dump(package_->Messages());
  EXPECT_EQ(startsWhileHeld, 0u) << "setup started while Windows Installer was busy";

  const e2e::StagedRunResult run = package_->WaitForRunEnd(kRunWait);
  ASSERT_TRUE(e2e::RanToTheEnd(run, *package_));
  const auto lines = package_->LastRunLines();
  std::string freed;
  for (const std::string& line : lines) {
    if (line.rfind("DaxInst: Windows Installer is free after ", 0) == 0) freed = line;
  }
  ASSERT_FALSE(freed.empty()) << Dump(lines);
  const std::string seconds = freed.substr(freed.rfind("after ") + 6);
  EXPECT_GE(std::stoul(seconds), 3u) << freed;
  EXPECT_TRUE(
      InOrder(lines, {waiting, freed, "Successfully created new mutex",
                      "DaxInst: RunDaxSetup returns code = 0", "DaxInst: Auto-upgrade succeeded."}))
      << Dump(lines);
  e2e::ExpectKept(*package_, clientBefore_, 1, SetAidAfter::kMerged);
  e2e::ExpectSucceeded();
}

}  // namespace
