// Faults during whole upgrades under Wine's real Service Control Manager: the test stages a
// package folder with the signed stand-in setup program, plays the staging program with
// "daxinst.exe -install" and "-start", and injects one fault per case. Every case checks what
// must survive the fault: setup runs at most once for the package, "DaxSetupStatus" ends at 2
// wherever the end sequence can run, setAid.ini is either the merged file or the original byte
// for byte, and the client's registry values are as they were. Cases that wait out the
// two-minute polling time belong to suites named Slow..., which tests/e2e/CMakeLists.txt gives
// CTest entries of their own.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "e2e/e2e_support.h"
#include "e2e/staged_package.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using e2e::kClientKey;
using e2e::kPollingRunWait;
using e2e::kRunWait;
using e2e::kSetupResultKey;
using e2e::kVerbWait;
using e2e::RunEnd;
using e2e::SetAidAfter;

using e2e::CountProcessesNamed;
using e2e::OpenDaxinst;
using e2e::RemoveDaxinst;
using e2e::ServiceExists;
using e2e::WaitUntil;

using testing_support::ClientValue;
using testing_support::Dump;
using testing_support::Has;
using testing_support::InOrder;
using testing_support::kClientView;
using testing_support::ReadFileBytes;
using testing_support::SetupResult;
using testing_support::WriteFileBytes;

// Values of the client that no run writes; they must come through every fault unchanged.
constexpr char kClientSetting[] = "FaultSuiteClientSetting";
constexpr char kClientCounter[] = "FaultSuiteClientCounter";
// Longer than the 120 reads of the setup result at one a second.
constexpr DWORD kLongSetupMs = 125000;

constexpr char kConfigBody[] =
    "<ClientPackage Checksum=\"C0FFEE\">"
    "<InstallationOption InstallationDirectory=\"D:\\New\" UserInterfaceLevel=\"Unattended\"/>"
    "<RebootOptions AutoReboot=\"1\"/>"
    "<EnabledClientFeatures><F FeatureName=\"Core\"/><F FeatureName=\"Legacy\"/>"
    "</EnabledClientFeatures>"
    "</ClientPackage>";

void DeleteClientValue(const char* name) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClientKey, 0, KEY_ALL_ACCESS | kClientView, key.put()) ==
      ERROR_SUCCESS) {
    ::RegDeleteValueA(key.get(), name);
  }
}

