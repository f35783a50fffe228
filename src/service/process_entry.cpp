#include "service/process_entry.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "contract/event_report.h"
#include "contract/service_names.h"
#include "diag/log.h"
#include "diag/trace.h"
#include "platform/command_line.h"
#include "platform/file_identity.h"
#include "platform/module_path.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "platform/verified_start.h"
#include "service/run_operations.h"
#include "service/service_runtime.h"
#include "service/verbs.h"
#include "upgrade/controller.h"
#include "upgrade/run_objects.h"

namespace service {

using diag::LogLine;

std::atomic<bool> debugMode{false};

namespace {

// Heap corruption ends the process instead of letting it run on with damaged state. Looked up
// at run time so that a system without the call still starts.
void TerminateOnHeapCorruption() {
  platform::UniqueLibrary kernel(::LoadLibraryA("kernel32.dll"));
  if (!kernel) return;
  using HeapSetInformationFn = BOOL(WINAPI*)(HANDLE, int, void*, SIZE_T);
  auto heapSetInformation = reinterpret_cast<HeapSetInformationFn>(
      reinterpret_cast<void*>(::GetProcAddress(kernel.get(), "HeapSetInformation")));
  if (heapSetInformation)
    heapSetInformation(nullptr, 1 /* HeapEnableTerminationOnCorruption */, nullptr, 0);
}

// Held from the service's start to the start of its -uninstall child: without delete sharing the
// file can be neither renamed nor replaced while setup runs, and the child is let run only when
// the system made it from this file.
platform::UniqueFileHandle g_ownImage;

}  // namespace

void OpenLogFileAndTellARefusal() {
  const diag::LogFileOpening opening = diag::OpenLogFile();
  if (opening.result != diag::LogFileOpen::kLinked &&
      opening.result != diag::LogFileOpen::kReparsePoint) {
    return;
  }
  const std::string why = opening.result == diag::LogFileOpen::kLinked
                              ? "it has " + std::to_string(opening.links) +
                                    " links, so another name of it lies elsewhere"
                              : "it is a reparse point that leads elsewhere";
  contract::RecordEvent(contract::EventKind::kWarning, contract::EventId::kLogFileRefused,
                        "DaxInst: the log " + opening.path + " is not written: " + why);
}

bool HoldOwnImage() {
  std::string path;
  std::wstring widePath;
  if (platform::ReadOwnModulePath(path, &widePath) == platform::ModulePathRead::kRead) {
    g_ownImage = platform::OpenReadShared(widePath.c_str());
  }
  return g_ownImage.is_valid();
}

int ProcessEntry() {
  diag::RegisterTraceProvider();
  TerminateOnHeapCorruption();
  OpenLogFileAndTellARefusal();
  if (!DispatchCommandLine()) RunServiceThenUninstall();
  diag::UnregisterTraceProvider();
  return 0;
}

bool DispatchCommandLine() {
  const std::vector<std::wstring> arguments = platform::SplitCommandLine(::GetCommandLineW());
  if (arguments.size() < 2) return false;

  const std::string argument = platform::NarrowToNulInThreadCodePage(arguments[1].c_str());
  LogLine(argument);
  if (const VerbEntry* verb = MatchVerb(argument.c_str())) verb->handler();
  LogLine("command line has been handled");
  return true;
}

void mfn_Runservice() {
  LogLine("Begin to call <mfn_Runservice>.");
  if (GetPlatformKind() != kPlatformNt) {
    LogLine("The system isn't Windows NT.");
  } else {
    DoNTService();
  }
  LogLine("<mfn_Runservice> called.");
}

std::string UninstallCommandLine(const std::string& executablePath) {
  char commandLine[324];
  const int length = std::snprintf(commandLine, sizeof(commandLine), "\"%s\" %s",
                                   executablePath.c_str(), "-uninstall");
  if (length < 0 || static_cast<size_t>(length) >= sizeof(commandLine)) return {};
  return commandLine;
}

bool StartUninstallChild(HANDLE ownImage) {
  std::string executablePath;
  std::wstring wideExecutablePath;
  if (platform::ReadOwnModulePath(executablePath, &wideExecutablePath) !=
      platform::ModulePathRead::kRead) {
    return false;
  }
  const std::string commandLine = UninstallCommandLine(executablePath);
  if (commandLine.empty()) return false;
  platform::UniqueKernelHandle child;
  switch (
      platform::StartVerifiedProcess(wideExecutablePath, ownImage, commandLine.c_str(), child)) {
    case platform::VerifiedStart::kRunning:
      return true;
    case platform::VerifiedStart::kNotTheVerifiedFile:
      contract::RecordEvent(contract::EventKind::kError, contract::EventId::kUninstallChildRefused,
                            "DaxInst: the -uninstall child started from " + executablePath +
                                " is not this program's file. It was ended before it ran");
      return false;
    default:
      return false;
  }
}

void RunServiceThenUninstall() {
  if (!HoldOwnImage()) {
    contract::RecordEvent(contract::EventKind::kWarning, contract::EventId::kOwnImageNotHeld,
                          "DaxInst: the service cannot hold its own file (error " +
                              std::to_string(::GetLastError()) +
                              "). It removes itself without the -uninstall child");
  }
  mfn_Runservice();

  // The service is one-shot: whatever the run did, it is removed again, by a child process so
  // that this process can exit and let the Service Control Manager delete it. A child that cannot
  // be started from this program's own file is not started at all.
  const bool childStarted = g_ownImage && StartUninstallChild(g_ownImage.get());
  g_ownImage.reset();
  if (!childStarted) mfn_UnInstall();
}

void ConfirmDebugMode() {
  if (::MessageBoxA(nullptr, "Do you want to proceed the DEBUG mode ?", "DAX_INST Service",
                    MB_YESNO) != IDYES) {
    return;
  }
  // A run of the service, or another debug run, is in progress: a second run would only stop at
  // its guard, or, where it could not see the first one, run setup beside it.
  if (upgrade::RunInProgressForVerb("<ConfirmDebugMode>")) {
    LogLine("<ConfirmDebugMode> daxinst.exe is running, the debug run does not start.");
    return;
  }
  debugMode = true;
  RunDebugConsole();
}

void RunDebugConsole() {
  LogLine("Debugging ", contract::kServiceDisplayName, ", press ctrl-c to exit.");
  ::SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  upgrade::DaxInst(0, nullptr, ServiceRunOperations());
}

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType) {
  switch (controlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      LogLine("Stopping ", contract::kServiceDisplayName);
      upgrade::StopDaxInst();
      return TRUE;
    default:
      return FALSE;
  }
}

