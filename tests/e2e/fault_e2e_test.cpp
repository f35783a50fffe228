// Faults during whole upgrades under Wine's real Service Control Manager: the test stages a
// package folder with the signed stand-in setup program, plays the staging program with
// "daxinst.exe -install" and "-start", and injects one fault per case. Every case checks what
// must survive the fault: setup runs at most once for the package, "DaxSetupStatus" ends at 2
// wherever the end sequence can run, setAid.ini is either the merged file or the original byte
// for byte, and the client's registry values are as they were.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
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

// "daxService" is not installed here: the client key lives in the 32-bit view.
constexpr REGSAM kClientView = KEY_WOW64_32KEY;
// Values of the client that no run writes; they must come through every fault unchanged.
constexpr char kClientSetting[] = "FaultSuiteClientSetting";
constexpr char kClientCounter[] = "FaultSuiteClientCounter";
constexpr DWORD kLongWait = 60000;
// A run that never gets a setup result polls for two minutes before it ends.
constexpr DWORD kPollingRunWait = 240000;
// Longer than the 120 reads of the setup result at one a second.
constexpr DWORD kLongSetupMs = 125000;

using e2e::kSetupIni;
constexpr char kConfigBody[] =
    "<ClientPackage Checksum=\"C0FFEE\">"
    "<InstallationOption InstallationDirectory=\"D:\\New\" UserInterfaceLevel=\"Unattended\"/>"
    "<RebootOptions AutoReboot=\"1\"/>"
    "<EnabledClientFeatures><F FeatureName=\"Core\"/><F FeatureName=\"Legacy\"/>"
    "</EnabledClientFeatures>"
    "</ClientPackage>";
constexpr char kSucceedingSetup[] = "[setup]\r\ncode=0\r\n";

std::optional<DWORD> Client(const char* value) {
  return testing_support::ReadDword(HKEY_LOCAL_MACHINE, kClientKey, value, kClientView);
}

std::optional<DWORD> SetupResult() {
  return testing_support::ReadDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default");
}

void DeleteValue(const char* path, const char* name) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, key.put()) ==
      ERROR_SUCCESS) {
    ::RegDeleteValueA(key.get(), name);
  }
}

using RegistryValues = std::map<std::string, std::pair<DWORD, std::string>>;

RegistryValues ValuesOf(const char* path) {
  RegistryValues values;
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_32KEY, key.put()) !=
      ERROR_SUCCESS) {
    return values;
  }
  for (DWORD index = 0;; ++index) {
    char name[256] = {};
    DWORD nameLength = sizeof(name);
    DWORD type = 0;
    BYTE data[4096] = {};
    DWORD dataLength = sizeof(data);
    if (::RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &type, data, &dataLength) !=
        ERROR_SUCCESS) {
      break;
    }
    values[name] = {type, std::string(reinterpret_cast<char*>(data), dataLength)};
  }
  return values;
}

// The client's own registry data: the product key and the client key without the values a run
// owns.
RegistryValues ClientData() {
  RegistryValues data;
  for (const auto& [name, value] : ValuesOf(config_testing::kProductKey)) {
    data["product\\" + name] = value;
  }
  for (const auto& [name, value] : ValuesOf(kClientKey)) {
    if (name == "LaunchSetup" || name == "DaxSetupStatus" || name == "DaxInstResult") continue;
    data["client\\" + name] = value;
  }
  return data;
}

std::string Dump(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += "  [" + line + "]\n";
  return text;
}

bool Has(const std::vector<std::string>& lines, const std::string& wanted) {
  return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

// `wanted` occurs in `lines` in this order (other lines may come between).
::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& wanted) {
  auto at = lines.begin();
  for (const auto& line : wanted) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) {
      return ::testing::AssertionFailure() << "missing, or out of order: [" << line << "]\nlog:\n"
                                           << Dump(lines);
    }
    ++at;
  }
  return ::testing::AssertionSuccess();
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

