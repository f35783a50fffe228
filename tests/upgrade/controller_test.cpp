#include "upgrade/controller.h"

#include <comdef.h>

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "contract/setup_result_key.h"
#include "diag/log.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "support/fresh_log.h"
#include "support/named_object_support.h"
#include "support/recorded_events.h"
#include "support/test_support.h"
#include "upgrade/run_record.h"
#include "upgrade/setup_launcher.h"
#include "upgrade/setup_result.h"

namespace {

using testing_support::SuspendedChild;
using testing_support::SystemProgram;

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using testing_support::ClientValue;
using testing_support::kClientKey;
// The client's own service is not installed in the test prefix, so the client key lives in the
// 32-bit view.
using testing_support::kClientView;
using testing_support::kSetupResultKey;
using testing_support::LogPath;
using testing_support::ReadDword;
using testing_support::ReadRegistryValue;
using testing_support::SetRegistryDword;
using testing_support::SetRegistryString;
using testing_support::SetupResult;

struct StatusReport {
  DWORD state;
  DWORD waitHint;
  bool operator==(const StatusReport& other) const {
    return state == other.state && waitHint == other.waitHint;
  }
};

class FakeRunOperations : public upgrade::RunOperations {
 public:
  bool ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint) override {
    EXPECT_EQ(win32ExitCode, 0u);
    reports.push_back({state, waitHint});
    if (onReport) onReport(state);
    return static_cast<int>(reports.size()) != failReportNumber;
  }
  int RunDaxSetup(const std::string& packageDirectory, DWORD daxPid) override {
    setupDirectories.push_back(packageDirectory);
    setupPids.push_back(daxPid);
    if (onSetup) onSetup();
    return setupCode;
  }
  int DaxSetupResult() override {
    ++resultCalls;
    if (onResult) onResult();
    if (realCollector) return upgrade::DaxSetupResult(false, [this](DWORD) { ++collectorPauses; });
    return answer;
  }

  int failReportNumber = 0;  // 1-based; 0 never fails
  int setupCode = 0;
  int answer = upgrade::kSetupSucceeded;
  // The result is collected from the registry by the real collector, whose pauses only count,
  // so that a whole polling time takes no time.
  bool realCollector = false;
  int collectorPauses = 0;
  std::function<void(DWORD)> onReport;
  std::function<void()> onSetup;
  std::function<void()> onResult;
  std::vector<StatusReport> reports;
  std::vector<std::string> setupDirectories;
  std::vector<DWORD> setupPids;
  int resultCalls = 0;
};

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    diag::g_daxDebugLog.Enable();
    testing_support::StartFreshLog();
  }
  void TearDown() override {
    diag::CloseLogFile();
    testing_support::DeleteFileIfPresent(LogPath());
  }

  // The log without its header line.
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages = testing_support::LogMessages(LogPath());
    if (!messages.empty() && messages.front().rfind("====== DaxInst starts at ", 0) == 0) {
      messages.erase(messages.begin());
    }
    return messages;
  }

  testing_support::RunRegistryGuard registry_;
  FakeRunOperations operations_;
};

TEST_F(ControllerTest, FirstTimeRunThatSucceedsFollowsTheWholeSequence) {
  upgrade::DaxInst(0, nullptr, operations_);

  const std::string packageDirectory = testing_support::ExecutableDirectory();
  EXPECT_THAT(Messages(), ElementsAreArray(std::vector<std::string>{
                              "<ServiceStart>To begin the service",
                              "<ServiceStart>Set up pending",
                              "<ServiceStart>If already running",
                              "<ServiceStart>To create event",
                              "<ServiceStart>To create mutex",
                              "<ServiceStart>To wait for stop event",
                              "DaxInst: Storage Path=" + packageDirectory,
                              "DaxInst: LaunchSetup not found, first time setup. ",
                              "DaxInst: RunDaxSetup returns code = 0",
                              "DaxInst: Write 1 to LaunchSetup.",
                              "DaxInst: Auto-upgrade succeeded.",
                              "DaxInst: Stopping Daxinst ...",
                              "================= End ===================",
                          }));
  EXPECT_THAT(operations_.reports, ElementsAre(StatusReport{SERVICE_START_PENDING, 5000},
                                               StatusReport{SERVICE_START_PENDING, 5000},
                                               StatusReport{SERVICE_START_PENDING, 5000},
                                               StatusReport{SERVICE_RUNNING, 0}));
  EXPECT_THAT(operations_.setupDirectories, ElementsAre(packageDirectory));
  EXPECT_THAT(operations_.setupPids, ElementsAre(0u));
  EXPECT_EQ(operations_.resultCalls, 1);
  EXPECT_EQ(ClientValue("LaunchSetup"), 1u);
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
  EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, kClientKey, "DaxSetupStatus", KEY_WOW64_64KEY),
            std::nullopt)
      << "the client key is in the 32-bit view while daxService is not installed";
}

TEST_F(ControllerTest, SetupStatusIsPendingWhileSetupRuns) {
  std::optional<DWORD> statusDuringSetup;
  operations_.onSetup = [&] { statusDuringSetup = ClientValue("DaxSetupStatus"); };
  upgrade::DaxInst(0, nullptr, operations_);
  EXPECT_EQ(statusDuringSetup, 1u);
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
}

// A stored value of another type than REG_DWORD means setup has not been run yet.
struct RegistryStateCase {
  const char* name;
  std::optional<DWORD> launchSetup;  // nullopt: absent
  bool launchSetupAsString;
  std::optional<DWORD> setupResult;  // nullopt: absent
  bool setupRuns;
  DWORD launchSetupAfter;
  const char* outcome;
  const char* pathLine;
};

