// Whole upgrades under Wine's real Service Control Manager: the test stages a package folder (the
// signed stand-in setup program, setAid.ini, Setup.ini, a .msi, config.xml found through the
// product key), plays the staging program with "daxinst.exe -install" and "-start", and looks at
// what setup was given, the package's settings, the registry values of the run and the log.
// Cases that wait out a two-minute wait of the run belong to suites named Slow..., which
// tests/e2e/CMakeLists.txt gives CTest entries of their own.
#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/staged_package.h"
#include "platform/service_presence.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "support/named_object_support.h"
#include "support/test_support.h"

namespace {

using e2e::kClientKey;
using e2e::kHigherPackageMsi;
using e2e::kLowerPackageMsi;
using e2e::kNotifyPass;
using e2e::kPollingRunWait;
using e2e::kRunWait;
using e2e::kSetupResultKey;
using e2e::kVerbWait;

using e2e::CountProcessesNamed;
using e2e::OpenDaxinst;
using e2e::RemoveDaxinst;
using e2e::ServiceExists;
using e2e::WaitUntil;

using testing_support::ClientValue;
using testing_support::Dump;
using testing_support::ExecutableDirectory;
using testing_support::Has;
using testing_support::ReadFileBytes;
using testing_support::SetupResult;

constexpr char kConfigBody[] =
    "<ClientPackage Checksum=\"C0FFEE\">"
    "<InstallationOption InstallationDirectory=\"D:\\New\" UserInterfaceLevel=\"Unattended\""
    " InstallationLogFileName=\"C:\\logs\\upgrade.log\"/>"
    "<RebootOptions AutoReboot=\"1\"/>"
    "<EnabledClientFeatures><F FeatureName=\"Core\"/><F FeatureName=\"Legacy\"/>"
    "</EnabledClientFeatures>"
    "</ClientPackage>";

// The /v arguments before DAXPID that the package's Setup.ini and config.xml give.
constexpr char kMergedArguments[] = "/qb!- /l*v C:\\logs\\upgrade.log IDCENABLE=1";

e2e::PackageContents Package(std::string folder, const char* setup, const char* msi,
                             std::string control = e2e::kSucceedingSetup) {
  e2e::PackageContents contents;
  contents.folder = std::move(folder);
  contents.setup = setup;
  contents.msi = msi;
  contents.setupControl = std::move(control);
  return contents;
}

class WholeUpgradeTest : public e2e::WholeRunTest {
 protected:
  WholeUpgradeTest() : WholeRunTest("whole", kConfigBody) {}

  static void SetUpTestSuite() { e2e::InstalledFamilyF::Install(); }
  static void TearDownTestSuite() { e2e::InstalledFamilyF::Remove(); }

  void SetUp() override {
    ASSERT_TRUE(e2e::InstalledFamilyF::Installed());
    WholeRunTest::SetUp();
  }

  // -install, then whatever the case prepares, then -start; returns once the service has run,
  // removed itself and its -uninstall child has ended.
  void InstallStartAndWait(DWORD runWait, const std::function<void()>& afterInstall = {}) {
    run_ = package_->InstallStartAndWait(starter_, runWait, afterInstall);
    EXPECT_TRUE(e2e::RanToTheEnd(run_, *package_));
  }

  // The command line the package's Setup.ini, config.xml and the staging program's number give.
  std::string ExpectedCommandLine() const {
    return e2e::SetupCommandLine(*package_, kMergedArguments);
  }

  // A successful first-time run from the first line to the last.
  std::vector<std::string> SucceededRun(const char* mutexLine) const {
    return package_->AfterOpening(
        {"DaxInst: LaunchSetup not found, first time setup. ",
         "Setup path = " + package_->SetupPath(),
         "New Version = 12.1.10 Installed Version = 12.1.2", ExpectedCommandLine(), mutexLine,
         "DaxInst: RunDaxSetup returns code = 0", "DaxInst: Write 1 to LaunchSetup.",
         "<DaxSetupResult>Dax Setup Code = 0", "DaxInst: Auto-upgrade succeeded.",
         "DaxInst: Stopping Daxinst ...", "================= End ==================="});
  }

