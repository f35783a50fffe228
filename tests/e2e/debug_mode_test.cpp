// The -debug verb as a user meets it: a confirmation box, then one upgrade run in the foreground
// that tells its outcome in a message box.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "platform/unique_handle.h"
#include "support/message_box_answerer.h"
#include "support/named_object_support.h"
#include "support/test_support.h"

namespace {

using e2e::kClientKey;
using e2e::kSetupResultKey;
using testing_support::SetupResult;

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char kConfirmCaption[] = "DAX_INST Service";
constexpr char kResultCaption[] = "Quorvex Client Upgrade";
constexpr DWORD kBoxWait = 60000;

// The client key lives in the 64-bit view only where the client's own service is installed.
REGSAM ClientView() {
  platform::UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return KEY_WOW64_32KEY;
  platform::UniqueServiceHandle service(
      ::OpenServiceA(manager.get(), "daxService", SERVICE_QUERY_STATUS));
  return service ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

std::optional<DWORD> ClientValue(const char* name) {
  return testing_support::ReadDword(HKEY_LOCAL_MACHINE, kClientKey, name, ClientView());
}

class DebugModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAXINST_NEED_DISPLAY_FOR_MESSAGE_BOXES();
    ASSERT_TRUE(testing_support::CopyFileTo(
        testing_support::ExecutableDirectory() + "\\daxinst_log_on.exe", Program()));
  }

  std::string Program() const { return package_.path() + "\\daxinst_log_on.exe"; }
  // The package's setup.exe, which leaves `code` as its setup code.
  void StageSetup(DWORD code) const {
    ASSERT_TRUE(testing_support::CopyFileTo(
        testing_support::ExecutableDirectory() + "\\setup\\signed_good.exe",
        package_.path() + "\\setup.exe"));
    testing_support::WriteFileBytes(package_.path() + "\\setup-control.ini",
                                    "[setup]\r\ncode=" + std::to_string(code) + "\r\n");
  }
  std::vector<std::string> Logged() const {
    return testing_support::LogMessages(package_.path() + "\\daxinst.log");
  }

  // Runs `daxinst -debug` in the package folder, answers the confirmation with `answer` and every
  // result box with OK. The texts of the result boxes, in order.
  std::vector<std::string> RunDebug(int answer) {
    testing_support::MessageBoxAnswerer resultBoxes(kResultCaption, IDOK);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    std::string commandLine = "\"" + Program() + "\" -debug";
    if (!::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          package_.path().c_str(), &startup, &started)) {
      ADD_FAILURE() << "could not start " << commandLine;
      return {};
    }
    platform::UniqueKernelHandle process(started.hProcess);
    platform::UniqueKernelHandle thread(started.hThread);

    const auto question =
        testing_support::AnswerMessageBox(kConfirmCaption, answer, kBoxWait, process.get());
    EXPECT_EQ(question, std::optional<std::string>("Do you want to proceed the DEBUG mode ?"));
    if (::WaitForSingleObject(process.get(), kBoxWait) != WAIT_OBJECT_0) {
      ::TerminateProcess(process.get(), 1);
      ADD_FAILURE() << "daxinst -debug did not end";
    }
    return resultBoxes.Texts();
  }

  testing_support::RunRegistryGuard registry_;
  testing_support::TempFolder package_{"debug_package"};
};

TEST_F(DebugModeTest, ConfirmedRunTellsTheUserASuccessfulSetup) {
  // Successful, restart recommended.
  StageSetup(4);

  EXPECT_THAT(RunDebug(IDYES),
              ElementsAre("Auto-upgrade installation SUCCESSFUL. Restart the computer is "
                          "recommended."));

  EXPECT_EQ(ClientValue("DaxInstResult"), std::optional<DWORD>(4));
  EXPECT_EQ(SetupResult(), std::optional<DWORD>(99));
  const auto lines = Logged();
  EXPECT_THAT(lines, Contains("<DaxSetupResult>Dax Setup Code = 4"));
  EXPECT_THAT(lines, Contains("DaxInst: Auto-upgrade succeeded."));
}

TEST_F(DebugModeTest, ConfirmedRunSaysNothingAboutACodeWithoutMessage) {
  StageSetup(3);

  EXPECT_THAT(RunDebug(IDYES), IsEmpty());

  EXPECT_EQ(ClientValue("DaxInstResult"), std::optional<DWORD>(3));
  EXPECT_EQ(SetupResult(), std::optional<DWORD>(3));
  const auto lines = Logged();
  EXPECT_THAT(lines, Contains("<DaxSetupResult>Dax Setup Code = 3"));
  EXPECT_THAT(lines, Contains("DaxInst: Auto-upgrade failed."));
}

// A run holds its guard (made as a run of the program's own account makes it): the debug run does
// not start beside it.
TEST_F(DebugModeTest, ConfirmedRunDoesNotStartWhileARunHoldsItsGuard) {
  StageSetup(0);
  platform::UniqueKernelHandle guard = testing_support::CreateWithDescriptor(
      testing_support::Kind::kMutex, "DaxInstall_exist", testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(guard);

  EXPECT_THAT(RunDebug(IDYES), IsEmpty());

  EXPECT_EQ(ClientValue("DaxSetupStatus"), std::nullopt) << "a debug run took place";
  const auto lines = Logged();
  EXPECT_THAT(lines,
              Contains("<ConfirmDebugMode> daxinst.exe is running, the debug run does not start."));
  EXPECT_THAT(lines, Not(Contains(StartsWith("<ServiceStart>"))));
}

TEST_F(DebugModeTest, DeclinedConfirmationRunsNothing) {
  testing_support::SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", 4);

  EXPECT_THAT(RunDebug(IDNO), IsEmpty());

  EXPECT_EQ(ClientValue("DaxSetupStatus"), std::nullopt);
  EXPECT_EQ(ClientValue("DaxInstResult"), std::nullopt);
  EXPECT_EQ(SetupResult(), std::optional<DWORD>(4)) << "the setup code was not taken";
  const auto lines = Logged();
  EXPECT_THAT(lines, Contains("-debug"));
  EXPECT_THAT(lines, Contains("command line has been handled"));
  EXPECT_THAT(lines, Not(Contains(StartsWith("<ServiceStart>"))));
}

}  // namespace