int RunProcess(const char* applicationPath, const char* commandLine, bool wait) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  ::GetStartupInfoA(&startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;

  // CreateProcessA may write into the command line, so it gets a private copy.
  std::unique_ptr<char[]> writableCommandLine;
  if (commandLine) {
    const size_t length = std::strlen(commandLine);
    writableCommandLine.reset(new (std::nothrow) char[length + 1]);
    if (!writableCommandLine) return -1;
    std::memcpy(writableCommandLine.get(), commandLine, length + 1);
  }

  PROCESS_INFORMATION process = {};
  if (!::CreateProcessA(applicationPath, writableCommandLine.get(), nullptr, nullptr, FALSE,
                        CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  platform::UniqueKernelHandle processHandle(process.hProcess);
  platform::UniqueKernelHandle threadHandle(process.hThread);
  if (wait) ::WaitForSingleObject(processHandle.get(), INFINITE);
  return 0;
}

int GetPlatformKind() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
  if (!::GetVersionExA(&version)) return kPlatformOther;
  switch (version.dwPlatformId) {
    case VER_PLATFORM_WIN32_NT:
      return kPlatformNt;
    case VER_PLATFORM_WIN32_WINDOWS:
      return kPlatform9x;
    case VER_PLATFORM_WIN32s:
      return kPlatformWin32s;
    default:
      return kPlatformOther;
  }
}

}  // namespace service
