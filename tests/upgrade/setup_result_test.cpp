#include "upgrade/setup_result.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "contract/client_registry.h"
#include "contract/setup_result_key.h"
#include "diag/log.h"
#include "diag/run_notes.h"
#include "support/fresh_log.h"
#include "support/message_box_answerer.h"
#include "support/test_support.h"
#include "upgrade/controller.h"

namespace upgrade {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

using contract::kInstResultValue;
using contract::kSetupResultKeyPath;
using contract::kSetupResultValue;
using contract::ReadClientDword;
using contract::ReadSetupResult;
using testing_support::LogPath;

std::vector<std::string> LoggedLines() { return testing_support::LogMessages(LogPath()); }

std::optional<DWORD> ClientValue(const char* name) {
  DWORD value = 0;
  if (!ReadClientDword(name, value)) return std::nullopt;
  return value;
}

std::optional<DWORD> SetupResultValue() {
  DWORD value = 0;
  if (!ReadSetupResult(value)) return std::nullopt;
  return value;
}

void WriteSetupCode(DWORD code) {
  testing_support::SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKeyPath, kSetupResultValue,
                                    code);
}

class SetupResultTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::StartFreshLog(); }
  void TearDown() override { diag::CloseLogFile(); }

  // Polls with pauses that only count, so that a full polling time takes no time.
  int Collect(const std::function<void()>& onPause = {}) {
    return DaxSetupResult(tellUser_, [this, onPause](DWORD milliseconds) {
      pauses_.push_back(milliseconds);
      if (onPause) onPause();
    });
  }

  testing_support::RunRegistryGuard registry_;
  std::vector<DWORD> pauses_;
  // As the service passes it in debug mode.
  bool tellUser_ = false;
};

// ---------------------------------------------------------------------------------------------
// Setup codes

struct CodeCase {
  DWORD code;
  int answer;
  bool takenOver;  // the done marker (99) replaces the code
  const char* message;
};

void PrintTo(const CodeCase& c, std::ostream* os) { *os << "code " << c.code; }

const char kCode5Message[] =
    "The Quorvex Security client has been successfully updated to a newer version and will be "
    "disabled until you restart your computer.  Please restart your computer at the soonest "
    "available opportunity.";

const CodeCase kCodes[] = {
    {0, kSetupSucceeded, true, "Auto-upgrade installation SUCCESSFUL."},
    {1, kSetupFailed, false, "Auto-upgrade installation FAILED."},
    {2, kSetupFailed, false, nullptr},
    {3, kSetupFailed, false, nullptr},
    {4, kSetupSucceeded, true,
     "Auto-upgrade installation SUCCESSFUL. Restart the computer is recommended."},
    {5, kSetupSucceeded, true, kCode5Message},
    {6, kSetupFailed, false, "Auto-upgrade installation has error."},
    {7, kSetupFailed, false, "Auto-upgrade installation has been cancelled."},
    // Left from an earlier successful upgrade when the new setup wrote nothing.
    {99, kSetupFailed, false, nullptr},
    {0x80000000u, kSetupFailed, false, nullptr},
};

class SetupCodeTest : public SetupResultTest, public ::testing::WithParamInterface<CodeCase> {
 protected:
  // The code is recorded in the client key in `view`, and nothing of it in the other view.
  void CheckAnswerAndRecord(REGSAM view) {
    const CodeCase& c = GetParam();
    const REGSAM other = view == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    WriteSetupCode(c.code);

    EXPECT_EQ(Collect(), c.answer);

    EXPECT_THAT(pauses_, IsEmpty()) << "a code already present is taken without a pause";
    EXPECT_EQ(testing_support::ClientValue(kInstResultValue, view), std::optional<DWORD>(c.code));
    EXPECT_EQ(testing_support::ClientValue(kInstResultValue, other), std::nullopt)
        << "recorded in the other view";
    EXPECT_EQ(SetupResultValue(), std::optional<DWORD>(c.takenOver ? 99u : c.code));
    EXPECT_THAT(LoggedLines(),
                ElementsAre(StartsWith("====== DaxInst starts at "),
                            "<DaxSetupResult>Dax Setup Code = " + std::to_string(c.code)));
  }
};

TEST_P(SetupCodeTest, AnswersRecordsAndTakesOverAtTheFirstRead) {
  CheckAnswerAndRecord(testing_support::kClientView);
}

// The same codes with the client's own service installed: the record lands in the 64-bit view.
class SetupCodeWithClientServiceTest : public SetupCodeTest {
 protected:
  testing_support::ClientServiceForTest clientService_;
};

TEST_P(SetupCodeWithClientServiceTest, AnswersAndRecordsInThe64BitView) {
  ASSERT_TRUE(clientService_.created());
  CheckAnswerAndRecord(KEY_WOW64_64KEY);
}

// The outcome the run's record gives setup's code, with the exit code of setup's process where
// one was seen: Windows Installer's restart codes and its busy answer are told apart from a
// plain success or failure, and the run's own answer stays what the code alone makes it.
struct OutcomeCase {
  const char* name;
  DWORD code;
  std::optional<unsigned long> exitCode;
  diag::RunOutcome outcome;
};

void PrintTo(const OutcomeCase& c, std::ostream* os) { *os << c.name; }

