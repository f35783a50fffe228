#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contract/event_report.h"
#include "diag/log.h"
#include "platform/file_identity.h"
#include "platform/unique_handle.h"
#include "service/process_entry.h"
#include "service/verbs.h"
#include "support/test_support.h"

namespace {

struct VerbCase {
  const char* argument;
  const char* verb;  // nullptr: nothing runs
};

class VerbMatching : public ::testing::TestWithParam<VerbCase> {};

// Verbs match case-sensitively anywhere in the argument; the first in the fixed order wins.
TEST_P(VerbMatching, RunsTheFirstVerbContainedInTheArgument) {
  const VerbCase& c = GetParam();
  const service::VerbEntry* verb = service::MatchVerb(c.argument);
  if (!c.verb) {
    EXPECT_EQ(verb, nullptr) << c.argument << " ran " << (verb ? verb->name : "");
    return;
  }
  ASSERT_NE(verb, nullptr) << c.argument;
  EXPECT_STREQ(verb->name, c.verb);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, VerbMatching,
    ::testing::Values(VerbCase{"-install", "-install"}, VerbCase{"-uninstall", "-uninstall"},
                      VerbCase{"-start", "-start"}, VerbCase{"-stop", "-stop"},
                      VerbCase{"-debug", "-debug"}, VerbCase{"x-install", "-install"},
                      VerbCase{"-uninstall-start", "-uninstall"}, VerbCase{"-start-stop", "-start"},
                      VerbCase{"/x-stopnow", "-stop"}, VerbCase{"-stop-install", "-install"},
                      VerbCase{"-STOP", nullptr}, VerbCase{"-Stop", nullptr},
                      VerbCase{"-bogus", nullptr}, VerbCase{"install", nullptr},
                      VerbCase{"", nullptr}, VerbCase{nullptr, nullptr}));

TEST(VerbMatching, EachVerbReachesItsOwnHandler) {
  EXPECT_EQ(service::MatchVerb("-install")->handler, &service::mfn_Install);
  EXPECT_EQ(service::MatchVerb("-uninstall")->handler, &service::mfn_UnInstall);
  EXPECT_EQ(service::MatchVerb("-start")->handler, &service::mfn_StartService);
  EXPECT_EQ(service::MatchVerb("-stop")->handler, &service::mfn_StopService);
  EXPECT_EQ(service::MatchVerb("-debug")->handler, &service::ConfirmDebugMode);
}

// Regression: an unquoted path of a package folder with a blank split into several arguments in
// the child, so the verb was not its first argument and the service was never removed.
TEST(UninstallCommandLine, QuotesTheExecutablePath) {
  const std::string path = "C:\\Program Files\\Quorvex\\pkg dir\\daxinst.exe";
  const std::string commandLine = service::UninstallCommandLine(path);
  EXPECT_EQ(commandLine, "\"" + path + "\" -uninstall");

  int count = 0;
  const std::wstring wide(commandLine.begin(), commandLine.end());
  LPWSTR* arguments = ::CommandLineToArgvW(wide.c_str(), &count);
  ASSERT_NE(arguments, nullptr);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(std::wstring(arguments[0]), std::wstring(path.begin(), path.end()));
  EXPECT_EQ(std::wstring(arguments[1]), L"-uninstall");
  ::LocalFree(arguments);
}

TEST(UninstallCommandLine, PathTooLongForTheBufferGivesNoCommandLine) {
  EXPECT_EQ(service::UninstallCommandLine(std::string(400, 'a')), "");
}

class RunProcessTest : public ::testing::Test {
 protected:
  std::string Cmd() const {
    char directory[MAX_PATH] = {};
    ::GetSystemDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\cmd.exe";
  }
  testing_support::TempFolder folder_{"run process"};
};

TEST_F(RunProcessTest, WaitsForTheProgramWhenAsked) {
  const std::string marker = folder_.path() + "\\marker.txt";
  const std::string commandLine = "cmd.exe /c echo done> \"" + marker + "\"";
  ASSERT_EQ(service::RunProcess(Cmd().c_str(), commandLine.c_str(), true), 0);
  // The program has ended: its output is complete.
  EXPECT_EQ(testing_support::ReadFileBytes(marker), std::string("done\r\n"));
}

TEST_F(RunProcessTest, ReturnsAtOnceWithoutWaiting) {
  const std::string marker = folder_.path() + "\\late.txt";
  const std::string commandLine =
      "cmd.exe /c ping -n 3 127.0.0.1 >nul & echo late> \"" + marker + "\"";
  ASSERT_EQ(service::RunProcess(Cmd().c_str(), commandLine.c_str(), false), 0);
  EXPECT_FALSE(testing_support::ReadFileBytes(marker)) << "returned only after the child ended";
  for (int i = 0; i < 200 && !testing_support::ReadFileBytes(marker); ++i) ::Sleep(50);
}

TEST_F(RunProcessTest, MissingProgramFails) {
  const std::string missing = folder_.path() + "\\missing.exe";
  EXPECT_EQ(service::RunProcess(missing.c_str(), "missing.exe", true), -1);
  EXPECT_EQ(service::RunProcess(missing.c_str(), nullptr, false), -1);
}

TEST(Platform, WineReportsTheNtFamily) {
  EXPECT_EQ(service::GetPlatformKind(), service::kPlatformNt);
}

TEST(ConsoleCtrlHandler, HandlesOnlyCtrlCAndCtrlBreak) {
  // Without a running upgrade the stop routine returns at once.
  EXPECT_TRUE(service::ConsoleCtrlHandler(CTRL_C_EVENT));
  EXPECT_TRUE(service::ConsoleCtrlHandler(CTRL_BREAK_EVENT));
  EXPECT_FALSE(service::ConsoleCtrlHandler(CTRL_CLOSE_EVENT));
  EXPECT_FALSE(service::ConsoleCtrlHandler(CTRL_LOGOFF_EVENT));
  EXPECT_FALSE(service::ConsoleCtrlHandler(CTRL_SHUTDOWN_EVENT));
}

class RecordingSink final : public contract::EventSink {
 public:
  void Write(const contract::EventEntry& entry) override { entries.push_back(entry); }
  std::vector<contract::EventEntry> entries;
};

class RecordedRefusal : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = contract::UseEventSinkForTesting(&sink_); }
  void TearDown() override { contract::UseEventSinkForTesting(previous_); }
  RecordingSink sink_;
  contract::EventSink* previous_ = nullptr;
  testing_support::TempFolder elsewhere_{"refusal elsewhere"};
};

