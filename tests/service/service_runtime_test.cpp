// The service's status reports, control handling and error entries, seen through a recording
// status sink and event-log writer, with the real upgrade run in between.
#include "service/service_runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "platform/unique_handle.h"
#include "service/process_entry.h"
#include "support/test_support.h"
#include "upgrade/controller.h"

namespace {

using service::ReportServiceStatus;

const SERVICE_STATUS_HANDLE kFakeHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);

struct Report {
  DWORD state;
  DWORD controlsAccepted;
  DWORD exitCode;
  DWORD checkPoint;
  DWORD waitHint;
  bool operator==(const Report& other) const {
    return state == other.state && controlsAccepted == other.controlsAccepted &&
           exitCode == other.exitCode && checkPoint == other.checkPoint &&
           waitHint == other.waitHint;
  }
};

std::ostream& operator<<(std::ostream& out, const Report& report) {
  return out << "{state " << report.state << ", accepted " << report.controlsAccepted << ", exit "
             << report.exitCode << ", cp " << report.checkPoint << ", hint " << report.waitHint
             << "}";
}

// Every report of the process, in order. The report numbered `failAt` (1-based) fails with
// `failError`, as SetServiceStatus would.
class RecordingSink final : public service::StatusSink {
 public:
  SERVICE_STATUS_HANDLE RegisterHandler(const char* name, LPHANDLER_FUNCTION handler) override {
    registeredName = name;
    registeredHandler = handler;
    return registrationFails ? nullptr : kFakeHandle;
  }
  bool SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) override {
    if (beforeRecord) beforeRecord(status);
    bool reported = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handles.push_back(handle);
      reports.push_back({status.dwCurrentState, status.dwControlsAccepted, status.dwWin32ExitCode,
                         status.dwCheckPoint, status.dwWaitHint});
      EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
      EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
      reported = static_cast<int>(reports.size()) != failAt;
    }
    if (afterRecord) afterRecord(status);
    if (!reported) ::SetLastError(failError);
    return reported;
  }
  std::vector<Report> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports;
  }
  bool HasReported(DWORD state) {
    for (const Report& report : Reports()) {
      if (report.state == state) return true;
    }
    return false;
  }

  bool registrationFails = false;
  int failAt = 0;
  DWORD failError = ERROR_INVALID_HANDLE;
  // Called on the reporting thread before a report is recorded (that is, before it reaches the
  // Service Control Manager) and after.
  std::function<void(const SERVICE_STATUS&)> beforeRecord;
  std::function<void(const SERVICE_STATUS&)> afterRecord;
  std::string registeredName;
  LPHANDLER_FUNCTION registeredHandler = nullptr;
  std::vector<SERVICE_STATUS_HANDLE> handles;

 private:
  std::mutex mutex_;
  std::vector<Report> reports;
};

struct EventEntry {
  std::string source, first, second;
};

class RecordingEventLog final : public service::EventLogWriter {
 public:
  void WriteError(const char* source, const char* first, const char* second) override {
    entries.push_back({source, first, second});
  }
  std::vector<EventEntry> entries;
};

// The run's own status reports go to the runtime; setup and its result are played by the test.
class ScriptedRun final : public upgrade::RunOperations {
 public:
  bool ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint) override {
    if (throwOnFirstReport) throw std::runtime_error("registry went away");
    if (throwUnknownOnFirstReport) throw 42;
    return service::ReportServiceStatus(state, exitCode, waitHint);
  }
  int RunDaxSetup(const std::string&, DWORD) override {
    ++setupRuns;
    if (duringSetup) duringSetup();
    return 0;
  }
  int DaxSetupResult() override { return upgrade::kSetupSucceeded; }

  bool throwOnFirstReport = false;
  bool throwUnknownOnFirstReport = false;
  int setupRuns = 0;
  std::function<void()> duringSetup;
};

class ServiceRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    diag::OpenLogFile();
    logPath_ = testing_support::LogPath();
    logStart_ = testing_support::LogMessages(logPath_).size();
    service::serviceStatus = {};
    service::statusHandle = nullptr;
    service::nextCheckPoint = 1;
    service::lastReportedError = 0;
    service::stoppedReported = false;
    service::debugMode = false;
    service::UseStatusSink(&sink_);
    service::UseEventLogWriter(&eventLog_);
    service::UseRunOperations(&run_);
  }
  void TearDown() override {
    service::UseStatusSink(nullptr);
    service::UseEventLogWriter(nullptr);
    service::UseRunOperations(nullptr);
    service::debugMode = false;
    service::statusHandle = nullptr;
  }

  void RunServiceMain() {
    char name[] = "Daxinst";
    char* argv[] = {name, nullptr};
    service::service_main(1, argv);
  }

  std::vector<std::string> NewLogLines() const {
    diag::OpenLogFile();  // the run closes the log at its end
    const auto all = testing_support::LogMessages(logPath_);
    std::vector<std::string> lines;
    for (size_t i = logStart_; i < all.size(); ++i) {
      if (all[i].rfind("====== DaxInst starts at", 0) != 0) lines.push_back(all[i]);
    }
    return lines;
  }

  static bool Contains(const std::vector<std::string>& lines, const std::string& wanted) {
    for (const auto& line : lines) {
      if (line == wanted) return true;
    }
    return false;
  }

  testing_support::RunRegistryGuard registry_;
  RecordingSink sink_;
  RecordingEventLog eventLog_;
  ScriptedRun run_;
  std::string logPath_;
  size_t logStart_ = 0;
};

constexpr DWORD kAcceptStopShutdown = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

TEST_F(ServiceRuntimeTest, OneRunWithAStopRequestReportsTheWholeSequence) {
  // The stop request comes from the dispatcher's thread while setup runs. The handler returns
  // once it has sent the request; setup goes on only then, so that the handler's lines are
  // written before the run ends and closes the log.
  run_.duringSetup = [&] {
    std::thread controlThread([] { service::ServiceControlHandler(SERVICE_CONTROL_STOP); });
    controlThread.join();
  };

  RunServiceMain();

  EXPECT_EQ(sink_.registeredName, "Daxinst");
  EXPECT_EQ(sink_.registeredHandler, &service::ServiceControlHandler);
  const std::vector<Report> expected = {
      {SERVICE_RUNNING, kAcceptStopShutdown, 0, 0, 0},
      {SERVICE_START_PENDING, 0, 0, 1, 5000},
      {SERVICE_START_PENDING, 0, 0, 2, 5000},
      {SERVICE_START_PENDING, 0, 0, 3, 5000},
      {SERVICE_RUNNING, kAcceptStopShutdown, 0, 0, 0},
      {SERVICE_STOP_PENDING, kAcceptStopShutdown, 0, 4, 0},
      {SERVICE_STOPPED, kAcceptStopShutdown, 0, 0, 0},
  };
  EXPECT_EQ(sink_.Reports(), expected);
  for (SERVICE_STATUS_HANDLE handle : sink_.handles) EXPECT_EQ(handle, kFakeHandle);
  EXPECT_EQ(run_.setupRuns, 1);
  EXPECT_TRUE(eventLog_.entries.empty());

  const auto lines = NewLogLines();
  EXPECT_TRUE(Contains(lines, "DaxInst : Stopping Service ..."));
  EXPECT_TRUE(Contains(lines, "DaxInst: Waiting for service to stop..."));
  EXPECT_TRUE(Contains(lines, "================= End ==================="));
}