class SetupCodeOutcome : public SetupResultTest,
                         public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(SetupCodeOutcome, IsNotedForTheRunsRecord) {
  const OutcomeCase& c = GetParam();
  diag::ResetRunNotes();
  if (c.exitCode) diag::NoteSetupExitCode(*c.exitCode);
  WriteSetupCode(c.code);
  const int answer = Collect();
  const diag::RunNotes notes = diag::CurrentRunNotes();
  EXPECT_EQ(notes.outcome, std::optional<diag::RunOutcome>(c.outcome));
  EXPECT_EQ(notes.setupCode, std::optional<unsigned long>(c.code));
  EXPECT_EQ(answer == kSetupSucceeded, diag::RunOutcomeSucceeded(c.outcome));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SetupCodeOutcome,
    ::testing::Values(
        OutcomeCase{"Success", 0, 0ul, diag::RunOutcome::kSucceeded},
        OutcomeCase{"SuccessWithoutAnExitCode", 0, std::nullopt, diag::RunOutcome::kSucceeded},
        OutcomeCase{"SuccessExit3010", 0, 3010ul, diag::RunOutcome::kSucceededRestartPending},
        OutcomeCase{"SuccessExit1641", 0, 1641ul, diag::RunOutcome::kSucceededRestartPending},
        OutcomeCase{"RestartRecommended", 4, 0ul, diag::RunOutcome::kSucceededRestartPending},
        OutcomeCase{"DisabledUntilRestart", 5, 0ul, diag::RunOutcome::kSucceededRestartPending},
        OutcomeCase{"Failed", 1, 1ul, diag::RunOutcome::kSetupFailed},
        OutcomeCase{"FailedExit1618", 1, 1618ul, diag::RunOutcome::kInstallerBusy},
        OutcomeCase{"Code1618", 1618, std::nullopt, diag::RunOutcome::kInstallerBusy},
        OutcomeCase{"Cancelled", 7, 0ul, diag::RunOutcome::kSetupFailed}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) { return info.param.name; });

// The user is told only in debug mode, in a box of its own; answering it lets the call return.
TEST_P(SetupCodeTest, DebugModeShowsTheCodesMessage) {
  DAXINST_NEED_DISPLAY_FOR_MESSAGE_BOXES();
  const CodeCase& c = GetParam();
  WriteSetupCode(c.code);
  tellUser_ = true;
  testing_support::MessageBoxAnswerer user(kSetupResultCaption, IDOK);

  EXPECT_EQ(Collect(), c.answer);

  if (c.message) {
    EXPECT_THAT(user.Texts(), ElementsAre(c.message));
  } else {
    EXPECT_THAT(user.Texts(), IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Codes, SetupCodeTest, ::testing::ValuesIn(kCodes));
INSTANTIATE_TEST_SUITE_P(Codes, SetupCodeWithClientServiceTest, ::testing::ValuesIn(kCodes));

TEST_F(SetupResultTest, ServiceModeShowsNoMessage) {
  DAXINST_NEED_DISPLAY_FOR_MESSAGE_BOXES();
  WriteSetupCode(4);
  testing_support::MessageBoxAnswerer user(kSetupResultCaption, IDOK);

  EXPECT_EQ(Collect(), kSetupSucceeded);

  EXPECT_THAT(user.Texts(), IsEmpty());
  EXPECT_EQ(SetupResultValue(), std::optional<DWORD>(99u));
}

// ---------------------------------------------------------------------------------------------
// Polling

TEST_F(SetupResultTest, CodeThatArrivesLateIsTakenAtTheNextRead) {
  int pausesBeforeSetupEnds = 3;
  const int answer = Collect([&] {
    if (--pausesBeforeSetupEnds == 0) WriteSetupCode(5);
  });

  EXPECT_EQ(answer, kSetupSucceeded);
  EXPECT_EQ(pauses_, std::vector<DWORD>(3, 1000u));
  EXPECT_EQ(ClientValue(kInstResultValue), std::optional<DWORD>(5));
  EXPECT_EQ(SetupResultValue(), std::optional<DWORD>(99u));
}

TEST_F(SetupResultTest, NoCodeWithinThePollingTimeAnswersNoResult) {
  EXPECT_EQ(Collect(), kSetupNoResult);

  // 120 reads, a pause of a second after each.
  EXPECT_EQ(pauses_, std::vector<DWORD>(120, 1000u));
  EXPECT_EQ(ClientValue(kInstResultValue), std::nullopt);
  EXPECT_EQ(SetupResultValue(), std::nullopt);
  EXPECT_THAT(LoggedLines(),
              ElementsAre(StartsWith("====== DaxInst starts at "),
                          "<DaxSetupResult>Try to read DaxSetupResult for 3 minutes. Failed.",
                          "<DaxSetupResult>ERR to read DaxSetupResult."));
}

TEST_F(SetupResultTest, CodeStoredAsTextCountsAsMissing) {
  testing_support::SetRegistryString(HKEY_CLASSES_ROOT, kSetupResultKeyPath, kSetupResultValue,
                                     "0");

  EXPECT_EQ(Collect(), kSetupNoResult);

  EXPECT_EQ(pauses_.size(), 120u);
  EXPECT_EQ(ClientValue(kInstResultValue), std::nullopt);
  const auto left =
      testing_support::ReadRegistryValue(HKEY_CLASSES_ROOT, kSetupResultKeyPath, kSetupResultValue);
  ASSERT_TRUE(left.has_value());
  EXPECT_EQ(left->type, static_cast<DWORD>(REG_SZ)) << "the text is left as setup wrote it";
  EXPECT_THAT(LoggedLines(), Not(Contains(StartsWith("<DaxSetupResult>Dax Setup Code"))));
}

}  // namespace
}  // namespace upgrade
