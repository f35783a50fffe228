// Handlers of the -install, -uninstall, -start and -stop verbs, the Service Control Manager
// operations behind them, and the registry routines that the rest of the program shares.
#pragma once

#include <windows.h>

namespace service {

void mfn_Install();
void mfn_UnInstall();
void mfn_StartService();
void mfn_StopService();

void CreateAgentService();
void ReconfigureAgentService();
void RemoveAgentService();
void StopAgentService();
void StartStatus();

// What the start and stop waits need from the system: the service's status, a pause and the
// tick count. The Service Control Manager and the real clock by default; tests give a scripted
// service and a clock that moves only when paused, so that the wait arithmetic is seen without
// real waiting.
class ServiceWaitEnvironment {
 public:
  virtual ~ServiceWaitEnvironment() = default;
  // Leaves the thread's last error set when it answers false.
  virtual bool QueryStatus(SERVICE_STATUS& status) = 0;
  virtual void Pause(DWORD milliseconds) = 0;
  virtual DWORD TickCount() = 0;
};

// The waits of StartStatus (from "Starting ..." on) and of the stop and uninstall verbs (after an
// accepted stop control). Both keep the last status they saw in serviceStatus.
void WaitForServiceStart(ServiceWaitEnvironment& environment);
void WaitForServiceStop(ServiceWaitEnvironment& environment);

// Most status queries of one stop-and-wait: a little longer than the run's own 120-second wait
// for its end, so that a service that never leaves stop pending cannot hold the verb forever.
constexpr int kMaxStopPolls = 180;

// The system's message for the thread's last error with the code in hexadecimal, or "". Lives
// in one process-wide buffer that the next call overwrites.
const char* LastErrorText();

// True when the named service can be opened for status query.
bool IsServiceInstalled(const char* serviceName);

// 0 on success, 1 on failure.
int DeleteRegistryValue(HKEY root, const char* subKey, const char* valueName, REGSAM view);
int WriteRegistryDword(HKEY root, const char* subKey, const char* valueName, DWORD value,
                       REGSAM view);

// The registry view of the client key: 64-bit when the client's service "daxService" is
// installed, 32-bit otherwise. Chosen anew at every access.
REGSAM ClientRegistryView();

constexpr char kClientKeyPath[] = "SOFTWARE\\Quorvex\\Tarvane\\DAX\\Ombrel\\Ombrel";
constexpr char kClientServiceName[] = "daxService";
constexpr char kRunGuardMutexName[] = "DaxInstall_exist";

}  // namespace service