// Process ids of the running processes with this executable file name.
std::vector<DWORD> ProcessesNamed(const char* name) {
  std::vector<DWORD> ids;
  platform::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32First(snapshot.get(), &entry); more;
       more = ::Process32Next(snapshot.get(), &entry)) {
    if (_stricmp(entry.szExeFile, name) == 0) ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

std::optional<DWORD> ServiceState() {
  platform::UniqueServiceHandle service = OpenDaxinst(SERVICE_QUERY_STATUS);
  SERVICE_STATUS status = {};
  if (!service || !::QueryServiceStatus(service.get(), &status)) return std::nullopt;
  return status.dwCurrentState;
}

// A handle another program keeps open on a file for as long as the object lives.
platform::UniqueFileHandle HoldOpen(const std::string& path, DWORD access, DWORD share) {
  return platform::UniqueFileHandle(::CreateFileA(path.c_str(), access, share, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

class FaultTest : public e2e::WholeRunTest {
 protected:
  FaultTest() : WholeRunTest("fault", kConfigBody) {}

  void SetUp() override {
    WholeRunTest::SetUp();
    testing_support::SetRegistryString(HKEY_LOCAL_MACHINE, kClientKey, kClientSetting,
                                       "kept through every fault", kClientView);
    testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, kClientCounter, 7,
                                      kClientView);
    clientBefore_ = e2e::ClientData();
  }

  void CleanRegistry() override {
    DeleteClientValue(kClientSetting);
    DeleteClientValue(kClientCounter);
    WholeRunTest::CleanRegistry();
  }

  // No related product is installed, so the version gate lets the package through without
  // msiexec.
  void Stage(const std::string& control) {
    e2e::PackageContents contents;
    contents.folder = "fault pkg";
    contents.msi = "package_g_13.0.1.msi";
    contents.setupControl = control;
    WholeRunTest::Stage(contents);
  }

  // Waits until the service has run, removed itself and every daxinst.exe has ended. Needs no
  // log, so it also serves the cases in which the log cannot be written.
  void WaitForRunEnd(DWORD runWait) {
    run_ = package_->WaitForRunEnd(runWait, RunEnd::kRemoved);
    EXPECT_TRUE(run_.ended) << "the run did not end with the service's removal\n"
                            << Dump(package_->Messages());
  }

  void InstallStartAndWait(DWORD runWait) {
    run_ = package_->InstallStartAndWait(starter_, runWait, {}, RunEnd::kRemoved);
    EXPECT_TRUE(e2e::RanToTheEnd(run_, *package_));
  }

  bool SetupStarted() const {
    return ::GetFileAttributesA(package_->RecordPath().c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  // What every case keeps: setup started at most once, the client's data, a whole setAid.ini.
  void ExpectKept(size_t setupRuns, SetAidAfter setAid) {
    e2e::ExpectKept(*package_, clientBefore_, setupRuns, setAid);
  }

  e2e::RegistryValues clientBefore_;
  e2e::StagedRunResult run_;
};

// The cases that wait out the two-minute polling time of the setup result.
class SlowFaultTest : public FaultTest {};

// Setup that leaves no setup code, however it ends: the run waits out the polling time, counts
// the package as tried and fails; setup is not started again. A successful code left from before
// is deleted before setup and never read as this run's.
struct NoResultCase {
  const char* name;
  const char* control;
  DWORD earlierCode;  // in the setup result key and "DaxInstResult" before the run
};

class SetupWithoutResult : public FaultTest, public ::testing::WithParamInterface<NoResultCase> {};

TEST_P(SetupWithoutResult, PollsOutTheResultAndFailsWithoutASecondSetup) {
  Stage(GetParam().control);
  testing_support::SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default",
                                    GetParam().earlierCode);
  testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "DaxInstResult",
                                    GetParam().earlierCode, kClientView);

  InstallStartAndWait(kPollingRunWait);

  EXPECT_TRUE(InOrder(
      package_->Messages(),
      {"DaxInst: LaunchSetup not found, first time setup. ", "Successfully created new mutex",
       "DaxInst: RunDaxSetup returns code = 0", "DaxInst: Write 1 to LaunchSetup.",
       "<DaxSetupResult>Try to read DaxSetupResult for 3 minutes. Failed.",
       "<DaxSetupResult>ERR to read DaxSetupResult.", "********* install error 1303-- retry 1",
       "DaxInst: Auto-upgrade failed.",
       "================= End ===================", "<mfn_UnInstall> End."}));
  EXPECT_GE(run_.elapsedMs, 110000u) << "the run did not wait for the setup result";
  ExpectKept(1, SetAidAfter::kMerged);
  EXPECT_FALSE(SetupResult().has_value());
  EXPECT_FALSE(ClientValue("DaxInstResult").has_value());
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
  EXPECT_FALSE(ClientValue("LaunchSetup").has_value());
  e2e::ExpectLastRunRecord(1110, e2e::EveryGatePassed());
  const std::vector<nlohmann::ordered_json> records = e2e::RunRecords();
  ASSERT_FALSE(records.empty());
  EXPECT_TRUE(records.back()["setup_code"].is_null()) << "no setup code was left";
  EXPECT_FALSE(records.back()["setup_exit_code"].is_null()) << "setup's exit was not seen";
}

INSTANTIATE_TEST_SUITE_P(
    SlowSetups, SetupWithoutResult,
    ::testing::Values(NoResultCase{"Crashes", "[setup]\r\ncrash=1\r\nwaitms=500\r\n", 4},
                      NoResultCase{"ExitsAtOnce", "[setup]\r\ncode=none\r\nexitcode=1\r\n", 0}),
    [](const ::testing::TestParamInfo<NoResultCase>& info) { return info.param.name; });

// Setup outlasts the two-minute polling time: the run waits for it without a limit and then
// takes its code. A second start and a second install meanwhile are refused by the run guard
// and leave the run's status alone.
TEST_F(SlowFaultTest, LongSetupIsAwaitedAndASecondStartDuringItIsRefused) {
  Stage("[setup]\r\ncode=0\r\nwaitms=" + std::to_string(kLongSetupMs) + "\r\n");
  ASSERT_EQ(package_->Install(), 0u) << "-install";
  ASSERT_EQ(package_->Start(starter_), 0u) << "-start";
  ASSERT_TRUE(WaitUntil([this] { return SetupStarted(); }, kVerbWait)) << "setup did not start";

  e2e::PackageFolder second("fault second starter", e2e::kLogOnVariant);
  ASSERT_EQ(second.Run("-start", kVerbWait), 0u) << "-start";
  ASSERT_EQ(second.Run("-install", kVerbWait), 0u) << "-install";
  EXPECT_TRUE(InOrder(second.Messages(),
                      {"-start", "<mfn_StartService> Begin.",
                       "<mfn_StartService> Create Mutex of daxinstall_exist failed.", "-install",
                       "<mfn_Install> Begin.",
                       "<mfn_Install>daxinst.exe is running, please stop and uninstall it first"}));
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 1u) << "the refused commands touched the run's status";
  EXPECT_EQ(CountProcessesNamed("setup.exe"), 1);

  WaitForRunEnd(kLongSetupMs + kVerbWait);

  EXPECT_TRUE(InOrder(package_->Messages(),
                      {"DaxInst: RunDaxSetup returns code = 0", "DaxInst: Write 1 to LaunchSetup.",
                       "<DaxSetupResult>Dax Setup Code = 0", "DaxInst: Auto-upgrade succeeded.",
                       "================= End ===================", "<mfn_UnInstall> End."}));
  EXPECT_FALSE(Has(package_->Messages(), "<DaxSetupResult>ERR to read DaxSetupResult."));
  ExpectKept(1, SetAidAfter::kMerged);
  e2e::ExpectSucceeded();
}

// The service process is killed while setup runs. Setup goes on and leaves its code; the end
// sequence never runs, so the status stays 1 and the service stays installed. "LaunchSetup" was
// written before setup started, so the next start takes the counted path and does not run setup
// for the package a second time.
TEST_F(FaultTest, ServiceKilledDuringSetupDoesNotRunSetupAgain) {
  Stage("[setup]\r\ncode=0\r\nwaitms=5000\r\n");
  ASSERT_EQ(package_->Install(), 0u) << "-install";
  ASSERT_EQ(package_->Start(starter_), 0u) << "-start";
  ASSERT_TRUE(WaitUntil([this] { return SetupStarted(); }, kVerbWait)) << "setup did not start";

  const auto services = ProcessesNamed("daxinst.exe");
  ASSERT_EQ(services.size(), 1u) << "only the service process should run";
  {
    platform::UniqueKernelHandle service(
        ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, services.front()));
    ASSERT_TRUE(service);
    ASSERT_TRUE(::TerminateProcess(service.get(), 1));
    EXPECT_EQ(::WaitForSingleObject(service.get(), kVerbWait), WAIT_OBJECT_0);
  }
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 1u);
  EXPECT_EQ(ClientValue("LaunchSetup"), 1u) << "setup started uncounted";
  EXPECT_TRUE(ServiceExists()) << "nothing removes the service of a killed process";
  ASSERT_TRUE(WaitUntil([] { return CountProcessesNamed("setup.exe") == 0; }, kVerbWait));
  EXPECT_EQ(SetupResult(), 0u) << "setup did not finish after the service was killed";
  // Windows' Service Control Manager reports the service of a killed process stopped, and the
  // next start runs it again. Wine 8's keeps reporting it running, so the test stands in for the
  // manager: it removes the dead service and installs it afresh, which (unlike an install over an
  // existing service) keeps "LaunchSetup", as a stopped service on Windows would.
  if (ServiceState() == DWORD{SERVICE_RUNNING}) {
    RemoveDaxinst();
    ASSERT_EQ(package_->Install(), 0u) << "-install";
  }
  ASSERT_EQ(ClientValue("LaunchSetup"), 1u);

  ASSERT_EQ(package_->Start(starter_), 0u) << "-start";
  WaitForRunEnd(kRunWait);

  EXPECT_TRUE(
      InOrder(package_->Messages(),
              {"DaxInst: LaunchSetup not found, first time setup. ",
               "Successfully created new mutex", "<ServiceStart>To begin the service",
               "DaxInst: Dax Setup has FAILED for 1 times.", "DaxInst: Auto-upgrade failed.",
               "================= End ===================", "<mfn_UnInstall> End."}));
  ExpectKept(1, SetAidAfter::kMerged);
  EXPECT_EQ(SetupResult(), 0u) << "the setup code is not the run's to change";
  EXPECT_FALSE(ClientValue("DaxInstResult").has_value());
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
}

