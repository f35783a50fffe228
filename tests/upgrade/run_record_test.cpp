#include "upgrade/run_record.h"

#include <aclapi.h>
#include <sddl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/change_rights.h"
#include "platform/owner_check.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "support/administrators_only.h"
#include "support/test_support.h"
#include "upgrade/run_record_folder.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Json = nlohmann::ordered_json;
using testing_support::TempFolder;

std::wstring Wide(const std::string& text) { return platform::WidenToNulLenient(text.c_str()); }

FILETIME TimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                WORD milliseconds) {
  SYSTEMTIME utc = {};
  utc.wYear = year;
  utc.wMonth = month;
  utc.wDay = day;
  utc.wHour = hour;
  utc.wMinute = minute;
  utc.wSecond = second;
  utc.wMilliseconds = milliseconds;
  FILETIME time = {};
  ::SystemTimeToFileTime(&utc, &time);
  return time;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found = {};
  HANDLE search = ::FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

bool Exists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

diag::RunNotes FullNotes() {
  diag::RunNotes notes;
  notes.packageFolder = "C:\\Staging\\Package";
  notes.packageVersion = "5.2.0.1";
  notes.installedVersion = "5.1.0.7";
  notes.path = "first_time";
  notes.gates = {{"package_ground", true, ""},
                 {"run_state", true, ""},
                 {"trust", false, "the trust check refuses setup.exe"}};
  notes.setupCommandLine = "\"C:\\Staging\\Package\\setup.exe\" /s";
  notes.setupExitCode = 3010;
  notes.setupCode = 4;
  notes.installerWaitMilliseconds = 1500;
  notes.installerWaitTimedOut = false;
  notes.outcome = diag::RunOutcome::kSucceededRestartPending;
  notes.logLines = {"12/11 03:15:00.123 first", "12/11 03:15:01.000 second"};
  return notes;
}

const upgrade::RunRecordAgent kAgent{"1.0.0.0", "diagnostic"};

TEST(RunRecordJson, HoldsEveryNoteInItsPlace) {
  const Json record =
      upgrade::RunRecordJson(FullNotes(), kAgent, TimeOf(2026, 12, 11, 3, 15, 0, 123),
                             TimeOf(2026, 12, 11, 3, 17, 4, 9), true);
  std::vector<std::string> keys;
  for (const auto& item : record.items()) keys.push_back(item.key());
  EXPECT_THAT(keys, ElementsAre("record_version", "agent", "package_folder", "package_version",
                                "installed_version", "started", "ended", "path", "gates",
                                "setup_command_line", "setup_exit_code", "setup_code",
                                "installer_wait", "outcome", "log"));
  EXPECT_EQ(record["record_version"], 1);
  EXPECT_EQ(record["agent"], (Json{{"version", "1.0.0.0"}, {"build", "diagnostic"}}));
  EXPECT_EQ(record["package_folder"], "C:\\Staging\\Package");
  EXPECT_EQ(record["package_version"], "5.2.0.1");
  EXPECT_EQ(record["installed_version"], "5.1.0.7");
  EXPECT_EQ(record["started"], "2026-12-11T03:15:00.123Z");
  EXPECT_EQ(record["ended"], "2026-12-11T03:17:04.009Z");
  EXPECT_EQ(record["path"], "first_time");
  ASSERT_EQ(record["gates"].size(), 3u);
  EXPECT_EQ(record["gates"][0],
            (Json{{"name", "package_ground"}, {"passes", true}, {"reason", nullptr}}));
  EXPECT_EQ(record["gates"][2], (Json{{"name", "trust"},
                                      {"passes", false},
                                      {"reason", "the trust check refuses setup.exe"}}));
  EXPECT_EQ(record["setup_command_line"], "\"C:\\Staging\\Package\\setup.exe\" /s");
  EXPECT_EQ(record["setup_exit_code"], 3010);
  EXPECT_EQ(record["setup_code"], 4);
  EXPECT_EQ(record["installer_wait"], (Json{{"waited_ms", 1500}, {"timed_out", false}}));
  EXPECT_EQ(record["outcome"],
            (Json{{"code", 1001}, {"name", "succeeded_restart_pending"}, {"succeeded", true}}));
  EXPECT_EQ(record["log"], (Json{"12/11 03:15:00.123 first", "12/11 03:15:01.000 second"}));
}

// A run that ended before it learnt anything: what it does not know is null, never a made-up
// value, and a build without the log carries no log at all.
TEST(RunRecordJson, LeavesWhatTheRunDidNotLearnNull) {
  diag::RunNotes notes;
  notes.outcome = diag::RunOutcome::kServiceNotStarted;
  const FILETIME now = TimeOf(2026, 1, 2, 3, 4, 5, 6);
  const Json record = upgrade::RunRecordJson(notes, {"1.0.0.0", "shipped"}, now, now, false);
  for (const char* key : {"package_version", "installed_version", "path", "setup_command_line",
                          "setup_exit_code", "setup_code", "installer_wait"}) {
    EXPECT_TRUE(record[key].is_null()) << key;
  }
  EXPECT_EQ(record["gates"], Json::array());
  EXPECT_FALSE(record.contains("log"));
  EXPECT_EQ(record["agent"]["build"], "shipped");
  EXPECT_EQ(record["outcome"],
            (Json{{"code", 1113}, {"name", "service_not_started"}, {"succeeded", false}}));
}

TEST(RunRecordJson, TellsHowManyLogLinesWereLeftOut) {
  diag::RunNotes notes = FullNotes();
  notes.logLinesDropped = 7;
  const FILETIME now = TimeOf(2026, 1, 2, 3, 4, 5, 6);
  const Json record = upgrade::RunRecordJson(notes, kAgent, now, now, true);
  ASSERT_EQ(record["log"].size(), 3u);
  EXPECT_EQ(record["log"][0], "(7 earlier lines left out)");
}

TEST(RunRecordFileName, SortsByTheRunsStartInUtc) {
  EXPECT_EQ(upgrade::RunRecordFileName(TimeOf(2026, 12, 11, 3, 15, 0, 123), 4242),
            L"run-20261211T031500.123Z-4242.json");
  EXPECT_LT(upgrade::RunRecordFileName(TimeOf(2026, 9, 30, 23, 59, 59, 999), 99999),
            upgrade::RunRecordFileName(TimeOf(2026, 10, 1, 0, 0, 0, 0), 1));
}

// Every name the writer gives is one that daxcheck --last-run and the keeping of twenty count.
TEST(RunRecordFileName, IsARecordsNameToTheReaders) {
  for (const DWORD processId : {DWORD{0}, DWORD{4}, DWORD{4242}, DWORD{0xFFFFFFFF}}) {
    const std::wstring name =
        upgrade::RunRecordFileName(TimeOf(2026, 12, 31, 23, 59, 59, 999), processId);
    EXPECT_TRUE(upgrade::IsRunRecordName(name)) << platform::NarrowWithoutBestFit(name);
  }
}

class RunRecordFile : public ::testing::Test {
 protected:
  std::string Records() const { return root_.path() + "\\Quorvex\\Daxinst\\runs"; }
  upgrade::RecordWriteResult Write(const std::string& name, const std::string& text) const {
    return upgrade::WriteRunRecordFile(Wide(Records()), Wide(name), text);
  }
  TempFolder root_{"run_record"};
};

TEST_F(RunRecordFile, IsWrittenWholeAndReplacedWhole) {
  ASSERT_EQ(Write("run-20261211T031500.123Z-1.json", "{\"first\": 1}\n").result,
            upgrade::RecordWrite::kWritten);
  EXPECT_EQ(testing_support::ReadFileBytes(Records() + "\\run-20261211T031500.123Z-1.json"),
            "{\"first\": 1}\n");
  // The same name again: the new text replaces the old one whole, and no temporary file stays.
  ASSERT_EQ(Write("run-20261211T031500.123Z-1.json", "{\"second\": 2}\n").result,
            upgrade::RecordWrite::kWritten);
  EXPECT_EQ(testing_support::ReadFileBytes(Records() + "\\run-20261211T031500.123Z-1.json"),
            "{\"second\": 2}\n");
  EXPECT_THAT(FolderEntries(Records()), ElementsAre("run-20261211T031500.123Z-1.json"));
}

// A temporary file that a killed run left under the name this run uses does not keep it from
// writing its record.
TEST_F(RunRecordFile, ReplacesATemporaryFileLeftFromBefore) {
  ASSERT_EQ(Write("run-20260101T000000.000Z-5.json", "{}").result, upgrade::RecordWrite::kWritten);
  testing_support::WriteFileBytes(Records() + "\\run-20260101T000000.000Z-6.json.tmp", "half");
  ASSERT_EQ(Write("run-20260101T000000.000Z-6.json", "{\"whole\": true}").result,
            upgrade::RecordWrite::kWritten);
  EXPECT_THAT(FolderEntries(Records()),
              ElementsAre("run-20260101T000000.000Z-5.json", "run-20260101T000000.000Z-6.json"));
}

TEST_F(RunRecordFile, KeepsTheNewestTwentyRecordsAndNothingElseIsTouched) {
  ASSERT_EQ(Write("run-20260101T000000.000Z-1.json", "{}").result, upgrade::RecordWrite::kWritten);
  // What is not a record stays, whatever its name, and takes no record's place: an
  // administrator's notes and a folder.
  testing_support::WriteFileBytes(Records() + "\\notes.txt", "kept");
  testing_support::WriteFileBytes(Records() + "\\run-notes.json", "kept");
  ASSERT_TRUE(
      ::CreateDirectoryA((Records() + "\\run-00000000T000000.000Z-0.json").c_str(), nullptr));
  std::vector<std::string> written;
  for (int run = 0; run < 25; ++run) {
    char name[64];
    std::snprintf(name, sizeof(name), "run-20261211T0315%02d.000Z-%d.json", run, 100 + run);
    written.push_back(name);
    ASSERT_EQ(Write(name, "{}").result, upgrade::RecordWrite::kWritten) << name;
  }
  std::vector<std::string> expected(written.end() - 20, written.end());
  expected.insert(expected.begin(), "run-00000000T000000.000Z-0.json");
  expected.push_back("notes.txt");
  expected.push_back("run-notes.json");
  std::sort(expected.begin(), expected.end());
  EXPECT_THAT(FolderEntries(Records()), ElementsAreArray(expected));
}

// Users read the records and nobody but SYSTEM and the Administrators changes them; the owner is
// one every reader trusts.
TEST_F(RunRecordFile, FoldersAndRecordsAreTheAdministratorsAndUsersOnlyRead) {
  ASSERT_EQ(Write("run-20260101T000000.000Z-1.json", "{}").result, upgrade::RecordWrite::kWritten);
  for (const std::string& path : {root_.path() + "\\Quorvex", root_.path() + "\\Quorvex\\Daxinst",
                                  Records(), Records() + "\\run-20260101T000000.000Z-1.json"}) {
    testing_support::ExpectAdministratorsChangeAndUsersRead(path);
  }
}

struct RefusedFolder {
  const char* name;
  // Prepares the records' folder (or what stands in its place) at `path` before the write.
  void (*prepare)(const std::string& path);
  upgrade::RecordWrite result;
  bool shownUnderWine = true;  // false: Wine keeps no owner of a file that it could show
};

void PrintTo(const RefusedFolder& c, std::ostream* os) { *os << c.name; }

constexpr char kAdministratorsFolder[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)";

void MakeFolderWith(const std::string& path, const char* sddl) {
  platform::UniqueLocalMemory memory;
  PSECURITY_DESCRIPTOR raw = nullptr;
  ASSERT_TRUE(
      ::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &raw, nullptr));
  memory.reset(raw);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), raw, FALSE};
  ASSERT_TRUE(::CreateDirectoryA(path.c_str(), &attributes)) << path << " " << ::GetLastError();
}

