// The default installer log, %TEMP%\INSTALL.LOG, as a user who may create files in TEMP leaves
// it before setup starts: what the check finds there, and which log the run then gives setup.
#include "setupcmd/installer_log.h"

#include <aclapi.h>
#include <sddl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/owner_check.h"
#include "platform/unique_handle.h"
#include "setupcmd/command_line_generator.h"
#include "support/fresh_log.h"
#include "support/test_support.h"

namespace setupcmd {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ReadFileBytes;

// What a run finds at the default path, judged: the owner's SID given as a text, since Wine gives
// every file the owner of the account that runs it, whatever its descriptor said.
struct FactsCase {
  const char* name;
  InstallerLogFacts facts;
  InstallerLogPlace place;
};

void PrintTo(const FactsCase& c, std::ostream* out) { *out << c.name; }

constexpr char kAdministrators[] = "S-1-5-32-544";
constexpr char kSystem[] = "S-1-5-18";
constexpr char kUsers[] = "S-1-5-32-545";

InstallerLogFacts Facts(DWORD attributes, DWORD links, const char* owner, bool diskFile = true) {
  InstallerLogFacts facts;
  facts.attributes = attributes;
  facts.links = links;
  facts.ownerSid = owner;
  facts.diskFile = diskFile;
  return facts;
}
InstallerLogFacts OpenFailed(DWORD error) {
  InstallerLogFacts facts;
  facts.openError = error;
  return facts;
}

class JudgedInstallerLog : public ::testing::TestWithParam<FactsCase> {};

TEST_P(JudgedInstallerLog, StaysOnlyWhenAbsentOrAPlainFileOfATrustedOwnerWithOneLink) {
  const InstallerLogCheck check = JudgeInstallerLog(GetParam().facts);
  EXPECT_EQ(check.place, GetParam().place) << DescribeInstallerLogPlace(check);
}

INSTANTIATE_TEST_SUITE_P(
    Facts, JudgedInstallerLog,
    ::testing::Values(
        FactsCase{"Absent", OpenFailed(ERROR_FILE_NOT_FOUND), InstallerLogPlace::kAbsent},
        FactsCase{"NoTempFolder", OpenFailed(ERROR_PATH_NOT_FOUND), InstallerLogPlace::kAbsent},
        FactsCase{"HeldWithoutSharing", OpenFailed(ERROR_SHARING_VIOLATION),
                  InstallerLogPlace::kNotOpened},
        FactsCase{"NoAccess", OpenFailed(ERROR_ACCESS_DENIED), InstallerLogPlace::kNotOpened},
        FactsCase{"PlainFileOfAdministrators", Facts(FILE_ATTRIBUTE_ARCHIVE, 1, kAdministrators),
                  InstallerLogPlace::kTrustedFile},
        FactsCase{"PlainFileOfSystem", Facts(FILE_ATTRIBUTE_NORMAL, 1, kSystem),
                  InstallerLogPlace::kTrustedFile},
        FactsCase{"FileOwnedByUsers", Facts(FILE_ATTRIBUTE_ARCHIVE, 1, kUsers),
                  InstallerLogPlace::kUntrustedOwner},
        FactsCase{"FileWithoutAnOwner", Facts(FILE_ATTRIBUTE_ARCHIVE, 1, ""),
                  InstallerLogPlace::kUntrustedOwner},
        FactsCase{"Folder", Facts(FILE_ATTRIBUTE_DIRECTORY, 1, kAdministrators),
                  InstallerLogPlace::kFolder},
        FactsCase{"NotADiskFile", Facts(FILE_ATTRIBUTE_NORMAL, 1, kAdministrators, false),
                  InstallerLogPlace::kFolder},
        FactsCase{"FileWithTwoLinks", Facts(FILE_ATTRIBUTE_ARCHIVE, 2, kAdministrators),
                  InstallerLogPlace::kLinked},
        FactsCase{"SymbolicLink", Facts(FILE_ATTRIBUTE_REPARSE_POINT, 1, kAdministrators),
                  InstallerLogPlace::kReparsePoint}),
    [](const ::testing::TestParamInfo<FactsCase>& info) { return std::string(info.param.name); });

// A file made with an owner of the test's choosing (Windows keeps it; Wine gives the file the
// owner of the account that runs the test, which the rule trusts too).
bool MakeFileOwnedBy(const std::string& path, const wchar_t* owner) {
  const std::wstring sddl = std::wstring(L"O:") + owner + L"D:(A;;FA;;;WD)";
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw,
                                                              nullptr)) {
    return false;
  }
  platform::UniqueLocalMemory descriptor(raw);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), raw, FALSE};
  platform::UniqueFileHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes,
                                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), "earlier log", 11, &written, nullptr) != FALSE;
}