  // The registry after a run that collected a successful setup code and removed the service;
  // "LaunchSetup" was 1 while it ran.
  void ExpectSucceeded() {
    EXPECT_EQ(run_.launchSetupValues, std::vector<DWORD>{1});
    e2e::ExpectSucceeded();
    EXPECT_FALSE(ServiceExists());
  }

  e2e::StagedRunResult run_;
};

// The cases that wait out a two-minute wait of the run.
class SlowWholeUpgradeTest : public WholeUpgradeTest {};

// The package folder's name as the staging program may give it.
class FirstTimeUpgrade : public WholeUpgradeTest,
                         public ::testing::WithParamInterface<const char*> {};

TEST_P(FirstTimeUpgrade, RunsSetupOnceWithTheMergedSettingsAndRecordsSuccess) {
  const std::string folder = GetParam();
  if (folder.find('\xE9') != std::string::npos) {
    wchar_t wide[2] = {};
    ASSERT_EQ(::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "\xE9", 1, wide, 2), 1);
    if (wide[0] != L'\u00E9') GTEST_SKIP() << "ANSI code page " << ::GetACP() << " has no \\xE9";
  }
  // Setup runs long enough for the notify mutex to be seen while it runs.
  Stage(Package(folder, "signed_good", kHigherPackageMsi, "[setup]\r\ncode=0\r\nwaitms=1500\r\n"));

  InstallStartAndWait(kRunWait);

  EXPECT_EQ(package_->LastRunLines(), SucceededRun("Successfully created new mutex"))
      << Dump(package_->Messages());
  e2e::ExpectSetupRanWithMergedSettings(*package_, ExpectedCommandLine());
  ExpectSucceeded();
  EXPECT_TRUE(run_.sawNotifyMutex);
  platform::UniqueKernelHandle left(::OpenMutexA(SYNCHRONIZE, FALSE, kNotifyPass));
  EXPECT_FALSE(left) << "the notify mutex outlived setup";
  e2e::ExpectLastRunRecord(1000, e2e::EveryGatePassed());
  const std::vector<nlohmann::ordered_json> records = e2e::RunRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records.back()["path"], "first_time");
  EXPECT_EQ(records.back()["package_version"], "12.1.10");
  EXPECT_EQ(records.back()["installed_version"], "12.1.2");
  EXPECT_EQ(records.back()["setup_code"], 0);
  // The record is UTF-8; the command line is in the ANSI code page.
  EXPECT_EQ(records.back()["setup_command_line"],
            platform::NarrowCountedToUtf8(platform::WidenCountedLenient(ExpectedCommandLine())));
}

INSTANTIATE_TEST_SUITE_P(Folders, FirstTimeUpgrade, ::testing::Values("whole pkg", "pkg dir \xE9"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return info.index == 0 ? std::string("BlankInName")
                                                  : std::string("BlankAndAnsiLetterInName");
                         });

