// The text of the setup command line: what config.xml, Setup.ini, the environment and the caller's
// process number put into it, and where the caller's buffer ends.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

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
#include "setupcmd/command_line_text.h"
#include "support/command_line_split.h"
#include "support/fresh_log.h"
#include "support/test_support.h"

namespace setupcmd {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ExecutableDirectory;
using testing_support::LogPath;
using testing_support::StartFreshLog;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

constexpr char kChecksum[] = "C0FFEE";
constexpr char kTemp[] = "C:\\Windows\\TEMP";
constexpr char kClosingPiece[] = " REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\"";

std::vector<std::string> LogLines() { return testing_support::LogMessages(LogPath()); }

std::vector<std::string> Warnings() {
  std::vector<std::string> warnings;
  for (const std::string& line : LogLines()) {
    if (line.rfind("WARNING:", 0) == 0) warnings.push_back(line);
  }
  return warnings;
}

// What setup.exe itself makes of a command line: Wine's CommandLineToArgvW of its UTF-16 form,
// each argument back in `codePage`.
std::vector<std::string> SplitByWindows(const std::string& line, UINT codePage) {
  const int wideSize = ::MultiByteToWideChar(codePage, 0, line.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(wideSize), L'\0');
  ::MultiByteToWideChar(codePage, 0, line.c_str(), -1, &wide[0], wideSize);
  int count = 0;
  LPWSTR* argv = ::CommandLineToArgvW(wide.c_str(), &count);
  std::vector<std::string> arguments;
  for (int i = 0; argv && i < count; ++i) {
    char narrow[8192] = {};
    ::WideCharToMultiByte(codePage, 0, argv[i], -1, narrow, sizeof(narrow), nullptr, nullptr);
    arguments.emplace_back(narrow);
  }
  ::LocalFree(argv);
  return arguments;
}

// setup.exe gets its path, /w, /s and one /v argument that ends with the reboot suppression,
// and Windows Installer gets nothing but the switches and properties meant for it: by Wine's
// CommandLineToArgvW, and by the rules written out in plain code, which must agree with it.
void ExpectPromiseKept(const std::string& line, const std::string& packageDirectory, DWORD daxPid,
                       UINT codePage = CP_ACP,
                       command_line_split::LeadBytePredicate isLeadByte = nullptr) {
  const std::vector<std::string> byWindows = SplitByWindows(line, codePage);
  EXPECT_EQ(byWindows, command_line_split::SplitLikeTheCRuntime(line, isLeadByte)) << line;
  EXPECT_EQ(
      command_line_split::BrokenPromise(line, byWindows, packageDirectory, daxPid, isLeadByte), "")
      << line;
}

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
    generator.personAtDesktop = personAtDesktop_;
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
  bool personAtDesktop_ = false;  // a service run unless a case says debug mode
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
  ExpectPromiseKept(Out(), "C:\\Pkg", 1234);
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
  ExpectPromiseKept(Out(), package_.path(), 4321);
}

// ---------------------------------------------------------------------------------------------
// User interface level

struct UiCase {
  const char* label;
  const char* level;  // nullptr: the attribute is absent
  bool personAtDesktop;
  const char* uiSwitch;
};

void PrintTo(const UiCase& c, std::ostream* os) { *os << c.label; }

class UiSwitchTest : public CommandLineTextTest, public ::testing::WithParamInterface<UiCase> {};

TEST_P(UiSwitchTest, FollowsUserInterfaceLevel) {
  const UiCase& c = GetParam();
  WriteInstallOptions(c.level ? "UserInterfaceLevel=\"" + std::string(c.level) + "\"" : "");
  personAtDesktop_ = c.personAtDesktop;

  EXPECT_EQ(Generate(false), kCommandLineReady);

  EXPECT_EQ(Out(), Expected(c.uiSwitch));
}

