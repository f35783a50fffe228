// The waits of the start and stop verbs against a scripted service and clock, and the service
// presence that the client view follows against Wine's real Service Control Manager.
#include "service/service_wait.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "contract/client_registry.h"
#include "contract/event_report.h"
#include "diag/log.h"
#include "platform/last_error.h"
#include "platform/service_presence.h"
#include "platform/unique_handle.h"
#include "service/service_runtime.h"
#include "support/test_support.h"

namespace {

constexpr char kStarting[] = "Starting Quorvex Auto-upgrade Agent";
constexpr char kStopping[] = "Stopping Quorvex Auto-upgrade Agent";

SERVICE_STATUS Status(DWORD state, DWORD checkPoint, DWORD waitHint) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  return status;
}

// A service that answers the scripted statuses in order (the last one for ever after), and a
// clock that moves only when the verb pauses. An empty step is a failed query.
class ScriptedService final : public service::ServiceWaitEnvironment {
 public:
  struct Step {
    bool fails;
    SERVICE_STATUS status;
  };
  static Step Answer(const SERVICE_STATUS& status) { return {false, status}; }
  static Step Failure() { return {true, {}}; }

  explicit ScriptedService(std::vector<Step> steps) : steps_(steps.begin(), steps.end()) {}

  bool QueryStatus(SERVICE_STATUS& status) override {
    ++queries;
    const Step step = steps_.front();
    if (steps_.size() > 1) steps_.pop_front();
    if (step.fails) {
      ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
      return false;
    }
    status = step.status;
    return true;
  }
  void Pause(DWORD milliseconds) override {
    pauses.push_back(milliseconds);
    now_ += milliseconds;
  }
  DWORD TickCount() override { return now_; }

  std::vector<DWORD> pauses;
  int queries = 0;

 private:
  std::deque<Step> steps_;
  // Near the wrap of the 32-bit tick count, so the elapsed-time arithmetic must be unsigned.
  DWORD now_ = 0xFFFFF000u;
};

// Every event entry written while it lives.
class RecordedEvents final : public contract::EventSink {
 public:
  RecordedEvents() : previous_(contract::UseEventSinkForTesting(this)) {}
  ~RecordedEvents() override { contract::UseEventSinkForTesting(previous_); }
  void Write(const contract::EventEntry& entry) override { entries_.push_back(entry); }
  const std::vector<contract::EventEntry>& entries() const { return entries_; }

 private:
  contract::EventSink* previous_;
  std::vector<contract::EventEntry> entries_;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    diag::OpenLogFile();
    logPath_ = testing_support::LogPath();
    logStart_ = testing_support::LogMessages(logPath_).size();
    logStartWithEmptyLines_ = testing_support::LogMessagesWithEmptyLines(logPath_).size();
  }
  std::vector<std::string> NewLogLines() const {
    const auto all = testing_support::LogMessages(logPath_);
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(logStart_),
                                    all.end());
  }
  std::vector<std::string> NewLogLinesWithEmptyLines() const {
    const auto all = testing_support::LogMessagesWithEmptyLines(logPath_);
    return std::vector<std::string>(
        all.begin() + static_cast<std::ptrdiff_t>(logStartWithEmptyLines_), all.end());
  }

  std::string logPath_;
  size_t logStart_ = 0;
  size_t logStartWithEmptyLines_ = 0;
};

std::vector<std::string> Progress(const char* text, int fromDots, int toDots) {
  std::vector<std::string> lines;
  for (int dots = fromDots; dots <= toDots; ++dots) lines.push_back(text + std::string(dots, '.'));
  return lines;
}

