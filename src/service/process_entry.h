// Process entry of daxinst.exe: the command line handed to its verb (verbs.h), the service course
// with its removal afterwards, debug mode, and the routine that starts other programs.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

namespace service {

// Set once, when the user confirms debug mode; never reset.
extern std::atomic<bool> debugMode;

// Platform kinds answered by GetPlatformKind.
enum PlatformKind : int {
  kPlatformNt = 0,
  kPlatform9x = 1,
  kPlatformWin32s = 2,
  kPlatformOther = 3
};

int ProcessEntry();
// Opens daxinst.log and records an entry when the file is refused for a link or a reparse point.
void OpenLogFileAndTellARefusal();
// Opens this program's own file for reading without write or delete sharing and keeps it open
// until the -uninstall child has been started. False when it cannot be opened.
bool HoldOwnImage();
// Starts "path" -uninstall from this program's file, letting it run only when its image is the
// file `ownImage` holds. False when no child runs (not created, not this program's file).
bool StartUninstallChild(HANDLE ownImage);
bool DispatchCommandLine();
void RunServiceThenUninstall();
void mfn_Runservice();
void ConfirmDebugMode();
void RunDebugConsole();
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);
int GetPlatformKind();

// Starts `applicationPath` hidden with `commandLine` (may be null) and, when `wait` is set, waits
// for it without a time limit. 0 when the process was created, -1 otherwise.
int RunProcess(const char* applicationPath, const char* commandLine, bool wait);

// "path" -uninstall: the path is quoted so that a package folder with blanks in its name still
// gives the child its verb as the first argument.
std::string UninstallCommandLine(const std::string& executablePath);

}  // namespace service
