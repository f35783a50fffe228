#include "diag/run_notes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "diag/log.h"
#include "support/test_support.h"

namespace {

class RunNotesLog : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::DeleteFileIfPresent(testing_support::LogPath());
    diag::g_daxDebugLog.Enable();
    diag::OpenLogFile();
    diag::ResetRunNotes();
  }
  void TearDown() override {
    diag::CloseLogFile();
    diag::g_daxDebugLog.Enable();
    testing_support::DeleteFileIfPresent(testing_support::LogPath());
    diag::ResetRunNotes();
  }
};

// The record carries the run's newest lines, without their line ends, and says how many older
// ones it let go; a run that keeps logging does not grow the notes without bound.
TEST_F(RunNotesLog, KeepsTheNewestLinesAndCountsTheOthers) {
  const std::size_t extra = 5;
  for (std::size_t line = 0; line < diag::kRunLogLinesKept + extra; ++line) {
    diag::LogLine("line ", line);
  }
  const diag::RunNotes notes = diag::CurrentRunNotes();
  ASSERT_EQ(notes.logLines.size(), diag::kRunLogLinesKept);
  EXPECT_EQ(notes.logLinesDropped, extra);
  const auto endsWith = [](const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
  };
  EXPECT_TRUE(endsWith(notes.logLines.front(), " line " + std::to_string(extra)))
      << notes.logLines.front();
  const std::string& last = notes.logLines.back();
  EXPECT_TRUE(endsWith(last, " line " + std::to_string(diag::kRunLogLinesKept + extra - 1)))
      << last;
  EXPECT_TRUE(testing_support::HasValidStamp(last)) << last;
}

TEST_F(RunNotesLog, TakesNoLineWhileTheLogIsOff) {
  diag::g_daxDebugLog.Disable();
  diag::LogLine("not kept");
  EXPECT_TRUE(diag::CurrentRunNotes().logLines.empty());
}

// The first outcome noted is the run's; a gate noted again keeps its place with the new verdict.
TEST(RunNotes, FirstOutcomeStandsAndAGateKeepsItsPlace) {
  diag::ResetRunNotes();
  diag::NoteGate("package_ground", true, "");
  diag::NoteGate("trust", true, "");
  diag::NoteGate("package_ground", false, "changed");
  diag::NoteOutcome(diag::RunOutcome::kNotTrusted);
  diag::NoteOutcome(diag::RunOutcome::kSetupFailed);
  const diag::RunNotes notes = diag::CurrentRunNotes();
  ASSERT_EQ(notes.gates.size(), 2u);
  EXPECT_EQ(notes.gates[0].name, "package_ground");
  EXPECT_FALSE(notes.gates[0].passes);
  EXPECT_EQ(notes.gates[0].reason, "changed");
  EXPECT_EQ(notes.outcome, std::optional<diag::RunOutcome>(diag::RunOutcome::kNotTrusted));
  diag::ResetRunNotes();
}

}  // namespace