TEST_F(WholeUpgradeTest, HeldNotifyMutexIsReportedAndSetupStillRuns) {
  Stage(Package("whole pkg", "signed_good", kHigherPackageMsi));
  // Held by a process of the program's own account, which names itself as the owner.
  platform::UniqueKernelHandle held = testing_support::CreateWithDescriptor(
      testing_support::Kind::kMutex, kNotifyPass, testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(held);
  // The records' folder was made first and lets everyone add to it: the run writes no record
  // there and is otherwise the same.
  const std::string records = e2e::RunRecordFolder();
  testing_support::RemoveTree(records);
  ASSERT_TRUE(::SHCreateDirectoryExA(nullptr, records.c_str(), nullptr) == ERROR_SUCCESS)
      << records;
  testing_support::SetProtectedDacl(records, testing_support::kEveryoneMayWriteDacl);

  InstallStartAndWait(kRunWait);

  EXPECT_EQ(package_->LastRunLines(), SucceededRun("Create Mutex. Failed (ALREADY_EXISTS) "))
      << Dump(package_->Messages());
  e2e::ExpectSetupRanWithMergedSettings(*package_, ExpectedCommandLine());
  ExpectSucceeded();
  EXPECT_TRUE(e2e::RunRecords().empty()) << "a record was written into a folder others may change";
  testing_support::RemoveTree(records);
}

struct CountedCase {
  const char* name;
  DWORD launchSetup;
  DWORD setupResult;
  std::vector<std::string> lines;  // the run's lines after "DaxInst: Storage Path="
  DWORD status;                    // "DaxSetupStatus" afterwards
  unsigned outcome;                // the code of the run's record
  // The client's own service "daxService" is installed, which puts the client key in the 64-bit
  // view.
  bool clientService = false;
};

class CountedPath : public WholeUpgradeTest, public ::testing::WithParamInterface<CountedCase> {};

// A run whose process ended before the service's removal left "LaunchSetup" behind: the next run
// decides on the setup result alone and never runs setup a second time.
TEST_P(CountedPath, DecidesWithoutRunningSetup) {
  const CountedCase& param = GetParam();
  std::optional<testing_support::ClientServiceForTest> clientService;
  if (param.clientService) {
    clientService.emplace();
    ASSERT_TRUE(clientService->created());
  }
  const REGSAM view = param.clientService ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  const REGSAM other = param.clientService ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  Stage(Package("whole pkg", "signed_good", kHigherPackageMsi));
  const std::string before = *ReadFileBytes(package_->SetAidPath());

  InstallStartAndWait(kRunWait, [&] {
    testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup",
                                      param.launchSetup, view);
    testing_support::SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default",
                                      param.setupResult);
  });

  std::vector<std::string> expected = package_->AfterOpening(param.lines);
  expected.push_back("DaxInst: Stopping Daxinst ...");
  expected.push_back("================= End ===================");
  EXPECT_EQ(package_->LastRunLines(), expected) << Dump(package_->Messages());
  EXPECT_FALSE(package_->SetupCommandLine()) << "setup ran";
  EXPECT_EQ(ReadFileBytes(package_->SetAidPath()), before);
  EXPECT_EQ(SetupResult(), param.setupResult);
  EXPECT_FALSE(ClientValue("DaxInstResult", view).has_value());
  EXPECT_EQ(ClientValue("DaxSetupStatus", view), 2u);
  for (const char* name : {"LaunchSetup", "DaxSetupStatus", "DaxInstResult"}) {
    EXPECT_FALSE(ClientValue(name, other).has_value()) << name << " in the other view";
  }
  // The watch reads the 32-bit view.
  EXPECT_EQ(run_.launchSetupValues,
            param.clientService ? std::vector<DWORD>{} : std::vector<DWORD>{param.launchSetup});
  e2e::ExpectLastRunRecord(param.outcome, {{"package_ground", true}, {"run_state", false}});
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CountedPath,
    ::testing::Values(
        CountedCase{
            "SucceededBefore",
            0,
            99,
            {"DaxInst: RunDaxSetup has been run, result = 99", "DaxInst: Auto-upgrade succeeded."},
            2,
            1002},
        CountedCase{"FailedBefore",
                    1,
                    4,
                    {"DaxInst: Dax Setup has FAILED for 1 times.", "DaxInst: Auto-upgrade failed."},
                    2,
                    1100},
        CountedCase{
            "SucceededBeforeWithClientService",
            0,
            99,
            {"DaxInst: RunDaxSetup has been run, result = 99", "DaxInst: Auto-upgrade succeeded."},
            2,
            1002,
            true},
        CountedCase{"FailedBeforeWithClientService",
                    1,
                    4,
                    {"DaxInst: Dax Setup has FAILED for 1 times.", "DaxInst: Auto-upgrade failed."},
                    2,
                    1100,
                    true}),
    [](const ::testing::TestParamInfo<CountedCase>& info) { return info.param.name; });

// Leaves `code` in the setup result key and in "DaxInstResult", as an earlier setup whose code
// was never taken over (or an earlier upgrade's 99) would.
void LeaveEarlierResult(DWORD code) {
  testing_support::SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", code);
  testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "DaxInstResult", code,
                                    KEY_WOW64_32KEY);
}

