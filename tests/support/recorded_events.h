// The event log entries written while one of these lives, instead of the Application log.
#pragma once

#include <vector>

#include "contract/event_report.h"

namespace testing_support {

class RecordedEvents final : public contract::EventSink {
 public:
  RecordedEvents() : previous_(contract::UseEventSinkForTesting(this)) {}
  ~RecordedEvents() override { contract::UseEventSinkForTesting(previous_); }
  RecordedEvents(const RecordedEvents&) = delete;
  RecordedEvents& operator=(const RecordedEvents&) = delete;

  // A run's one outcome entry (IDs 1000-1199) is kept apart from the refusals and fallbacks.
  void Write(const contract::EventEntry& entry) override {
    const auto id = static_cast<unsigned>(entry.id);
    (id >= 1000 && id < 1200 ? outcomes_ : entries_).push_back(entry);
  }
  const std::vector<contract::EventEntry>& entries() const { return entries_; }
  const std::vector<contract::EventEntry>& outcomes() const { return outcomes_; }
  // The IDs in the order written.
  std::vector<contract::EventId> ids() const {
    std::vector<contract::EventId> ids;
    for (const auto& entry : entries_) ids.push_back(entry.id);
    return ids;
  }

 private:
  std::vector<contract::EventEntry> entries_;
  std::vector<contract::EventEntry> outcomes_;
  contract::EventSink* previous_;
};

}  // namespace testing_support