std::vector<std::string> Concat(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<std::string> FailedToStart(int state, int checkPoint, int waitHint) {
  return {"Quorvex Auto-upgrade Agent failed to start.",
          "  Current State: " + std::to_string(state), "  Exit Code: 0",
          "  Service Specific Exit Code: 0", "  Check Point: " + std::to_string(checkPoint),
          "  Wait Hint: " + std::to_string(waitHint),
          // The last error at that moment: the log writes of the lines before leave none.
          "  Last Error Code: 0"};
}

std::string ErrorText(DWORD error) {
  ::SetLastError(error);
  return platform::LastErrorText();
}

struct StartCase {
  const char* name;
  std::vector<ScriptedService::Step> steps;
  std::vector<DWORD> pauses;
  std::vector<std::string> lines;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class StartWaitTest : public LogTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartWaitTest, PollsWithinTheWaitHint) {
  ScriptedService scripted(GetParam().steps);
  service::WaitForServiceStart(scripted);
  EXPECT_EQ(scripted.pauses, GetParam().pauses);
  // The last-error line depends on what the log writes left behind; its presence is what counts.
  const auto withSteadyLastError = [](std::vector<std::string> lines) {
    for (auto& line : lines) {
      if (line.rfind("  Last Error Code: ", 0) == 0) line = "  Last Error Code: 0";
    }
    return lines;
  };
  EXPECT_EQ(withSteadyLastError(NewLogLines()), GetParam().lines);
  // Each line of the status dump ends in a line end of its own, which leaves an empty line after
  // it in the file; no other line of the wait does.
  std::vector<std::string> withEmptyLines;
  for (const std::string& line : GetParam().lines) {
    withEmptyLines.push_back(line);
    if (line.rfind("  ", 0) == 0) withEmptyLines.emplace_back();
  }
  EXPECT_EQ(withSteadyLastError(NewLogLinesWithEmptyLines()), withEmptyLines);
}

using S = ScriptedService;
const DWORD kPending = SERVICE_START_PENDING;

INSTANTIATE_TEST_SUITE_P(
    Cases, StartWaitTest,
    ::testing::Values(
        // The run's three set-up reports, each a check point further, then running.
        StartCase{"ProgressingWithHint5000",
                  {S::Answer(Status(kPending, 1, 5000)), S::Answer(Status(kPending, 2, 5000)),
                   S::Answer(Status(kPending, 3, 5000)), S::Answer(Status(SERVICE_RUNNING, 0, 0))},
                  {1000, 1000, 1000, 1000},
                  Concat({Progress(kStarting, 0, 2), {"Quorvex Auto-upgrade Agent started."}})},
        // Hint 0: one poll without progress is already too long.
        StartCase{"HintZeroGivesUpAfterOnePoll",
                  {S::Answer(Status(kPending, 1, 0))},
                  {1000, 1000},
                  Concat({{kStarting, "StartStatus - No progress made within the wait hint"},
                          FailedToStart(SERVICE_START_PENDING, 1, 0)})},
        // A stalled check point with hint 5000: given up once more than 5000 ms went by.
        StartCase{"StalledCheckPointWithHint5000",
                  {S::Answer(Status(kPending, 2, 5000))},
                  {1000, 1000, 1000, 1000, 1000, 1000, 1000},
                  Concat({Progress(kStarting, 0, 5),
                          {"StartStatus - No progress made within the wait hint"},
                          FailedToStart(SERVICE_START_PENDING, 2, 5000)})},
        // A hint of 100000 ms polls every tenth, capped at 10000 ms; progress resets the clock.
        StartCase{
            "LongHintPollsEveryTenSeconds",
            {S::Answer(Status(kPending, 1, 100000)), S::Answer(Status(kPending, 1, 100000)),
             S::Answer(Status(kPending, 2, 100000)), S::Answer(Status(SERVICE_RUNNING, 0, 0))},
            {1000, 10000, 10000, 10000},
            Concat({Progress(kStarting, 0, 2), {"Quorvex Auto-upgrade Agent started."}})},
        StartCase{"MediumHintPollsEveryTenth",
                  {S::Answer(Status(kPending, 1, 20000)), S::Answer(Status(kPending, 2, 20000)),
                   S::Answer(Status(SERVICE_RUNNING, 0, 0))},
                  {1000, 2000, 2000},
                  Concat({Progress(kStarting, 0, 1), {"Quorvex Auto-upgrade Agent started."}})},
        StartCase{"StopsWhileStarting",
                  {S::Answer(Status(kPending, 1, 5000)), S::Answer(Status(SERVICE_STOPPED, 0, 0))},
                  {1000, 1000},
                  Concat({Progress(kStarting, 0, 0), FailedToStart(SERVICE_STOPPED, 0, 0)})},
        StartCase{"FirstQueryFails",
                  {S::Failure()},
                  {1000},
                  {kStarting, "QueryServiceStatus failed - " + ErrorText(1060)}},
        StartCase{"QueryFailsWhileStarting",
                  {S::Answer(Status(kPending, 1, 5000)), S::Failure()},
                  {1000, 1000},
                  Concat({{kStarting, "QueryServiceStatus failed - " + ErrorText(1060)},
                          FailedToStart(SERVICE_START_PENDING, 1, 5000)})}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return info.param.name; });

class StopWaitTest : public LogTest {};

TEST_F(StopWaitTest, LogsOneMorePointPerPollUntilStopped) {
  ScriptedService scripted({S::Answer(Status(SERVICE_STOP_PENDING, 5, 0)),
                            S::Answer(Status(SERVICE_STOP_PENDING, 5, 0)),
                            S::Answer(Status(SERVICE_STOPPED, 0, 0))});
  service::WaitForServiceStop(scripted);
  EXPECT_EQ(scripted.pauses, (std::vector<DWORD>{1000, 1000, 1000}));
  EXPECT_EQ(NewLogLines(),
            Concat({Progress(kStopping, 0, 2), {"Quorvex Auto-upgrade Agent stopped."}}));
}

TEST_F(StopWaitTest, GivesUpAfterTheLastAllowedPoll) {
  ScriptedService scripted({S::Answer(Status(SERVICE_STOP_PENDING, 5, 0))});
  service::WaitForServiceStop(scripted);
  EXPECT_EQ(scripted.queries, service::kMaxStopPolls);
  EXPECT_EQ(scripted.pauses, std::vector<DWORD>(service::kMaxStopPolls, 1000));
  EXPECT_EQ(NewLogLines(), Concat({Progress(kStopping, 0, service::kMaxStopPolls - 1),
                                   {"Quorvex Auto-upgrade Agent failed to stop.",
                                    "Quorvex Auto-upgrade Agent is still running; it stops when "
                                    "its upgrade run ends."}}));
}

// A stop that lands while setup runs is accepted, but the service runs on until the run ends: the
// caller is told so in a line (and the event log), whether the service still reports stop pending
// or has gone back to running.
TEST_F(StopWaitTest, SaysSoWhenTheServiceStillRunsAtTheEndOfTheWait) {
  for (const DWORD state :
       {static_cast<DWORD>(SERVICE_STOP_PENDING), static_cast<DWORD>(SERVICE_RUNNING)}) {
    RecordedEvents events;
    ScriptedService scripted({S::Answer(Status(state, 5, 0))});
    service::WaitForServiceStop(scripted);
    const auto lines = NewLogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(),
              "Quorvex Auto-upgrade Agent is still running; it stops when its upgrade run ends.")
        << "state " << state;
    ASSERT_EQ(events.entries().size(), 1u) << "state " << state;
    EXPECT_EQ(events.entries()[0].id, contract::EventId::kServiceStillRunning);
    EXPECT_EQ(events.entries()[0].kind, contract::EventKind::kWarning);
    logStart_ = testing_support::LogMessages(logPath_).size();
  }
  RecordedEvents none;
  ScriptedService stopped({S::Answer(Status(SERVICE_STOPPED, 0, 0))});
  service::WaitForServiceStop(stopped);
  EXPECT_TRUE(none.entries().empty()) << "a stopped service is not reported as running";
}