// Fault: "Normal" gave the full installer UI in a service run too, where setup runs hidden as
// LocalSystem and nobody can click through it: the run waited for it without end. There it now
// gives the basic UI that never waits for input; only in debug mode, with a person at the
// desktop, the full UI stays.
INSTANTIATE_TEST_SUITE_P(
    Levels, UiSwitchTest,
    ::testing::Values(UiCase{"NormalInDebugMode", "Normal", true, "/qf"},
                      UiCase{"NormalUpperInDebugMode", "NORMAL", true, "/qf"},
                      UiCase{"normalLowerInDebugMode", "normal", true, "/qf"},
                      UiCase{"NormalInAServiceRun", "Normal", false, "/qb!-"},
                      UiCase{"NormalUpperInAServiceRun", "NORMAL", false, "/qb!-"},
                      UiCase{"Unattended", "Unattended", false, "/qb!-"},
                      UiCase{"UnattendedInDebugMode", "Unattended", true, "/qb!-"},
                      UiCase{"unattendedLower", "unattended", false, "/qb!-"},
                      UiCase{"Silent", "Silent", false, "/qn"},
                      UiCase{"SilentInDebugMode", "Silent", true, "/qn"},
                      UiCase{"LeadingBlank", " NORMAL", true, "/qn"},
                      UiCase{"TrailingBlank", "Unattended ", false, "/qn"},
                      UiCase{"Unknown", "Full", true, "/qn"}, UiCase{"Empty", "", false, "/qn"},
                      UiCase{"Absent", nullptr, true, "/qn"}),
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
  EXPECT_EQ(Warnings(), std::vector<std::string>{});
  ExpectPromiseKept(Out(), package_.path(), 0);
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

// ---------------------------------------------------------------------------------------------
// The /v argument stays one argument
//
// Fault: the log switch was rewritten only by putting a backslash before each quote, and
// variables were inserted as they were. A quoted name ending in a backslash ("C:\Logs\") gave
// \"C:\Logs\\" and ended the /v argument there, so that DAXPID, REBOOT=ReallySuppress and
// IDCDEPLOYMENT=AutoUpgrade became arguments of setup.exe of their own; a tab, a line end, a
// quote or (through a variable) a blank handed Windows Installer properties of the text's own; a
// switch without its file name made Windows Installer log into "REBOOT=ReallySuppress". Such a
// switch is now set aside with a warning, and the next source is used.

constexpr DWORD kPid = 4321;
constexpr char kDefaultInside[] = "/l*v \\\"C:\\Windows\\TEMP\\INSTALL.LOG\\\"";
constexpr char kSetupIniSwitch[] = "/qb /lv C:\\pkg\\setup.log";
constexpr char kSetupIniInside[] = "/lv C:\\pkg\\setup.log";
const std::string kNoLogSwitch = "WARNING: setup is started without an installer log switch";

std::string SetAside(const char* source, const char* reason, const std::string& shown) {
  return std::string("WARNING: ") + source + " is set aside: " + reason + " [" + shown + "]";
}
std::string ConfigSetAside(const char* reason, const std::string& shown) {
  return SetAside("InstallationLogFileName of config.xml", reason, shown);
}
std::string SetupIniSetAside(const char* reason, const std::string& shown) {
  return SetAside("the log switch of Setup.ini", reason, shown);
}
std::string DefaultSetAside(const char* reason, const std::string& shown) {
  return SetAside("the default log switch", reason, shown);
}
constexpr char kBackslash[] = "its file name ends in a backslash";
constexpr char kControl[] = "it holds a control character";
constexpr char kQuote[] = "it holds a double quote that does not enclose the file name";
constexpr char kBlank[] = "its file name holds a blank outside quotes";
constexpr char kNoFile[] = "it names no log file";
constexpr char kBlankName[] = "its quoted file name is blank";
constexpr char kSwitchLike[] = "its file name begins with / or -";
constexpr char kWideBlank[] = "its unquoted file name holds a character that may read as a blank";
const std::string kNotInCodePage =
    "WARNING: InstallationLogFileName of config.xml holds characters that the ANSI code page does "
    "not have and is ignored";

struct SetAsideCase {
  const char* label;
  const char* configName;  // InstallationLogFileName as XML text; nullptr: absent
  const char* setupIni;    // CmdLine of Setup.ini; nullptr: no Setup.ini
  const char* variable;    // a variable the case sets, nullptr: none
  const char* value;
  const char* logSwitch;  // as it appears inside the /v argument; empty: none
  std::vector<std::string> warnings;
};

void PrintTo(const SetAsideCase& c, std::ostream* os) { *os << c.label; }

class SetAsideTest : public CommandLineTextTest,
                     public ::testing::WithParamInterface<SetAsideCase> {};

TEST_P(SetAsideTest, SwitchThatWouldBreakTheLineFallsBackWithAWarning) {
  const SetAsideCase& c = GetParam();
  if (c.setupIni) WriteSetupIni(c.setupIni);
  WriteInstallOptions(c.configName ? "InstallationLogFileName=\"" + std::string(c.configName) + "\""
                                   : "");
  std::optional<ScopedVariable> variable;
  if (c.variable) variable.emplace(c.variable, c.value);

  EXPECT_EQ(Generate(true, kPid), kCommandLineReady);

  const std::string logSwitch = c.logSwitch;
  EXPECT_EQ(Out(), Expected("/qn" + (logSwitch.empty() ? "" : " " + logSwitch) +
                            " DAXPID=" + std::to_string(kPid)));
  EXPECT_EQ(Warnings(), c.warnings);
  ExpectPromiseKept(Out(), package_.path(), kPid);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SetAsideTest,
    ::testing::Values(
        SetAsideCase{"QuotedFolderEndingInBackslash",
                     "&quot;C:\\Logs\\&quot;",
                     kSetupIniSwitch,
                     nullptr,
                     nullptr,
                     kSetupIniInside,
                     {ConfigSetAside(kBackslash, "/l*v \"C:\\Logs\\\"")}},
        SetAsideCase{"BackslashesBeforeTheClosingQuote",
                     "&quot;C:\\Logs\\\\&quot;",
                     nullptr,
                     nullptr,
                     nullptr,
                     kDefaultInside,
                     {ConfigSetAside(kBackslash, "/l*v \"C:\\Logs\\\\\"")}},
        SetAsideCase{"UnquotedFolderEndingInBackslash",
                     "C:\\Logs\\",
                     nullptr,
                     nullptr,
                     nullptr,
                     kDefaultInside,
                     {ConfigSetAside(kBackslash, "/l*v C:\\Logs\\")}},
        SetAsideCase{
            "TabBeforeAProperty",
            "x.log&#9;TRANSFORMS=\\\\host\\share\\t.mst",
            kSetupIniSwitch,
            nullptr,
            nullptr,
            kSetupIniInside,
            {ConfigSetAside(kControl, "/l*v x.log\\x09TRANSFORMS=\\\\host\\share\\t.mst")}},
        SetAsideCase{"LineEndBeforeAProperty",
                     "x.log&#13;&#10;REBOOT=Force",
                     nullptr,
                     nullptr,
                     nullptr,
                     kDefaultInside,
                     {ConfigSetAside(kControl, "/l*v x.log\\x0D\\x0AREBOOT=Force")}},
        // Fault: quotes around blanks only handed Windows Installer an empty argument after
        // /l*v, and it may then take the next one (DAXPID=, REBOOT=ReallySuppress) as its log.
        SetAsideCase{"QuotedBlankName",
                     "&quot; &quot;",
                     kSetupIniSwitch,
                     nullptr,
                     nullptr,
                     kSetupIniInside,
                     {ConfigSetAside(kBlankName, "/l*v \" \"")}},
        SetAsideCase{"QuotedBlanksOnly",
                     "&quot;   &quot;",
                     nullptr,
                     nullptr,
                     nullptr,
                     kDefaultInside,
                     {ConfigSetAside(kBlankName, "/l*v \"   \"")}},
        SetAsideCase{"BlankNameFromAVariable",
                     nullptr,
                     "/l*v \"%DAXINST_BLANK%\"",
                     "DAXINST_BLANK",
                     "  ",
                     kDefaultInside,
                     {SetupIniSetAside(kBlankName, "/l*v \"  \"")}},
        // Fault: a name beginning with "/" or "-" reads to Windows Installer as its next option.
        SetAsideCase{"NameBeginningWithSlash",
                     "/qn",
                     kSetupIniSwitch,
                     nullptr,
                     nullptr,
                     kSetupIniInside,
                     {ConfigSetAside(kSwitchLike, "/l*v /qn")}},
        SetAsideCase{"NameBeginningWithDash",
                     "-x.log",
                     nullptr,
                     nullptr,
                     nullptr,
                     kDefaultInside,
                     {ConfigSetAside(kSwitchLike, "/l*v -x.log")}},
        SetAsideCase{"QuotedNameBeginningWithSlash",
                     "&quot;/i x.msi&quot;",
                     nullptr,
                     nullptr,
                     nullptr,
                     kDefaultInside,
                     {ConfigSetAside(kSwitchLike, "/l*v \"/i x.msi\"")}},
        SetAsideCase{"DashInsideTheNameIsKept",
                     "C:\\logs\\a-b.log",
                     nullptr,
                     nullptr,
                     nullptr,
                     "/l*v C:\\logs\\a-b.log",
                     {}},
        SetAsideCase{"QuoteInsideTheName",
                     "C:\\a&quot;b.log",
                     nullptr,
                     nullptr,
                     nullptr,
                     kDefaultInside,
                     {ConfigSetAside(kQuote, "/l*v C:\\a\"b.log")}},
        SetAsideCase{"TabInSetupIni",
                     nullptr,
                     "/l*v x.log\tTRANSFORMS=t.mst",
                     nullptr,
                     nullptr,
                     kDefaultInside,
                     {SetupIniSetAside(kControl, "/l*v x.log\\x09TRANSFORMS=t.mst")}},
        SetAsideCase{"UnclosedQuoteInSetupIni",
                     nullptr,
                     "/l*v \"c:\\a b.log /qn",
                     nullptr,
                     nullptr,
                     kDefaultInside,
                     {SetupIniSetAside(kQuote, "/l*v \"c:\\a b.log /qn")}},
        SetAsideCase{"SwitchWithoutFileName",
                     nullptr,
                     "/qn /l*v",
                     nullptr,
                     nullptr,
                     kDefaultInside,
                     {SetupIniSetAside(kNoFile, "/l*v")}},
        SetAsideCase{"VariableEndingInBackslash",
                     nullptr,
                     "/l*v \"%DAXINST_LOGDIR%\"",
                     "DAXINST_LOGDIR",
                     "C:\\Logs\\",
                     kDefaultInside,
                     {SetupIniSetAside(kBackslash, "/l*v \"C:\\Logs\\\"")}},
        SetAsideCase{"VariableWithABlankOutsideQuotes",
                     nullptr,
                     "/l*v %DAXINST_LOGDIR%\\x.log",
                     "DAXINST_LOGDIR",
                     "C:\\my logs",
                     kDefaultInside,
                     {SetupIniSetAside(kBlank, "/l*v C:\\my logs\\x.log")}},
        SetAsideCase{"TempWithAQuote",
                     nullptr,
                     nullptr,
                     "TEMP",
                     "C:\\Te\"mp",
                     "",
                     {DefaultSetAside(kQuote, "/l*v \"C:\\Te\"mp\\INSTALL.LOG\""), kNoLogSwitch}},
        SetAsideCase{
            "TempWithALineEnd",
            nullptr,
            nullptr,
            "TEMP",
            "C:\\Temp\r\nREBOOT=Force",
            "",
            {DefaultSetAside(kControl, "/l*v \"C:\\Temp\\x0D\\x0AREBOOT=Force\\INSTALL.LOG\""),
             kNoLogSwitch}},
        // The backslash is not before the quote: the name stays as it is.
        SetAsideCase{"TempEndingInBackslashIsKept",
                     nullptr,
                     nullptr,
                     "TEMP",
                     "C:\\Temp\\",
                     "/l*v \\\"C:\\Temp\\\\INSTALL.LOG\\\"",
                     {}},
        SetAsideCase{
            "EachSourceInTurn",
            "C:\\Logs\\",
            "/qn /l*v",
            nullptr,
            nullptr,
            kDefaultInside,
            {ConfigSetAside(kBackslash, "/l*v C:\\Logs\\"), SetupIniSetAside(kNoFile, "/l*v")}},
        // Fault: the name was converted with best fit, which turns FULLWIDTH QUOTATION MARK
        // (U+FF02) into a quote and FULLWIDTH REVERSE SOLIDUS (U+FF3C) into a backslash: this
        // name became "C:\Logs\" after every check.
        SetAsideCase{"FullwidthQuotesAndBackslash",
                     "\xEF\xBC\x82"
                     "C:\\Logs\xEF\xBC\xBC\xEF\xBC\x82",
                     kSetupIniSwitch,
                     nullptr,
                     nullptr,
                     kSetupIniInside,
                     {kNotInCodePage}},
        // DIVISION SLASH (U+2215) became "/".
        SetAsideCase{"DivisionSlash",
                     "C:\\logs\xE2\x88\x95x.log",
                     kSetupIniSwitch,
                     nullptr,
                     nullptr,
                     kSetupIniInside,
                     {kNotInCodePage}}),
    [](const auto& info) { return std::string(info.param.label); });

// In a double-byte code page the second byte of a character may be 0x5C without being a
// backslash, and a first byte takes whatever byte follows it into its character. Judged by bytes,
// "C:\logs\<0x95 0x5C>" in quotes ends in a backslash, and a first byte at the end of the name
// takes the blank before DAXPID=. The code page of these cases is 932 whatever the machine's.
bool Lead932(unsigned char byte) { return ::IsDBCSLeadByteEx(932, byte) != FALSE; }

struct DoubleByteCase {
  const char* label;
  std::string name;       // InstallationLogFileName in code page 932
  std::string logSwitch;  // inside the /v argument
  std::vector<std::string> warnings;
};

void PrintTo(const DoubleByteCase& c, std::ostream* os) { *os << c.label; }

class DoubleByteTest : public ::testing::TestWithParam<DoubleByteCase> {};

TEST_P(DoubleByteTest, CharactersAreJudgedNotBytes) {
  const DoubleByteCase& c = GetParam();
  ASSERT_TRUE(::IsValidCodePage(932));
  std::vector<std::string> warnings;
  const std::string logSwitch = ChooseLogSwitch(
      c.name, "", [](const std::string&) { return std::string("C:\\Windows\\TEMP"); }, Lead932,
      [&](const std::string& warning) { warnings.push_back(warning); });
  const std::string line = AssembleCommandLine("C:\\Pkg", "/qn", logSwitch, "", kPid);

  EXPECT_EQ(logSwitch, c.logSwitch);
  EXPECT_EQ(warnings, c.warnings);
  ExpectPromiseKept(line, "C:\\Pkg", kPid, 932, Lead932);
}

const std::string kHyo = "\x95\x5C";  // U+8868, its second byte 0x5C

INSTANTIATE_TEST_SUITE_P(
    CodePage932, DoubleByteTest,
    ::testing::Values(
        DoubleByteCase{"SecondByte5CBeforeTheClosingQuote",
                       "\"C:\\logs\\" + kHyo + "\"",
                       "/l*v \\\"C:\\logs\\" + kHyo + "\\\"",
                       {}},
        DoubleByteCase{"SecondByte5CAtTheEnd", "C:\\logs\\" + kHyo, "/l*v C:\\logs\\" + kHyo, {}},
        DoubleByteCase{"FirstByteAtTheEnd",
                       "C:\\logs\\x\x81",
                       kDefaultInside,
                       {ConfigSetAside("it holds an incomplete double-byte character",
                                       "/l*v C:\\logs\\x\x81")}},
        DoubleByteCase{"FirstByteTakesTheClosingQuote",
                       "\"C:\\logs\\x\x81\"",
                       kDefaultInside,
                       {ConfigSetAside("it holds an incomplete double-byte character",
                                       "/l*v \"C:\\logs\\x\x81\"")}}),
    [](const auto& info) { return std::string(info.param.label); });

// The same bytes in a single-byte code page: there 0x5C is a backslash.
TEST(SingleByteCodePage, SecondByteOfADoubleByteCharacterIsABackslashThere) {
  std::vector<std::string> warnings;
  EXPECT_EQ(
      ChooseLogSwitch(
          "\"C:\\logs\\" + kHyo + "\"", "", [](const std::string&) { return std::string("C:\\T"); },
          NoLeadBytes, [&](const std::string& warning) { warnings.push_back(warning); }),
      "/l*v \\\"C:\\T\\INSTALL.LOG\\\"");
  EXPECT_EQ(warnings, std::vector<std::string>{
                          ConfigSetAside(kBackslash, "/l*v \"C:\\logs\\" + kHyo + "\"")});
}

// Fault: a character beyond ASCII that a splitter may take for white space (U+00A0 in code page
// 1252, U+3000 in 932) split an unquoted name into two arguments for whoever splits so, and the
// second reached Windows Installer as a property. Such a name is set aside; quoted it is kept.
UINT g_blankCodePage = 1252;
bool BlankIn(std::string_view character) {
  wchar_t wide[2] = {};
  const int units = ::MultiByteToWideChar(g_blankCodePage, MB_ERR_INVALID_CHARS, character.data(),
                                          static_cast<int>(character.size()), wide, 2);
  return units != 1 || IsUnicodeBlank(static_cast<char32_t>(wide[0]));
}
bool Lead1252(unsigned char) { return false; }

struct WideBlankCase {
  const char* label;
  UINT codePage;
  LeadBytePredicate isLeadByte;
  std::string name;
  std::string logSwitch;  // inside the /v argument
  std::vector<std::string> warnings;
};
void PrintTo(const WideBlankCase& c, std::ostream* os) { *os << c.label; }

class WideBlankTest : public ::testing::TestWithParam<WideBlankCase> {};

TEST_P(WideBlankTest, UnquotedNameWithAWideBlankIsSetAside) {
  const WideBlankCase& c = GetParam();
  ASSERT_TRUE(::IsValidCodePage(c.codePage));
  g_blankCodePage = c.codePage;
  std::vector<std::string> warnings;
  const std::string logSwitch = ChooseLogSwitch(
      c.name, "", [](const std::string&) { return std::string("C:\\Windows\\TEMP"); }, c.isLeadByte,
      [&](const std::string& warning) { warnings.push_back(warning); }, BlankIn);

  EXPECT_EQ(logSwitch, c.logSwitch);
  EXPECT_EQ(warnings, c.warnings);
}

const std::string kIdeographicSpace = "\x81\x40";  // U+3000 in code page 932

INSTANTIATE_TEST_SUITE_P(
    CodePages, WideBlankTest,
    ::testing::Values(
        WideBlankCase{"NoBreakSpaceIn1252",
                      1252,
                      Lead1252,
                      "C:\\logs\\a\xA0REBOOT=Force",
                      kDefaultInside,
                      {ConfigSetAside(kWideBlank, "/l*v C:\\logs\\a\xA0REBOOT=Force")}},
        WideBlankCase{"QuotedNoBreakSpaceIn1252",
                      1252,
                      Lead1252,
                      "\"C:\\logs\\a\xA0" "b.log\"",
                      "/l*v \\\"C:\\logs\\a\xA0" "b.log\\\"",
                      {}},
        WideBlankCase{"OtherLettersIn1252AreKept",
                      1252,
                      Lead1252,
                      "C:\\logs\\\xE9t\xE9.log",
                      "/l*v C:\\logs\\\xE9t\xE9.log",
                      {}},
        WideBlankCase{"QuotedNoBreakSpacesOnlyIn1252",
                      1252,
                      Lead1252,
                      "\"\xA0\xA0\"",
                      kDefaultInside,
                      {ConfigSetAside(kBlankName, "/l*v \"\xA0\xA0\"")}},
        WideBlankCase{
            "IdeographicSpaceIn932",
            932,
            Lead932,
            "C:\\logs\\a" + kIdeographicSpace + "REBOOT=Force",
            kDefaultInside,
            {ConfigSetAside(kWideBlank, "/l*v C:\\logs\\a" + kIdeographicSpace + "REBOOT=Force")}},
        WideBlankCase{"QuotedIdeographicSpaceIn932",
                      932,
                      Lead932,
                      "\"C:\\logs\\a" + kIdeographicSpace + "b.log\"",
                      "/l*v \\\"C:\\logs\\a" + kIdeographicSpace + "b.log\\\"",
                      {}},
        WideBlankCase{"OtherDoubleByteCharactersIn932AreKept",
                      932,
                      Lead932,
                      "C:\\logs\\" + kHyo + ".log",
                      "/l*v C:\\logs\\" + kHyo + ".log",
                      {}}),
    [](const auto& info) { return std::string(info.param.label); });

// The generator judges the characters in the ANSI code page that setup's process gets.
TEST_F(CommandLineTextTest, NoBreakSpaceOfConfigXmlIsSetAside) {
  if (::GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << ::GetACP() << ", not 1252";
  WriteInstallOptions("InstallationLogFileName=\"C:\\logs\\a&#160;REBOOT=Force\"");

  EXPECT_EQ(Generate(true), kCommandLineReady);

  EXPECT_EQ(Out(), Expected(std::string("/qn ") + kDefaultInside));
  EXPECT_EQ(
      Warnings(),
      (std::vector<std::string>{ConfigSetAside(kWideBlank, "/l*v C:\\logs\\a\xA0REBOOT=Force")}));
}

// Backslashes before a quote are doubled and the quote escaped, so that the C runtime's rules
// give the text back unchanged inside the quoted /v argument. Today's log switches never reach
// this (a name ending in a backslash is set aside); the escape is kept right for whatever does.
struct EscapeCase {
  const char* label;
  std::string text;
  std::string escaped;
};
void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.label; }

class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, BackslashesBeforeAnEscapedQuoteAreDoubled) {
  const EscapeCase& c = GetParam();
  const std::string escaped = EscapeForQuotedArgument(c.text, NoLeadBytes);
  EXPECT_EQ(escaped, c.escaped);
  // Wine's CommandLineToArgvW gives the text back from inside quotes.
  const std::vector<std::string> arguments = SplitByWindows("p.exe \"" + escaped + "\"", 1252);
  ASSERT_EQ(arguments.size(), 2u);
  EXPECT_EQ(arguments[1], c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EscapeTest,
    ::testing::Values(EscapeCase{"QuoteAlone", "a\"b", "a\\\"b"},
                      EscapeCase{"OneBackslashBeforeAQuote", "a\\\"b", "a\\\\\\\"b"},
                      EscapeCase{"TwoBackslashesBeforeAQuote", "a\\\\\"b", "a\\\\\\\\\\\"b"},
                      EscapeCase{"BackslashesNotBeforeAQuoteStay", "C:\\a\\\\b", "C:\\a\\\\b"},
                      EscapeCase{"BackslashThenQuoteAtTheStart", "\\\"x", "\\\\\\\"x"}),
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
  WriteSetupIni("/l*v \"%DAXINST_LOGDIR%\"");
  const std::string fits = "C:\\" + std::string(256, 'd');
  {
    ScopedVariable variable("DAXINST_LOGDIR", fits.c_str());
    EXPECT_EQ(Generate(true), kCommandLineReady);
    EXPECT_EQ(Out(), Expected("/qn /l*v \\\"" + fits + "\\\""));
  }
  WriteSetupIni("/l*v \"%DAXINST_LOGDIR%\\x.log\"");
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

// Fault: variables that expand to more than a path can be made the command line too long, and
// setup never ran, with no fall-back. Such a switch is now set aside like the others: a name of
// 259 characters is used, one of 260 falls back to the default switch.
TEST_F(BufferLimitTest, LogSwitchLongerThanAPathFallsBack) {
  WriteSetupIni("/l*v \"%DAXINST_BIG%\"");
  {
    const std::string name = "C:\\" + std::string(256, 'b');
    ScopedVariable variable("DAXINST_BIG", name.c_str());
    EXPECT_EQ(Generate(true), kCommandLineReady);
    EXPECT_EQ(Out(), Expected("/qn /l*v \\\"" + name + "\\\""));
  }
  WriteSetupIni("/l*v \"%DAXINST_BIG%x\"");
  {
    const std::string name = "C:\\" + std::string(256, 'b');
    ScopedVariable variable("DAXINST_BIG", name.c_str());
    EXPECT_EQ(Generate(true), kCommandLineReady);
    EXPECT_EQ(Out(), Expected(std::string("/qn ") + kDefaultInside));
    EXPECT_EQ(Warnings(),
              (std::vector<std::string>{SetupIniSetAside(
                  "its file name is longer than a path can be", "/l*v \"" + name + "x\"")}));
  }
  std::string cmdLine = "/l*v \"";
  for (int i = 0; i < 16; ++i) cmdLine += "%DAXINST_BIG%";
  WriteSetupIni(cmdLine + "\"");
  const std::string big(259, 'b');
  ScopedVariable variable("DAXINST_BIG", big.c_str());
  EXPECT_EQ(Generate(true), kCommandLineReady);
  EXPECT_EQ(Out(), Expected(std::string("/qn ") + kDefaultInside));
}

}  // namespace
}  // namespace setupcmd
