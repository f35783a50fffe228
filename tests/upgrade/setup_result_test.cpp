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
using contract::SetupResultDone;
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
  bool takenOver;  // SetupResultDone replaces the code
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
    {SetupResultDone, kSetupFailed, false, nullptr},
    {0x80000000u, kSetupFailed, false, nullptr},
};

class SetupCodeTest : public SetupResultTest, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(SetupCodeTest, AnswersRecordsAndTakesOverAtTheFirstRead) {
  const CodeCase& c = GetParam();
  WriteSetupCode(c.code);

  EXPECT_EQ(Collect(), c.answer);

  EXPECT_THAT(pauses_, IsEmpty()) << "a code already present is taken without a pause";
  EXPECT_EQ(ClientValue(kInstResultValue), std::optional<DWORD>(c.code));
  EXPECT_EQ(SetupResultValue(), std::optional<DWORD>(c.takenOver ? SetupResultDone : c.code));
  EXPECT_THAT(LoggedLines(),
              ElementsAre(StartsWith("====== DaxInst starts at "),
                          "<DaxSetupResult>Dax Setup Code = " + std::to_string(c.code)));
}

// The user is told only in debug mode, in a box of its own; answering it lets the call return.
TEST_P(SetupCodeTest, DebugModeShowsTheCodesMessage) {
  if (!testing_support::DisplayAvailable()) GTEST_SKIP() << "message boxes need a display";
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

TEST_F(SetupResultTest, ServiceModeShowsNoMessage) {
  if (!testing_support::DisplayAvailable()) GTEST_SKIP() << "message boxes need a display";
  WriteSetupCode(4);
  testing_support::MessageBoxAnswerer user(kSetupResultCaption, IDOK);

  EXPECT_EQ(Collect(), kSetupSucceeded);

  EXPECT_THAT(user.Texts(), IsEmpty());
  EXPECT_EQ(SetupResultValue(), std::optional<DWORD>(SetupResultDone));
}

// ---------------------------------------------------------------------------------------------
// Polling

TEST_F(SetupResultTest, CodeThatArrivesLateIsTakenAtTheNextRead) {
  int pausesBeforeSetupEnds = 3;
  const int answer = Collect([&] {
    if (--pausesBeforeSetupEnds == 0) WriteSetupCode(5);
  });

  EXPECT_EQ(answer, kSetupSucceeded);
  EXPECT_EQ(pauses_, std::vector<DWORD>(3, kSetupResultPause));
  EXPECT_EQ(ClientValue(kInstResultValue), std::optional<DWORD>(5));
  EXPECT_EQ(SetupResultValue(), std::optional<DWORD>(SetupResultDone));
}

TEST_F(SetupResultTest, NoCodeWithinThePollingTimeAnswersNoResult) {
  EXPECT_EQ(Collect(), kSetupNoResult);

  EXPECT_EQ(pauses_, std::vector<DWORD>(kSetupResultReads, kSetupResultPause));
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

  EXPECT_EQ(pauses_.size(), static_cast<size_t>(kSetupResultReads));
  EXPECT_EQ(ClientValue(kInstResultValue), std::nullopt);
  const auto left =
      testing_support::ReadRegistryValue(HKEY_CLASSES_ROOT, kSetupResultKeyPath, kSetupResultValue);
  ASSERT_TRUE(left.has_value());
  EXPECT_EQ(left->type, static_cast<DWORD>(REG_SZ)) << "the text is left as setup wrote it";
  EXPECT_THAT(LoggedLines(), Not(Contains(StartsWith("<DaxSetupResult>Dax Setup Code"))));
}

}  // namespace
}  // namespace upgrade
