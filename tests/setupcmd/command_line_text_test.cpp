// The text of the setup command line: what config.xml, Setup.ini, the environment and the caller's
// process number put into it, and where the caller's buffer ends.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <msi.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "diag/log.h"
#include "setupcmd/command_line_generator.h"
#include "support/test_support.h"

namespace setupcmd {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ExecutableDirectory;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

constexpr char kChecksum[] = "C0FFEE";
constexpr char kTemp[] = "C:\\Windows\\TEMP";
constexpr char kClosingPiece[] = " REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\"";

std::string LogPath() { return ExecutableDirectory() + "\\daxinst.log"; }

void StartFreshLog() {
  diag::CloseLogFile();
  testing_support::DeleteFileIfPresent(LogPath());
  diag::OpenLogFile();
}

std::vector<std::string> LogLines() { return testing_support::LogMessages(LogPath()); }

// What the /v argument holds between its quotes, wrapped into the whole command line.
std::string FullCommandLine(const std::string& packageDirectory, const std::string& vArgument) {
  return "\"" + packageDirectory + "\\setup.exe\" /w /s /v\"" + vArgument + kClosingPiece;
}

// An environment variable set for one test and put back as it was.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    char buffer[32768] = {};
    const DWORD length = ::GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    if (length > 0 && length < sizeof(buffer)) previous_ = std::string(buffer, length);
    ::SetEnvironmentVariableA(name, value);
  }
  ~ScopedVariable() {
    ::SetEnvironmentVariableA(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// A staged package whose config.xml the reader finds through the product key, and whose
// Setup.ini the test writes as the package's author would.
class CommandLineTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartFreshLog();
    config_testing::ClearRegistry();
    config_testing::UseConfigFolder(configFolder_.path());
    WriteFileBytes(package_.path() + "\\setAid.ini",
                   "[PREDEFINED_DAX_CONFIG]\r\nPackageChecksum=" + std::string(kChecksum) + "\r\n");
  }
  void TearDown() override { config_testing::ClearRegistry(); }

  void WriteSetupIni(const std::string& cmdLine) const {
    WriteFileBytes(package_.path() + "\\Setup.ini",
                   "[Startup]\r\nCmdLine=" + cmdLine + "\r\n[Languages]\r\nDefault=0x0409\r\n");
  }
  // `attributes` is XML text placed in the package's InstallationOption element. A decoy entry
  // first makes sure the options come from the package's own entry.
  void WriteInstallOptions(const std::string& attributes) const {
    WriteFileBytes(configFolder_.path() + "\\config.xml",
                   config_testing::Document(
                       "<ClientPackage Checksum=\"0000\"><InstallationOption "
                       "UserInterfaceLevel=\"Normal\" InstallationLogFileName=\"decoy.log\"/>"
                       "</ClientPackage><ClientPackage Checksum=\"" +
                       std::string(kChecksum) + "\"><InstallationOption " + attributes +
                       "/></ClientPackage>"));
  }

  int Generate(bool includeLogSwitch, DWORD daxPid = 0) {
    return GenerateIn(package_.path(), includeLogSwitch, daxPid);
  }
  int GenerateIn(const std::string& packageDirectory, bool includeLogSwitch, DWORD daxPid) {
    CommandLineGenerator generator(packageDirectory);
    generator.includeLogSwitch = includeLogSwitch;
    generator.daxPid = daxPid;
    return generator.GenerateCommandLine(out_);
  }
  std::string Out() const { return std::string(out_, strnlen(out_, sizeof(out_))); }
  std::string Expected(const std::string& vArgument) const {
    return FullCommandLine(package_.path(), vArgument);
  }

  TempFolder package_{"cmdline_package"};
  TempFolder configFolder_{"cmdline_config"};
  ScopedVariable temp_{"TEMP", kTemp};
  char out_[kCommandLineBufferSize] = {};
};

// ---------------------------------------------------------------------------------------------
// The case from the installation guide, character for character.