TEST_F(StopWaitTest, AFailedQueryEndsTheWaitWithTheLastStateSeen) {
  service::serviceStatus = Status(SERVICE_STOP_PENDING, 1, 0);  // as the stop control left it
  ScriptedService scripted({S::Failure()});
  service::WaitForServiceStop(scripted);
  EXPECT_EQ(scripted.queries, 1);
  EXPECT_EQ(NewLogLines(),
            (std::vector<std::string>{kStopping, "Quorvex Auto-upgrade Agent failed to stop."}));
  EXPECT_EQ(service::serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
}

// A service of the test's own, deleted again at the end.
class TemporaryService {
 public:
  explicit TemporaryService(const char* name) : name_(name) {
    Delete(name);
    platform::UniqueServiceHandle manager(
        ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    platform::UniqueServiceHandle created(::CreateServiceA(
        manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\windows\\system32\\notepad.exe", nullptr,
        nullptr, nullptr, nullptr, nullptr));
    created_ = created.is_valid();
  }
  ~TemporaryService() { Delete(name_.c_str()); }
  bool created() const { return created_; }

  static void Delete(const char* name) {
    platform::UniqueServiceHandle manager(
        ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    platform::UniqueServiceHandle existing(::OpenServiceA(manager.get(), name, DELETE));
    if (existing) ::DeleteService(existing.get());
  }

 private:
  std::string name_;
  bool created_ = false;
};

TEST(ServicePresenceTest, IsServiceInstalledAndTheClientViewFollowTheService) {
  ASSERT_FALSE(platform::IsServiceInstalled("daxService")) << "left over from an earlier run";
  EXPECT_EQ(contract::ClientRegistryView(), static_cast<REGSAM>(KEY_WOW64_32KEY));
  EXPECT_FALSE(platform::IsServiceInstalled("NoSuchDaxinstService"));
  {
    TemporaryService client("daxService");
    ASSERT_TRUE(client.created());
    EXPECT_TRUE(platform::IsServiceInstalled("daxService"));
    EXPECT_EQ(contract::ClientRegistryView(), static_cast<REGSAM>(KEY_WOW64_64KEY));
  }
  EXPECT_FALSE(platform::IsServiceInstalled("daxService"));
  EXPECT_EQ(contract::ClientRegistryView(), static_cast<REGSAM>(KEY_WOW64_32KEY));
}

}  // namespace
