// Whole upgrades through the real service of family F (12.1.2 installed): setup gets the .msi
// that the version gate compared and the trust check judged, the settings of one reading of
// config.xml, the features as the profile functions store them, and a UI that waits for nobody.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "e2e/e2e_support.h"
#include "e2e/staged_package.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using e2e::kHigherPackageMsi;
using e2e::kLowerPackageMsi;
using e2e::kPollingRunWait;
using e2e::kRunWait;
using testing_support::Dump;
using testing_support::ReadFileBytes;

std::string ConfigBody(const std::string& level, const std::string& features) {
  return "<ClientPackage Checksum=\"C0FFEE\">"
         "<InstallationOption InstallationDirectory=\"D:\\New\" UserInterfaceLevel=\"" +
         level +
         "\" InstallationLogFileName=\"C:\\logs\\upgrade.log\"/>"
         "<RebootOptions AutoReboot=\"1\"/><EnabledClientFeatures>" +
         features + "</EnabledClientFeatures></ClientPackage>";
}
const std::string kFeatures = "<F FeatureName=\"Core\"/><F FeatureName=\"Legacy\"/>";

e2e::PackageContents Package(const char* msi) {
  e2e::PackageContents contents;
  contents.folder = "gate pkg";
  contents.setup = "signed_good";
  contents.msi = msi;
  return contents;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& each : lines) {
    if (each == line) return true;
  }
  return false;
}

class PackageGateTest : public e2e::WholeRunTest {
 protected:
  PackageGateTest() : WholeRunTest("gate", ConfigBody("Unattended", kFeatures)) {}

  static void SetUpTestSuite() { e2e::InstalledFamilyF::Install(); }
  static void TearDownTestSuite() { e2e::InstalledFamilyF::Remove(); }

  void SetUp() override {
    ASSERT_TRUE(e2e::InstalledFamilyF::Installed());
    WholeRunTest::SetUp();
  }

  void InstallStartAndWait(DWORD runWait, const std::function<void()>& afterInstall = {}) {
    run_ = package_->InstallStartAndWait(starter_, runWait, afterInstall);
    EXPECT_TRUE(e2e::RanToTheEnd(run_, *package_));
  }

  // A refused run: setup never started, setAid.ini is the staged one, and the run failed.
  void ExpectRefused(const std::string& before) {
    EXPECT_FALSE(package_->SetupCommandLine()) << "setup ran";
    EXPECT_FALSE(run_.sawNotifyMutex) << "the notify mutex was created";
    EXPECT_EQ(ReadFileBytes(package_->SetAidPath()), before) << "setAid.ini changed";
    EXPECT_TRUE(Contains(package_->LastRunLines(), "DaxInst: Auto-upgrade failed."))
        << Dump(package_->Messages());
  }

  e2e::StagedRunResult run_;
};

class SlowPackageGateTest : public PackageGateTest {};

// Fault: the gate took the first "*.msi" the folder listed (0.msi) and, as that is no database,
// compared nothing and let the lower package downgrade the newer client.
TEST_F(SlowPackageGateTest, LowerMsiBesideADecoyIsRefusedAsTwoMsiFiles) {
  Stage(Package(kLowerPackageMsi));
  testing_support::WriteFileBytes(package_->File("0.msi"), "not a database");
  const std::string before = *ReadFileBytes(package_->SetAidPath());

  InstallStartAndWait(kPollingRunWait);

  const std::vector<std::string> lines = package_->LastRunLines();
  const bool listed = Contains(lines,
                               "ERROR: the package holds more than one .msi file (0.msi, Quorvex "
                               "Client.msi). Setup is not run") ||
                      Contains(lines,
                               "ERROR: the package holds more than one .msi file (Quorvex "
                               "Client.msi, 0.msi). Setup is not run");
  EXPECT_TRUE(listed) << Dump(package_->Messages());
  EXPECT_TRUE(Contains(lines, "DaxInst: RunDaxSetup returns code = 115"))
      << Dump(package_->Messages());
  ExpectRefused(before);
}

