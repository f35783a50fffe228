// The Service Control Manager operations behind the verbs: create, reconfigure, remove, stop and
// start the agent's own service.
#pragma once

namespace service {

// True when the agent's service exists and can be opened for reading.
bool AgentServiceExists();

void CreateAgentService();
void ReconfigureAgentService();
void RemoveAgentService();
void StopAgentService();
void StartStatus();

}  // namespace service
