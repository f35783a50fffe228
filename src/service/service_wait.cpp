#include "service/service_wait.h"

#include <cstdio>
#include <string>

#include "contract/event_report.h"
#include "contract/service_names.h"
#include "diag/log.h"
#include "platform/last_error.h"
#include "service/service_runtime.h"

namespace service {

using contract::kServiceDisplayName;
using diag::LogLine;
using platform::LastErrorText;

namespace {

constexpr DWORD kPollInterval = 1000;
constexpr DWORD kLongestStartPoll = 10000;

void LogStatusLine(const char* format, DWORD value) {
  char line[256];
  std::snprintf(line, sizeof(line), format, static_cast<int>(value));
  LogLine(line);
}

// A tenth of the service's own estimate, within one and ten seconds.
DWORD StartPollPause(DWORD waitHint) {
  DWORD pause = waitHint / 10;
  if (pause < kPollInterval) pause = kPollInterval;
  if (pause > kLongestStartPoll) pause = kLongestStartPoll;
  return pause;
}

// Polls while the service is start pending and makes progress within its wait hint, logging a
// dot per poll. A failed query leaves the last status that was seen.
void PollWhileStartPending(ServiceWaitEnvironment& environment, std::string& progress) {
  SERVICE_STATUS polled = {};
  DWORD progressTick = environment.TickCount();
  DWORD lastCheckPoint = serviceStatus.dwCheckPoint;
  while (serviceStatus.dwCurrentState == SERVICE_START_PENDING) {
    environment.Pause(StartPollPause(serviceStatus.dwWaitHint));

    if (!environment.QueryStatus(polled)) {
      LogLine("QueryServiceStatus failed - ", LastErrorText());
      break;
    }
    serviceStatus = polled;
    // Running or stopped reports carry check point 0 and usually no wait hint: judged as a
    // pending report they would read as a stall and log a false "no progress" line.
    if (serviceStatus.dwCurrentState != SERVICE_START_PENDING) break;
    if (serviceStatus.dwCheckPoint > lastCheckPoint) {
      lastCheckPoint = serviceStatus.dwCheckPoint;
      progressTick = environment.TickCount();
    } else if (environment.TickCount() - progressTick > serviceStatus.dwWaitHint) {
      LogLine("StartStatus - No progress made within the wait hint");
      break;
    }
    progress += ".";
    LogLine(progress);
  }
}

}  // namespace

bool ScmWaitEnvironment::QueryStatus(SERVICE_STATUS& status) {
  return ::QueryServiceStatus(service_, &status) != FALSE;
}

void ScmWaitEnvironment::Pause(DWORD milliseconds) { ::Sleep(milliseconds); }

DWORD ScmWaitEnvironment::TickCount() { return ::GetTickCount(); }

void WaitForServiceStart(ServiceWaitEnvironment& environment) {
  std::string progress = std::string("Starting ") + kServiceDisplayName;
  LogLine(progress);

  SERVICE_STATUS polled = {};
  environment.Pause(kPollInterval);
  if (!environment.QueryStatus(polled)) {
    LogLine("QueryServiceStatus failed - ", LastErrorText());
    return;
  }
  serviceStatus = polled;
  PollWhileStartPending(environment, progress);

  if (serviceStatus.dwCurrentState == SERVICE_RUNNING) {
    LogLine(kServiceDisplayName, " started.");
    return;
  }
  LogLine(kServiceDisplayName, " failed to start.");
  LogStatusLine("  Current State: %d\n", serviceStatus.dwCurrentState);
  LogStatusLine("  Exit Code: %d\n", serviceStatus.dwWin32ExitCode);
  LogStatusLine("  Service Specific Exit Code: %d\n", serviceStatus.dwServiceSpecificExitCode);
  LogStatusLine("  Check Point: %d\n", serviceStatus.dwCheckPoint);
  LogStatusLine("  Wait Hint: %d\n", serviceStatus.dwWaitHint);
  LogStatusLine("  Last Error Code: %d\n", ::GetLastError());
}

void WaitForServiceStop(ServiceWaitEnvironment& environment) {
  std::string progress = std::string("Stopping ") + kServiceDisplayName;
  LogLine(progress);

  SERVICE_STATUS polled = {};
  environment.Pause(kPollInterval);
  int polls = 1;
  bool queried = environment.QueryStatus(polled);
  if (queried) serviceStatus = polled;
  while (queried && serviceStatus.dwCurrentState == SERVICE_STOP_PENDING && polls < kMaxStopPolls) {
    progress += ".";
    LogLine(progress);
    environment.Pause(kPollInterval);
    ++polls;
    queried = environment.QueryStatus(polled);
    if (queried) serviceStatus = polled;
  }

  LogLine(kServiceDisplayName,
          serviceStatus.dwCurrentState == SERVICE_STOPPED ? " stopped." : " failed to stop.");
  // A stop never interrupts setup: the service may well still run, and the caller acts on it.
  if (queried && serviceStatus.dwCurrentState != SERVICE_STOPPED) {
    contract::RecordEvent(contract::EventKind::kWarning, contract::EventId::kServiceStillRunning,
                          std::string(kServiceDisplayName) +
                              " is still running; it stops when its upgrade run ends.");
  }
}

}  // namespace service
