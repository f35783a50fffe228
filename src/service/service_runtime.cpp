#include "service/service_runtime.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "contract/service_names.h"
#include "diag/current_exception.h"
#include "diag/log.h"
#include "platform/unique_handle.h"
#include "service/process_entry.h"
#include "service/run_operations.h"
#include "upgrade/controller.h"

namespace service {

using contract::kServiceName;
using diag::LogLine;

SERVICE_STATUS serviceStatus = {};
std::atomic<SERVICE_STATUS_HANDLE> statusHandle{nullptr};
std::atomic<DWORD> nextCheckPoint{1};
std::atomic<DWORD> lastReportedError{0};
std::atomic<bool> stoppedReported{false};

namespace {

class ScmStatusSink final : public StatusSink {
 public:
  SERVICE_STATUS_HANDLE RegisterHandler(const char* serviceName,
                                        LPHANDLER_FUNCTION handler) override {
    return ::RegisterServiceCtrlHandlerA(serviceName, handler);
  }
  bool SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) override {
    SERVICE_STATUS copy = status;
    return ::SetServiceStatus(handle, &copy) != FALSE;
  }
};

class ApplicationEventLog final : public EventLogWriter {
 public:
  void WriteError(const char* source, const char* first, const char* second) override {
    platform::UniqueEventSource eventSource(::RegisterEventSourceA(nullptr, source));
    if (!eventSource) return;
    const char* strings[2] = {first, second};
    ::ReportEventA(eventSource.get(), EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
  }
};

std::atomic<StatusSink*> g_statusSink{nullptr};
std::atomic<EventLogWriter*> g_eventLogWriter{nullptr};
std::atomic<upgrade::RunOperations*> g_runOperations{nullptr};

StatusSink& CurrentStatusSink() {
  StatusSink* sink = g_statusSink.load();
  return sink ? *sink : SystemStatusSink();
}

EventLogWriter& CurrentEventLogWriter() {
  EventLogWriter* writer = g_eventLogWriter.load();
  return writer ? *writer : SystemEventLogWriter();
}

upgrade::RunOperations& CurrentRunOperations() {
  upgrade::RunOperations* operations = g_runOperations.load();
  return operations ? *operations : ServiceRunOperations();
}

// The control handler (dispatcher thread) and the run (service thread) both report. The record
// is filled and copied under the lock so that neither sees the other's half-written report; the
// report itself goes out after the lock is dropped, because the system's dispatcher holds its
// own lock while it runs the handler and takes it again for a stopped report.
std::mutex g_statusLock;
// Reports filled under the lock but not yet handed to the sink. The stopped report waits for them:
// one that the control handler began just before would otherwise reach the Service Control
// Manager after stopped and set the service back to running or stop pending.
int g_reportsOnTheirWay = 0;
std::condition_variable g_reportsDelivered;

// The wait for the run's end after a stop or shutdown control runs on a thread of its own. The
// Service Control Manager gives a handler 30 seconds (Wine's services.exe 10), and the run may be
// in a setup that a stop never interrupts: a handler that waited would have the stop refused with
// 1053 and leave the service stop pending. One waiter at a time; a later control while it waits
// only reports stop pending again.
std::mutex g_stopWaiterLock;
platform::UniqueKernelHandle g_stopWaiter;
// How long service_main gives the waiter after the run has ended: the end sequence has set the
// stopped event by then, so the waiter is about to return.
constexpr DWORD kStopWaiterEndWait = 5000;

DWORD WINAPI StopWaiter(void* parameter) {
  std::unique_ptr<upgrade::StopRequest> request(static_cast<upgrade::StopRequest*>(parameter));
  try {
    upgrade::AwaitStop(*request);
  } catch (...) {
    diag::LogCurrentException();
  }
  return 0;
}

// The request itself is made here, at once, so that it reaches the run however late the waiter
// starts; only the wait goes to the waiter.
void BeginStopWait() {
  std::lock_guard<std::mutex> lock(g_stopWaiterLock);
  if (g_stopWaiter && ::WaitForSingleObject(g_stopWaiter.get(), 0) == WAIT_TIMEOUT) return;
  auto request = std::make_unique<upgrade::StopRequest>(upgrade::RequestStop());
  if (!request->stopped) return;
  g_stopWaiter.reset(::CreateThread(nullptr, 0, StopWaiter, request.get(), 0, nullptr));
  if (g_stopWaiter) {
    static_cast<void>(request.release());  // the waiter owns it now
  } else {
    ReportErrorEvent("CreateThread for the stop request");
  }
}

void EndStopWait() {
  std::lock_guard<std::mutex> lock(g_stopWaiterLock);
  if (!g_stopWaiter) return;
  ::WaitForSingleObject(g_stopWaiter.get(), kStopWaiterEndWait);
  g_stopWaiter.reset();
}

void ReportStoppedAfterFailure() {
  if (statusHandle.load()) ReportServiceStatus(SERVICE_STOPPED, lastReportedError.load(), 0);
}

}  // namespace

StatusSink& SystemStatusSink() {
  static ScmStatusSink sink;
  return sink;
}

EventLogWriter& SystemEventLogWriter() {
  static ApplicationEventLog writer;
  return writer;
}

StatusSink* UseStatusSink(StatusSink* sink) { return g_statusSink.exchange(sink); }
EventLogWriter* UseEventLogWriter(EventLogWriter* writer) {
  return g_eventLogWriter.exchange(writer);
}
upgrade::RunOperations* UseRunOperations(upgrade::RunOperations* operations) {
  return g_runOperations.exchange(operations);
}

void DoNTService() {
  SERVICE_TABLE_ENTRYA dispatchTable[] = {
      {const_cast<char*>(kServiceName), service_main},
      {nullptr, nullptr},
  };
  LogLine("<DoNTService> Start Service Control Dispatcher.");
  if (::StartServiceCtrlDispatcherA(dispatchTable)) return;
  LogLine("<DoNTService> Start Service Control Dispatcher Failed.");
  ReportErrorEvent("StartServiceCtrlDispatcher failed.");
}

void WINAPI service_main(DWORD argc, LPSTR* argv) {
  try {
    const SERVICE_STATUS_HANDLE handle =
        CurrentStatusSink().RegisterHandler(kServiceName, ServiceControlHandler);
    if (!handle) return;
    statusHandle = handle;
    {
      std::lock_guard<std::mutex> lock(g_statusLock);
      serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
      serviceStatus.dwServiceSpecificExitCode = 0;
      stoppedReported = false;
    }
    if (ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0)) {
      upgrade::DaxInst(static_cast<int>(argc), argv, CurrentRunOperations());
    }
    EndStopWait();
    ReportStoppedAfterFailure();
  } catch (...) {
    diag::LogCurrentException();
    // Without a stopped report the dispatcher never returns and the service is never removed.
    ReportStoppedAfterFailure();
  }
}