// Fault: only setup.exe was checked; an older signed setup.exe beside another publisher's or an
// unsigned .msi ran. Wine's WinTrust checks that an .msi is signed, and by whom, but not its
// digest (see docs/security.md).
TEST_F(SlowPackageGateTest, UnsignedMsiBesideATrustedSetupIsNotRun) {
  Stage(Package("package_f_12.1.10_unsigned.msi"));
  const std::string before = *ReadFileBytes(package_->SetAidPath());

  InstallStartAndWait(kPollingRunWait);

  EXPECT_TRUE(Contains(package_->LastRunLines(), "Trust verification for " + package_->MsiPath() +
                                                     " failed. Setup is not run"))
      << Dump(package_->Messages());
  ExpectRefused(before);
}

TEST_F(SlowPackageGateTest, ForeignSignedMsiBesideATrustedSetupIsNotRun) {
  Stage(Package("package_f_12.1.10_other.msi"));
  const std::string before = *ReadFileBytes(package_->SetAidPath());

  InstallStartAndWait(kPollingRunWait);

  EXPECT_TRUE(Contains(package_->LastRunLines(), "Trust verification for " + package_->MsiPath() +
                                                     " failed. Setup is not run"))
      << Dump(package_->Messages());
  ExpectRefused(before);
}

// An .msi that is no database carries no signature and names no product family: setup, which
// would have run with the package's defaults before, is not run.
TEST_F(SlowPackageGateTest, MsiThatIsNotADatabaseIsNotRun) {
  Stage(Package(kHigherPackageMsi));
  testing_support::WriteFileBytes(package_->MsiPath(), std::string(64 * 1024, '\x11'));
  const std::string before = *ReadFileBytes(package_->SetAidPath());

  InstallStartAndWait(kPollingRunWait);

  EXPECT_TRUE(Contains(package_->LastRunLines(), "Trust verification for " + package_->MsiPath() +
                                                     " failed. Setup is not run"))
      << Dump(package_->Messages());
  ExpectRefused(before);
}

// Fault: a config.xml that another process held open without sharing counted as none: nothing
// was merged, FEATURE_SELECTION was removed and setup ran with the package's defaults.
TEST_F(SlowPackageGateTest, ConfigXmlHeldWithoutSharingStopsTheRun) {
  Stage(Package(kHigherPackageMsi));
  const std::string before = *ReadFileBytes(package_->SetAidPath());
  platform::UniqueFileHandle held;
  const std::string config = config_.path() + "\\config.xml";

  InstallStartAndWait(kPollingRunWait, [&] {
    held.reset(::CreateFileA(config.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held) << "could not hold " << config;
  });

  EXPECT_TRUE(Contains(package_->LastRunLines(),
                       "ERROR: config.xml exists but cannot be read (error 32). Setup is not run"))
      << Dump(package_->Messages());
  ExpectRefused(before);
}

// Fault: "Normal" gave the full installer UI, which in a service run nobody can click through,
// and the run waited for it without end.
TEST_F(PackageGateTest, NormalInAServiceRunGivesAUiThatDoesNotWaitForInput) {
  WriteConfig(config_testing::Document(ConfigBody("Normal", kFeatures)));
  Stage(Package(kHigherPackageMsi));

  InstallStartAndWait(kRunWait);

  const auto commandLine = package_->SetupCommandLine();
  ASSERT_TRUE(commandLine) << Dump(package_->Messages());
  EXPECT_EQ(*commandLine,
            e2e::SetupCommandLine(*package_, "/qb!- /l*v C:\\logs\\upgrade.log IDCENABLE=1"));
  e2e::ExpectSucceeded();
}

// Fault: " Legacy" passed the not-allowed filter, which compared byte for byte, and the profile
// functions stored it as the Legacy key that the client does not allow.
TEST_F(PackageGateTest, NotAllowedFeatureWithOuterBlanksIsLeftOut) {
  WriteConfig(config_testing::Document(
      ConfigBody("Unattended", "<F FeatureName=\"Core\"/><F FeatureName=\" Legacy\"/>")));
  Stage(Package(kHigherPackageMsi));

  InstallStartAndWait(kRunWait);

  ASSERT_TRUE(package_->SetupCommandLine()) << Dump(package_->Messages());
  e2e::ExpectMergedSetAid(*package_, e2e::LegacyFeature::kLeftOut);
  e2e::ExpectSucceeded();
}

}  // namespace
