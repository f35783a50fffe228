// The waits of the start and stop verbs for the service to reach its new state.
#pragma once

#include <windows.h>

namespace service {

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

// The Service Control Manager's status of `serviceHandle`, Sleep and GetTickCount.
class ScmWaitEnvironment final : public ServiceWaitEnvironment {
 public:
  explicit ScmWaitEnvironment(SC_HANDLE serviceHandle) : service_(serviceHandle) {}
  bool QueryStatus(SERVICE_STATUS& status) override;
  void Pause(DWORD milliseconds) override;
  DWORD TickCount() override;

 private:
  SC_HANDLE service_;
};

// The waits of StartStatus (from "Starting ..." on) and of the stop and uninstall verbs (after an
// accepted stop control). Both keep the last status they saw in serviceStatus.
void WaitForServiceStart(ServiceWaitEnvironment& environment);
void WaitForServiceStop(ServiceWaitEnvironment& environment);

// Most status queries of one stop-and-wait: a little longer than the run's own 120-second wait
// for its end, so that a service that never leaves stop pending cannot hold the verb forever.
constexpr int kMaxStopPolls = 180;

}  // namespace service