void MakeFolderOthersMayChange(const std::string& path) {
  ASSERT_TRUE(::CreateDirectoryA(path.c_str(), nullptr)) << path;
  testing_support::SetProtectedDacl(path, testing_support::kEveryoneMayWriteDacl);
}

class RefusedRecordFolder : public RunRecordFile,
                            public ::testing::WithParamInterface<RefusedFolder> {};

// Made before the program made it, the folder is the maker's: nothing goes into it, and the
// caller hears why.
TEST_P(RefusedRecordFolder, GetsNothingWrittenIntoIt) {
  if (!GetParam().shownUnderWine && testing_support::UnderWine())
    GTEST_SKIP() << "Wine keeps no such owner";
  MakeFolderWith(root_.path() + "\\Quorvex", kAdministratorsFolder);
  MakeFolderWith(root_.path() + "\\Quorvex\\Daxinst", kAdministratorsFolder);
  GetParam().prepare(Records());
  const upgrade::RecordWriteResult written = Write("run-20260101T000000.000Z-1.json", "{}");
  EXPECT_EQ(written.result, GetParam().result)
      << platform::NarrowWithoutBestFit(written.where) << " " << written.why;
  EXPECT_FALSE(written.why.empty());
  EXPECT_FALSE(Exists(Records() + "\\run-20260101T000000.000Z-1.json"));
}