enum class SetAidAfter { kMerged, kOriginal };

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveDaxinst();
    config_testing::ClearRegistry();
    config_testing::UseConfigFolder(config_.path());
    WriteFileBytes(config_.path() + "\\config.xml", config_testing::Document(kConfigBody));
    config_testing::SetProductValue(kNotAllowedValue, "Legacy");
    testing_support::SetRegistryString(HKEY_LOCAL_MACHINE, kClientKey, kClientSetting,
                                       "kept through every fault", kClientView);
    testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, kClientCounter, 7,
                                      kClientView);
    clientBefore_ = ClientData();
  }

  void TearDown() override {
    RemoveDaxinst();
    EXPECT_TRUE(WaitUntil([] { return CountProcessesNamed("daxinst.exe") == 0; }, kLongWait))
        << "a daxinst.exe process is still running";
    EXPECT_TRUE(WaitUntil([] { return CountProcessesNamed("setup.exe") == 0; }, kLongWait))
        << "a setup.exe process is still running";
    if (package_) {
      // Read-only files and folders would survive the folder's removal.
      for (const auto& name : {"setAid.ini", "setup.exe", "Setup.ini", "Quorvex Client.msi"}) {
        ::SetFileAttributesA((package_->path() + "\\" + name).c_str(), FILE_ATTRIBUTE_NORMAL);
      }
      ::SetFileAttributesA(package_->path().c_str(), FILE_ATTRIBUTE_DIRECTORY);
    }
    package_.reset();
    DeleteValue(config_testing::kProductKey, kNotAllowedValue);
    DeleteValue(kClientKey, kClientSetting);
    DeleteValue(kClientKey, kClientCounter);
    config_testing::ClearRegistry();
  }

  void Stage(const std::string& control) {
    package_ = std::make_unique<e2e::PackageFolder>("fault pkg", e2e::kLogOnVariant);
    ASSERT_NE(::GetFileAttributesA(package_->executable().c_str()), INVALID_FILE_ATTRIBUTES)
        << "could not stage " << package_->executable();
    ASSERT_TRUE(testing_support::CopyFileTo(ExecutableDirectory() + "\\setup\\signed_good.exe",
                                            package_->path() + "\\setup.exe"));
    WriteFileBytes(package_->path() + "\\setup-control.ini", control);
    WriteFileBytes(SetAidPath(), e2e::kStagedSetAid);
    WriteFileBytes(package_->path() + "\\Setup.ini", kSetupIni);
    ASSERT_TRUE(testing_support::CopyFileTo(ExecutableDirectory() + "\\msi\\package_g_13.0.1.msi",
                                            package_->path() + "\\Quorvex Client.msi"));
  }

  void RunVerb(const std::string& verb, const e2e::PackageFolder& folder) {
    const auto exitCode = folder.Run(verb, kLongWait);
    ASSERT_TRUE(exitCode.has_value()) << verb << " did not end";
    EXPECT_EQ(*exitCode, 0u) << verb;
  }

  // The start command comes from a second copy of daxinst.exe with a log of its own, as in the
  // whole-upgrade tests, so that the package's log holds the run's lines alone.
  void Start() { RunVerb("-start", starter_); }

  // Waits until the service has run, removed itself and every daxinst.exe has ended. Needs no
  // log, so it also serves the cases in which the log cannot be written.
  void WaitForRunEnd(DWORD runWait) {
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(WaitUntil(
        [] { return !ServiceExists() && CountProcessesNamed("daxinst.exe") == 0; }, runWait, 200))
        << "the run did not end with the service's removal\n"
        << Dump(package_->Messages());
    runMs_ += ::GetTickCount64() - start;
  }

  void InstallStartAndWait(DWORD runWait) {
    RunVerb("-install", *package_);
    ASSERT_TRUE(ServiceExists()) << Dump(package_->Messages());
    Start();
    WaitForRunEnd(runWait);
  }

  std::string SetAidPath() const { return package_->path() + "\\setAid.ini"; }

  // How many times setup was started: its record gets two lines per start.
  size_t SetupRuns() const {
    const auto record = ReadFileBytes(package_->path() + "\\setup-record.txt");
    if (!record) return 0;
    return static_cast<size_t>(std::count(record->begin(), record->end(), '\n')) / 2;
  }

  bool SetupStarted() const {
    return ::GetFileAttributesA((package_->path() + "\\setup-record.txt").c_str()) !=
           INVALID_FILE_ATTRIBUTES;
  }

  // What every case keeps: setup started at most once, the client's data, a whole setAid.ini.
  void ExpectKept(size_t setupRuns, SetAidAfter setAid) {
    EXPECT_EQ(SetupRuns(), setupRuns) << "setup runs for one package";
    EXPECT_EQ(ClientData(), clientBefore_) << "the client's registry values changed";
    const auto text = ReadFileBytes(SetAidPath());
    ASSERT_TRUE(text) << "setAid.ini is gone";
    if (setAid == SetAidAfter::kOriginal) {
      EXPECT_EQ(*text, e2e::kStagedSetAid) << "setAid.ini is not the original";
      return;
    }
    for (const char* kept : {"PackageChecksum=C0FFEE", "AppType=105"}) {
      EXPECT_NE(text->find(kept), std::string::npos) << *text;
    }
    for (const char* merged : {"DestinationDirectory=D:\\New", "AutoReboot=true", "Core=1"}) {
      EXPECT_NE(text->find(merged), std::string::npos) << *text;
    }
    EXPECT_EQ(text->find("Old=1"), std::string::npos) << *text;
    EXPECT_EQ(text->find("Legacy"), std::string::npos) << *text;
  }

  // A run that collected setup's successful code.
  void ExpectSucceeded() {
    EXPECT_EQ(Client("DaxInstResult"), 0u);
    EXPECT_EQ(SetupResult(), 99u);
    EXPECT_EQ(Client("DaxSetupStatus"), 2u);
    EXPECT_FALSE(Client("LaunchSetup").has_value()) << "the removal keeps LaunchSetup";
  }

  testing_support::RunRegistryGuard registry_;
  testing_support::TempFolder config_{"fault config"};
  std::unique_ptr<e2e::PackageFolder> package_;
  e2e::PackageFolder starter_{"fault starter", e2e::kLogOnVariant};
  RegistryValues clientBefore_;
  ULONGLONG runMs_ = 0;
};

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
  EXPECT_GE(runMs_, 110000u) << "the run did not wait for the setup result";
  ExpectKept(1, SetAidAfter::kMerged);
  EXPECT_FALSE(SetupResult().has_value());
  EXPECT_FALSE(Client("DaxInstResult").has_value());
  EXPECT_EQ(Client("DaxSetupStatus"), 2u);
  EXPECT_FALSE(Client("LaunchSetup").has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Setups, SetupWithoutResult,
    ::testing::Values(NoResultCase{"Crashes", "[setup]\r\ncrash=1\r\nwaitms=500\r\n", 4},
                      NoResultCase{"ExitsAtOnce", "[setup]\r\ncode=none\r\nexitcode=1\r\n", 0}),
    [](const ::testing::TestParamInfo<NoResultCase>& info) { return info.param.name; });