class RegistryState : public ControllerTest,
                      public ::testing::WithParamInterface<RegistryStateCase> {
 protected:
  // One row, with the client key in `view`: nothing of the run may land in the other one.
  void Check(const RegistryStateCase& c, REGSAM view) {
    const REGSAM other = view == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    if (c.launchSetupAsString) {
      SetRegistryString(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup", "0", view);
    } else if (c.launchSetup) {
      SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup", *c.launchSetup, view);
    }
    if (c.setupResult)
      SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", *c.setupResult);

    upgrade::DaxInst(0, nullptr, operations_);

    EXPECT_EQ(operations_.setupDirectories.size(), c.setupRuns ? 1u : 0u);
    EXPECT_EQ(operations_.resultCalls, c.setupRuns ? 1 : 0);
    const auto launchSetup = ReadRegistryValue(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup", view);
    ASSERT_TRUE(launchSetup);
    EXPECT_EQ(launchSetup->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(ClientValue("LaunchSetup", view), c.launchSetupAfter);
    EXPECT_EQ(ClientValue("DaxSetupStatus", view), 2u);
    for (const char* name : {"LaunchSetup", "DaxSetupStatus", "DaxInstResult"}) {
      EXPECT_EQ(ClientValue(name, other), std::nullopt) << name << " in the other view";
    }
    const auto messages = Messages();
    EXPECT_THAT(messages, IsSupersetOf({std::string(c.pathLine), std::string(c.outcome)}));
  }
};

TEST_P(RegistryState, DecidesWhetherSetupRuns) { Check(GetParam(), kClientView); }

// The same rows with the client's own service installed: the run's values live in the 64-bit view.
class RegistryStateWithClientService : public RegistryState {
 protected:
  testing_support::ClientServiceForTest clientService_;
};

TEST_P(RegistryStateWithClientService, DecidesWhetherSetupRunsInThe64BitView) {
  ASSERT_TRUE(clientService_.created());
  Check(GetParam(), KEY_WOW64_64KEY);
}

const RegistryStateCase kRegistryStateRows[] = {
    RegistryStateCase{"AbsentWithDoneResultStillRunsSetup", std::nullopt, false, 99u, true, 1,
                      "DaxInst: Auto-upgrade succeeded.",
                      "DaxInst: LaunchSetup not found, first time setup. "},
    RegistryStateCase{"ZeroRunsTheCountedPath", 0u, false, std::nullopt, true, 1,
                      "DaxInst: Auto-upgrade succeeded.", "DaxInst: Times to set up = 1"},
    RegistryStateCase{"ZeroWithDoneResultSucceedsWithoutSetup", 0u, false, 99u, false, 0,
                      "DaxInst: Auto-upgrade succeeded.",
                      "DaxInst: RunDaxSetup has been run, result = 99"},
    RegistryStateCase{"OneWithDoneResultSucceedsWithoutSetup", 1u, false, 99u, false, 1,
                      "DaxInst: Auto-upgrade succeeded.",
                      "DaxInst: RunDaxSetup has been run, result = 99"},
    RegistryStateCase{"CountReachedFailsWithoutSetup", 1u, false, 4u, false, 1,
                      "DaxInst: Auto-upgrade failed.",
                      "DaxInst: Dax Setup has FAILED for 1 times."},
    // The number printed is the limit, not the counter.
    RegistryStateCase{"CountAboveLimitPrintsTheLimit", 5u, false, 4u, false, 5,
                      "DaxInst: Auto-upgrade failed.",
                      "DaxInst: Dax Setup has FAILED for 1 times."},
    RegistryStateCase{"StringValueCountsAsAbsent", std::nullopt, true, std::nullopt, true, 1,
                      "DaxInst: Auto-upgrade succeeded.",
                      "DaxInst: LaunchSetup not found, first time setup. "}};

std::string RowName(const ::testing::TestParamInfo<RegistryStateCase>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, RegistryState, ::testing::ValuesIn(kRegistryStateRows), RowName);
INSTANTIATE_TEST_SUITE_P(Rows, RegistryStateWithClientService,
                         ::testing::ValuesIn(kRegistryStateRows), RowName);

// A setup that installs the client's own service moves the view that the next access would choose
// in the middle of the run. The run keeps the view it began with: its counter, its status and the
// collected result all land in it, and nothing of it in the other view.
TEST_F(ControllerTest, SetupThatInstallsTheClientServiceLeavesTheRunInOneView) {
  std::optional<testing_support::ClientServiceForTest> installedBySetup;
  operations_.realCollector = true;
  operations_.onSetup = [&] {
    installedBySetup.emplace();
    SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", 0);
  };

  upgrade::DaxInst(0, nullptr, operations_);

  ASSERT_TRUE(installedBySetup && installedBySetup->created());
  EXPECT_EQ(ClientValue("LaunchSetup", KEY_WOW64_32KEY), 1u);
  EXPECT_EQ(ClientValue("DaxSetupStatus", KEY_WOW64_32KEY), 2u);
  EXPECT_EQ(ClientValue("DaxInstResult", KEY_WOW64_32KEY), 0u);
  for (const char* name : {"LaunchSetup", "DaxSetupStatus", "DaxInstResult"}) {
    EXPECT_EQ(ClientValue(name, KEY_WOW64_64KEY), std::nullopt) << name << " in the 64-bit view";
  }
  EXPECT_THAT(Messages(), ::testing::Contains("DaxInst: Auto-upgrade succeeded."));
}

class SetupCountedBeforeItStarts : public ControllerTest,
                                   public ::testing::WithParamInterface<std::optional<DWORD>> {};

// A service process killed while setup runs never gets to write the counter after setup: it must
// already be there, or the next start runs setup for the package a second time.
TEST_P(SetupCountedBeforeItStarts, SoAKilledRunStillCountsIt) {
  if (GetParam()) {
    SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup", *GetParam(), kClientView);
  }
  std::optional<DWORD> duringSetup;
  operations_.onSetup = [&] { duringSetup = ClientValue("LaunchSetup"); };

  upgrade::DaxInst(0, nullptr, operations_);

  ASSERT_EQ(operations_.setupDirectories.size(), 1u);
  EXPECT_EQ(duringSetup, 1u);
  EXPECT_EQ(ClientValue("LaunchSetup"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Paths, SetupCountedBeforeItStarts,
                         ::testing::Values(std::nullopt, std::optional<DWORD>(0u)),
                         [](const ::testing::TestParamInfo<std::optional<DWORD>>& info) {
                           return info.param ? std::string("Counted") : std::string("FirstTime");
                         });

struct AnswerCase {
  int answer;
  std::vector<std::string> tail;
};

class FirstTimeAnswer : public ControllerTest, public ::testing::WithParamInterface<AnswerCase> {};

// The decision rests on the collected result alone, never on what the launcher returned.
TEST_P(FirstTimeAnswer, DecidesTheOutcome) {
  operations_.answer = GetParam().answer;
  operations_.setupCode = 114;
  upgrade::DaxInst(0, nullptr, operations_);
  auto messages = Messages();
  ASSERT_GE(messages.size(), GetParam().tail.size() + 3);
  // The outcome lines and the first line of the end sequence.
  const std::vector<std::string> tail(messages.end() - 2 - GetParam().tail.size(),
                                      messages.end() - 1);
  std::vector<std::string> expected = GetParam().tail;
  expected.push_back("DaxInst: Stopping Daxinst ...");
  EXPECT_EQ(tail, expected);
  EXPECT_THAT(messages, ::testing::Contains("DaxInst: RunDaxSetup returns code = 114"));
  EXPECT_EQ(operations_.setupDirectories.size(), 1u) << "one attempt only";
}

INSTANTIATE_TEST_SUITE_P(Answers, FirstTimeAnswer,
                         ::testing::Values(AnswerCase{0, {"DaxInst: Auto-upgrade succeeded."}},
                                           AnswerCase{1, {"DaxInst: Auto-upgrade failed."}},
                                           AnswerCase{2,
                                                      {"********* install error 1303-- retry 1",
                                                       "DaxInst: Auto-upgrade failed."}}));

// The first run is in its setup: it has the guard, "DaxSetupStatus" is 1 and a stop request waits
// for its stopped event. The refused second run leaves all of that to the first one.
TEST_F(ControllerTest, SecondRunWhileTheRunGuardIsHeldFailsAndLeavesTheFirstRunsRecord) {
  // As a run of the program's own account makes it: with its account as the owner.
  platform::UniqueKernelHandle guard = testing_support::CreateWithDescriptor(
      testing_support::Kind::kMutex, "DaxInstall_exist", testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(guard);
  SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "DaxSetupStatus", 1, kClientView);
  platform::UniqueKernelHandle stopped(
      ::CreateEventA(nullptr, TRUE, FALSE, "DaxInstServiceStoppedEvent"));
  ASSERT_TRUE(stopped);

  upgrade::DaxInst(0, nullptr, operations_);

  EXPECT_TRUE(operations_.setupDirectories.empty());
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 1u) << "the refused run wrote the first run's status";
  EXPECT_EQ(::WaitForSingleObject(stopped.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the refused run set the first run's stopped event";
  EXPECT_EQ(ClientValue("LaunchSetup"), std::nullopt);
  EXPECT_THAT(
      Messages(),
      ElementsAre("<ServiceStart>To begin the service", "<ServiceStart>Set up pending",
                  "<ServiceStart>If already running", "DaxInst: Auto-upgrade failed.",
                  "DaxInst: Stopping Daxinst ...", "================= End ==================="));
  // The failed run closed its own handle only: the holder's mutex is still there.
  platform::UniqueKernelHandle again(::OpenMutexA(SYNCHRONIZE, FALSE, "DaxInstall_exist"));
  EXPECT_TRUE(again);
}

class FailedStatusReport : public ControllerTest, public ::testing::WithParamInterface<int> {};

TEST_P(FailedStatusReport, FailsTheRunWithTheFullEndSequence) {
  operations_.failReportNumber = GetParam();
  upgrade::DaxInst(0, nullptr, operations_);
  EXPECT_EQ(static_cast<int>(operations_.reports.size()), GetParam()) << "no report after it";
  EXPECT_TRUE(operations_.setupDirectories.empty());
  // The first report comes before the run guard: a run that fails there has announced nothing and
  // may not end another run's record.
  EXPECT_EQ(ClientValue("DaxSetupStatus"),
            GetParam() == 1 ? std::nullopt : std::optional<DWORD>(2u));
  const auto messages = Messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[messages.size() - 3], "DaxInst: Auto-upgrade failed.");
  EXPECT_EQ(messages.back(), "================= End ===================");
  // Everything the run created is gone again, so a new run can start.
  for (const char* name : {"DaxInstall_exist", "FenmarkServiceCtrlObjMutex"}) {
    platform::UniqueKernelHandle left(::OpenMutexA(SYNCHRONIZE, FALSE, name));
    EXPECT_FALSE(left) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(EachReport, FailedStatusReport, ::testing::Values(1, 2, 3, 4));

TEST_F(ControllerTest, RunHoldsItsNamedObjectsUntilTheEnd) {
  bool heldDuringSetup = false;
  operations_.onSetup = [&] {
    platform::UniqueKernelHandle guard(::OpenMutexA(SYNCHRONIZE, FALSE, "DaxInstall_exist"));
    platform::UniqueKernelHandle ctrl(
        ::OpenMutexA(SYNCHRONIZE, FALSE, "FenmarkServiceCtrlObjMutex"));
    platform::UniqueKernelHandle stop(::OpenEventA(SYNCHRONIZE, FALSE, "StopDaxInstServiceEvent"));
    heldDuringSetup = guard && ctrl && stop;
  };
  upgrade::DaxInst(0, nullptr, operations_);
  EXPECT_TRUE(heldDuringSetup);
  for (const char* name : {"DaxInstall_exist", "FenmarkServiceCtrlObjMutex"}) {
    platform::UniqueKernelHandle left(::OpenMutexA(SYNCHRONIZE, FALSE, name));
    EXPECT_FALSE(left) << name;
  }
  platform::UniqueKernelHandle stop(::OpenEventA(SYNCHRONIZE, FALSE, "StopDaxInstServiceEvent"));
  EXPECT_FALSE(stop);
}

// A stop request that is already there when the run looks is noted, but the run goes on.
TEST_F(ControllerTest, EarlyStopRequestIsLoggedAndTheRunGoesOn) {
  operations_.onReport = [](DWORD state) {
    if (state != SERVICE_RUNNING) return;
    platform::UniqueKernelHandle stop(
        ::OpenEventA(EVENT_MODIFY_STATE, FALSE, "StopDaxInstServiceEvent"));
    ASSERT_TRUE(stop);
    ::SetEvent(stop.get());
  };
  upgrade::DaxInst(0, nullptr, operations_);
  EXPECT_THAT(Messages(), IsSupersetOf({std::string("DaxInst: Stop event received."),
                                        std::string("DaxInst: Auto-upgrade succeeded.")}));
  EXPECT_EQ(operations_.setupDirectories.size(), 1u);
}

TEST_F(ControllerTest, StopWithoutARunningWorkerReturnsAtOnce) {
  const DWORD start = ::GetTickCount();
  upgrade::StopDaxInst();
  EXPECT_LT(::GetTickCount() - start, 5000u);
  diag::CloseLogFile();
  EXPECT_THAT(Messages(), ElementsAre("DaxInst : Stopping Service ...",
                                      "DaxInst: Opening stop event handle failed!"));
}

// A stop request during setup neither interrupts setup nor returns before the run has ended.
TEST_F(ControllerTest, StopDuringSetupWaitsForTheRunToEnd) {
  platform::UniqueKernelHandle inSetup(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  platform::UniqueKernelHandle releaseSetup(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  operations_.onSetup = [&] {
    ::SetEvent(inSetup.get());
    ::WaitForSingleObject(releaseSetup.get(), 30000);
  };

  std::thread worker([&] { upgrade::DaxInst(0, nullptr, operations_); });
  ASSERT_EQ(::WaitForSingleObject(inSetup.get(), 30000), WAIT_OBJECT_0);

  std::atomic<bool> stopReturned{false};
  std::thread stopper([&] {
    upgrade::StopDaxInst();
    stopReturned = true;
  });
  // Wait until the stop request has reached the run, then give the stopper time to return early
  // if it were going to.
  for (int i = 0; i < 300; ++i) {
    platform::UniqueKernelHandle stop(::OpenEventA(SYNCHRONIZE, FALSE, "StopDaxInstServiceEvent"));
    if (stop && ::WaitForSingleObject(stop.get(), 0) == WAIT_OBJECT_0) break;
    ::Sleep(10);
  }
  ::Sleep(500);
  EXPECT_FALSE(stopReturned) << "StopDaxInst returned while setup still ran";

  ::SetEvent(releaseSetup.get());
  worker.join();
  stopper.join();
  EXPECT_TRUE(stopReturned);
  EXPECT_THAT(Messages(), IsSupersetOf({std::string("DaxInst : Stopping Service ..."),
                                        std::string("DaxInst: Waiting for service to stop..."),
                                        std::string("DaxInst: Auto-upgrade succeeded.")}));
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
}

// ---------------------------------------------------------------------------------------------
// A setup code left from before never decides a run

// A package folder of the test's own with one of the stand-in setup programs as setup.exe.
class StagedSetup {
 public:
  StagedSetup(const char* variant, const std::string& control) {
    EXPECT_TRUE(testing_support::CopyFileTo(
        testing_support::ExecutableDirectory() + "\\setup\\" + variant + ".exe",
        folder_.path() + "\\setup.exe"));
    testing_support::WriteFileBytes(folder_.path() + "\\setup-control.ini", control);
  }
  const std::string& path() const { return folder_.path(); }
  bool Ran() const {
    return ::GetFileAttributesA((folder_.path() + "\\setup-record.txt").c_str()) !=
           INVALID_FILE_ATTRIBUTES;
  }

 private:
  testing_support::TempFolder folder_{"controller pkg"};
};

// A setup that leaves no code of its own, after an earlier code was left in the setup result
// key and in "DaxInstResult".
struct StaleCodeCase {
  const char* name;
  std::optional<DWORD> launchSetup;  // nullopt: the first-time path
  DWORD staleCode;
  // The stand-in setup program the real launcher is given, and its control file; nullptr: the
  // launcher's answer for a package of lower version than the installed one (114), which needs
  // an installed product and is played here.
  const char* setupVariant;
  const char* control;
  bool setupStarts;
};

void PrintTo(const StaleCodeCase& c, std::ostream* os) { *os << c.name; }

class StaleSetupCode : public ControllerTest,
                       public ::testing::WithParamInterface<StaleCodeCase> {};

// Regression: nothing deleted the earlier code before setup ran, so a refused or silent setup
// after a stale 0, 4 or 5 ended as "Auto-upgrade succeeded." with "DaxInstResult" = 0 and 99
// written; after a stale 99 the run answered at once with that code instead of waiting for one.
TEST_P(StaleSetupCode, IsDeletedSoTheRunWaitsForACodeAndFails) {
  const StaleCodeCase& c = GetParam();
  std::optional<StagedSetup> staged;
  if (c.setupVariant) staged.emplace(c.setupVariant, c.control);
  if (c.launchSetup) {
    SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup", *c.launchSetup, kClientView);
  }
  SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", c.staleCode);
  SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "DaxInstResult", c.staleCode, kClientView);
  operations_.realCollector = true;
  operations_.onSetup = [&] {
    operations_.setupCode = staged ? upgrade::RunDaxSetup(staged->path(), 0) : 114;
  };

  upgrade::DaxInst(0, nullptr, operations_);

  ASSERT_EQ(operations_.setupDirectories.size(), 1u);
  if (staged) {
    EXPECT_EQ(staged->Ran(), c.setupStarts);
  }
  EXPECT_EQ(operations_.collectorPauses, 120) << "the run did not wait for a code of its own";
  EXPECT_EQ(SetupResult(), std::nullopt) << "a result was written";
  EXPECT_EQ(ClientValue("DaxInstResult"), std::nullopt);
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
  std::vector<std::string> tail = {
      "<DaxSetupResult>Try to read DaxSetupResult for 3 minutes. Failed.",
      "<DaxSetupResult>ERR to read DaxSetupResult."};
  if (!c.launchSetup) tail.push_back("********* install error 1303-- retry 1");
  tail.push_back("DaxInst: Auto-upgrade failed.");
  tail.push_back("DaxInst: Stopping Daxinst ...");
  tail.push_back("================= End ===================");
  const auto messages = Messages();
  ASSERT_GE(messages.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(messages.end() - static_cast<std::ptrdiff_t>(tail.size()),
                                     messages.end()),
            tail);
}

INSTANTIATE_TEST_SUITE_P(
    Setups, StaleSetupCode,
    ::testing::Values(StaleCodeCase{"UntrustedSetup", std::nullopt, 0, "unsigned",
                                    "[setup]\r\ncode=0\r\n", false},
                      StaleCodeCase{"LowerVersion", std::nullopt, 0, nullptr, nullptr, false},
                      StaleCodeCase{"SetupThatLeavesNoCode", std::nullopt, 0, "signed_good",
                                    "[setup]\r\ncode=none\r\n", true},
                      StaleCodeCase{"UntrustedSetupOnTheCountedPath", 0u, 4, "unsigned",
                                    "[setup]\r\ncode=0\r\n", false},
                      StaleCodeCase{"SetupThatLeavesNoCodeAfterAnEarlierUpgrade", std::nullopt, 99,
                                    "signed_good", "[setup]\r\ncode=none\r\n", true}),
    [](const ::testing::TestParamInfo<StaleCodeCase>& info) { return info.param.name; });

// The path the run takes (a counter of 0 or none), and whether the client's own service is
// installed, which puts the run's values in the 64-bit view.
struct CodeOfThisRunCase {
  std::optional<DWORD> launchSetup;
  bool clientService;
};

class CodeOfThisRun : public ControllerTest,
                      public ::testing::WithParamInterface<CodeOfThisRunCase> {};

// The earlier code is gone before setup is even looked at, and the code setup leaves is read
// as before.
TEST_P(CodeOfThisRun, IsTheOneThatDecides) {
  std::optional<testing_support::ClientServiceForTest> clientService;
  if (GetParam().clientService) {
    clientService.emplace();
    ASSERT_TRUE(clientService->created());
  }
  const REGSAM view = GetParam().clientService ? KEY_WOW64_64KEY : kClientView;
  const REGSAM other = view == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  if (GetParam().launchSetup) {
    SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup", *GetParam().launchSetup, view);
  }
  SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", 1);
  SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "DaxInstResult", 1, view);
  std::optional<DWORD> codeWhenSetupStarts = 77;
  std::optional<DWORD> recordWhenSetupStarts = 77;
  operations_.realCollector = true;
  operations_.onSetup = [&] {
    codeWhenSetupStarts = SetupResult();
    recordWhenSetupStarts = ClientValue("DaxInstResult", view);
    SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", 4);
  };

  upgrade::DaxInst(0, nullptr, operations_);

  EXPECT_EQ(codeWhenSetupStarts, std::nullopt);
  EXPECT_EQ(recordWhenSetupStarts, std::nullopt);
  EXPECT_EQ(operations_.collectorPauses, 0);
  EXPECT_EQ(SetupResult(), 99u);
  EXPECT_EQ(ClientValue("DaxInstResult", view), 4u);
  EXPECT_EQ(ClientValue("LaunchSetup", view), 1u);
  for (const char* name : {"LaunchSetup", "DaxSetupStatus", "DaxInstResult"}) {
    EXPECT_EQ(ClientValue(name, other), std::nullopt) << name << " in the other view";
  }
  EXPECT_THAT(Messages(), IsSupersetOf({std::string("<DaxSetupResult>Dax Setup Code = 4"),
                                        std::string("DaxInst: Auto-upgrade succeeded.")}));
}

INSTANTIATE_TEST_SUITE_P(Paths, CodeOfThisRun,
                         ::testing::Values(CodeOfThisRunCase{std::nullopt, false},
                                           CodeOfThisRunCase{std::optional<DWORD>(0u), false},
                                           CodeOfThisRunCase{std::nullopt, true},
                                           CodeOfThisRunCase{std::optional<DWORD>(0u), true}),
                         [](const ::testing::TestParamInfo<CodeOfThisRunCase>& info) {
                           return std::string(info.param.launchSetup ? "Counted" : "FirstTime") +
                                  (info.param.clientService ? "WithClientService" : "");
                         });

// The setup result key with a DACL that lets everyone read it but not set or delete its values,
// as the system enforces it; the key itself is deleted again when the object goes.
class ResultKeyThatRefusesDeletes {
 public:
  explicit ResultKeyThatRefusesDeletes(DWORD code) {
    EXPECT_EQ(
        testing_support::LeaveUndeletableDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", code),
        ERROR_SUCCESS);
  }
  ~ResultKeyThatRefusesDeletes() { ::RegDeleteKeyA(HKEY_CLASSES_ROOT, kSetupResultKey); }
  ResultKeyThatRefusesDeletes(const ResultKeyThatRefusesDeletes&) = delete;
  ResultKeyThatRefusesDeletes& operator=(const ResultKeyThatRefusesDeletes&) = delete;
};

class UndeletableStaleCode : public ControllerTest,
                             public ::testing::WithParamInterface<std::optional<DWORD>> {};

// A stale success that stays where the polling reads could not be told from setup's own code:
// setup is not run, and the run fails without waiting.
TEST_P(UndeletableStaleCode, KeepsSetupFromRunning) {
  if (GetParam()) {
    SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup", *GetParam(), kClientView);
  }
  const ResultKeyThatRefusesDeletes key(0);
  platform::UniqueRegKey writable;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSetupResultKey, 0, KEY_SET_VALUE, writable.put()),
            ERROR_ACCESS_DENIED)
      << "the key's DACL is not enforced";
  operations_.realCollector = true;

  upgrade::DaxInst(0, nullptr, operations_);

  EXPECT_TRUE(operations_.setupDirectories.empty()) << "setup ran";
  EXPECT_EQ(operations_.resultCalls, 0);
  EXPECT_EQ(SetupResult(), 0u);
  EXPECT_EQ(ClientValue("LaunchSetup"), GetParam()) << "setup counted as run";
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
  const auto messages = Messages();
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(messages.end() - 4, messages.end()),
            (std::vector<std::string>{
                "DaxInst: Cannot delete the setup result left from before - error 5. Setup is "
                "not run.",
                "DaxInst: Auto-upgrade failed.", "DaxInst: Stopping Daxinst ...",
                "================= End ==================="}));
}

INSTANTIATE_TEST_SUITE_P(Paths, UndeletableStaleCode,
                         ::testing::Values(std::nullopt, std::optional<DWORD>(0u)),
                         [](const ::testing::TestParamInfo<std::optional<DWORD>>& info) {
                           return info.param ? std::string("Counted") : std::string("FirstTime");
                         });

// ---------------------------------------------------------------------------------------------
// The end sequence runs on every way out of the run

struct ThrowCase {
  const char* name;
  const char* where;  // "report", "setup" or "result"
  std::function<void()> raise;
  std::string line;
  // False when the exception comes before the run took the run guard: such a run has no status
  // and no stop handshake to end (another run may own them).
  bool tookTheGuard = true;
};

void PrintTo(const ThrowCase& c, std::ostream* os) { *os << c.name; }

class ExceptionInTheRun : public ControllerTest, public ::testing::WithParamInterface<ThrowCase> {};

// Regression: an exception that left the run skipped the end sequence, so "DaxSetupStatus"
// stayed 1, the stopped event was never set and both mutexes stayed open; with DaxInst called
// directly, as in debug mode, nothing caught it at all.
TEST_P(ExceptionInTheRun, IsLoggedAndTheEndSequenceStillRuns) {
  const ThrowCase& c = GetParam();
  const std::string where = c.where;
  bool raised = false;
  const auto raiseOnce = [&] {
    if (raised) return;
    raised = true;
    c.raise();
  };
  if (where == "report") operations_.onReport = [&](DWORD) { raiseOnce(); };
  if (where == "setup") operations_.onSetup = raiseOnce;
  if (where == "result") operations_.onResult = raiseOnce;
  // What StopDaxInst waits on while a stop request is under way, made as StopDaxInst makes it.
  platform::UniqueKernelHandle stopped = testing_support::CreateWithDescriptor(
      testing_support::Kind::kEvent, "DaxInstServiceStoppedEvent",
      testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(stopped);

  EXPECT_NO_THROW(upgrade::DaxInst(0, nullptr, operations_));

  EXPECT_TRUE(raised);
  if (c.tookTheGuard) {
    EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
    EXPECT_EQ(::WaitForSingleObject(stopped.get(), 0), WAIT_OBJECT_0) << "stopped event not set";
  } else {
    EXPECT_EQ(ClientValue("DaxSetupStatus"), std::nullopt);
    EXPECT_EQ(::WaitForSingleObject(stopped.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "stopped event set by a run that never took the guard";
  }
  for (const char* name : {"DaxInstall_exist", "FenmarkServiceCtrlObjMutex"}) {
    platform::UniqueKernelHandle left(::OpenMutexA(SYNCHRONIZE, FALSE, name));
    EXPECT_FALSE(left) << name;
  }
  platform::UniqueKernelHandle stop(::OpenEventA(SYNCHRONIZE, FALSE, "StopDaxInstServiceEvent"));
  EXPECT_FALSE(stop);
  const auto messages = Messages();
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(messages.end() - 4, messages.end()),
            (std::vector<std::string>{c.line, "DaxInst: Auto-upgrade failed.",
                                      "DaxInst: Stopping Daxinst ...",
                                      "================= End ==================="}));
}

const std::string kThrown = "Exception thrown in service_main: ";

INSTANTIATE_TEST_SUITE_P(
    Kinds, ExceptionInTheRun,
    ::testing::Values(ThrowCase{"OutOfMemoryDuringSetup", "setup", [] { throw std::bad_alloc(); },
                                kThrown + std::bad_alloc().what()},
                      ThrowCase{"ComErrorDuringSetup", "setup",
                                [] { throw _com_error(E_OUTOFMEMORY); },
                                kThrown + "unknown exception"},
                      ThrowCase{"StandardErrorDuringSetup", "setup",
                                [] { throw std::runtime_error("registry went away"); },
                                kThrown + "registry went away"},
                      ThrowCase{"NonStandardDuringSetup", "setup", [] { throw 42; },
                                kThrown + "unknown exception"},
                      ThrowCase{"StandardErrorAtTheFirstReport", "report",
                                [] { throw std::runtime_error("no status"); },
                                kThrown + "no status", false},
                      ThrowCase{"OutOfMemoryWhileCollecting", "result",
                                [] { throw std::bad_alloc(); }, kThrown + std::bad_alloc().what()}),
    [](const ::testing::TestParamInfo<ThrowCase>& info) { return info.param.name; });

TEST(ResolveDaxPid, NamesTheParentOfAProcessOfTheSameExecutable) {
  SuspendedChild sameExecutable(testing_support::ExecutablePath());
  ASSERT_NE(sameExecutable.id(), 0u);
  EXPECT_EQ(upgrade::ResolveDaxPid(sameExecutable.id()), ::GetCurrentProcessId());
}

TEST(ResolveDaxPid, IsZeroForAnotherExecutableOrNoProcess) {
  SuspendedChild other(SystemProgram("cmd.exe"));
  ASSERT_NE(other.id(), 0u);
  EXPECT_EQ(upgrade::ResolveDaxPid(other.id()), 0u);
  EXPECT_EQ(upgrade::ResolveDaxPid(0xFFFFFFF0u), 0u);
}

TEST_F(ControllerTest, StartArgumentReachesSetupAsTheStartersProcess) {
  SuspendedChild starter(testing_support::ExecutablePath());
  ASSERT_NE(starter.id(), 0u);
  std::string serviceName = "Daxinst";
  std::string starterId = std::to_string(starter.id());
  char* argv[] = {&serviceName[0], &starterId[0]};

  upgrade::DaxInst(2, argv, operations_);

  EXPECT_THAT(operations_.setupPids, ElementsAre(::GetCurrentProcessId()));
}

TEST_F(ControllerTest, OtherArgumentCountsMeanNoProcessNumber) {
  std::string serviceName = "Daxinst";
  std::string first = std::to_string(::GetCurrentProcessId());
  std::string extra = "x";
  char* argv[] = {&serviceName[0], &first[0], &extra[0]};
  upgrade::DaxInst(3, argv, operations_);
  EXPECT_THAT(operations_.setupPids, ElementsAre(0u));
}

// Every run leaves one record and one event log entry of its outcome, however it ends.
struct RecordCase {
  const char* name;
  std::function<void(FakeRunOperations&)> arrange;
  diag::RunOutcome outcome;
  const char* path;  // null: the run never chose one
  // The gates as the run met them: name and whether it passes.
  std::vector<std::pair<std::string, bool>> gates;
  bool tookTheGuard = true;
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class RunRecordOfARun : public ControllerTest, public ::testing::WithParamInterface<RecordCase> {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    upgrade::SetRunRecordFolderForTesting(
        platform::WidenToNulLenient((records_.path() + "\\Quorvex\\Daxinst\\runs").c_str()));
  }
  void TearDown() override {
    upgrade::SetRunRecordFolderForTesting(std::wstring());
    ControllerTest::TearDown();
  }
  std::vector<std::string> RecordFiles() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found = {};
    const std::string folder = records_.path() + "\\Quorvex\\Daxinst\\runs";
    HANDLE search = ::FindFirstFileA((folder + "\\*.json").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      names.push_back(folder + "\\" + found.cFileName);
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return names;
  }
  testing_support::TempFolder records_{"controller_records"};
};

TEST_P(RunRecordOfARun, NamesItsOutcomeInTheRecordAndTheEventLog) {
  const RecordCase& c = GetParam();
  if (c.arrange) c.arrange(operations_);
  std::vector<platform::UniqueKernelHandle> held;
  if (std::string(c.name) == "AnotherRunHoldsTheGuard") {
    held.push_back(testing_support::CreateWithDescriptor(testing_support::Kind::kMutex,
                                                         "DaxInstall_exist",
                                                         testing_support::OwnAccountDescriptor()));
    ASSERT_TRUE(held.back());
  }
  testing_support::RecordedEvents events;

  EXPECT_NO_THROW(upgrade::DaxInst(0, nullptr, operations_));

  const std::vector<contract::EventEntry>& outcomes = events.outcomes();
  ASSERT_EQ(outcomes.size(), 1u) << "one entry per run";
  EXPECT_EQ(static_cast<unsigned>(outcomes[0].id), static_cast<unsigned>(c.outcome));
  EXPECT_EQ(outcomes[0].kind, contract::RunOutcomeKind(c.outcome));
  EXPECT_THAT(outcomes[0].text, HasSubstr(diag::RunOutcomeName(c.outcome)));

  const std::vector<std::string> files = RecordFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::optional<std::string> text = testing_support::ReadFileBytes(files[0]);
  ASSERT_TRUE(text);
  const nlohmann::ordered_json record = nlohmann::ordered_json::parse(*text);
  EXPECT_EQ(record["outcome"]["code"], static_cast<unsigned>(c.outcome));
  EXPECT_EQ(record["outcome"]["name"], diag::RunOutcomeName(c.outcome));
  EXPECT_EQ(record["outcome"]["succeeded"], diag::RunOutcomeSucceeded(c.outcome));
  if (c.path) {
    EXPECT_EQ(record["path"], c.path);
  } else {
    EXPECT_TRUE(record["path"].is_null());
  }
  std::vector<std::pair<std::string, bool>> gates;
  for (const auto& gate : record["gates"]) gates.emplace_back(gate["name"], gate["passes"]);
  EXPECT_EQ(gates, c.gates);
  EXPECT_EQ(record["agent"]["build"], "diagnostic");
  // The log is on in these tests: the record carries the run's lines up to its end.
  ASSERT_TRUE(record["log"].is_array());
  ASSERT_FALSE(record["log"].empty());
  EXPECT_THAT(record["log"].back().get<std::string>(),
              HasSubstr("================= End ==================="));
  // The run itself is the same as without records.
  EXPECT_EQ(ClientValue("DaxSetupStatus"),
            c.tookTheGuard ? std::optional<DWORD>(2u) : std::optional<DWORD>());
}

const std::vector<std::pair<std::string, bool>> kGroundAndState = {{"package_ground", true},
                                                                   {"run_state", true}};

INSTANTIATE_TEST_SUITE_P(
    Ends, RunRecordOfARun,
    ::testing::Values(
        RecordCase{"Succeeded", nullptr, diag::RunOutcome::kSucceeded, "first_time",
                   kGroundAndState},
        RecordCase{"SetupFailed", [](FakeRunOperations& o) { o.answer = upgrade::kSetupFailed; },
                   diag::RunOutcome::kSetupFailed, "first_time", kGroundAndState},
        RecordCase{"NoResultInTime",
                   [](FakeRunOperations& o) { o.answer = upgrade::kSetupNoResult; },
                   diag::RunOutcome::kNoResultInTime, "first_time", kGroundAndState},
        RecordCase{"CountedRunSucceeded",
                   [](FakeRunOperations&) {
                     SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup", 0,
                                      kClientView);
                   },
                   diag::RunOutcome::kSucceeded, "counted", kGroundAndState},
        RecordCase{"SucceededBefore",
                   [](FakeRunOperations&) {
                     SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup", 1,
                                      kClientView);
                     SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", 99);
                   },
                   diag::RunOutcome::kSucceededBefore,
                   "succeeded_before",
                   {{"package_ground", true}, {"run_state", false}}},
        RecordCase{"FailedBefore",
                   [](FakeRunOperations&) {
                     SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "LaunchSetup", 1,
                                      kClientView);
                   },
                   diag::RunOutcome::kFailedBefore,
                   "failed_before",
                   {{"package_ground", true}, {"run_state", false}}},
        RecordCase{"AnotherRunHoldsTheGuard",
                   nullptr,
                   diag::RunOutcome::kRunInProgress,
                   nullptr,
                   {{"run_state", false}},
                   false},
        RecordCase{"StatusCannotBeReported",
                   [](FakeRunOperations& o) { o.failReportNumber = 2; },
                   diag::RunOutcome::kServiceNotStarted,
                   nullptr,
                   {}},
        RecordCase{"ExceptionDuringSetup",
                   [](FakeRunOperations& o) {
                     o.onSetup = [] { throw std::runtime_error("registry went away"); };
                   },
                   diag::RunOutcome::kException, "first_time", kGroundAndState}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

// A folder for the records that cannot be made or written leaves the run exactly as it is
// without records: its log, its registry values, its one outcome entry; only the entry that tells
// of the missing record is added.
TEST_F(ControllerTest, RecordThatCannotBeWrittenLeavesTheRunAsItIs) {
  testing_support::TempFolder records("controller_records_refused");
  upgrade::SetRunRecordFolderForTesting(platform::WidenToNulLenient(
      (records.path() + "\\missing\\below\\Quorvex\\Daxinst\\runs").c_str()));
  testing_support::RecordedEvents events;
  upgrade::DaxInst(0, nullptr, operations_);
  upgrade::SetRunRecordFolderForTesting(std::wstring());

  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
  EXPECT_EQ(ClientValue("LaunchSetup"), 1u);
  const auto messages = Messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(
      std::vector<std::string>(messages.end() - 3, messages.end()),
      (std::vector<std::string>{"DaxInst: Auto-upgrade succeeded.", "DaxInst: Stopping Daxinst ...",
                                "================= End ==================="}));
  EXPECT_THAT(events.ids(), ElementsAre(contract::EventId::kRunRecordNotWritten));
  ASSERT_EQ(events.outcomes().size(), 1u);
  EXPECT_EQ(static_cast<unsigned>(events.outcomes()[0].id), 1000u);
}

}  // namespace