// The runs below never start setup, so each waits out the two-minute polling time of the setup
// result: a code left from before is deleted first and never read as this run's. The other
// refused setup programs (missing, tampered, signed by someone else) take the same path and are
// covered by the setup launcher's own tests.
TEST_F(SlowWholeUpgradeTest, UnsignedSetupIsNotStartedAndTheRunFails) {
  Stage(Package("whole pkg", "unsigned", kHigherPackageMsi));
  const std::string before = *ReadFileBytes(package_->SetAidPath());

  InstallStartAndWait(kPollingRunWait, [] { LeaveEarlierResult(0); });

  EXPECT_EQ(package_->LastRunLines(),
            package_->AfterOpening(
                {"DaxInst: LaunchSetup not found, first time setup. ",
                 "Setup path = " + package_->SetupPath(), "Trust verification for setup.exe failed",
                 "DaxInst: RunDaxSetup returns code = 0", "DaxInst: Write 1 to LaunchSetup.",
                 "<DaxSetupResult>Try to read DaxSetupResult for 3 minutes. "
                 "Failed.",
                 "<DaxSetupResult>ERR to read DaxSetupResult.",
                 "********* install error 1303-- retry 1", "DaxInst: Auto-upgrade failed.",
                 "DaxInst: Stopping Daxinst ...", "================= End ==================="}))
      << Dump(package_->Messages());
  EXPECT_FALSE(package_->SetupCommandLine()) << "setup ran";
  EXPECT_EQ(ReadFileBytes(package_->SetAidPath()), before) << "setAid.ini changed";
  EXPECT_FALSE(run_.sawNotifyMutex);
  EXPECT_FALSE(SetupResult().has_value());
  EXPECT_FALSE(ClientValue("DaxInstResult").has_value());
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
  e2e::ExpectLastRunRecord(1104, {{"package_ground", true}, {"run_state", true}, {"trust", false}});
}

TEST_F(SlowWholeUpgradeTest, LowerPackageVersionIsRefusedBeforeSetupAndTheMutex) {
  Stage(Package("whole pkg", "signed_good", kLowerPackageMsi));

  InstallStartAndWait(kPollingRunWait, [] { LeaveEarlierResult(99); });

  EXPECT_EQ(package_->LastRunLines(),
            package_->AfterOpening(
                {"DaxInst: LaunchSetup not found, first time setup. ",
                 "Setup path = " + package_->SetupPath(),
                 "New Version = 12.1.1 Installed Version = 12.1.2",
                 "ERROR: attempting to install lower version 12.1.1 over "
                 "version 12.1.2",
                 ExpectedCommandLine(), "DaxInst: RunDaxSetup returns code = 114",
                 "DaxInst: Write 1 to LaunchSetup.",
                 "<DaxSetupResult>Try to read DaxSetupResult for 3 minutes. "
                 "Failed.",
                 "<DaxSetupResult>ERR to read DaxSetupResult.",
                 "********* install error 1303-- retry 1", "DaxInst: Auto-upgrade failed.",
                 "DaxInst: Stopping Daxinst ...", "================= End ==================="}))
      << Dump(package_->Messages());
  EXPECT_FALSE(package_->SetupCommandLine()) << "setup ran";
  EXPECT_FALSE(run_.sawNotifyMutex) << "the notify mutex was created";
  EXPECT_FALSE(SetupResult().has_value());
  EXPECT_FALSE(ClientValue("DaxInstResult").has_value());
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
  e2e::ExpectLastRunRecord(1105, {{"package_ground", true},
                                  {"run_state", true},
                                  {"trust", true},
                                  {"deployment_configuration", true},
                                  {"version_gate", false}});
}

// The process the Service Control Manager runs the service in; 0 when there is none.
DWORD ServiceProcessId() {
  platform::UniqueServiceHandle service = OpenDaxinst(SERVICE_QUERY_STATUS);
  if (!service) return 0;
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
    return 0;
  }
  return status.dwProcessId;
}

