// Whole runs of a package that every user may change: the package folder, or setup.exe alone,
// with a Unix mode that lets others write (Wine reports Everyone with 0x1301ff; the test sets it
// through the DACL, which Wine turns into that mode). Refused at -install, the service is never
// registered; made changeable after -install, the run refuses before it reads anything from the
// package: setup does not run, an earlier run's success is not left to be read as this one's,
// and the log has the refusal with the path, the SID and the rights.
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/staged_package.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using e2e::kClientKey;
using e2e::kHigherPackageMsi;
using e2e::kRunWait;
using testing_support::ClientValue;
using testing_support::Dump;
using testing_support::Has;
using testing_support::ReadFileBytes;
using testing_support::SetupResult;

constexpr char kConfigBody[] =
    "<ClientPackage Checksum=\"C0FFEE\"><RebootOptions AutoReboot=\"1\"/></ClientPackage>";

constexpr char kFolderRights[] =
    "FILE_ADD_FILE|FILE_ADD_SUBDIRECTORY|FILE_WRITE_EA|FILE_DELETE_CHILD|FILE_WRITE_ATTRIBUTES|"
    "DELETE";
constexpr char kFileRights[] =
    "FILE_WRITE_DATA|FILE_APPEND_DATA|FILE_WRITE_EA|FILE_WRITE_ATTRIBUTES|DELETE";

struct UnsafeCase {
  const char* name;
  bool wholeFolder;  // the package folder, or setup.exe alone
};

void PrintTo(const UnsafeCase& c, std::ostream* out) { *out << c.name; }

class UnsafePackage : public e2e::WholeRunTest, public ::testing::WithParamInterface<UnsafeCase> {
 protected:
  UnsafePackage() : WholeRunTest("unsafe", kConfigBody) {}

  static void SetUpTestSuite() { e2e::InstalledFamilyF::Install(); }
  static void TearDownTestSuite() { e2e::InstalledFamilyF::Remove(); }

  void SetUp() override {
    ASSERT_TRUE(e2e::InstalledFamilyF::Installed());
    WholeRunTest::SetUp();
    e2e::PackageContents contents;
    contents.folder = "unsafe pkg";
    contents.msi = kHigherPackageMsi;
    Stage(contents);
  }
  void TearDown() override {
    testing_support::SetProtectedDacl(Unsafe(), testing_support::kAdministratorsOnlyDacl);
    WholeRunTest::TearDown();
  }

  std::string Unsafe() const {
    return GetParam().wholeFolder ? package_->path() : package_->SetupPath();
  }
  // The refusal as the log has it.
  std::string Refusal(const char* consequence) const {
    return GetParam().wholeFolder ? "S-1-1-0 may change the package folder " + package_->path() +
                                        " (" + kFolderRights + "). " + consequence
                                  : "S-1-1-0 may change the file " + package_->SetupPath() + " (" +
                                        kFileRights + "). " + consequence;
  }
};

TEST_P(UnsafePackage, IsNotInstalled) {
  ASSERT_NO_FATAL_FAILURE(
      testing_support::SetProtectedDacl(Unsafe(), testing_support::kEveryoneMayWriteDacl));

  EXPECT_EQ(package_->Install(), 0u);

  EXPECT_FALSE(e2e::ServiceExists()) << Dump(package_->Messages());
  EXPECT_TRUE(Has(package_->Messages(), Refusal("The service is not installed.")))
      << Dump(package_->Messages());
  EXPECT_EQ(package_->SetupStarts(), 0u);
}

TEST_P(UnsafePackage, MadeChangeableAfterInstallIsNotRunAndTheRunFails) {
  const std::string before = *ReadFileBytes(package_->SetAidPath());

  const e2e::StagedRunResult run = package_->InstallStartAndWait(starter_, kRunWait, [&] {
    testing_support::SetProtectedDacl(Unsafe(), testing_support::kEveryoneMayWriteDacl);
    // An earlier upgrade's success: it must not be read as this run's.
    testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "DaxInstResult", 0,
                                      KEY_WOW64_32KEY);
  });
  EXPECT_TRUE(e2e::RanToTheEnd(run, *package_));

  EXPECT_EQ(package_->LastRunLines(),
            package_->AfterOpening({Refusal("Setup is not run."), "DaxInst: Auto-upgrade failed.",
                                    "DaxInst: Stopping Daxinst ...",
                                    "================= End ==================="}))
      << Dump(package_->Messages());
  EXPECT_EQ(package_->SetupStarts(), 0u);
  EXPECT_EQ(ReadFileBytes(package_->SetAidPath()), before) << "setAid.ini changed";
  EXPECT_FALSE(ClientValue("DaxInstResult").has_value());
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
  EXPECT_FALSE(SetupResult().has_value());
  EXPECT_TRUE(run.launchSetupValues.empty());
}

INSTANTIATE_TEST_SUITE_P(Paths, UnsafePackage,
                         ::testing::Values(UnsafeCase{"PackageFolder", true},
                                           UnsafeCase{"SetupAlone", false}),
                         [](const ::testing::TestParamInfo<UnsafeCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
