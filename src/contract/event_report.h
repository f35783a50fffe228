// Entries in the Application event log: the one record of a refusal that every build keeps.
//
// Administrators filter on the event IDs, so an ID, once shipped, keeps its meaning and its
// number. Each concern has a range of its own; the README lists every ID.
#pragma once

#include <string>

namespace contract {

enum class EventId : unsigned short {
  // 2000-2099: named objects that another account made first.
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
  // 2300-2399: the package and the settings that setup gets.
  // 2400-2499: the run's record and the stop handshake.
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

}  // namespace contract
