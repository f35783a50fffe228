// Whole upgrades under Wine's real Service Control Manager: the test stages a package folder (the
// signed stand-in setup program, setAid.ini, Setup.ini, a .msi, config.xml found through the
// product key), plays the staging program with "daxinst.exe -install" and "-start", and looks at
// what setup was given, the package's settings, the registry values of the run and the log.
#include <windows.h>
// After windows.h, which they need.
#include <msi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/config_fixture.h"
#include "e2e/e2e_support.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using e2e::kClientKey;
using e2e::kNotAllowedValue;
using e2e::kSetupResultKey;

using e2e::CountProcessesNamed;
using e2e::OpenDaxinst;
using e2e::RemoveDaxinst;
using e2e::ServiceExists;
using e2e::WaitUntil;

using testing_support::ExecutableDirectory;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

constexpr char kServiceName[] = "Daxinst";
constexpr char kNotifyPass[] = "Global\\TRVAutoUpgradeNotifyPass";
using e2e::kHigherPackageMsi;
using e2e::kInstalledMsi;
using e2e::kInstalledProduct;
using e2e::kLowerPackageMsi;
constexpr DWORD kLongWait = 60000;
// A run that never gets a setup result polls for two minutes before it ends.
constexpr DWORD kPollingRunWait = 240000;

using e2e::kSetupIni;
constexpr char kConfigBody[] =
    "<ClientPackage Checksum=\"C0FFEE\">"
    "<InstallationOption InstallationDirectory=\"D:\\New\" UserInterfaceLevel=\"Unattended\""
    " InstallationLogFileName=\"C:\\logs\\upgrade.log\"/>"
    "<RebootOptions AutoReboot=\"1\"/>"
    "<EnabledClientFeatures><F FeatureName=\"Core\"/><F FeatureName=\"Legacy\"/>"
    "</EnabledClientFeatures>"
    "</ClientPackage>";

std::optional<DWORD> Client(const char* value) {
  // "daxService" is not installed here: the client key lives in the 32-bit view.
  return testing_support::ReadDword(HKEY_LOCAL_MACHINE, kClientKey, value, KEY_WOW64_32KEY);
}

std::optional<DWORD> SetupResult() {
  return testing_support::ReadDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default");
}

void DeleteNotAllowedFeatures() {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, config_testing::kProductKey, 0,
                      KEY_ALL_ACCESS | KEY_WOW64_32KEY, key.put()) == ERROR_SUCCESS) {
    ::RegDeleteValueA(key.get(), kNotAllowedValue);
  }
}

std::string FixtureMsi(const char* name) { return ExecutableDirectory() + "\\msi\\" + name; }

std::optional<DWORD> RunMsiexec(const char* action, const char* msi) {
  return testing_support::RunAndWait(
      "msiexec.exe " + std::string(action) + " \"" + FixtureMsi(msi) + "\" /qn", 180000);
}

bool RelatedProductInstalled() {
  return ::MsiQueryProductStateA(kInstalledProduct) == INSTALLSTATE_DEFAULT;
}

ULONGLONG LastWriteTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

std::string Dump(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += "  [" + line + "]\n";
  return text;
}

bool Has(const std::vector<std::string>& lines, const std::string& wanted) {
  return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

// Watches, while a run goes on, what lives only for part of it: the "LaunchSetup" values the
// run writes before the service's removal deletes the value again, and the notify mutex that
// exists only while setup runs.
class RunWatcher {
 public:
  RunWatcher() : thread_([this] { Watch(); }) {}
  ~RunWatcher() { Stop(); }

  void Stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<DWORD> launchSetupValues() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return launchSetup_;
  }
  bool sawNotifyMutex() const { return sawMutex_; }

 private:
  void Watch() {
    while (!done_) {
      if (const auto value = Client("LaunchSetup")) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (launchSetup_.empty() || launchSetup_.back() != *value) launchSetup_.push_back(*value);
      }
      platform::UniqueKernelHandle notify(::OpenMutexA(SYNCHRONIZE, FALSE, kNotifyPass));
      if (notify) sawMutex_ = true;
      ::Sleep(1);
    }
  }

  std::atomic<bool> done_{false};
  std::atomic<bool> sawMutex_{false};
  mutable std::mutex mutex_;
  std::vector<DWORD> launchSetup_;
  std::thread thread_;
};

struct Package {
  std::string folder;  // the package folder's name, beside the test
  const char* setup;   // signed variant of the stand-in setup program; nullptr: no setup.exe
  const char* msi;
};

class WholeUpgradeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!RelatedProductInstalled()) installExit_ = RunMsiexec("/i", kInstalledMsi);
  }
  static void TearDownTestSuite() {
    if (RelatedProductInstalled()) RunMsiexec("/x", kInstalledMsi);
  }

  void SetUp() override {
    ASSERT_TRUE(RelatedProductInstalled())
        << "msiexec could not install " << kInstalledMsi << ", exit "
        << (installExit_ ? std::to_string(*installExit_) : "none");
    RemoveDaxinst();
    config_testing::ClearRegistry();
    config_testing::UseConfigFolder(config_.path());
    WriteFileBytes(config_.path() + "\\config.xml", config_testing::Document(kConfigBody));
    // The client's list of features it offers but does not allow.
    config_testing::SetProductValue(kNotAllowedValue, "Legacy");
  }

  void TearDown() override {
    watcher_.reset();
    RemoveDaxinst();
    EXPECT_TRUE(WaitUntil([] { return CountProcessesNamed("daxinst.exe") == 0; }, kLongWait))
        << "a daxinst.exe process is still running";
    EXPECT_TRUE(WaitUntil([] { return CountProcessesNamed("setup.exe") == 0; }, kLongWait))
        << "a setup.exe process is still running";
    package_.reset();
    DeleteNotAllowedFeatures();
    config_testing::ClearRegistry();
  }

  void Stage(const Package& package, const std::string& control = "[setup]\r\ncode=0\r\n") {
    package_ = std::make_unique<e2e::PackageFolder>(package.folder, e2e::kLogOnVariant);
    ASSERT_EQ(::GetFileAttributesA(package_->executable().c_str()) == INVALID_FILE_ATTRIBUTES,
              false)
        << "could not stage " << package_->executable();
    if (package.setup) {
      ASSERT_TRUE(testing_support::CopyFileTo(
          ExecutableDirectory() + "\\setup\\" + package.setup + ".exe", SetupPath()));
    }
    WriteFileBytes(package_->path() + "\\setup-control.ini", control);
    WriteFileBytes(SetAidPath(), e2e::kStagedSetAid);
    WriteFileBytes(package_->path() + "\\Setup.ini", kSetupIni);
    ASSERT_TRUE(testing_support::CopyFileTo(FixtureMsi(package.msi),
                                            package_->path() + "\\Quorvex Client.msi"));
  }

  // Runs a verb as the staging program would, from the folder of the copy it runs, and waits.
  void RunVerb(const std::string& verb, const e2e::PackageFolder& folder) {
    const auto exitCode = folder.Run(verb, kLongWait);
    ASSERT_TRUE(exitCode.has_value()) << verb << " did not end";
    EXPECT_EQ(*exitCode, 0u) << verb;
  }

  // -install, then whatever the case prepares, then -start; returns once the service has run,
  // removed itself and its -uninstall child has ended.
  void InstallStartAndWait(DWORD runWait, const std::function<void()>& afterInstall = {}) {
    RunVerb("-install", *package_);
    ASSERT_TRUE(ServiceExists()) << Dump(package_->Messages());
    if (afterInstall) afterInstall();
    watcher_ = std::make_unique<RunWatcher>();
    // The start command comes from a second copy of daxinst.exe, which logs beside itself: two
    // processes appending to one daxinst.log at the same moment can overwrite each other's line,
    // and the run's own lines are compared here in full. The copy has the service's file name,
    // so the number handed to setup is still that of the program that ran the start command.
    RunVerb("-start", starter_);
    WaitForRunAndRemoval(runWait);
  }

  // Returns once the service has removed itself and its -uninstall child has ended.
  void WaitForRunAndRemoval(DWORD runWait) {
    EXPECT_TRUE(WaitUntil(
        [this] {
          return Has(package_->Messages(), "<mfn_UnInstall> End.") && !ServiceExists() &&
                 CountProcessesNamed("daxinst.exe") == 0;
        },
        runWait, 200))
        << "the run did not end with the service's removal\n"
        << Dump(package_->Messages());
    if (watcher_) watcher_->Stop();
  }

  // The last upgrade run's own lines, from its first to its last.
  std::vector<std::string> RunLines() const {
    const auto messages = package_->Messages();
    const auto begin = std::find(messages.rbegin(), messages.rend(),
                                 std::string("<ServiceStart>To begin the service"));
    if (begin == messages.rend()) return {};
    std::vector<std::string> lines;
    for (auto line = std::prev(begin.base()); line != messages.end(); ++line) {
      lines.push_back(*line);
      if (*line == "================= End ===================") break;
    }
    return lines;
  }

  std::string SetupPath() const { return package_->path() + "\\setup.exe"; }
  std::string SetAidPath() const { return package_->path() + "\\setAid.ini"; }
  std::string RecordPath() const { return package_->path() + "\\setup-record.txt"; }

  // How many times the stand-in setup program was started: each start adds two lines.
  size_t SetupStarts() const {
    const auto record = ReadFileBytes(RecordPath());
    if (!record) return 0;
    return static_cast<size_t>(std::count(record->begin(), record->end(), '\n')) / 2;
  }

  // The stand-in setup program's first record: its command line and its process number.
  std::optional<std::pair<std::string, std::string>> SetupRecord() const {
    const auto record = ReadFileBytes(RecordPath());
    if (!record) return std::nullopt;
    const size_t end = record->find('\n');
    const std::string pid = record->substr(end + 1);
    return std::make_pair(record->substr(0, end), pid.substr(0, pid.find('\n')));
  }

  // The command line the package's Setup.ini, config.xml and the staging program's number give.
  std::string ExpectedCommandLine() const {
    return "\"" + SetupPath() +
           "\" /w /s /v\"/qb!- /l*v C:\\logs\\upgrade.log IDCENABLE=1 DAXPID=" +
           std::to_string(::GetCurrentProcessId()) +
           " REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\"";
  }

  // A successful first-time run from the first line to the last.
  std::vector<std::string> SucceededRun(const char* mutexLine) const {
    return AfterOpening(
        {"DaxInst: LaunchSetup not found, first time setup. ", "Setup path = " + SetupPath(),
         "New Version = 12.1.10 Installed Version = 12.1.2", ExpectedCommandLine(), mutexLine,
         "DaxInst: RunDaxSetup returns code = 0", "DaxInst: Write 1 to LaunchSetup.",
         "<DaxSetupResult>Dax Setup Code = 0", "DaxInst: Auto-upgrade succeeded.",
         "DaxInst: Stopping Daxinst ...", "================= End ==================="});
  }

  // The lines every run of this package logs before it looks at the package, then `rest`.
  std::vector<std::string> AfterOpening(const std::vector<std::string>& rest) const {
    std::vector<std::string> lines = e2e::RunOpening(package_->path());
    lines.insert(lines.end(), rest.begin(), rest.end());
    return lines;
  }

  // Setup ran once, with the command line expected, after the settings were merged.
  void ExpectSetupRanWithMergedSettings() {
    const auto record = SetupRecord();
    ASSERT_TRUE(record) << "setup did not run";
    EXPECT_EQ(record->first, ExpectedCommandLine());
    EXPECT_FALSE(record->second.empty());
    const auto setAid = ReadFileBytes(SetAidPath());
    ASSERT_TRUE(setAid);
    EXPECT_NE(setAid->find("DestinationDirectory=D:\\New"), std::string::npos) << *setAid;
    EXPECT_NE(setAid->find("AutoReboot=true"), std::string::npos) << *setAid;
    EXPECT_NE(setAid->find("Core=1"), std::string::npos) << *setAid;
    EXPECT_EQ(setAid->find("Old=1"), std::string::npos) << *setAid;
    EXPECT_EQ(setAid->find("Legacy"), std::string::npos) << *setAid;
    EXPECT_LE(LastWriteTime(SetAidPath()), LastWriteTime(RecordPath()))
        << "setAid.ini changed after setup had started";
  }

  // The registry after a run that collected a successful setup code and removed the service.
  void ExpectSucceededRegistry() {
    EXPECT_EQ(watcher_->launchSetupValues(), std::vector<DWORD>{1});
    EXPECT_FALSE(Client("LaunchSetup").has_value()) << "the removal keeps LaunchSetup";
    EXPECT_EQ(Client("DaxInstResult"), 0u);
    EXPECT_EQ(SetupResult(), 99u);
    EXPECT_EQ(Client("DaxSetupStatus"), 2u);
    EXPECT_FALSE(ServiceExists());
  }

  static std::optional<DWORD> installExit_;
  testing_support::RunRegistryGuard registry_;
  testing_support::TempFolder config_{"whole config"};
  std::unique_ptr<e2e::PackageFolder> package_;
  std::unique_ptr<RunWatcher> watcher_;
  e2e::PackageFolder starter_{"whole starter", e2e::kLogOnVariant};
};

