// The log line for an exception that would otherwise end the run unseen.
#pragma once

namespace diag {

// Logs the exception being handled the way service_main reports it. Only for use inside a catch
// block; never throws, even when the log itself runs out of memory.
void LogCurrentException() noexcept;

}  // namespace diag
