#include "upgrade/installer_wait.h"

#include <string>

#include "contract/event_report.h"
#include "diag/log.h"
#include "diag/run_notes.h"
#include "platform/unique_handle.h"

namespace upgrade {

namespace {

using platform::Found;
using platform::NamedObject;
using platform::ObjectKind;

// A wait on a mutex that gets it owns it: handed back at once, so that the installer it belongs
// to is never kept from starting by this program.
bool GotAndGaveBack(HANDLE mutex, DWORD waitAnswer) {
  if (waitAnswer != WAIT_OBJECT_0 && waitAnswer != WAIT_ABANDONED) return false;
  ::ReleaseMutex(mutex);
  return true;
}

struct OpenedInstallerMutex {
  InstallerProbe probe;
  platform::UniqueKernelHandle handle;  // for kFree and kBusy of an existing mutex
};

OpenedInstallerMutex OpenAndProbe(const std::string& name) {
  OpenedInstallerMutex opened;
  NamedObject object = platform::OpenNamedObject(ObjectKind::kMutex, name, SYNCHRONIZE);
  opened.probe.openError = object.openError;
  switch (object.found) {
    case Found::kAbsent:
      opened.probe.state = InstallerState::kFree;
      return opened;
    case Found::kForeign:
      // An object that cannot be opened for lack of memory or handles says nothing of its owner.
      if (object.openError != ERROR_SUCCESS && object.openError != ERROR_ACCESS_DENIED &&
          object.openError != ERROR_INVALID_HANDLE) {
        opened.probe.state = InstallerState::kUnknown;
        return opened;
      }
      opened.probe.state = InstallerState::kForeign;
      opened.probe.owner = platform::ForeignOwnerText(object);
      return opened;
    case Found::kCreated:  // opening never creates
    case Found::kOwn:
      break;
  }
  opened.handle = std::move(object.handle);
  opened.probe.state =
      GotAndGaveBack(opened.handle.get(), ::WaitForSingleObject(opened.handle.get(), 0))
          ? InstallerState::kFree
          : InstallerState::kBusy;
  return opened;
}

}  // namespace

std::string WaitLimitText(DWORD milliseconds) {
  if (milliseconds >= 60000 && milliseconds % 60000 == 0) {
    const DWORD minutes = milliseconds / 60000;
    return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
  }
  return std::to_string(milliseconds / 1000) + " s";
}

InstallerProbe ProbeInstaller(const std::string& name) { return OpenAndProbe(name).probe; }

InstallerWaitResult WaitForFreeInstaller(const std::string& name, DWORD limitMs) {
  OpenedInstallerMutex opened = OpenAndProbe(name);
  InstallerWaitResult result;
  result.state = opened.probe.state;
  switch (opened.probe.state) {
    case InstallerState::kForeign:
      contract::RecordEvent(contract::EventKind::kWarning,
                            contract::EventId::kForeignInstallerMutex,
                            "DaxInst: The mutex \"" + name + "\" was made by another account (" +
                                opened.probe.owner + "): setup starts without waiting for it.");
      return result;
    case InstallerState::kUnknown:
      diag::LogLine("DaxInst: Windows Installer's mutex cannot be opened - error ",
                    opened.probe.openError, "; setup starts without waiting.");
      return result;
    case InstallerState::kFree:
      diag::NoteInstallerWait(0, false);
      return result;
    case InstallerState::kBusy:
      break;
  }

  const std::string limit = WaitLimitText(limitMs);
  diag::LogLine("DaxInst: Windows Installer is busy; waiting up to ", limit,
                " before setup starts.");
  const ULONGLONG start = ::GetTickCount64();
  const DWORD answer = ::WaitForSingleObject(opened.handle.get(), limitMs);
  const bool free = GotAndGaveBack(opened.handle.get(), answer);
  result.waitedMs = static_cast<DWORD>(::GetTickCount64() - start);
  result.timedOut = !free;
  if (free) {
    diag::LogLine("DaxInst: Windows Installer is free after ", result.waitedMs / 1000, " s.");
  } else if (answer == WAIT_TIMEOUT) {
    diag::LogLine("DaxInst: Windows Installer is still busy after ", limit, "; setup starts.");
  } else {
    diag::LogLine("DaxInst: Waiting for Windows Installer failed - error ", ::GetLastError(),
                  "; setup starts.");
  }
  diag::NoteInstallerWait(result.waitedMs, result.timedOut);
  return result;
}

}  // namespace upgrade