std::optional<DWORD> WholeUpgradeTest::installExit_;

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
  Stage({folder, "signed_good", kHigherPackageMsi}, "[setup]\r\ncode=0\r\nwaitms=1500\r\n");

  InstallStartAndWait(kLongWait);

  EXPECT_EQ(RunLines(), SucceededRun("Successfully created new mutex"))
      << Dump(package_->Messages());
  ExpectSetupRanWithMergedSettings();
  ExpectSucceededRegistry();
  EXPECT_TRUE(watcher_->sawNotifyMutex());
  platform::UniqueKernelHandle left(::OpenMutexA(SYNCHRONIZE, FALSE, kNotifyPass));
  EXPECT_FALSE(left) << "the notify mutex outlived setup";
}

INSTANTIATE_TEST_SUITE_P(Folders, FirstTimeUpgrade, ::testing::Values("whole pkg", "pkg dir \xE9"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return info.index == 0 ? std::string("BlankInName")
                                                  : std::string("BlankAndAnsiLetterInName");
                         });

TEST_F(WholeUpgradeTest, HeldNotifyMutexIsReportedAndSetupStillRuns) {
  Stage({"whole pkg", "signed_good", kHigherPackageMsi});
  platform::UniqueKernelHandle held(::CreateMutexA(nullptr, FALSE, kNotifyPass));
  ASSERT_TRUE(held);

  InstallStartAndWait(kLongWait);

  EXPECT_EQ(RunLines(), SucceededRun("Create Mutex. Failed (ALREADY_EXISTS) "))
      << Dump(package_->Messages());
  ExpectSetupRanWithMergedSettings();
  ExpectSucceededRegistry();
}

