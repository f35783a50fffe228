#include "diag/trace.h"

namespace diag {

// Placeholder until the trace provider is built: the process runs untraced.
void RegisterTraceProvider() {}
void UnregisterTraceProvider() {}

}  // namespace diag