// The service process dies after it wrote "LaunchSetup" and before it collected setup's code, so
// the removal that would delete "LaunchSetup" never comes. Setup hands the installation over and
// ends at once; the installation leaves its code (success) when it ends, while the run polls.
TEST_F(WholeUpgradeTest, RunKilledAfterLaunchSetupIsNotRepeatedByTheNextStart) {
  Stage(Package("whole pkg", "signed_good", kHigherPackageMsi,
                "[setup]\r\ncode=0\r\nhandoverms=8000\r\n"));
  ASSERT_EQ(package_->Install(), 0u) << "-install";
  ASSERT_EQ(package_->Start(starter_), 0u) << "-start";
  ASSERT_TRUE(package_->folder().WaitForMessage("DaxInst: Write 1 to LaunchSetup.", kVerbWait))
      << Dump(package_->Messages());
  const DWORD processId = ServiceProcessId();
  ASSERT_NE(processId, 0u) << "no service process";
  platform::UniqueKernelHandle process(
      ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
  ASSERT_TRUE(process) << "cannot open the service process " << processId;
  ASSERT_FALSE(SetupResult().has_value()) << "setup's code came before the kill";
  ASSERT_TRUE(::TerminateProcess(process.get(), 1));
  ASSERT_EQ(::WaitForSingleObject(process.get(), kVerbWait), WAIT_OBJECT_0);

  const auto killed = package_->LastRunLines();
  ASSERT_FALSE(killed.empty());
  EXPECT_EQ(killed.back(), "DaxInst: Write 1 to LaunchSetup.") << Dump(killed);
  EXPECT_TRUE(WaitUntil([] { return SetupResult() == 0u && CountProcessesNamed("setup.exe") == 0; },
                        kVerbWait))
      << "the installation did not leave its code";
  EXPECT_EQ(ClientValue("LaunchSetup"), 1u);
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 1u);
  EXPECT_FALSE(ClientValue("DaxInstResult").has_value());

  // The staging program finds the dead agent's service and deletes it through the Service
  // Control Manager; "-install" over it would delete "LaunchSetup" as well.
  RemoveDaxinst();
  ASSERT_EQ(ClientValue("LaunchSetup"), 1u);

  InstallStartAndWait(kRunWait);

  EXPECT_EQ(package_->LastRunLines(),
            package_->AfterOpening(
                {"DaxInst: Dax Setup has FAILED for 1 times.", "DaxInst: Auto-upgrade failed.",
                 "DaxInst: Stopping Daxinst ...", "================= End ==================="}))
      << Dump(package_->Messages());
  EXPECT_EQ(package_->SetupStarts(), 1u) << ReadFileBytes(package_->RecordPath()).value_or("");
  EXPECT_EQ(run_.launchSetupValues, std::vector<DWORD>{1});
  EXPECT_FALSE(ClientValue("LaunchSetup").has_value()) << "the removal keeps LaunchSetup";
  EXPECT_EQ(SetupResult(), 0u);
  EXPECT_FALSE(ClientValue("DaxInstResult").has_value());
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
}

// Whoever tries to change setup.exe while it runs is refused by the file system.
struct FileChange {
  const char* what;
  std::function<bool(const std::string& setup, const std::string& other)> attempt;
};

