#include "contract/event_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "diag/log.h"

#include "support/fresh_log.h"
#include "support/recorded_events.h"
#include "support/test_support.h"

namespace {

using ::testing::ElementsAre;

class EventReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    diag::g_daxDebugLog.Enable();
    testing_support::StartFreshLog();
  }
  void TearDown() override {
    diag::CloseLogFile();
    testing_support::DeleteFileIfPresent(testing_support::LogPath());
  }
  testing_support::RecordedEvents sink_;
};

const auto kSomeId = static_cast<contract::EventId>(2001);

TEST_F(EventReportTest, EntryReachesTheSinkWithItsKindIdAndTextAndTheLogGetsTheText) {
  contract::RecordEvent(contract::EventKind::kWarning, kSomeId, "DaxInst: something refused");

  ASSERT_EQ(sink_.entries().size(), 1u);
  EXPECT_EQ(sink_.entries()[0].kind, contract::EventKind::kWarning);
  EXPECT_EQ(sink_.entries()[0].id, kSomeId);
  EXPECT_EQ(sink_.entries()[0].text, "DaxInst: something refused");
  diag::CloseLogFile();
  const auto messages = testing_support::LogMessages(testing_support::LogPath());
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "DaxInst: something refused");
}

TEST_F(EventReportTest, EntryIsWrittenWhenTheLogIsOff) {
  diag::g_daxDebugLog.Disable();
  contract::RecordEvent(contract::EventKind::kError, kSomeId, "refused");
  diag::g_daxDebugLog.Enable();

  ASSERT_EQ(sink_.entries().size(), 1u);
  EXPECT_EQ(sink_.entries()[0].kind, contract::EventKind::kError);
}

// A run's outcome entry carries the outcome's code as its ID, through the same sink, with the
// kind an administrator filters on.
TEST_F(EventReportTest, RunOutcomeEntryTakesTheCodeAsItsIdAndItsKind) {
  const struct {
    diag::RunOutcome outcome;
    contract::EventKind kind;
  } rows[] = {{diag::RunOutcome::kSucceeded, contract::EventKind::kInformation},
              {diag::RunOutcome::kSucceededBefore, contract::EventKind::kInformation},
              {diag::RunOutcome::kSucceededRestartPending, contract::EventKind::kWarning},
              {diag::RunOutcome::kRunInProgress, contract::EventKind::kWarning},
              {diag::RunOutcome::kNotTrusted, contract::EventKind::kError},
              {diag::RunOutcome::kException, contract::EventKind::kError}};
  for (const auto& row : rows) {
    contract::RecordRunOutcome(row.outcome, diag::RunOutcomeName(row.outcome));
  }
  ASSERT_EQ(sink_.outcomes().size(), std::size(rows));
  EXPECT_TRUE(sink_.entries().empty()) << "an outcome counted as a refusal";
  for (std::size_t index = 0; index < std::size(rows); ++index) {
    const contract::EventEntry& entry = sink_.outcomes()[index];
    EXPECT_EQ(static_cast<unsigned>(entry.id), static_cast<unsigned>(rows[index].outcome));
    EXPECT_EQ(entry.kind, rows[index].kind) << entry.text;
    EXPECT_EQ(entry.text, diag::RunOutcomeName(rows[index].outcome));
  }
}

}  // namespace
