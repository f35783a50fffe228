// Event-trace provider of the process: registered for the whole life of the process entry.
#pragma once

namespace diag {

void RegisterTraceProvider();
void UnregisterTraceProvider();

}  // namespace diag