struct CountedCase {
  const char* name;
  DWORD launchSetup;
  DWORD setupResult;
  std::vector<std::string> lines;  // the run's lines after "DaxInst: Storage Path="
  DWORD status;                    // "DaxSetupStatus" afterwards
};

class CountedPath : public WholeUpgradeTest, public ::testing::WithParamInterface<CountedCase> {};

// A run whose process ended before the service's removal left "LaunchSetup" behind: the next run
// decides on the setup result alone and never runs setup a second time.
TEST_P(CountedPath, DecidesWithoutRunningSetup) {
  const CountedCase& param = GetParam();
  Stage({"whole pkg", "signed_good", kHigherPackageMsi});
  const std::string before = *ReadFileBytes(SetAidPath());

  InstallStartAndWait(kLongWait, [&] {
    testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup",
                                      param.launchSetup, KEY_WOW64_32KEY);
    testing_support::SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default",
                                      param.setupResult);
  });

  std::vector<std::string> expected = AfterOpening(param.lines);
  expected.push_back("DaxInst: Stopping Daxinst ...");
  expected.push_back("================= End ===================");
  EXPECT_EQ(RunLines(), expected) << Dump(package_->Messages());
  EXPECT_FALSE(SetupRecord()) << "setup ran";
  EXPECT_EQ(ReadFileBytes(SetAidPath()), before);
  EXPECT_EQ(SetupResult(), param.setupResult);
  EXPECT_FALSE(Client("DaxInstResult").has_value());
  EXPECT_EQ(Client("DaxSetupStatus"), 2u);
  EXPECT_EQ(watcher_->launchSetupValues(), std::vector<DWORD>{param.launchSetup});
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CountedPath,
    ::testing::Values(CountedCase{"SucceededBefore",
                                  0,
                                  99,
                                  {"DaxInst: RunDaxSetup has been run, result = 99",
                                   "DaxInst: Auto-upgrade succeeded."},
                                  2},
                      CountedCase{"FailedBefore",
                                  1,
                                  4,
                                  {"DaxInst: Dax Setup has FAILED for 1 times.",
                                   "DaxInst: Auto-upgrade failed."},
                                  2}),
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
TEST_F(WholeUpgradeTest, UnsignedSetupIsNotStartedAndTheRunFails) {
  Stage({"whole pkg", "unsigned", kHigherPackageMsi});
  const std::string before = *ReadFileBytes(SetAidPath());

  InstallStartAndWait(kPollingRunWait, [] { LeaveEarlierResult(0); });

  EXPECT_EQ(
      RunLines(),
      AfterOpening({"DaxInst: LaunchSetup not found, first time setup. ",
                    "Setup path = " + SetupPath(), "Trust verification for setup.exe failed",
                    "DaxInst: RunDaxSetup returns code = 0", "DaxInst: Write 1 to LaunchSetup.",
                    "<DaxSetupResult>Try to read DaxSetupResult for 3 minutes. "
                    "Failed.",
                    "<DaxSetupResult>ERR to read DaxSetupResult.",
                    "********* install error 1303-- retry 1", "DaxInst: Auto-upgrade failed.",
                    "DaxInst: Stopping Daxinst ...", "================= End ==================="}))
      << Dump(package_->Messages());
  EXPECT_FALSE(SetupRecord()) << "setup ran";
  EXPECT_EQ(ReadFileBytes(SetAidPath()), before) << "setAid.ini changed";
  EXPECT_FALSE(watcher_->sawNotifyMutex());
  EXPECT_FALSE(SetupResult().has_value());
  EXPECT_FALSE(Client("DaxInstResult").has_value());
  EXPECT_EQ(Client("DaxSetupStatus"), 2u);
}