// What a case leaves at the default log path; `holder` keeps a file open where the case says so.
struct Planted {
  platform::UniqueFileHandle holder;
};

struct LogCase {
  const char* name;
  void (*plant)(const std::string& path, Planted& planted);
  InstallerLogPlace place;
};

void PrintTo(const LogCase& c, std::ostream* out) { *out << c.name; }

void PlantNothing(const std::string&, Planted&) {}
void PlantAdministratorsFile(const std::string& path, Planted&) {
  ASSERT_TRUE(MakeFileOwnedBy(path, L"BA"));
}
void PlantFolder(const std::string& path, Planted&) {
  ASSERT_TRUE(::CreateDirectoryA(path.c_str(), nullptr));
}
void PlantFileWithTwoLinks(const std::string& path, Planted&) {
  const std::string other = path + ".other";
  ASSERT_TRUE(MakeFileOwnedBy(other, L"BA"));
  ASSERT_TRUE(::CreateHardLinkA(path.c_str(), other.c_str(), nullptr));
}
void PlantFileHeldWithoutSharing(const std::string& path, Planted& planted) {
  ASSERT_TRUE(MakeFileOwnedBy(path, L"BA"));
  planted.holder.reset(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(planted.holder);
}

const LogCase kCases[] = {
    {"Absent", PlantNothing, InstallerLogPlace::kAbsent},
    {"PlainFileOfATrustedOwner", PlantAdministratorsFile, InstallerLogPlace::kTrustedFile},
    {"Folder", PlantFolder, InstallerLogPlace::kFolder},
    {"FileWithTwoLinks", PlantFileWithTwoLinks, InstallerLogPlace::kLinked},
    {"FileHeldWithoutSharing", PlantFileHeldWithoutSharing, InstallerLogPlace::kNotOpened},
};

class DefaultInstallerLog : public ::testing::TestWithParam<LogCase> {
 protected:
  void SetUp() override {
    testing_support::StartFreshLog();
    GetParam().plant(DefaultPath(), planted_);
  }

  std::string DefaultPath() const { return temp_.path() + "\\INSTALL.LOG"; }

  // The folders in TEMP that the run made for setup's log.
  std::vector<std::string> PrivateFolders() const {
    std::vector<std::string> folders;
    WIN32_FIND_DATAA entry;
    platform::UniqueFindHandle find(
        ::FindFirstFileA((temp_.path() + "\\DaxInstLog-*").c_str(), &entry));
    if (!find) return folders;
    do {
      folders.push_back(temp_.path() + "\\" + entry.cFileName);
    } while (::FindNextFileA(find.get(), &entry));
    return folders;
  }

  // The command line of a generator for a package without a .msi, with TEMP in the test's folder.
  std::string GenerateWithTemp(bool moveTaken, InstallerLogFindings& findings) {
    CommandLineGenerator generator(package_.path());
    generator.includeLogSwitch = true;
    generator.moveTakenInstallerLog = moveTaken;
    const std::string temp = temp_.path();
    generator.environmentLookup = [temp](const std::string& name) {
      return name == "TEMP" ? temp : std::string();
    };
    char out[kCommandLineBufferSize] = {};
    EXPECT_EQ(generator.GenerateCommandLine(out), kCommandLineReady);
    findings = generator.installerLog();
    return out;
  }

  testing_support::TempFolder temp_{"installer log temp"};
  testing_support::TempFolder package_{"installer log package"};
  Planted planted_;
};

TEST_P(DefaultInstallerLog, IsFoundAsItWasLeft) {
  const InstallerLogCheck check = CheckInstallerLogPath(DefaultPath());
  EXPECT_EQ(check.place, GetParam().place) << DescribeInstallerLogPlace(check);
  EXPECT_EQ(DefaultLogStays(check.place), GetParam().place == InstallerLogPlace::kAbsent ||
                                              GetParam().place == InstallerLogPlace::kTrustedFile);
}

// The fault this pins: setup always got /l*v "%TEMP%\INSTALL.LOG", a fixed name in a folder where
// every user may create files, so whoever made the name first made Windows Installer fail to
// open its log (and spend the package's attempt) or read LocalSystem's verbose log. Now anything
// but nothing or a plain file of a trusted owner with one link gives setup a log in a folder that
// the run makes; the default stays otherwise. (The run's line and entry: upgrade_tests.)
TEST_P(DefaultInstallerLog, TheRunGivesSetupALogOfItsOwnWhereTheDefaultIsTaken) {
  const auto before = ReadFileBytes(DefaultPath());
  InstallerLogFindings findings;
  const std::string commandLine = GenerateWithTemp(true, findings);
  const std::string defaultSwitch = "/l*v \\\"" + DefaultPath() + "\\\"";

  EXPECT_EQ(ReadFileBytes(DefaultPath()), before) << "the check changed what it looked at";
  EXPECT_TRUE(findings.defaultSwitch);
  const std::vector<std::string> folders = PrivateFolders();
  if (DefaultLogStays(GetParam().place)) {
    EXPECT_THAT(commandLine, HasSubstr(" " + defaultSwitch + " "));
    EXPECT_EQ(findings.path, DefaultPath());
    EXPECT_TRUE(folders.empty());
    EXPECT_FALSE(findings.defaultTaken);
    return;
  }
  EXPECT_THAT(commandLine, Not(HasSubstr(defaultSwitch)));
  ASSERT_EQ(folders.size(), 1u);
  const std::string privateLog = folders[0] + "\\INSTALL.LOG";
  EXPECT_EQ(findings.path, privateLog);
  // Only the log switch differs from the default command line.
  std::string expected = commandLine;
  const std::string privateSwitch = "/l*v \\\"" + privateLog + "\\\"";
  const size_t at = expected.find(" " + privateSwitch + " ");
  ASSERT_NE(at, std::string::npos) << commandLine;
  expected.replace(at + 1, privateSwitch.size(), defaultSwitch);
  InstallerLogFindings told;
  EXPECT_EQ(expected, GenerateWithTemp(false, told));

  // The folder belongs to a trusted owner and lets SYSTEM in, and nobody but trusted accounts.
  // (Windows keeps the descriptor as made: Administrators and SYSTEM. Wine keeps the file mode
  // it made of it, which reads as the account that runs the test and SYSTEM.)
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  ASSERT_EQ(::GetNamedSecurityInfoA(folders[0].c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &raw),
            static_cast<DWORD>(ERROR_SUCCESS));
  platform::UniqueLocalMemory descriptor(raw);
  EXPECT_TRUE(platform::IsTrustedOwner(owner, platform::OwnerRule::kFile))
      << platform::SidText(owner);
  ASSERT_NE(dacl, nullptr);
  std::vector<std::string> allowed;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, index, reinterpret_cast<void**>(&ace)));
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const PSID sid = &ace->SidStart;
    allowed.push_back(platform::SidText(sid));
    EXPECT_TRUE(platform::IsTrustedOwner(sid, platform::OwnerRule::kFile))
        << platform::SidText(sid) << " may use the folder";
  }
  EXPECT_THAT(allowed, ::testing::Contains(kSystem));

  EXPECT_TRUE(findings.defaultTaken);
  EXPECT_EQ(findings.folderError, 0u);
}

// daxcheck.exe makes nothing: a generator that only tells keeps the default switch and says that
// the default is taken.
TEST_P(DefaultInstallerLog, TheCheckOnlyTellsWhichLogSetupGets) {
  InstallerLogFindings findings;
  const std::string commandLine = GenerateWithTemp(false, findings);
  EXPECT_THAT(commandLine, HasSubstr(" /l*v \\\"" + DefaultPath() + "\\\" "));
  EXPECT_EQ(findings.defaultTaken, !DefaultLogStays(GetParam().place));
  EXPECT_EQ(findings.check.place, GetParam().place);
  EXPECT_TRUE(PrivateFolders().empty());
  EXPECT_TRUE(findings.path.empty() || !findings.defaultTaken);
}

INSTANTIATE_TEST_SUITE_P(Places, DefaultInstallerLog, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<LogCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace setupcmd