// Setup outlasts the two-minute polling time: the run waits for it without a limit and then
// takes its code. A second start and a second install meanwhile are refused by the run guard
// and leave the run's status alone.
TEST_F(FaultTest, LongSetupIsAwaitedAndASecondStartDuringItIsRefused) {
  Stage("[setup]\r\ncode=0\r\nwaitms=" + std::to_string(kLongSetupMs) + "\r\n");
  RunVerb("-install", *package_);
  Start();
  ASSERT_TRUE(WaitUntil([this] { return SetupStarted(); }, kLongWait)) << "setup did not start";

  e2e::PackageFolder second("fault second starter", e2e::kLogOnVariant);
  RunVerb("-start", second);
  RunVerb("-install", second);
  EXPECT_TRUE(InOrder(second.Messages(),
                      {"-start", "<mfn_StartService> Begin.",
                       "<mfn_StartService> Create Mutex of daxinstall_exist failed.", "-install",
                       "<mfn_Install> Begin.",
                       "<mfn_Install>daxinst.exe is running, please stop and uninstall it first"}));
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(Client("DaxSetupStatus"), 1u) << "the refused commands touched the run's status";
  EXPECT_EQ(CountProcessesNamed("setup.exe"), 1);

  WaitForRunEnd(kLongSetupMs + kLongWait);

  EXPECT_TRUE(InOrder(package_->Messages(),
                      {"DaxInst: RunDaxSetup returns code = 0", "DaxInst: Write 1 to LaunchSetup.",
                       "<DaxSetupResult>Dax Setup Code = 0", "DaxInst: Auto-upgrade succeeded.",
                       "================= End ===================", "<mfn_UnInstall> End."}));
  EXPECT_FALSE(Has(package_->Messages(), "<DaxSetupResult>ERR to read DaxSetupResult."));
  ExpectKept(1, SetAidAfter::kMerged);
  ExpectSucceeded();
}