// One setup run that outlasts the stop verb's wait: setup.exe stays locked, and a stop request
// gives up while setup and the run go on to their normal end.
TEST_F(SlowWholeUpgradeTest, SetupIsLockedAndAStopRequestGivesUpWhileSetupRuns) {
  // Longer than the stop verb waits, with room for the checks before the request.
  Stage(Package("whole pkg", "signed_good", kHigherPackageMsi,
                "[setup]\r\ncode=0\r\nwaitms=205000\r\n"));
  const std::string setupPath = package_->SetupPath();
  const std::string original = *ReadFileBytes(setupPath);
  const std::string other = package_->File("other.exe");
  ASSERT_TRUE(testing_support::CopyFileTo(ExecutableDirectory() + "\\setup\\unsigned.exe", other));
  ASSERT_EQ(package_->Install(), 0u) << "-install";
  ASSERT_EQ(package_->Start(starter_), 0u) << "-start";
  ASSERT_TRUE(WaitUntil([this] { return package_->SetupStarts() == 1; }, kVerbWait))
      << Dump(package_->Messages());

  const std::vector<FileChange> changes = {
      {"DeleteFile", [](const std::string& setup,
                        const std::string&) { return ::DeleteFileA(setup.c_str()) != FALSE; }},
      {"MoveFileEx away",
       [](const std::string& setup, const std::string& to) {
         return ::MoveFileExA(setup.c_str(), (to + ".moved").c_str(), 0) != FALSE;
       }},
      {"MoveFileEx over",
       [](const std::string& setup, const std::string& from) {
         return ::MoveFileExA(from.c_str(), setup.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
       }},
      {"CopyFile over",
       [](const std::string& setup, const std::string& from) {
         return ::CopyFileA(from.c_str(), setup.c_str(), FALSE) != FALSE;
       }},
      {"open for writing",
       [](const std::string& setup, const std::string&) {
         platform::UniqueFileHandle file(::CreateFileA(
             setup.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
             nullptr, OPEN_EXISTING, 0, nullptr));
         return file.is_valid();
       }},
      {"open for deleting", [](const std::string& setup, const std::string&) {
         platform::UniqueFileHandle file(::CreateFileA(
             setup.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
             OPEN_EXISTING, 0, nullptr));
         return file.is_valid();
       }}};
  for (const auto& change : changes) {
    ::SetLastError(ERROR_SUCCESS);
    const bool changed = change.attempt(setupPath, other);
    const DWORD error = ::GetLastError();
    EXPECT_FALSE(changed) << change.what << " succeeded while setup runs";
    EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED)
        << change.what << " failed with " << error;
  }
  EXPECT_EQ(ReadFileBytes(setupPath), original) << "setup.exe changed while it runs";

  // The control handler accepts the stop at once and the run goes on with setup: the verb waits
  // out its own bound and says that the service still runs.
  const ULONGLONG requested = ::GetTickCount64();
  const auto stopExit = starter_.Run("-stop", kPollingRunWait);
  const ULONGLONG verbMs = ::GetTickCount64() - requested;
  ASSERT_TRUE(stopExit.has_value()) << "-stop did not end";
  EXPECT_EQ(*stopExit, 0u);
  EXPECT_GE(verbMs, 170000u) << "-stop returned before its own bound";
  EXPECT_LT(verbMs, 200000u) << "-stop outlasted its own bound";
  EXPECT_EQ(CountProcessesNamed("setup.exe"), 1) << "the stop request ended setup";
  EXPECT_FALSE(Has(package_->Messages(), "================= End ==================="))
      << "the run ended before setup";
  const auto verbLines = starter_.Messages();
  const auto verb = std::find(verbLines.rbegin(), verbLines.rend(), std::string("-stop"));
  ASSERT_NE(verb, verbLines.rend()) << Dump(verbLines);
  const std::vector<std::string> stopLines(std::prev(verb.base()), verbLines.end());
  ASSERT_GE(stopLines.size(), 5u) << Dump(verbLines);
  EXPECT_EQ(stopLines[1], "Stopping Quorvex Auto-upgrade Agent") << Dump(stopLines);
  EXPECT_EQ(std::vector<std::string>(stopLines.end() - 3, stopLines.end()),
            (std::vector<std::string>{
                "Quorvex Auto-upgrade Agent failed to stop.",
                "Quorvex Auto-upgrade Agent is still running; it stops when its upgrade run ends.",
                "command line has been handled"}))
      << Dump(stopLines);
  std::printf("-stop returned after %llu ms\n", verbMs);

  run_ = package_->WaitForRunEnd(kPollingRunWait);
  EXPECT_TRUE(run_.ended) << "the run did not end with the service's removal\n"
                          << Dump(package_->Messages());

  auto expected = SucceededRun("Successfully created new mutex");
  const auto mutexLine =
      std::find(expected.begin(), expected.end(), "Successfully created new mutex");
  expected.insert(std::next(mutexLine),
                  {"DaxInst : Stopping Service ...", "DaxInst: Waiting for service to stop..."});
  EXPECT_EQ(package_->LastRunLines(), expected) << Dump(package_->Messages());
  EXPECT_EQ(package_->SetupStarts(), 1u);
  e2e::ExpectSetupRanWithMergedSettings(*package_, ExpectedCommandLine());
  ExpectSucceeded();
}