TEST_F(CommandLineTextTest, GuideExampleCharacterForCharacter) {
  ASSERT_EQ(::GetFileAttributesA("C:\\Pkg\\Setup.ini"), INVALID_FILE_ATTRIBUTES);

  EXPECT_EQ(GenerateIn("C:\\Pkg", true, 1234), kCommandLineReady);

  const std::string expected =
      "\"C:\\Pkg\\setup.exe\" /w /s /v\"/qn /l*v \\\"C:\\Windows\\TEMP\\INSTALL.LOG\\\" "
      "DAXPID=1234 REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\"";
  EXPECT_EQ(Out(), expected);
  EXPECT_THAT(LogLines(), Contains(expected));
}

TEST_F(CommandLineTextTest, TypicalPackageUsesEverySource) {
  WriteInstallOptions(
      "UserInterfaceLevel=\"Unattended\" "
      "InstallationLogFileName=\"&quot;%TEMP%\\dax setup.log&quot;\"");
  WriteSetupIni("/qb /l*v \"%TEMP%\\ignored.log\" IDCENABLE=1 REBOOT=ReallySuppress");

  EXPECT_EQ(Generate(true, 4321), kCommandLineReady);

  const std::string expected =
      Expected("/qb!- /l*v \\\"C:\\Windows\\TEMP\\dax setup.log\\\" IDCENABLE=1 DAXPID=4321");
  EXPECT_EQ(Out(), expected);
  // The command line is logged as a line of its own.
  EXPECT_THAT(LogLines(), Contains(expected));
}

// ---------------------------------------------------------------------------------------------
// User interface level

struct UiCase {
  const char* label;
  const char* level;  // nullptr: the attribute is absent
  const char* uiSwitch;
};

void PrintTo(const UiCase& c, std::ostream* os) { *os << c.label; }

class UiSwitchTest : public CommandLineTextTest, public ::testing::WithParamInterface<UiCase> {};

TEST_P(UiSwitchTest, FollowsUserInterfaceLevel) {
  const UiCase& c = GetParam();
  WriteInstallOptions(c.level ? "UserInterfaceLevel=\"" + std::string(c.level) + "\"" : "");

  EXPECT_EQ(Generate(false), kCommandLineReady);

  EXPECT_EQ(Out(), Expected(c.uiSwitch));
}