// The Service Control Manager gives a handler 30 seconds (Wine 10), and a stop never interrupts
// setup: stop and shutdown report stop pending and return at once, while setup still runs; the
// run is asked to stop, goes on to its end, and only then is stopped reported.
class StopControlTest : public ServiceRuntimeTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(StopControlTest, ReportsStopPendingAndReturnsAtOnceWhileSetupRuns) {
  platform::UniqueKernelHandle handlerReturned(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::thread controlThread;
  bool returnedWhileSetupRan = false;
  bool stopRequestReachedTheRun = false;
  run_.duringSetup = [&] {
    controlThread = std::thread([&] {
      service::ServiceControlHandler(GetParam());
      ::SetEvent(handlerReturned.get());
    });
    returnedWhileSetupRan = ::WaitForSingleObject(handlerReturned.get(), 5000) == WAIT_OBJECT_0;
    for (int i = 0; i < 500 && !stopRequestReachedTheRun; ++i) {
      platform::UniqueKernelHandle stop(
          ::OpenEventA(SYNCHRONIZE, FALSE, "StopDaxInstServiceEvent"));
      stopRequestReachedTheRun = stop && ::WaitForSingleObject(stop.get(), 0) == WAIT_OBJECT_0;
      if (!stopRequestReachedTheRun) ::Sleep(10);
    }
  };

  RunServiceMain();
  controlThread.join();

  EXPECT_TRUE(returnedWhileSetupRan) << "the handler waited for the run";
  EXPECT_TRUE(stopRequestReachedTheRun);
  EXPECT_EQ(run_.setupRuns, 1);
  const auto reports = sink_.Reports();
  ASSERT_EQ(reports.size(), 7u);
  EXPECT_EQ(reports[5], (Report{SERVICE_STOP_PENDING, kAcceptStopShutdown, 0, 4, 0}));
  EXPECT_EQ(reports[6], (Report{SERVICE_STOPPED, kAcceptStopShutdown, 0, 0, 0}));
  const auto lines = NewLogLines();
  EXPECT_TRUE(Contains(lines, "DaxInst : Stopping Service ..."));
  EXPECT_TRUE(Contains(lines, "DaxInst: Auto-upgrade succeeded."));
}

INSTANTIATE_TEST_SUITE_P(StopAndShutdown, StopControlTest,
                         ::testing::Values(static_cast<DWORD>(SERVICE_CONTROL_STOP),
                                           static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN)),
                         [](const ::testing::TestParamInfo<DWORD>& info) {
                           return info.param == SERVICE_CONTROL_STOP ? std::string("Stop")
                                                                     : std::string("Shutdown");
                         });

TEST_F(ServiceRuntimeTest, InterrogateReReportsTheCurrentState) {
  run_.duringSetup = [] { service::ServiceControlHandler(SERVICE_CONTROL_INTERROGATE); };
  RunServiceMain();

  const auto reports = sink_.Reports();
  ASSERT_EQ(reports.size(), 7u);
  EXPECT_EQ(reports[4], (Report{SERVICE_RUNNING, kAcceptStopShutdown, 0, 0, 0}));
  EXPECT_EQ(reports[5], (Report{SERVICE_RUNNING, kAcceptStopShutdown, 0, 0, 0}));
  EXPECT_EQ(reports[6], (Report{SERVICE_STOPPED, kAcceptStopShutdown, 0, 0, 0}));
}

// Regression: a control that came after the stopped report was still answered with a report,
// which set the stopped service back to stop pending (or re-reported a state it had left).
TEST_F(ServiceRuntimeTest, ControlsAfterTheStoppedReportReportNothing) {
  RunServiceMain();
  const auto before = sink_.Reports();
  ASSERT_FALSE(before.empty());
  ASSERT_EQ(before.back().state, static_cast<DWORD>(SERVICE_STOPPED));

  service::ServiceControlHandler(SERVICE_CONTROL_INTERROGATE);
  service::ServiceControlHandler(SERVICE_CONTROL_STOP);

  EXPECT_EQ(sink_.Reports(), before);
  EXPECT_TRUE(eventLog_.entries.empty());
}

