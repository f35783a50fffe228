// The Service Control Manager operations behind the verbs: create, reconfigure, remove, stop and
// start the agent's own service.
#pragma once

#include <windows.h>

namespace service {

// True when the agent's service exists and can be opened for reading.
bool AgentServiceExists();

void CreateAgentService();
void ReconfigureAgentService();
void RemoveAgentService();
void StopAgentService();
void StartStatus();

// The run's side of the hand-over to the next package: the service that ran a finished run is
// set to disabled, which the SCM keeps and only an administrator can change. Its -uninstall
// child deletes it; -install over it sets demand start again.
void MarkAgentServiceSpent();

// -install and -start: while the agent's service is the spent registration of a finished run or
// is marked for deletion, wait (at most kFinishedRunWait) for its removal, so that the old
// run's -uninstall child neither stops the next run nor deletes the next package's service. When
// the wait runs out the caller is told so in a line, and the verb goes on.
constexpr DWORD kFinishedRunWait = 30000;
void WaitForFinishedRunRemoval(const char* tag);

// True while the agent's service is the spent registration of a finished run (or is marked for
// deletion): the -uninstall that removes it then is that run's own end, not an administrator's.
bool AgentServiceIsSpent();

}  // namespace service
