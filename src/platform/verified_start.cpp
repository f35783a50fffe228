#include "platform/verified_start.h"

#include <utility>

#include "platform/file_identity.h"
#include "platform/text_conversion.h"

namespace platform {

namespace {

// How long an ended process is given to be gone before the caller goes on.
constexpr DWORD kEndedProcessWait = 10000;

}  // namespace

VerifiedStart StartVerifiedProcess(const std::wstring& path, HANDLE verified,
                                   const char* commandLine, UniqueKernelHandle& process) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  ::GetStartupInfoW(&startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  // Converted as CreateProcessA would convert it; the process may write into it.
  std::wstring writableCommandLine = WidenToNulLenient(commandLine);
  if (commandLine && *commandLine && writableCommandLine.empty()) return VerifiedStart::kNotCreated;

  PROCESS_INFORMATION created = {};
  if (!::CreateProcessW(path.c_str(),
                        writableCommandLine.empty() ? nullptr : &writableCommandLine[0], nullptr,
                        nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE | CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &created)) {
    return VerifiedStart::kNotCreated;
  }
  UniqueKernelHandle started(created.hProcess);
  UniqueKernelHandle thread(created.hThread);

  FileIdentity image;
  FileIdentity checked;
  const bool same = ProcessImageIdentity(started.get(), image) &&
                    FileIdentityOf(verified, checked) && image == checked;
  if (!same || ::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    ::TerminateProcess(started.get(), ERROR_ACCESS_DENIED);
    ::WaitForSingleObject(started.get(), kEndedProcessWait);
    return same ? VerifiedStart::kNotResumed : VerifiedStart::kNotTheVerifiedFile;
  }
  process = std::move(started);
  return VerifiedStart::kRunning;
}

}  // namespace platform