// Regression: the control handler fills its report under the lock but sends it after, so a
// report it had begun just before service_main's stopped report could reach the Service Control
// Manager after it. Here the handler's report is held back until stopped has arrived, or for two
// seconds where stopped waits for it.
TEST_F(ServiceRuntimeTest, AReportBegunBeforeStoppedStillArrivesBeforeIt) {
  platform::UniqueKernelHandle handlerReporting(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  platform::UniqueKernelHandle stoppedArrived(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::atomic<DWORD> handlerThread{0};
  sink_.beforeRecord = [&](const SERVICE_STATUS&) {
    if (::GetCurrentThreadId() != handlerThread) return;
    ::SetEvent(handlerReporting.get());
    ::WaitForSingleObject(stoppedArrived.get(), 2000);
  };
  sink_.afterRecord = [&](const SERVICE_STATUS& status) {
    if (status.dwCurrentState == SERVICE_STOPPED) ::SetEvent(stoppedArrived.get());
  };
  std::thread controlThread;
  run_.duringSetup = [&] {
    controlThread = std::thread([&] {
      handlerThread = ::GetCurrentThreadId();
      service::ServiceControlHandler(SERVICE_CONTROL_INTERROGATE);
    });
    EXPECT_EQ(::WaitForSingleObject(handlerReporting.get(), 10000), WAIT_OBJECT_0);
  };

  RunServiceMain();
  controlThread.join();

  const auto reports = sink_.Reports();
  ASSERT_EQ(reports.size(), 7u);
  EXPECT_EQ(reports[5], (Report{SERVICE_RUNNING, kAcceptStopShutdown, 0, 0, 0}));
  EXPECT_EQ(reports[6], (Report{SERVICE_STOPPED, kAcceptStopShutdown, 0, 0, 0}));
}

TEST_F(ServiceRuntimeTest, PendingReportsTakeTheNextCheckPointAndAcceptNoControlsWhileStarting) {
  service::statusHandle = kFakeHandle;
  service::serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;  // as service_main sets it
  EXPECT_TRUE(ReportServiceStatus(SERVICE_START_PENDING, 0, 5000));
  EXPECT_TRUE(ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0));
  EXPECT_TRUE(ReportServiceStatus(SERVICE_RUNNING, 0, 0));
  EXPECT_TRUE(ReportServiceStatus(SERVICE_START_PENDING, 0, 100));
  const std::vector<Report> expected = {
      {SERVICE_START_PENDING, 0, 0, 1, 5000},
      {SERVICE_STOP_PENDING, kAcceptStopShutdown, 0, 2, 0},
      {SERVICE_RUNNING, kAcceptStopShutdown, 0, 0, 0},
      {SERVICE_START_PENDING, 0, 0, 3, 100},
  };
  EXPECT_EQ(sink_.Reports(), expected);
  EXPECT_EQ(service::serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
}

TEST_F(ServiceRuntimeTest, DebugModeReportsNothingAndWritesNoEvents) {
  service::debugMode = true;
  service::statusHandle = kFakeHandle;
  EXPECT_TRUE(ReportServiceStatus(SERVICE_RUNNING, 0, 0));
  EXPECT_TRUE(ReportServiceStatus(SERVICE_START_PENDING, 0, 5000));
  ::SetLastError(ERROR_ACCESS_DENIED);
  service::ReportErrorEvent("SetServiceStatus");

  EXPECT_TRUE(sink_.Reports().empty());
  EXPECT_TRUE(eventLog_.entries.empty());
  EXPECT_EQ(service::lastReportedError.load(), 0u);
  EXPECT_EQ(service::nextCheckPoint.load(), 1u);
}

TEST_F(ServiceRuntimeTest, FailedFirstRunningReportSkipsTheRunAndStopsWithItsError) {
  sink_.failAt = 1;
  sink_.failError = ERROR_INVALID_HANDLE;
  RunServiceMain();

  EXPECT_EQ(run_.setupRuns, 0);
  const std::vector<Report> expected = {
      {SERVICE_RUNNING, kAcceptStopShutdown, 0, 0, 0},
      {SERVICE_STOPPED, kAcceptStopShutdown, ERROR_INVALID_HANDLE, 0, 0},
  };
  EXPECT_EQ(sink_.Reports(), expected);
  ASSERT_EQ(eventLog_.entries.size(), 1u);
  EXPECT_EQ(eventLog_.entries[0].source, "Daxinst");
  EXPECT_EQ(eventLog_.entries[0].first, "Daxinst error: 6");
  EXPECT_EQ(eventLog_.entries[0].second, "SetServiceStatus");
  // The run never started: it wrote nothing.
  EXPECT_FALSE(testing_support::ReadDword(HKEY_LOCAL_MACHINE,
                                          "SOFTWARE\\Quorvex\\Tarvane\\DAX\\Ombrel\\Ombrel",
                                          "DaxSetupStatus", KEY_WOW64_32KEY)
                   .has_value());
}

TEST_F(ServiceRuntimeTest, AFailedReportLaterInTheRunBecomesTheStoppedExitCode) {
  sink_.failAt = 3;  // the second start-pending report
  sink_.failError = ERROR_SERVICE_NOT_ACTIVE;
  RunServiceMain();

  const auto reports = sink_.Reports();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back(),
            (Report{SERVICE_STOPPED, kAcceptStopShutdown, ERROR_SERVICE_NOT_ACTIVE, 0, 0}));
  EXPECT_EQ(run_.setupRuns, 0);  // the run failed at that report
  ASSERT_EQ(eventLog_.entries.size(), 1u);
  EXPECT_EQ(eventLog_.entries[0].first, "Daxinst error: 1062");
  EXPECT_TRUE(Contains(NewLogLines(), "DaxInst: Auto-upgrade failed."));
}

TEST_F(ServiceRuntimeTest, FailedRegistrationReportsNothingAndRunsNothing) {
  sink_.registrationFails = true;
  RunServiceMain();
  EXPECT_TRUE(sink_.Reports().empty());
  EXPECT_EQ(run_.setupRuns, 0);
  EXPECT_EQ(service::statusHandle.load(), nullptr);
}

struct ExceptionCase {
  const char* name;
  bool standard;
  const char* logLine;
};

class ServiceMainExceptionTest : public ServiceRuntimeTest,
                                 public ::testing::WithParamInterface<ExceptionCase> {};

TEST_P(ServiceMainExceptionTest, IsLoggedAndStillReportsStopped) {
  // Thrown at the run's first report, before it holds any named object.
  (GetParam().standard ? run_.throwOnFirstReport : run_.throwUnknownOnFirstReport) = true;
  service::lastReportedError = ERROR_NOT_ENOUGH_MEMORY;
  RunServiceMain();

  const std::vector<Report> expected = {
      {SERVICE_RUNNING, kAcceptStopShutdown, 0, 0, 0},
      {SERVICE_STOPPED, kAcceptStopShutdown, ERROR_NOT_ENOUGH_MEMORY, 0, 0},
  };
  EXPECT_EQ(sink_.Reports(), expected);
  EXPECT_TRUE(Contains(NewLogLines(), GetParam().logLine));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ServiceMainExceptionTest,
    ::testing::Values(
        ExceptionCase{"Standard", true, "Exception thrown in service_main: registry went away"},
        ExceptionCase{"Unknown", false, "Exception thrown in service_main: unknown exception"}),
    [](const ::testing::TestParamInfo<ExceptionCase>& info) { return info.param.name; });

TEST_F(ServiceRuntimeTest, ErrorEventCarriesTheLastErrorAndTheText) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  service::ReportErrorEvent("StartServiceCtrlDispatcher failed.");
  ASSERT_EQ(eventLog_.entries.size(), 1u);
  EXPECT_EQ(eventLog_.entries[0].source, "Daxinst");
  EXPECT_EQ(eventLog_.entries[0].first, "Daxinst error: 5");
  EXPECT_EQ(eventLog_.entries[0].second, "StartServiceCtrlDispatcher failed.");
  EXPECT_EQ(service::lastReportedError.load(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ServiceRuntimeTest, DispatcherOutsideTheServiceControlManagerLogsAndWritesAnErrorEvent) {
  // Not started by the Service Control Manager: the dispatcher cannot connect.
  service::DoNTService();

  const auto lines = NewLogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "<DoNTService> Start Service Control Dispatcher.");
  EXPECT_EQ(lines.back(), "<DoNTService> Start Service Control Dispatcher Failed.");
  ASSERT_EQ(eventLog_.entries.size(), 1u);
  EXPECT_EQ(eventLog_.entries[0].first,
            "Daxinst error: " + std::to_string(service::lastReportedError.load()));
  EXPECT_NE(service::lastReportedError.load(), 0u);
  EXPECT_EQ(eventLog_.entries[0].second, "StartServiceCtrlDispatcher failed.");
  EXPECT_TRUE(sink_.Reports().empty());
}

}  // namespace
