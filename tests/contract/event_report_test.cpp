#include "contract/event_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

}  // namespace
