// Starting a program that has been checked through a handle, so that what runs is the file that
// was checked and not whatever its name leads to by the time the process is made.
#pragma once

#include <windows.h>

#include <string>

#include "platform/unique_handle.h"

namespace platform {

enum class VerifiedStart {
  kRunning,             // the process runs; `process` holds it
  kNotCreated,          // CreateProcessW failed (or the command line did not convert)
  kNotTheVerifiedFile,  // the process was made from another file and ended before it ran
  kNotResumed,          // the process could not be resumed and was ended before it ran
};

// Starts `path` hidden with `commandLine` (ANSI, converted as CreateProcessA would; may be null)
// suspended, and lets it run only once the system shows that it made the process from the file
// `verified` holds: the name is looked up again to create the process, and only the file's
// identity tells whether it still led to the file that was checked. A process that is not let run
// is terminated and awaited for a few seconds.
VerifiedStart StartVerifiedProcess(const std::wstring& path, HANDLE verified,
                                   const char* commandLine, UniqueKernelHandle& process);

}  // namespace platform