// The package arrives read-only: the folder and every file in it. Wine keeps and reports the
// attribute of a file but, in this prefix, does not refuse writing it, and it drops the attribute
// of a folder; either way the merge clears it from setAid.ini before writing, and the run succeeds.
TEST_F(FaultTest, ReadOnlyPackageIsMergedAndInstalled) {
  Stage(e2e::kSucceedingSetup);
  for (const auto& name : {"setAid.ini", "setup.exe", "Setup.ini", "Quorvex Client.msi"}) {
    ASSERT_TRUE(::SetFileAttributesA(package_->File(name).c_str(), FILE_ATTRIBUTE_READONLY));
  }
  ::SetFileAttributesA(package_->path().c_str(),
                       FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(::GetFileAttributesA(package_->SetAidPath().c_str()) & FILE_ATTRIBUTE_READONLY);

  InstallStartAndWait(kRunWait);

  EXPECT_TRUE(
      InOrder(package_->Messages(),
              {"DaxInst: RunDaxSetup returns code = 0", "<DaxSetupResult>Dax Setup Code = 0",
               "DaxInst: Auto-upgrade succeeded.", "<mfn_UnInstall> End."}));
  EXPECT_FALSE(::GetFileAttributesA(package_->SetAidPath().c_str()) & FILE_ATTRIBUTE_READONLY);
  ExpectKept(1, SetAidAfter::kMerged);
  e2e::ExpectSucceeded();
}

// Another program holds a file of the package open for the whole run, with the sharing given.
struct LockCase {
  const char* name;
  const char* file;  // in the package folder
  DWORD access;
  DWORD share;
  std::vector<std::string> failedWriters;  // whose merge into setAid.ini fails
};

// setAid.ini held open: the merge cannot write it, the file stays as it was, and setup still
// runs with the package's own settings.
class LockedSetAid : public FaultTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(LockedSetAid, StaysTheOriginalAndSetupStillRuns) {
  Stage(e2e::kSucceedingSetup);
  platform::UniqueFileHandle held =
      HoldOpen(package_->File(GetParam().file), GetParam().access, GetParam().share);
  ASSERT_TRUE(held);

  InstallStartAndWait(kRunWait);
  held.reset();

  const auto messages = package_->Messages();
  EXPECT_TRUE(InOrder(
      messages, {"DaxInst: RunDaxSetup returns code = 0", "<DaxSetupResult>Dax Setup Code = 0",
                 "DaxInst: Auto-upgrade succeeded.", "<mfn_UnInstall> End."}));
  // Held without sharing, setAid.ini cannot be opened to be checked and held, so the merge does
  // not write it at all; held for reading only, it is checked and held, and each writer's write
  // fails.
  std::vector<std::string> failed;
  std::copy_if(
      messages.begin(), messages.end(), std::back_inserter(failed),
      [](const std::string& line) { return line.rfind("ERROR: Unable to update ", 0) == 0; });
  std::vector<std::string> expected;
  for (const auto& writer : GetParam().failedWriters) {
    expected.push_back("ERROR: Unable to update " + package_->SetAidPath() + " with " + writer +
                       " options from config.xml - 0x001d");
  }
  EXPECT_EQ(failed, expected) << Dump(messages);
  ExpectKept(1, SetAidAfter::kOriginal);
  e2e::ExpectSucceeded();
}

INSTANTIATE_TEST_SUITE_P(Holders, LockedSetAid,
                         ::testing::Values(LockCase{"Exclusive", "setAid.ini", GENERIC_READ, 0, {}},
                                           LockCase{"ReadersOnly",
                                                    "setAid.ini",
                                                    GENERIC_READ,
                                                    FILE_SHARE_READ,
                                                    {"install", "reboot", "Feature"}}),
                         [](const ::testing::TestParamInfo<LockCase>& info) {
                           return info.param.name;
                         });

// daxinst.log held open: whatever the holder allows, the log keeps its earlier lines, and the run
// goes on without it.
class LockedLog : public FaultTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(LockedLog, KeepsItsLinesAndTheRunGoesOn) {
  Stage(e2e::kSucceedingSetup);
  const std::string earlier = "12/01 10:00:00.000 lines of an earlier run\r\n";
  WriteFileBytes(package_->folder().log(), earlier);
  platform::UniqueFileHandle held =
      HoldOpen(package_->folder().log(), GetParam().access, GetParam().share);
  ASSERT_TRUE(held);

  InstallStartAndWait(kRunWait);
  held.reset();

  EXPECT_EQ(ReadFileBytes(package_->folder().log()), earlier);
  ExpectKept(1, SetAidAfter::kMerged);
  e2e::ExpectSucceeded();
}

INSTANTIATE_TEST_SUITE_P(
    Holders, LockedLog,
    ::testing::Values(LockCase{"Exclusive", "daxinst.log", GENERIC_READ | GENERIC_WRITE, 0, {}},
                      LockCase{"ReadersOnly", "daxinst.log", GENERIC_READ, FILE_SHARE_READ, {}},
                      LockCase{"WritersOnly", "daxinst.log", GENERIC_WRITE, FILE_SHARE_WRITE, {}}),
    [](const ::testing::TestParamInfo<LockCase>& info) { return info.param.name; });

}  // namespace