// The service process is killed while setup runs. Setup goes on and leaves its code; the end
// sequence never runs, so the status stays 1 and the service stays installed. "LaunchSetup" was
// written before setup started, so the next start takes the counted path and does not run setup
// for the package a second time.
TEST_F(FaultTest, ServiceKilledDuringSetupDoesNotRunSetupAgain) {
  Stage("[setup]\r\ncode=0\r\nwaitms=5000\r\n");
  RunVerb("-install", *package_);
  Start();
  ASSERT_TRUE(WaitUntil([this] { return SetupStarted(); }, kLongWait)) << "setup did not start";

  const auto services = ProcessesNamed("daxinst.exe");
  ASSERT_EQ(services.size(), 1u) << "only the service process should run";
  {
    platform::UniqueKernelHandle service(
        ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, services.front()));
    ASSERT_TRUE(service);
    ASSERT_TRUE(::TerminateProcess(service.get(), 1));
    EXPECT_EQ(::WaitForSingleObject(service.get(), kLongWait), WAIT_OBJECT_0);
  }
  EXPECT_EQ(Client("DaxSetupStatus"), 1u);
  EXPECT_EQ(Client("LaunchSetup"), 1u) << "setup started uncounted";
  EXPECT_TRUE(ServiceExists()) << "nothing removes the service of a killed process";
  ASSERT_TRUE(WaitUntil([] { return CountProcessesNamed("setup.exe") == 0; }, kLongWait));
  EXPECT_EQ(SetupResult(), 0u) << "setup did not finish after the service was killed";
  // Windows' Service Control Manager reports the service of a killed process stopped, and the
  // next start runs it again. Wine 8's keeps reporting it running, so the test stands in for the
  // manager: it removes the dead service and installs it afresh, which (unlike an install over an
  // existing service) keeps "LaunchSetup", as a stopped service on Windows would.
  if (ServiceState() == DWORD{SERVICE_RUNNING}) {
    RemoveDaxinst();
    RunVerb("-install", *package_);
  }
  ASSERT_EQ(Client("LaunchSetup"), 1u);

  Start();
  WaitForRunEnd(kLongWait);

  EXPECT_TRUE(
      InOrder(package_->Messages(),
              {"DaxInst: LaunchSetup not found, first time setup. ",
               "Successfully created new mutex", "<ServiceStart>To begin the service",
               "DaxInst: Dax Setup has FAILED for 1 times.", "DaxInst: Auto-upgrade failed.",
               "================= End ===================", "<mfn_UnInstall> End."}));
  ExpectKept(1, SetAidAfter::kMerged);
  EXPECT_EQ(SetupResult(), 0u) << "the setup code is not the run's to change";
  EXPECT_FALSE(Client("DaxInstResult").has_value());
  EXPECT_EQ(Client("DaxSetupStatus"), 2u);
}