// The client's setup installs the client's own service, which moves the client key's view. The
// run keeps the view it began with, and its removal deletes the counter in both views: a later
// package, after "daxService" has gone again, finds no counter of this run, takes the first-time
// path and fails with its untrusted setup (not "succeeded" from the earlier 99 without setup).
TEST_F(SlowWholeUpgradeTest, SetupThatInstallsTheClientServiceLeavesNoCounterForTheNextPackage) {
  struct RemovedAtTheEnd {
    ~RemovedAtTheEnd() { testing_support::ClientServiceForTest::Remove(); }
  } clientServiceRemoved;
  testing_support::ClientServiceForTest::Remove();
  ASSERT_FALSE(platform::IsServiceInstalled("daxService")) << "left over from an earlier case";
  Stage(Package("whole pkg", "signed_good", kHigherPackageMsi,
                "[setup]\r\ncode=0\r\ncreateservice=1\r\n"));

  InstallStartAndWait(kRunWait);

  EXPECT_EQ(package_->LastRunLines(), SucceededRun("Successfully created new mutex"))
      << Dump(package_->Messages());
  EXPECT_TRUE(platform::IsServiceInstalled("daxService")) << "setup did not install daxService";
  for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    EXPECT_FALSE(ClientValue("LaunchSetup", view).has_value()) << "view " << view;
  }
  EXPECT_EQ(ClientValue("DaxSetupStatus", KEY_WOW64_32KEY), 2u) << "a pending status stayed";
  EXPECT_EQ(ClientValue("DaxInstResult", KEY_WOW64_32KEY), 0u);
  for (const char* name : {"DaxSetupStatus", "DaxInstResult"}) {
    EXPECT_FALSE(ClientValue(name, KEY_WOW64_64KEY).has_value()) << name << " split into 64-bit";
  }
  EXPECT_EQ(SetupResult(), 99u);

  testing_support::ClientServiceForTest::Remove();
  ASSERT_FALSE(platform::IsServiceInstalled("daxService"));
  Stage(Package("later pkg", "unsigned", kHigherPackageMsi));

  InstallStartAndWait(kPollingRunWait);

  const auto lines = package_->LastRunLines();
  EXPECT_TRUE(Has(lines, "DaxInst: LaunchSetup not found, first time setup. ")) << Dump(lines);
  EXPECT_TRUE(Has(lines, "Trust verification for setup.exe failed")) << Dump(lines);
  EXPECT_TRUE(Has(lines, "DaxInst: Auto-upgrade failed.")) << Dump(lines);
  EXPECT_FALSE(Has(lines, "DaxInst: Auto-upgrade succeeded.")) << Dump(lines);
  EXPECT_FALSE(package_->SetupCommandLine()) << "the untrusted setup ran";
}

// The staging program waits for "DaxSetupStatus" = 2 and stages the next package at once, while
// the first run's service has not yet been removed by its -uninstall child. The second package's
// -install and -start wait for that removal, so both upgrades run and neither removal touches
// the other package's service or run.
TEST_F(WholeUpgradeTest, TwoPackagesStagedBackToBackBothRun) {
  Stage(Package("first pkg", "signed_good", kHigherPackageMsi));
  e2e::StagedPackage second(Package("second pkg", "signed_good", kHigherPackageMsi));

  ASSERT_EQ(package_->Install(), 0u) << "first -install";
  ASSERT_EQ(package_->Start(starter_), 0u) << "first -start";
  ASSERT_TRUE(WaitUntil([] { return ClientValue("DaxSetupStatus") == 2u; }, kRunWait, 5))
      << Dump(package_->Messages());
  EXPECT_EQ(second.Install(), 0u) << "second -install";
  EXPECT_EQ(second.Start(starter_), 0u) << "second -start";
  const e2e::StagedRunResult run = second.WaitForRunEnd(kRunWait);

  EXPECT_TRUE(run.ended) << Dump(second.Messages());
  // The second -install found the first run's registration gone and made its own, so the first
  // run's -uninstall child had nothing of the second package's to stop or delete.
  const auto secondLines = second.Messages();
  EXPECT_TRUE(Has(secondLines, "<mfn_Install> Begin to install daxinst service."))
      << Dump(secondLines);
  EXPECT_FALSE(Has(secondLines, "<mfn_Install> daxinst service already exist."))
      << Dump(secondLines);
  EXPECT_FALSE(Has(second.LastRunLines(), "DaxInst : Stopping Service ..."))
      << "the first run's removal stopped the second run\n"
      << Dump(secondLines);
  EXPECT_TRUE(Has(package_->FirstRunLines(), "DaxInst: Auto-upgrade succeeded."))
      << Dump(package_->Messages());
  EXPECT_EQ(package_->SetupStarts(), 1u);
  EXPECT_TRUE(Has(second.LastRunLines(), "DaxInst: Auto-upgrade succeeded."))
      << Dump(second.Messages());
  EXPECT_EQ(second.SetupStarts(), 1u) << "the second package's setup did not run";
  EXPECT_EQ(run.launchSetupValues, std::vector<DWORD>{1});
  e2e::ExpectSucceeded();
  EXPECT_FALSE(ServiceExists());
}

}  // namespace
