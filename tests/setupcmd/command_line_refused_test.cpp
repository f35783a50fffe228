// A package of lower version than the installed client: the caller still gets the whole command
// line with 114, unless the command line does not fit, which answers 113 instead.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <msi.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "config/config_fixture.h"
#include "diag/log.h"
#include "setupcmd/command_line_generator.h"
#include "support/fresh_log.h"
#include "support/test_support.h"

namespace setupcmd {
namespace {

using ::testing::Contains;
using testing_support::FixtureMsi;
using testing_support::LogPath;
using testing_support::RunMsiexec;
using testing_support::WriteFileBytes;

constexpr char kInstalledMsi[] = "installed_b_12.2.msi";
constexpr char kInstalledProduct[] = "{DA1B0000-0000-4000-8000-0000000000B1}";
constexpr char kLowerPackageMsi[] = "package_b_12.1.9.msi";
constexpr char kRefusalLine[] =
    "ERROR: attempting to install lower version 12.1.9 over version 12.2";

bool IsInstalled() { return ::MsiQueryProductStateA(kInstalledProduct) == INSTALLSTATE_DEFAULT; }

class LowerVersionCommandLineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!IsInstalled()) installExit_ = RunMsiexec("/i", FixtureMsi(kInstalledMsi));
  }
  static void TearDownTestSuite() {
    if (IsInstalled()) RunMsiexec("/x", FixtureMsi(kInstalledMsi));
  }

  void SetUp() override {
    ASSERT_TRUE(IsInstalled()) << "msiexec could not install " << kInstalledMsi << ", exit "
                               << (installExit_ ? std::to_string(*installExit_) : "none");
    testing_support::StartFreshLog();
    config_testing::ClearRegistry();
    config_testing::UseConfigFolder(configFolder_.path());
    ASSERT_TRUE(testing_support::CopyFileTo(FixtureMsi(kLowerPackageMsi),
                                            package_.path() + "\\client.msi"));
    WriteFileBytes(package_.path() + "\\setAid.ini",
                   "[PREDEFINED_DAX_CONFIG]\r\nPackageChecksum=AB\r\n");
    WriteFileBytes(configFolder_.path() + "\\config.xml",
                   config_testing::Document("<ClientPackage Checksum=\"AB\"><InstallationOption "
                                            "UserInterfaceLevel=\"normal\"/></ClientPackage>"));
  }
  void TearDown() override { config_testing::ClearRegistry(); }

  void WriteSetupIni(const std::string& cmdLine) const {
    WriteFileBytes(package_.path() + "\\Setup.ini", "[Startup]\r\nCmdLine=" + cmdLine + "\r\n");
  }
  int Generate() {
    CommandLineGenerator generator(package_.path());
    generator.includeLogSwitch = true;
    generator.daxPid = 77;
    return generator.GenerateCommandLine(out_);
  }

  static std::optional<DWORD> installExit_;
  testing_support::TempFolder package_{"cmdline_lower"};
  testing_support::TempFolder configFolder_{"cmdline_lower_config"};
  char out_[kCommandLineBufferSize] = {};
};

std::optional<DWORD> LowerVersionCommandLineTest::installExit_;

TEST_F(LowerVersionCommandLineTest, RefusedWithTheWholeCommandLineWritten) {
  WriteSetupIni("/qb /lv c:\\logs\\a.log IDCENABLE=0");

  EXPECT_EQ(Generate(), kLowerVersionRefused);

  const std::string expected = "\"" + package_.path() +
                               "\\setup.exe\" /w /s /v\"/qb!- /lv c:\\logs\\a.log IDCENABLE=0 "
                               "DAXPID=77 REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\"";
  EXPECT_EQ(std::string(out_), expected);
  const auto lines = testing_support::LogMessages(LogPath());
  EXPECT_THAT(lines, Contains(kRefusalLine));
  EXPECT_THAT(lines, Contains(expected));
}

// A log switch that would make the command line too long is set aside before the line is built,
// so the refusal keeps its whole command line.
TEST_F(LowerVersionCommandLineTest, TooLongLogSwitchIsSetAsideAndTheRefusalKeepsItsLine) {
  std::string cmdLine = "/l*v \"";
  for (int i = 0; i < 16; ++i) cmdLine += "%DAXINST_BIG%";
  WriteSetupIni(cmdLine + "\"");
  const std::string big(259, 'b');
  ::SetEnvironmentVariableA("DAXINST_BIG", big.c_str());

  const int result = Generate();
  ::SetEnvironmentVariableA("DAXINST_BIG", nullptr);

  EXPECT_EQ(result, kLowerVersionRefused);
  EXPECT_THAT(std::string(out_), ::testing::HasSubstr("INSTALL.LOG"));
  const auto lines = testing_support::LogMessages(LogPath());
  EXPECT_THAT(lines, Contains(kRefusalLine));
  EXPECT_THAT(lines, Contains(::testing::StartsWith(
                         "WARNING: the log switch of Setup.ini is set aside: its file name is "
                         "longer than a path can be")));
}

}  // namespace
}  // namespace setupcmd
