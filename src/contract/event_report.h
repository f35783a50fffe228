// Entries in the Application event log: the one record of a refusal that every build keeps.
//
// Administrators filter on the event IDs, so an ID, once shipped, keeps its meaning and its
// number. Each concern has a range of its own; the README lists every ID.
#pragma once

#include <string>

#include "diag/run_notes.h"

namespace contract {

enum class EventId : unsigned short {
  // 2000-2099: named objects that another account made first.
  kForeignRunGuard = 2000,          // the run: "DaxInstall_exist" is not taken for another run
  kForeignStopEvent = 2001,         // the run or its stop routine: no stop request through it
  kForeignServiceCtrlMutex = 2002,  // the run goes on without holding it for the client
  kForeignStoppedEvent = 2003,      // the stop routine does not wait on it, the run does not set it
  kForeignNotifyPassMutex = 2004,   // setup runs without it being held
  kForeignRunGuardAtVerb = 2005,    // -install, -start, -debug go on as if it were not there
  kPrivateRunGuardRefused = 2006,   // the private namespace cannot be had: the public guard alone
  // Windows Installer's execution mutex is not waited on before setup: a standard user could
  // otherwise hold every upgrade back by holding a mutex of that name.
  kForeignInstallerMutex = 2007,
  // 2100-2199: package folders and files that another account may change.
  // A package folder, a file the run opens or starts there, or the folder of config.xml (or
  // config.xml) is owned by an account other than SYSTEM, Administrators, TrustedInstaller and
  // the program's own.
  kPackagePathForeignOwner = 2100,
  // Another SID may change one of them: write, append, add, delete, rename, attributes, extended
  // attributes, DACL or owner.
  kPackagePathChangeableByOthers = 2101,
  // A folder above the package folder lets another SID delete or rename what it holds, or is
  // owned by another account.
  kPackageAncestorChangeableByOthers = 2102,
  // The owner or the DACL of one of them cannot be read.
  kPackagePathUnreadable = 2103,
  // 2200-2299: files opened by name that are not the files meant (links, replaced images).
  // daxinst.log has another name elsewhere or is a reparse point: it is not written.
  kLogFileRefused = 2200,
  // setAid.ini has another name elsewhere, is a reparse point or cannot be held: setup is not run.
  kSetAidRefused = 2201,
  // The started -uninstall child is not this program's file: it is ended before it runs.
  kUninstallChildRefused = 2202,
  // The service cannot hold its own image: it removes itself without the -uninstall child.
  kOwnImageNotHeld = 2203,
  // Something other than a plain file of a trusted owner is at the default installer log path:
  // setup gets a log in a folder of the run's own.
  kInstallerLogMoved = 2204,
  // That folder cannot be made: setup runs without an installer log switch.
  kInstallerLogFolderFailed = 2205,
  // The executable's path has no exact narrow form: install and run refuse.
  kModulePathNotExact = 2206,
  // setAid.ini is held open by another program: it is not written, setup runs with it as it is.
  kSetAidInUse = 2207,
  // 2300-2399: the package and the settings that setup gets.
  kPackageMsiNotSingle = 2300,     // error: more than one .msi file; setup is not run
  kPackageMsiUnreadable = 2301,    // error: the .msi cannot be held or read; setup is not run
  kPackageMsiNotTrusted = 2302,    // error: the .msi fails the trust check; setup is not run
  kConfigXmlUnreadable = 2303,     // error: config.xml exists but cannot be read; not run
  kFeatureSectionRestored = 2304,  // warning: a feature write failed; the package's section back
  // 2400-2499: the run's record and the stop handshake.
  kModulePathUnreadable = 2400,  // the run cannot read its own path and fails
  kServiceStillRunning = 2401,   // -stop or -uninstall: the service runs after their wait
  kFinishedRunStillRegistered =
      2402,  // -install or -start: an ended run's service outlived the wait
  // The records' folder, or a folder above it, is a link, is owned by another account or may be
  // changed by others: no record is written into it.
  kRunRecordFolderRefused = 2403,
  // The record could not be written (the folder cannot be made, the disk is full, ...).
  kRunRecordNotWritten = 2404,
  // 2500-2599: the event source's message file, without which Event Viewer shows no text.
  kMessageFileNotWritten = 2500,     // -install: the file or its folder cannot be had; no text
  kEventSourceNotRegistered = 2501,  // -install: the event source's key cannot be written
  kMessageFileNotRemoved = 2502,     // -uninstall: the key or the file stays
};

// The event types of ReportEvent, with the same values.
enum class EventKind : unsigned short { kError = 0x0001, kWarning = 0x0002, kInformation = 0x0004 };

struct EventEntry {
  EventKind kind;
  EventId id;
  std::string text;
};

// Where entries go. The system's own writes to the Application log under the service's name;
// Wine keeps no event log, so tests put a recording sink in.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Write(const EventEntry& entry) = 0;
};

// Puts a sink in for the whole process and returns the one it replaces (null: the system's).
EventSink* UseEventSinkForTesting(EventSink* sink);

// Writes one entry, in every build, and the same text as a log line where the log is on. A
// failure to write it is ignored: the caller's run goes on as it would without the entry.
void RecordEvent(EventKind kind, EventId id, const std::string& text) noexcept;

// The one entry of a run's outcome: its event ID is the outcome's reason code (1000-1199, apart
// from the refusals' own IDs above), its kind error for a failure, warning for a success that
// waits for a restart and for a run turned away by another, information for a success.
void RecordRunOutcome(diag::RunOutcome outcome, const std::string& text) noexcept;
EventKind RunOutcomeKind(diag::RunOutcome outcome) noexcept;

}  // namespace contract
