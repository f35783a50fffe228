#include "daxcheck/last_run.h"

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/text_conversion.h"

#include "support/test_support.h"
#include "upgrade/run_record_folder.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kSucceeded[] =
    R"({"record_version": 1, "agent": {"version": "1.0.0", "build": "release"},
        "package_folder": "C:\\staging\\pkg", "package_version": "12.1.10",
        "installed_version": "12.1.2", "started": "2026-12-11T03:15:00.123Z",
        "ended": "2026-12-11T03:16:02.456Z", "path": "first_time",
        "gates": [{"name": "package_ground", "passes": true, "reason": null},
                  {"name": "trust", "passes": true, "reason": null}],
        "setup_command_line": "\"C:\\staging\\pkg\\setup.exe\" /s", "setup_exit_code": 3010,
        "setup_code": 0, "installer_wait": {"waited_ms": 1500, "timed_out": false},
        "outcome": {"code": 1001, "name": "succeeded_restart_pending", "succeeded": true}})";
constexpr char kNotTrusted[] =
    R"({"record_version": 1, "agent": {"version": "1.0.0", "build": "release"},
        "package_folder": "C:\\staging\\pkg", "package_version": null,
        "installed_version": null, "started": "2026-12-11T04:00:00.000Z",
        "ended": "2026-12-11T04:00:01.000Z", "path": "first_time",
        "gates": [{"name": "trust", "passes": false,
                   "reason": "setup.exe is not signed\u001b[2J\nforged: passes"}],
        "setup_command_line": null, "setup_exit_code": null, "setup_code": null,
        "installer_wait": null,
        "outcome": {"code": 1104, "name": "not_trusted", "succeeded": false}})";

constexpr char kOlder[] = "run-20261211T031500.123Z-4242.json";
constexpr char kNewer[] = "run-20261211T040000.000Z-17.json";

TEST(LastRunNameTest, OnlyTheRecordsOwnNamesCount) {
  const std::pair<const wchar_t*, bool> cases[] = {
      {L"run-20261211T031500.123Z-4242.json", true},
      {L"run-20261211T031500.123Z-1.json", true},
      {L"run-20261211T031500.123Z-.json", false},          // no process id
      {L"run-20261211T031500.123Z-4242.json.tmp", false},  // the writer's temporary file
      {L"run-20261211T031500.123Z-4242.tmp", false},
      {L".run-20261211T031500.123Z-4242.json", false},
      {L"run-20261211T031500.123Z-42a.json", false},
      {L"run-2026121XT031500.123Z-42.json", false},
      {L"run-20261211 031500.123Z-42.json", false},
      {L"run-20261211T031500,123Z-42.json", false},
      {L"run-20261211T031500.123-42.json", false},
      {L"run-.json", false},
      {L"", false},
  };
  for (const auto& [name, record] : cases) {
    EXPECT_EQ(upgrade::IsRunRecordName(name), record) << platform::NarrowWithoutBestFit(name);
  }
}

struct FolderCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // name, content
  bool found;
  int exitCode;          // when found
  const char* expected;  // found: the record's file name; not found: part of why
};

class LastRunFolderTest : public ::testing::TestWithParam<FolderCase> {};

TEST_P(LastRunFolderTest, ReadsTheNewestRecordOrSaysWhyThereIsNone) {
  const FolderCase& folderCase = GetParam();
  testing_support::TempFolder folder("runs");
  for (const auto& [name, content] : folderCase.files) {
    if (content == "<folder>") {
      ASSERT_TRUE(::CreateDirectoryA((folder.path() + "\\" + name).c_str(), nullptr));
    } else {
      testing_support::WriteFileBytes(folder.path() + "\\" + name, content);
    }
  }

  const daxcheck::LastRecord last =
      daxcheck::ReadLastRecord(platform::WidenToNulLenient(folder.path().c_str()));

  ASSERT_EQ(last.found, folderCase.found) << last.why;
  if (folderCase.found) {
    EXPECT_EQ(last.name, folderCase.expected);
    EXPECT_EQ(daxcheck::LastRunExitCode(last.record), folderCase.exitCode);
  } else {
    EXPECT_THAT(last.why, HasSubstr(folderCase.expected));
  }
}

const std::string kTooLarge = std::string(kSucceeded) + std::string(1024 * 1024, ' ');