// A folder above the records' folder that lets others rename or delete what it holds.
TEST_F(RunRecordFile, RefusesAFolderAboveThatOthersMayChange) {
  MakeFolderWith(root_.path() + "\\Quorvex", kAdministratorsFolder);
  MakeFolderOthersMayChange(root_.path() + "\\Quorvex\\Daxinst");
  const upgrade::RecordWriteResult written = Write("run-20260101T000000.000Z-1.json", "{}");
  EXPECT_EQ(written.result, upgrade::RecordWrite::kFolderRefused) << written.why;
  EXPECT_FALSE(Exists(Records()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedRecordFolder,
    ::testing::Values(RefusedFolder{"OwnedByUsers",
                                    [](const std::string& path) {
                                      MakeFolderWith(path,
                                                     "O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
                                    },
                                    upgrade::RecordWrite::kFolderRefused, false},
                      RefusedFolder{"EveryoneMayAddToIt", MakeFolderOthersMayChange,
                                    upgrade::RecordWrite::kFolderRefused},
                      RefusedFolder{"AFileInItsPlace",
                                    [](const std::string& path) {
                                      testing_support::WriteFileBytes(path, "x");
                                    },
                                    upgrade::RecordWrite::kFolderRefused},
                      RefusedFolder{"ItsParentsCannotBeMade",
                                    [](const std::string& path) {
                                      // The folder above the three the writer makes is missing.
                                      std::string root = path;
                                      for (int level = 0; level < 3; ++level)
                                        root.resize(root.rfind('\\'));
                                      testing_support::RemoveTree(root);
                                    },
                                    upgrade::RecordWrite::kFailed}),
    [](const ::testing::TestParamInfo<RefusedFolder>& info) { return info.param.name; });

// A link in the folder's place leads elsewhere: the record is not written through it.
TEST_F(RunRecordFile, RefusesALinkInTheFoldersPlace) {
  const std::string elsewhere = root_.path() + "\\elsewhere";
  MakeFolderWith(elsewhere, kAdministratorsFolder);
  MakeFolderWith(root_.path() + "\\Quorvex", kAdministratorsFolder);
  const std::string link = root_.path() + "\\Quorvex\\Daxinst";
  if (!::CreateSymbolicLinkA(link.c_str(), elsewhere.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) ||
      !Exists(link)) {
    GTEST_SKIP() << "no directory links here (error " << ::GetLastError() << ")";
  }
  const upgrade::RecordWriteResult written = Write("run-20260101T000000.000Z-1.json", "{}");
  EXPECT_EQ(written.result, upgrade::RecordWrite::kFolderRefused) << written.why;
  EXPECT_TRUE(FolderEntries(elsewhere).empty());
}

}  // namespace