// The package arrives read-only: the folder and every file in it. Wine keeps and reports the
// attribute of a file but, in this prefix, does not refuse writing it, and it drops the attribute
// of a folder; either way the merge clears it from setAid.ini before writing, and the run succeeds.
TEST_F(FaultTest, ReadOnlyPackageIsMergedAndInstalled) {
  Stage(kSucceedingSetup);
  for (const auto& name : {"setAid.ini", "setup.exe", "Setup.ini", "Quorvex Client.msi"}) {
    ASSERT_TRUE(
        ::SetFileAttributesA((package_->path() + "\\" + name).c_str(), FILE_ATTRIBUTE_READONLY));
  }
  ::SetFileAttributesA(package_->path().c_str(),
                       FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(::GetFileAttributesA(SetAidPath().c_str()) & FILE_ATTRIBUTE_READONLY);

  InstallStartAndWait(kLongWait);

  EXPECT_TRUE(
      InOrder(package_->Messages(),
              {"DaxInst: RunDaxSetup returns code = 0", "<DaxSetupResult>Dax Setup Code = 0",
               "DaxInst: Auto-upgrade succeeded.", "<mfn_UnInstall> End."}));
  EXPECT_FALSE(::GetFileAttributesA(SetAidPath().c_str()) & FILE_ATTRIBUTE_READONLY);
  ExpectKept(1, SetAidAfter::kMerged);
  ExpectSucceeded();
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
  Stage(kSucceedingSetup);
  platform::UniqueFileHandle held =
      HoldOpen(package_->path() + "\\" + GetParam().file, GetParam().access, GetParam().share);
  ASSERT_TRUE(held);

  InstallStartAndWait(kLongWait);
  held.reset();

  const auto messages = package_->Messages();
  EXPECT_TRUE(InOrder(
      messages, {"DaxInst: RunDaxSetup returns code = 0", "<DaxSetupResult>Dax Setup Code = 0",
                 "DaxInst: Auto-upgrade succeeded.", "<mfn_UnInstall> End."}));
  // Held without sharing, setAid.ini cannot even be read: the package's identity is unknown, so
  // only the feature writer, which always rewrites its section, gets as far as a failed write.
  std::vector<std::string> failed;
  std::copy_if(
      messages.begin(), messages.end(), std::back_inserter(failed),
      [](const std::string& line) { return line.rfind("ERROR: Unable to update ", 0) == 0; });
  std::vector<std::string> expected;
  for (const auto& writer : GetParam().failedWriters) {
    expected.push_back("ERROR: Unable to update " + SetAidPath() + " with " + writer +
                       " options from config.xml - 0x001d");
  }
  EXPECT_EQ(failed, expected) << Dump(messages);
  ExpectKept(1, SetAidAfter::kOriginal);
  ExpectSucceeded();
}

INSTANTIATE_TEST_SUITE_P(
    Holders, LockedSetAid,
    ::testing::Values(LockCase{"Exclusive", "setAid.ini", GENERIC_READ, 0, {"Feature"}},
                      LockCase{"ReadersOnly",
                               "setAid.ini",
                               GENERIC_READ,
                               FILE_SHARE_READ,
                               {"install", "reboot", "Feature"}}),
    [](const ::testing::TestParamInfo<LockCase>& info) { return info.param.name; });

// daxinst.log held open: whatever the holder allows, the log keeps its earlier lines, and the run
// goes on without it.
class LockedLog : public FaultTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(LockedLog, KeepsItsLinesAndTheRunGoesOn) {
  Stage(kSucceedingSetup);
  const std::string earlier = "12/01 10:00:00.000 lines of an earlier run\r\n";
  WriteFileBytes(package_->log(), earlier);
  platform::UniqueFileHandle held = HoldOpen(package_->log(), GetParam().access, GetParam().share);
  ASSERT_TRUE(held);

  InstallStartAndWait(kLongWait);
  held.reset();

  EXPECT_EQ(ReadFileBytes(package_->log()), earlier);
  ExpectKept(1, SetAidAfter::kMerged);
  ExpectSucceeded();
}

INSTANTIATE_TEST_SUITE_P(
    Holders, LockedLog,
    ::testing::Values(LockCase{"Exclusive", "daxinst.log", GENERIC_READ | GENERIC_WRITE, 0, {}},
                      LockCase{"ReadersOnly", "daxinst.log", GENERIC_READ, FILE_SHARE_READ, {}},
                      LockCase{"WritersOnly", "daxinst.log", GENERIC_WRITE, FILE_SHARE_WRITE, {}}),
    [](const ::testing::TestParamInfo<LockCase>& info) { return info.param.name; });

}  // namespace