// A daxinst.log that is another name of a file elsewhere is not written, and the refusal is told
// in every build: the event log entry names the log and its links.
TEST_F(RecordedRefusal, LogPlantedAsAHardLinkIsToldAndNotWritten) {
  diag::CloseLogFile();
  const std::string log = testing_support::LogPath();
  testing_support::DeleteFileIfPresent(log);
  const std::string target = elsewhere_.path() + "\\other.txt";
  testing_support::WriteFileBytes(target, "not the log");
  ASSERT_TRUE(::CreateHardLinkA(log.c_str(), target.c_str(), nullptr));

  service::OpenLogFileAndTellARefusal();
  diag::LogLine("never written");
  diag::CloseLogFile();
  testing_support::DeleteFileIfPresent(log);

  EXPECT_EQ(testing_support::ReadFileBytes(target), std::string("not the log"));
  ASSERT_EQ(sink_.entries.size(), 1u);
  EXPECT_EQ(sink_.entries[0].id, contract::EventId::kLogFileRefused);
  EXPECT_EQ(sink_.entries[0].kind, contract::EventKind::kWarning);
  EXPECT_EQ(sink_.entries[0].text, "DaxInst: the log " + log +
                                       " is not written: it has 2 links, so another name of it "
                                       "lies elsewhere");
}

// The child is made from this program's path; held against a handle of another file (as when
// daxinst.exe was replaced after the service opened it), the child is ended before it runs and
// the refusal is told. Had it run, this test program would have run its cases once more.
TEST_F(RecordedRefusal, UninstallChildWhoseImageIsAnotherFileIsEndedUnrun) {
  const std::string other = elsewhere_.path() + "\\daxinst.exe";
  ASSERT_TRUE(testing_support::CopyFileTo(testing_support::ExecutablePath(), other));
  platform::UniqueFileHandle held(
      platform::OpenReadShared(std::wstring(other.begin(), other.end()).c_str()));
  ASSERT_TRUE(held);

  EXPECT_FALSE(service::StartUninstallChild(held.get()));

  ASSERT_EQ(sink_.entries.size(), 1u);
  EXPECT_EQ(sink_.entries[0].id, contract::EventId::kUninstallChildRefused);
  EXPECT_EQ(sink_.entries[0].kind, contract::EventKind::kError);
  EXPECT_EQ(sink_.entries[0].text, "DaxInst: the -uninstall child started from " +
                                       testing_support::ExecutablePath() +
                                       " is not this program's file. It was ended before it ran");
}

// A system that cannot tell the child's image counts as another file.
TEST_F(RecordedRefusal, UninstallChildWhoseImageCannotBeToldIsEndedUnrun) {
  const std::string self = testing_support::ExecutablePath();
  platform::UniqueFileHandle held(
      platform::OpenReadShared(std::wstring(self.begin(), self.end()).c_str()));
  ASSERT_TRUE(held);
  const platform::ProcessImageIdentityFn previous = platform::SetProcessImageIdentityForTesting(
      [](HANDLE, platform::FileIdentity&) { return false; });

  const bool started = service::StartUninstallChild(held.get());
  platform::SetProcessImageIdentityForTesting(previous);

  EXPECT_FALSE(started);
  ASSERT_EQ(sink_.entries.size(), 1u);
  EXPECT_EQ(sink_.entries[0].id, contract::EventId::kUninstallChildRefused);
}

}  // namespace
