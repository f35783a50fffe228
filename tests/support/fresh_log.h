// The program's log beside a unit test, started afresh so that a case reads only its own lines.
#pragma once

#include "diag/log.h"
#include "support/test_support.h"

namespace testing_support {

// Closes the log (an open log cannot be deleted), deletes it and opens it again. The log writes
// its opening line only when it is enabled: a case that wants that line enables it first.
inline void StartFreshLog() {
  diag::CloseLogFile();
  DeleteFileIfPresent(LogPath());
  diag::OpenLogFile();
}

}  // namespace testing_support