void WINAPI ServiceControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (stoppedReported) break;
      ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
      // Returns at once; service_main reports stopped once the run has ended.
      BeginStopWait();
      break;
    default: {
      DWORD currentState = 0;
      {
        std::lock_guard<std::mutex> lock(g_statusLock);
        currentState = serviceStatus.dwCurrentState;
      }
      ReportServiceStatus(currentState, NO_ERROR, 0);
      break;
    }
  }
}

bool ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint) {
  if (debugMode || GetPlatformKind() != kPlatformNt) return true;

  const bool stopping = state == SERVICE_STOPPED;
  SERVICE_STATUS report;
  {
    std::unique_lock<std::mutex> lock(g_statusLock);
    // After stopped the Service Control Manager may already have let the process go; a report
    // now would only undo the stop.
    if (stoppedReported) return true;
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwWin32ExitCode = win32ExitCode;
    serviceStatus.dwWaitHint = waitHint;
    serviceStatus.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    serviceStatus.dwCheckPoint =
        state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : nextCheckPoint++;
    report = serviceStatus;
    if (stopping) {
      stoppedReported = true;
      // Safe to wait: a report on its way needs nothing from this thread to arrive.
      g_reportsDelivered.wait(lock, [] { return g_reportsOnTheirWay == 0; });
    } else {
      ++g_reportsOnTheirWay;
    }
  }

  const bool reported = CurrentStatusSink().SetStatus(statusHandle.load(), report);
  const DWORD reportError = ::GetLastError();
  if (!stopping) {
    {
      std::lock_guard<std::mutex> lock(g_statusLock);
      --g_reportsOnTheirWay;
    }
    g_reportsDelivered.notify_all();
  }
  if (!reported) {
    ::SetLastError(reportError);
    ReportErrorEvent("SetServiceStatus");
  }
  return reported;
}

void ReportErrorEvent(const char* text) {
  if (debugMode) return;
  lastReportedError = ::GetLastError();

  char first[256];
  std::snprintf(first, sizeof(first), "%s error: %d", kServiceName,
                static_cast<int>(lastReportedError.load()));
  CurrentEventLogWriter().WriteError(kServiceName, first, text ? text : "");
}

}  // namespace service
