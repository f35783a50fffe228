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
  // 2200-2299: files opened by name that are not the files meant (links, replaced images).
  // 2300-2399: the package and the settings that setup gets.
  kPackageMsiNotSingle = 2300,     // error: more than one .msi file; setup is not run
  kPackageMsiUnreadable = 2301,    // error: the .msi cannot be held or read; setup is not run
  kPackageMsiNotTrusted = 2302,    // error: the .msi fails the trust check; setup is not run
  kConfigXmlUnreadable = 2303,     // error: config.xml exists but cannot be read; not run
  kFeatureSectionRestored = 2304,  // warning: a feature write failed; the package's section back
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
