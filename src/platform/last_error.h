// The thread's last error as the log shows it and as an HRESULT.
#pragma once

#include <windows.h>

namespace platform {

// The system's message for the thread's last error with the code in hexadecimal, or "". Lives
// in one process-wide buffer that the next call overwrites.
const char* LastErrorText();

// HRESULT_FROM_WIN32 of `error`, except that 0 becomes E_FAIL: HRESULT_FROM_WIN32(0) is S_OK,
// which a caller would take for success although the call failed without saying why.
HRESULT HResultFromError(DWORD error);
// The same for the thread's last error.
HRESULT HResultFromLastError();

}  // namespace platform
