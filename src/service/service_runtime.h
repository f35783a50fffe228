// The service's runtime contract with the Service Control Manager: dispatcher, service entry,
// control handler, status reports and event-log errors.
#pragma once

#include <windows.h>

#include <atomic>

namespace upgrade {
class RunOperations;
}

namespace service {

// The one status record of the process. The control operations of the verbs query into it too;
// a process never does both.
extern SERVICE_STATUS serviceStatus;
// Empty until service_main has registered its control handler.
extern std::atomic<SERVICE_STATUS_HANDLE> statusHandle;
// Check point of the next pending report; starts at 1 and is never reset.
extern std::atomic<DWORD> nextCheckPoint;
// The last error seen by ReportErrorEvent; the exit code of the final stopped report.
extern std::atomic<DWORD> lastReportedError;
// Set once a stopped report has gone out; every report after it is dropped. Cleared when
// service_main registers its handler.
extern std::atomic<bool> stoppedReported;

void DoNTService();
void WINAPI service_main(DWORD argc, LPSTR* argv);
void WINAPI ServiceControlHandler(DWORD control);
bool ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint);
void ReportErrorEvent(const char* text);

// Where the handler registration and the status reports go. The Service Control Manager by
// default; tests put a recorder in its place to see the exact sequence of reports.
class StatusSink {
 public:
  virtual ~StatusSink() = default;
  virtual SERVICE_STATUS_HANDLE RegisterHandler(const char* serviceName,
                                                LPHANDLER_FUNCTION handler) = 0;
  // Leaves the thread's last error set when it answers false.
  virtual bool SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) = 0;
};

// Where error entries go. The Application event log by default; under Wine that log only prints
// to its debug channel, so tests put a recorder in its place.
class EventLogWriter {
 public:
  virtual ~EventLogWriter() = default;
  // One error entry with two insertion strings under the event source `source`.
  virtual void WriteError(const char* source, const char* first, const char* second) = 0;
};

StatusSink& SystemStatusSink();
EventLogWriter& SystemEventLogWriter();

// Replace the sink, the writer or the run operations that service_main hands to the run;
// each returns the one it replaces. Null restores the system's own.
StatusSink* UseStatusSink(StatusSink* sink);
EventLogWriter* UseEventLogWriter(EventLogWriter* writer);
upgrade::RunOperations* UseRunOperations(upgrade::RunOperations* operations);

}  // namespace service