TEST_F(WholeUpgradeTest, LowerPackageVersionIsRefusedBeforeSetupAndTheMutex) {
  Stage({"whole pkg", "signed_good", kLowerPackageMsi});

  InstallStartAndWait(kPollingRunWait, [] { LeaveEarlierResult(99); });

  EXPECT_EQ(RunLines(),
            AfterOpening(
                {"DaxInst: LaunchSetup not found, first time setup. ",
                 "Setup path = " + SetupPath(), "New Version = 12.1.1 Installed Version = 12.1.2",
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
  EXPECT_FALSE(SetupRecord()) << "setup ran";
  EXPECT_FALSE(watcher_->sawNotifyMutex()) << "the notify mutex was created";
  EXPECT_FALSE(SetupResult().has_value());
  EXPECT_FALSE(Client("DaxInstResult").has_value());
  EXPECT_EQ(Client("DaxSetupStatus"), 2u);
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
  Stage({"whole pkg", "signed_good", kHigherPackageMsi},
        "[setup]\r\ncode=0\r\nhandoverms=8000\r\n");
  RunVerb("-install", *package_);
  RunVerb("-start", starter_);
  ASSERT_TRUE(package_->WaitForMessage("DaxInst: Write 1 to LaunchSetup.", kLongWait))
      << Dump(package_->Messages());
  const DWORD processId = ServiceProcessId();
  ASSERT_NE(processId, 0u) << "no service process";
  platform::UniqueKernelHandle process(
      ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
  ASSERT_TRUE(process) << "cannot open the service process " << processId;
  ASSERT_FALSE(SetupResult().has_value()) << "setup's code came before the kill";
  ASSERT_TRUE(::TerminateProcess(process.get(), 1));
  ASSERT_EQ(::WaitForSingleObject(process.get(), kLongWait), WAIT_OBJECT_0);

  const auto killed = RunLines();
  ASSERT_FALSE(killed.empty());
  EXPECT_EQ(killed.back(), "DaxInst: Write 1 to LaunchSetup.") << Dump(killed);
  EXPECT_TRUE(WaitUntil([] { return SetupResult() == 0u && CountProcessesNamed("setup.exe") == 0; },
                        kLongWait))
      << "the installation did not leave its code";
  EXPECT_EQ(Client("LaunchSetup"), 1u);
  EXPECT_EQ(Client("DaxSetupStatus"), 1u);
  EXPECT_FALSE(Client("DaxInstResult").has_value());

  // The staging program finds the dead agent's service and deletes it through the Service
  // Control Manager; "-install" over it would delete "LaunchSetup" as well.
  RemoveDaxinst();
  ASSERT_EQ(Client("LaunchSetup"), 1u);

  InstallStartAndWait(kLongWait);

  EXPECT_EQ(
      RunLines(),
      AfterOpening({"DaxInst: Dax Setup has FAILED for 1 times.", "DaxInst: Auto-upgrade failed.",
                    "DaxInst: Stopping Daxinst ...", "================= End ==================="}))
      << Dump(package_->Messages());
  EXPECT_EQ(SetupStarts(), 1u) << ReadFileBytes(RecordPath()).value_or("");
  EXPECT_EQ(watcher_->launchSetupValues(), std::vector<DWORD>{1});
  EXPECT_FALSE(Client("LaunchSetup").has_value()) << "the removal keeps LaunchSetup";
  EXPECT_EQ(SetupResult(), 0u);
  EXPECT_FALSE(Client("DaxInstResult").has_value());
  EXPECT_EQ(Client("DaxSetupStatus"), 2u);
}

// Whoever tries to change setup.exe while it runs is refused by the file system.
struct FileChange {
  const char* what;
  std::function<bool(const std::string& setup, const std::string& other)> attempt;
};

// One setup run that outlasts the stop routine's two-minute wait: setup.exe stays locked, and a
// stop request gives up while setup and the run go on to their normal end.
TEST_F(WholeUpgradeTest, SetupIsLockedAndAStopRequestGivesUpWhileSetupRuns) {
  // Longer than the stop routine waits, with room for the checks before the request.
  Stage({"whole pkg", "signed_good", kHigherPackageMsi}, "[setup]\r\ncode=0\r\nwaitms=132000\r\n");
  const std::string original = *ReadFileBytes(SetupPath());
  const std::string other = package_->path() + "\\other.exe";
  ASSERT_TRUE(testing_support::CopyFileTo(ExecutableDirectory() + "\\setup\\unsigned.exe", other));
  RunVerb("-install", *package_);
  watcher_ = std::make_unique<RunWatcher>();
  RunVerb("-start", starter_);
  ASSERT_TRUE(WaitUntil([this] { return SetupStarts() == 1; }, kLongWait))
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
    const bool changed = change.attempt(SetupPath(), other);
    const DWORD error = ::GetLastError();
    EXPECT_FALSE(changed) << change.what << " succeeded while setup runs";
    EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED)
        << change.what << " failed with " << error;
  }
  EXPECT_EQ(ReadFileBytes(SetupPath()), original) << "setup.exe changed while it runs";

  // The stop routine in the service holds the stopped event for as long as it waits.
  const auto stopRoutineWaits = [] {
    platform::UniqueKernelHandle stopped(
        ::OpenEventA(SYNCHRONIZE, FALSE, "DaxInstServiceStoppedEvent"));
    return stopped.is_valid();
  };
  const ULONGLONG requested = ::GetTickCount64();
  const auto stopExit = starter_.Run("-stop", kPollingRunWait);
  const ULONGLONG verbMs = ::GetTickCount64() - requested;
  ASSERT_TRUE(stopExit.has_value()) << "-stop did not end";
  EXPECT_EQ(*stopExit, 0u);
  // The control handler does not answer while the stop routine waits: the Service Control
  // Manager gives up on the request first, and the verb returns with it.
  EXPECT_LT(verbMs, 115000u) << "-stop waited for the stop routine";
  EXPECT_TRUE(stopRoutineWaits()) << "the stop routine did not wait";
  EXPECT_EQ(CountProcessesNamed("setup.exe"), 1) << "the stop request ended setup";

  EXPECT_TRUE(WaitUntil([&] { return !stopRoutineWaits(); }, 150000, 100))
      << "the stop routine did not give up";
  const ULONGLONG routineMs = ::GetTickCount64() - requested;
  EXPECT_GE(routineMs, 115000u) << "the stop routine gave up early";
  EXPECT_LE(routineMs, 140000u) << "the stop routine gave up late";
  EXPECT_EQ(CountProcessesNamed("setup.exe"), 1) << "setup did not outlast the stop routine";
  EXPECT_FALSE(Has(package_->Messages(), "================= End ==================="))
      << "the run ended before setup";
  // The stop control went unanswered, so the verb had no stop to wait for.
  const auto verbLines = starter_.Messages();
  const auto verb = std::find(verbLines.rbegin(), verbLines.rend(), std::string("-stop"));
  ASSERT_NE(verb, verbLines.rend()) << Dump(verbLines);
  EXPECT_EQ(std::vector<std::string>(std::prev(verb.base()), verbLines.end()),
            (std::vector<std::string>{"-stop", "command line has been handled"}))
      << Dump(verbLines);
  std::printf("-stop returned after %llu ms, the stop routine gave up after %llu ms\n", verbMs,
              routineMs);

  WaitForRunAndRemoval(kPollingRunWait);

  auto expected = SucceededRun("Successfully created new mutex");
  const auto mutexLine =
      std::find(expected.begin(), expected.end(), "Successfully created new mutex");
  expected.insert(std::next(mutexLine),
                  {"DaxInst : Stopping Service ...", "DaxInst: Waiting for service to stop..."});
  EXPECT_EQ(RunLines(), expected) << Dump(package_->Messages());
  EXPECT_EQ(SetupStarts(), 1u);
  ExpectSetupRanWithMergedSettings();
  ExpectSucceededRegistry();
}

}  // namespace
