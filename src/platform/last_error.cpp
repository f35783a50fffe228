#include "platform/last_error.h"

#include <cstdio>

#include "platform/unique_handle.h"

namespace platform {

const char* LastErrorText() {
  static char buffer[256];
  char* message = nullptr;
  // Some system messages hold inserts ("%1 is not a valid Win32 application."); with no
  // arguments to fill them, they must be left as they are rather than read from nowhere.
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, ::GetLastError(), LANG_NEUTRAL, reinterpret_cast<char*>(&message), 0, nullptr);
  UniqueLocalMemory owned(message);
  if (length == 0 || !message || length + 14 > sizeof(buffer)) {
    buffer[0] = '\0';
    return buffer;
  }
  // The system's text ends in a line break.
  message[length >= 2 ? length - 2 : 0] = '\0';
  std::snprintf(buffer, sizeof(buffer), "%s (0x%lx)", message, ::GetLastError());
  return buffer;
}

HRESULT HResultFromError(DWORD error) { return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error); }

HRESULT HResultFromLastError() { return HResultFromError(::GetLastError()); }

}  // namespace platform
