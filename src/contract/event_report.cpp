#include "contract/event_report.h"

#include <windows.h>

#include <atomic>

#include "contract/service_names.h"
#include "diag/log.h"
#include "platform/unique_handle.h"

namespace contract {

namespace {

static_assert(static_cast<WORD>(EventKind::kError) == EVENTLOG_ERROR_TYPE &&
              static_cast<WORD>(EventKind::kWarning) == EVENTLOG_WARNING_TYPE &&
              static_cast<WORD>(EventKind::kInformation) == EVENTLOG_INFORMATION_TYPE);

class ApplicationLog final : public EventSink {
 public:
  void Write(const EventEntry& entry) override {
    platform::UniqueEventSource source(::RegisterEventSourceA(nullptr, kServiceName));
    if (!source) return;
    const char* strings[1] = {entry.text.c_str()};
    ::ReportEventA(source.get(), static_cast<WORD>(entry.kind), 0, static_cast<DWORD>(entry.id),
                   nullptr, 1, 0, strings, nullptr);
  }
};

std::atomic<EventSink*> g_sink{nullptr};

EventSink& CurrentSink() {
  static ApplicationLog applicationLog;
  EventSink* sink = g_sink.load();
  return sink ? *sink : applicationLog;
}

}  // namespace

EventSink* UseEventSinkForTesting(EventSink* sink) { return g_sink.exchange(sink); }

void RecordEvent(EventKind kind, EventId id, const std::string& text) noexcept {
  try {
    diag::LogLine(text);
    CurrentSink().Write(EventEntry{kind, id, text});
  } catch (...) {
    // An entry that cannot be put together (no memory) is lost; the run is not.
  }
}

EventKind RunOutcomeKind(diag::RunOutcome outcome) noexcept {
  if (outcome == diag::RunOutcome::kSucceededRestartPending ||
      outcome == diag::RunOutcome::kRunInProgress) {
    return EventKind::kWarning;
  }
  return diag::RunOutcomeSucceeded(outcome) ? EventKind::kInformation : EventKind::kError;
}

void RecordRunOutcome(diag::RunOutcome outcome, const std::string& text) noexcept {
  RecordEvent(RunOutcomeKind(outcome), static_cast<EventId>(static_cast<unsigned short>(outcome)),
              text);
}

}  // namespace contract