INSTANTIATE_TEST_SUITE_P(
    Levels, UiSwitchTest,
    ::testing::Values(UiCase{"Normal", "Normal", "/qf"}, UiCase{"NormalUpper", "NORMAL", "/qf"},
                      UiCase{"normalLower", "normal", "/qf"},
                      UiCase{"Unattended", "Unattended", "/qb!-"},
                      UiCase{"unattendedLower", "unattended", "/qb!-"},
                      UiCase{"Silent", "Silent", "/qn"}, UiCase{"LeadingBlank", " NORMAL", "/qn"},
                      UiCase{"TrailingBlank", "Unattended ", "/qn"},
                      UiCase{"Unknown", "Full", "/qn"}, UiCase{"Empty", "", "/qn"},
                      UiCase{"Absent", nullptr, "/qn"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(CommandLineTextTest, NoConfigFileMeansSilent) {
  EXPECT_EQ(Generate(false), kCommandLineReady);
  EXPECT_EQ(Out(), Expected("/qn"));
}

// ---------------------------------------------------------------------------------------------
// Installer log switch

struct LogCase {
  const char* label;
  const char* setupIni;    // CmdLine of Setup.ini; nullptr: no Setup.ini
  const char* configName;  // InstallationLogFileName as XML text; nullptr: absent
  const char* logSwitch;   // as it appears inside the /v argument
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.label; }

class LogSwitchTest : public CommandLineTextTest, public ::testing::WithParamInterface<LogCase> {};

TEST_P(LogSwitchTest, TakesTheFirstLogSwitchWithItsArgument) {
  const LogCase& c = GetParam();
  if (c.setupIni) WriteSetupIni(c.setupIni);
  WriteInstallOptions(c.configName ? "InstallationLogFileName=\"" + std::string(c.configName) + "\""
                                   : "");

  EXPECT_EQ(Generate(true), kCommandLineReady);

  EXPECT_EQ(Out(), Expected("/qn " + std::string(c.logSwitch)));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, LogSwitchTest,
    ::testing::Values(
        LogCase{"QuotedArgumentKeepsBlanks",
                "/qb /L*v \"%TEMP%\\my setup.log\" REBOOT=ReallySuppress", nullptr,
                "/L*v \\\"C:\\Windows\\TEMP\\my setup.log\\\""},
        LogCase{"UnquotedArgumentEndsAtBlank", "/lv c:\\logs\\a.log /qn", nullptr,
                "/lv c:\\logs\\a.log"},
        LogCase{"NoLogSwitchGivesDefault", "/qb REBOOT=ReallySuppress", nullptr,
                "/l*v \\\"C:\\Windows\\TEMP\\INSTALL.LOG\\\""},
        LogCase{"NoSetupIniGivesDefault", nullptr, nullptr,
                "/l*v \\\"C:\\Windows\\TEMP\\INSTALL.LOG\\\""},
        LogCase{"EmptyCmdLineGivesDefault", "", nullptr,
                "/l*v \\\"C:\\Windows\\TEMP\\INSTALL.LOG\\\""},
        // The argument's end is searched from the second character after the blank.
        LogCase{"SecondBlankStartsTheArgument", "/l  x.log /qn", nullptr, "/l  x.log"},
        LogCase{"OtherSlashesSkipped", "TARGETDIR=c:/x /qn/l*v x.log y", nullptr, "/l*v x.log"},
        LogCase{"SwitchWithoutArgument", "/qn /l*v", nullptr, "/l*v"},
        LogCase{"UnclosedQuoteRunsToTheEnd", "/l*v \"c:\\a b.log /qn", nullptr,
                "/l*v \\\"c:\\a b.log /qn"},
        LogCase{"UnsetVariableAddsNothing", "/l*v \"%DAXINST_NOT_SET%\\x.log\"", nullptr,
                "/l*v \\\"\\x.log\\\""},
        LogCase{"UnclosedPercentTakesTheRest", "/l*v %TEMP", nullptr, "/l*v C:\\Windows\\TEMP"},
        LogCase{"ConfigNameWinsOverSetupIni", "/lv setup_ini.log", "C:\\logs\\inst.log",
                "/l*v C:\\logs\\inst.log"},
        LogCase{"QuotedConfigNameKeepsBlanks", nullptr, "&quot;%TEMP%\\a b.log&quot;",
                "/l*v \\\"C:\\Windows\\TEMP\\a b.log\\\""},
        LogCase{"UnquotedConfigNameEndsAtBlank", nullptr, "C:\\my logs\\a.log", "/l*v C:\\my"},
        LogCase{"EmptyConfigNameFallsBack", "/lv s.log", "", "/lv s.log"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(CommandLineTextTest, ConfigNameOfAtMost254Characters) {
  const std::string longest = "C:\\" + std::string(247, 'n') + ".log";
  ASSERT_EQ(longest.size(), 254u);
  WriteSetupIni("/lv s.log");
  WriteInstallOptions("InstallationLogFileName=\"" + longest + "\"");

  EXPECT_EQ(Generate(true), kCommandLineReady);

  EXPECT_EQ(Out(), Expected("/qn /l*v " + longest));
}

TEST_F(CommandLineTextTest, LongerConfigNameIsIgnoredWithAWarning) {
  const std::string tooLong = "C:\\" + std::string(248, 'n') + ".log";
  ASSERT_EQ(tooLong.size(), 255u);
  WriteSetupIni("/lv s.log");
  WriteInstallOptions("InstallationLogFileName=\"" + tooLong + "\"");

  EXPECT_EQ(Generate(true), kCommandLineReady);

  EXPECT_EQ(Out(), Expected("/qn /lv s.log"));
  EXPECT_THAT(LogLines(), Contains("WARNING: InstallationLogFileName of config.xml has more than "
                                   "254 characters and is ignored"));
}

// A variable is read into 260 characters: a value of 259 fits, a longer one is left out.
TEST_F(CommandLineTextTest, VariableValueMustFitItsBuffer) {
  WriteSetupIni("/l*v \"%DAXINST_LOGDIR%\\x.log\"");
  const std::string fits = "C:\\" + std::string(256, 'd');
  {
    ScopedVariable variable("DAXINST_LOGDIR", fits.c_str());
    EXPECT_EQ(Generate(true), kCommandLineReady);
    EXPECT_EQ(Out(), Expected("/qn /l*v \\\"" + fits + "\\x.log\\\""));
  }
  const std::string tooLong = fits + "d";
  {
    ScopedVariable variable("DAXINST_LOGDIR", tooLong.c_str());
    EXPECT_EQ(Generate(true), kCommandLineReady);
    EXPECT_EQ(Out(), Expected("/qn /l*v \\\"\\x.log\\\""));
  }
  EXPECT_THAT(LogLines(), Contains("WARNING: environment variable DAXINST_LOGDIR is too long for "
                                   "the installer log switch and is left out"));
}

TEST_F(CommandLineTextTest, NoLogSwitchAtAllWhenTheCallerAsksForNone) {
  WriteSetupIni("/qb /l*v \"%TEMP%\\setup.log\"");
  WriteInstallOptions("InstallationLogFileName=\"C:\\logs\\inst.log\"");

  EXPECT_EQ(Generate(false), kCommandLineReady);

  EXPECT_EQ(Out(), Expected("/qn"));
}

// ---------------------------------------------------------------------------------------------
// IDCENABLE from Setup.ini

struct IdcCase {
  const char* label;
  const char* cmdLine;
  const char* property;  // empty: none
};

void PrintTo(const IdcCase& c, std::ostream* os) { *os << c.label; }

class IdcEnableTest : public CommandLineTextTest, public ::testing::WithParamInterface<IdcCase> {};

TEST_P(IdcEnableTest, PassedOnNormalisedAndOnlyAsZeroOrOne) {
  const IdcCase& c = GetParam();
  WriteSetupIni(c.cmdLine);

  EXPECT_EQ(Generate(false), kCommandLineReady);

  const std::string property = c.property;
  EXPECT_EQ(Out(), Expected(property.empty() ? "/qn" : "/qn " + property));
}

INSTANTIATE_TEST_SUITE_P(
    CmdLines, IdcEnableTest,
    ::testing::Values(IdcCase{"One", "/qn IDCENABLE=1", "IDCENABLE=1"},
                      IdcCase{"Zero", "IDCENABLE=0 /qn", "IDCENABLE=0"},
                      IdcCase{"BlanksAroundEquals", "/qb IDCENABLE = 1 REBOOT=ReallySuppress",
                              "IDCENABLE=1"},
                      IdcCase{"TabsAroundEquals", "IDCENABLE\t=\t0", "IDCENABLE=0"},
                      IdcCase{"Yes", "IDCENABLE=yes", ""}, IdcCase{"NoValue", "IDCENABLE=", ""},
                      IdcCase{"NoEquals", "IDCENABLE 1", ""},
                      IdcCase{"LowerCase", "idcenable=1", ""},
                      IdcCase{"InsideLongerWord", "NOIDCENABLE=1", "IDCENABLE=1"},
                      IdcCase{"FirstOccurrenceDecides", "IDCENABLE=0 IDCENABLE=1", "IDCENABLE=0"},
                      IdcCase{"Absent", "/qn REBOOT=ReallySuppress", ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(CommandLineTextTest, NoSetupIniMeansNoIdcEnable) {
  EXPECT_EQ(Generate(false), kCommandLineReady);
  EXPECT_THAT(Out(), Not(HasSubstr("IDCENABLE")));
}

// IDCENABLE is read from up to 260 characters of CmdLine.
TEST_F(CommandLineTextTest, IdcEnableAtTheEndOfTheLongestCmdLine) {
  const std::string cmdLine = std::string(249, 'x') + " IDCENABLE=1";
  ASSERT_EQ(cmdLine.size(), 261u);
  WriteSetupIni(cmdLine);
  EXPECT_EQ(Generate(false), kCommandLineReady);
  EXPECT_EQ(Out(), Expected("/qn"));

  WriteSetupIni(cmdLine.substr(1));
  EXPECT_EQ(Generate(false), kCommandLineReady);
  EXPECT_EQ(Out(), Expected("/qn IDCENABLE=1"));
}

// ---------------------------------------------------------------------------------------------
// DAXPID and where the pieces go

struct PidCase {
  DWORD pid;
  const char* vArgument;
};

class DaxPidTest : public CommandLineTextTest, public ::testing::WithParamInterface<PidCase> {};

TEST_P(DaxPidTest, PassedOnlyWhenNotZero) {
  WriteSetupIni("/qb IDCENABLE=0");
  EXPECT_EQ(Generate(false, GetParam().pid), kCommandLineReady);
  EXPECT_EQ(Out(), Expected(GetParam().vArgument));
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, DaxPidTest,
    ::testing::Values(PidCase{0, "/qn IDCENABLE=0"}, PidCase{1234, "/qn IDCENABLE=0 DAXPID=1234"},
                      PidCase{4294967295u, "/qn IDCENABLE=0 DAXPID=4294967295"}));

// ---------------------------------------------------------------------------------------------
// The caller's buffer

class BufferLimitTest : public CommandLineTextTest {
 protected:
  // A package folder whose name makes the command line exactly `length` characters long.
  static std::string FolderForLength(size_t length) {
    const size_t fixed = FullCommandLine("", "/qn").size();
    return "C:\\" + std::string(length - fixed - 3, 'p');
  }
};

TEST_F(BufferLimitTest, CommandLineOf4095CharactersFits) {
  const std::string folder = FolderForLength(4095);

  EXPECT_EQ(GenerateIn(folder, false, 0), kCommandLineReady);

  EXPECT_EQ(Out(), FullCommandLine(folder, "/qn"));
  EXPECT_EQ(Out().size(), 4095u);
}

TEST_F(BufferLimitTest, CommandLineOf4096CharactersIsRefusedAndTheBufferLeftAlone) {
  const std::string folder = FolderForLength(4096);
  std::memset(out_, '#', sizeof(out_));

  EXPECT_EQ(GenerateIn(folder, false, 0), kCommandLineNotStored);

  EXPECT_TRUE(std::all_of(std::begin(out_), std::end(out_), [](char c) { return c == '#'; }));
  EXPECT_THAT(LogLines(), Contains("Array not large enough to store command line: Supplied 4096 "
                                   "bytes but need 4096"));
}

// Expanded variables count: a short Setup.ini can still make the command line too long.
TEST_F(BufferLimitTest, ExpandedLogSwitchCountsTowardsTheLimit) {
  std::string cmdLine = "/l*v \"";
  for (int i = 0; i < 16; ++i) cmdLine += "%DAXINST_BIG%";
  WriteSetupIni(cmdLine + "\"");
  const std::string big(259, 'b');
  ScopedVariable variable("DAXINST_BIG", big.c_str());
  std::memset(out_, '#', sizeof(out_));

  EXPECT_EQ(Generate(true), kCommandLineNotStored);

  EXPECT_TRUE(std::all_of(std::begin(out_), std::end(out_), [](char c) { return c == '#'; }));
  const size_t needed = Expected("/qn /l*v \\\"" + std::string(16 * 259, 'b') + "\\\"").size();
  EXPECT_THAT(LogLines(), Contains("Array not large enough to store command line: Supplied 4096 "
                                   "bytes but need " +
                                   std::to_string(needed)));
}

}  // namespace
}  // namespace setupcmd