INSTANTIATE_TEST_SUITE_P(
    Folders, LastRunFolderTest,
    ::testing::Values(
        FolderCase{"Succeeded", {{kOlder, kSucceeded}}, true, 0, kOlder},
        FolderCase{"Failed", {{kOlder, kNotTrusted}}, true, 1, kOlder},
        // Name order is time order, whatever order the files were written in.
        FolderCase{"NewestByName", {{kNewer, kNotTrusted}, {kOlder, kSucceeded}}, true, 1, kNewer},
        FolderCase{"OtherNamesAreNotRecords",
                   {{kOlder, kSucceeded},
                    {"run-20261211T050000.000Z-9.json.tmp", kNotTrusted},
                    {"run-99991231T235959.999Z-x.json", kNotTrusted},
                    {"notes.json", kNotTrusted}},
                   true,
                   0,
                   kOlder},
        FolderCase{"AFolderWithARecordsName",
                   {{kOlder, kSucceeded}, {kNewer, "<folder>"}},
                   true,
                   0,
                   kOlder},
        FolderCase{"Empty", {}, false, 0, "no run has left a record"},
        FolderCase{"OnlyTemporary",
                   {{"run-20261211T050000.000Z-9.json.tmp", kSucceeded}},
                   false,
                   0,
                   "no run has left a record"},
        FolderCase{
            "Corrupt", {{kOlder, "{\"outcome\": {\"code\": 1000,"}}, false, 0, "is not JSON"},
        // An unreadable newest record is not stood in for by an older success.
        FolderCase{"CorruptNewestOverAnOlderSuccess",
                   {{kOlder, kSucceeded}, {kNewer, "not json"}},
                   false,
                   0,
                   "the newest record run-20261211T040000.000Z-17.json is not JSON"},
        FolderCase{"NoOutcome", {{kOlder, R"({"record_version": 1})"}}, false, 0, "has no outcome"},
        FolderCase{"OutcomeWithoutVerdict",
                   {{kOlder, R"({"outcome": {"code": 1000, "name": "succeeded"}})"}},
                   false,
                   0,
                   "has no outcome"},
        FolderCase{
            "VerdictAsText",
            {{kOlder, R"({"outcome": {"code": 1000, "name": "succeeded", "succeeded": "true"}})"}},
            false,
            0,
            "has no outcome"},
        FolderCase{"NotAnObject", {{kOlder, "[1, 2]"}}, false, 0, "has no outcome"},
        FolderCase{"TooLarge", {{kOlder, kTooLarge}}, false, 0, "is larger than 1048576 bytes"}),
    [](const ::testing::TestParamInfo<FolderCase>& info) { return info.param.name; });

TEST(LastRunFolderTest, AFolderThatIsNotThereHasNoRecord) {
  const daxcheck::LastRecord last =
      daxcheck::ReadLastRecord(L"C:\\no such folder\\Quorvex\\Daxinst\\runs");
  EXPECT_FALSE(last.found);
  EXPECT_EQ(last.why, "no run has left a record");
}

TEST(LastRunTextTest, ShowsTheOutcomeTimesVersionsPathGatesAndSetupsCodes) {
  const auto record = nlohmann::ordered_json::parse(kSucceeded);
  const std::string text = daxcheck::RenderLastRun(kOlder, record);
  for (const char* line : {
           "Last run (run-20261211T031500.123Z-4242.json): succeeded_restart_pending (1001), "
           "succeeded\n",
           "  started:            2026-12-11T03:15:00.123Z\n",
           "  ended:              2026-12-11T03:16:02.456Z\n",
           "  agent:              1.0.0 (release)\n",
           "  package folder:     C:\\staging\\pkg\n",
           "  package version:    12.1.10\n",
           "  installed version:  12.1.2\n",
           "  path:               first_time\n",
           "    package_ground: passes\n",
           "    trust: passes\n",
           "  setup command line: \"C:\\staging\\pkg\\setup.exe\" /s\n",
           "  setup exit code:    3010\n",
           "  setup code:         0\n",
           "  installer wait:     1500 ms\n",
       }) {
    EXPECT_THAT(text, HasSubstr(line));
  }
}

TEST(LastRunTextTest, AFailedRunShowsTheStoppingGateWithItsReasonEscaped) {
  const auto record = nlohmann::ordered_json::parse(kNotTrusted);
  const std::string text = daxcheck::RenderLastRun(kNewer, record);
  EXPECT_THAT(text, HasSubstr("): not_trusted (1104), failed\n"));
  EXPECT_THAT(text, HasSubstr("  package version:    (none)\n"));
  EXPECT_THAT(text, HasSubstr("  setup exit code:    (none)\n"));
  EXPECT_THAT(text, HasSubstr("    trust: stops: setup.exe is not signed"));
  // The reason cannot clear the console or start a line of its own.
  EXPECT_THAT(text, Not(HasSubstr("\x1b")));
  EXPECT_THAT(text, Not(HasSubstr("\nforged: passes")));
  EXPECT_THAT(text, Not(HasSubstr("installer wait")));
}

TEST(LastRunTextTest, ValuesOfTheWrongTypeAreShownAsTheyAreRead) {
  const auto record = nlohmann::ordered_json::parse(
      R"({"outcome": {"code": 1109, "name": "setup_failed", "succeeded": false},
          "agent": "1.0", "path": 7, "gates": [{"name": ["a"], "passes": "yes"}],
          "setup_exit_code": "1603\r\nsetup code: 0"})");
  const std::string text = daxcheck::RenderLastRun(kNewer, record);
  EXPECT_THAT(text, HasSubstr("  agent:              1.0\n"));
  EXPECT_THAT(text, HasSubstr("  path:               7\n"));
  EXPECT_THAT(text, HasSubstr("    [\"a\"]: stops\n"));
  EXPECT_THAT(text, Not(HasSubstr("\r\nsetup code: 0")));
  EXPECT_EQ(daxcheck::LastRunExitCode(record), 1);
}

}  // namespace
