// The default installer log, %TEMP%\INSTALL.LOG. For the service that is a fixed name in
// C:\Windows\TEMP, a folder in which every user may create files: whoever creates the name first
// (a folder, a file held without sharing, a link, a file of their own) makes Windows Installer
// fail to open its log, which spends the package's attempt, or reads LocalSystem's verbose log.
// The run looks at the name before setup starts and, when anything but a plain file of a trusted
// owner is there, gives setup a log in a folder of its own instead.
#pragma once

#include <windows.h>

#include <string>

namespace setupcmd {

enum class InstallerLogPlace {
  kAbsent,          // nothing there: Windows Installer creates the file
  kTrustedFile,     // a plain file with one link, owned by SYSTEM or Administrators
  kFolder,          // a folder (or anything else that is not a file)
  kReparsePoint,    // a symbolic link, a junction or another reparse point
  kLinked,          // a file with more than one name
  kUntrustedOwner,  // a file of another account, or of none
  kNotOpened,       // something there that cannot be opened (held without sharing, no access)
};

struct InstallerLogCheck {
  InstallerLogPlace place = InstallerLogPlace::kNotOpened;
  std::string owner;  // the owner's SID where it was read
  DWORD links = 0;
  DWORD error = 0;
};

// What the one open of the name found, before it is judged.
struct InstallerLogFacts {
  DWORD openError = ERROR_SUCCESS;  // of the open, or of reading what it opened
  DWORD attributes = 0;
  DWORD links = 0;
  bool diskFile = true;  // GetFileType says FILE_TYPE_DISK
  std::string ownerSid;  // empty when no owner could be read
};
InstallerLogCheck JudgeInstallerLog(const InstallerLogFacts& facts);

// Looks at `path` without following a reparse point and without changing anything.
InstallerLogCheck CheckInstallerLogPath(const std::string& path);

// Whether setup may keep the default log: nothing there yet, or a plain file of a trusted owner.
inline bool DefaultLogStays(InstallerLogPlace place) {
  return place == InstallerLogPlace::kAbsent || place == InstallerLogPlace::kTrustedFile;
}

// A few words for the log and the event entry: what is there.
std::string DescribeInstallerLogPlace(const InstallerLogCheck& check);

// Creates a folder of a name no one can know beforehand in `parent`, owned by Administrators
// with a protected DACL that gives SYSTEM and Administrators full control and nobody else
// anything, and sets `logPath` to INSTALL.LOG in it. False (last error set) when no folder could
// be made.
bool CreatePrivateLogFolder(const std::string& parent, std::string& logPath);

}  // namespace setupcmd
