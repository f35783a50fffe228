#include "upgrade/package_ground.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using contract::EventId;

class RecordingSink final : public contract::EventSink {
 public:
  void Write(const contract::EventEntry& entry) override { entries.push_back(entry); }
  std::vector<contract::EventEntry> entries;
};

// A package as a staging program leaves it: a folder of its own in a parent folder, the files a
// run opens or starts, and the client's config.xml in a folder the product key names.
class PackageGroundTest : public ::testing::Test {
 protected:
  PackageGroundTest() : parent_("ground"), config_("ground-config") {}

  void SetUp() override {
    previous_ = contract::UseEventSinkForTesting(&sink_);
    ASSERT_TRUE(::CreateDirectoryA(Package().c_str(), nullptr));
    for (const char* name :
         {"daxinst.exe", "setup.exe", "setAid.ini", "Setup.ini", "Quorvex Client.msi"}) {
      testing_support::WriteFileBytes(Package() + "\\" + name, "staged");
    }
    testing_support::WriteFileBytes(config_.path() + "\\config.xml", config_testing::Document(""));
    config_testing::UseConfigFolder(config_.path());
  }
  void TearDown() override {
    config_testing::ClearRegistry();
    contract::UseEventSinkForTesting(previous_);
  }

  std::string Package() const { return parent_.path() + "\\Quorvex Package"; }
  // A path of the case: "package", "parent", "config", or a file's name in the package folder or
  // ("config.xml") in the configuration folder.
  std::string PathOf(const std::string& which) const {
    if (which == "package") return Package();
    if (which == "parent") return parent_.path();
    if (which == "config") return config_.path();
    if (which == "config.xml") return config_.path() + "\\config.xml";
    return Package() + "\\" + which;
  }

  RecordingSink sink_;
  contract::EventSink* previous_ = nullptr;
  testing_support::TempFolder parent_;
  testing_support::TempFolder config_;
};

TEST_F(PackageGroundTest, APackageOnlyTheAdministratorsMayChangePasses) {
  EXPECT_TRUE(upgrade::PackageGroundIsSafe(Package(), "Setup is not run."));
  EXPECT_TRUE(sink_.entries.empty()) << sink_.entries.front().text;
  // Every path the run uses is among those checked.
  std::vector<std::string> checked;
  for (const upgrade::GroundPath& path : upgrade::PackageGroundPaths(Package())) {
    checked.push_back(platform::NarrowWithoutBestFit(path.path));
  }
  for (const char* which : {"package", "parent", "daxinst.exe", "setup.exe", "setAid.ini",
                            "Setup.ini", "Quorvex Client.msi", "config", "config.xml"}) {
    EXPECT_NE(std::find(checked.begin(), checked.end(), PathOf(which)), checked.end()) << which;
  }
}

TEST_F(PackageGroundTest, AFileThatIsNotThereCannotBeChanged) {
  ASSERT_TRUE(::DeleteFileA(PathOf("setAid.ini").c_str()));
  EXPECT_TRUE(upgrade::PackageGroundIsSafe(Package(), "Setup is not run."));
  EXPECT_TRUE(sink_.entries.empty());
}

struct WritableCase {
  const char* name;
  const char* which;  // as PathOf names it
  EventId id;
  const char* right;  // one of the rights the refusal names
};

void PrintTo(const WritableCase& c, std::ostream* out) { *out << c.name; }

class WritableByEveryone : public PackageGroundTest,
                           public ::testing::WithParamInterface<WritableCase> {};

TEST_P(WritableByEveryone, IsRefusedNamingThePathTheSidAndTheRight) {
  const WritableCase& c = GetParam();
  const std::string path = PathOf(c.which);
  ASSERT_NO_FATAL_FAILURE(
      testing_support::SetProtectedDacl(path, testing_support::kEveryoneMayWriteDacl));

  EXPECT_FALSE(upgrade::PackageGroundIsSafe(Package(), "Setup is not run."));
  ASSERT_EQ(sink_.entries.size(), 1u);
  const contract::EventEntry& entry = sink_.entries.front();
  EXPECT_EQ(entry.kind, contract::EventKind::kError);
  EXPECT_EQ(entry.id, c.id) << entry.text;
  EXPECT_NE(entry.text.find(path + " "), std::string::npos) << entry.text;
  EXPECT_NE(entry.text.find("S-1-1-0 may "), std::string::npos) << entry.text;
  EXPECT_NE(entry.text.find(c.right), std::string::npos) << entry.text;
  EXPECT_NE(entry.text.find("Setup is not run."), std::string::npos) << entry.text;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WritableByEveryone,
    ::testing::Values(
        WritableCase{"PackageFolder", "package", EventId::kPackagePathChangeableByOthers,
                     "FILE_ADD_FILE"},
        WritableCase{"Setup", "setup.exe", EventId::kPackagePathChangeableByOthers,
                     "FILE_WRITE_DATA"},
        WritableCase{"Agent", "daxinst.exe", EventId::kPackagePathChangeableByOthers, "DELETE"},
        WritableCase{"SetAid", "setAid.ini", EventId::kPackagePathChangeableByOthers,
                     "FILE_APPEND_DATA"},
        WritableCase{"SetupIni", "Setup.ini", EventId::kPackagePathChangeableByOthers,
                     "FILE_WRITE_DATA"},
        WritableCase{"Msi", "Quorvex Client.msi", EventId::kPackagePathChangeableByOthers,
                     "FILE_WRITE_DATA"},
        WritableCase{"FolderAbove", "parent", EventId::kPackageAncestorChangeableByOthers,
                     "FILE_DELETE_CHILD"},
        WritableCase{"ConfigFolder", "config", EventId::kPackagePathChangeableByOthers,
                     "FILE_ADD_FILE"},
        WritableCase{"ConfigXml", "config.xml", EventId::kPackagePathChangeableByOthers,
                     "FILE_WRITE_DATA"}),
    [](const ::testing::TestParamInfo<WritableCase>& info) { return info.param.name; });

TEST(GroundFaultTextTest, NamesTheOwnerThatIsNotTrusted) {
  upgrade::GroundFault fault;
  fault.where = {L"C:\\Staged\\Package", platform::PathRole::kFolder, "the package folder"};
  fault.rights.verdict = platform::PathRights::Verdict::kForeignOwner;
  fault.rights.sid = "S-1-5-32-545";
  EXPECT_EQ(upgrade::GroundFaultEvent(fault), EventId::kPackagePathForeignOwner);
  EXPECT_EQ(upgrade::GroundFaultText(fault),
            "The package folder C:\\Staged\\Package is owned by S-1-5-32-545, not by SYSTEM, "
            "Administrators, TrustedInstaller or this program's account.");
  fault.where.role = platform::PathRole::kAncestor;
  fault.where.what = "the folder";
  EXPECT_EQ(upgrade::GroundFaultEvent(fault), EventId::kPackageAncestorChangeableByOthers);
  fault.rights.verdict = platform::PathRights::Verdict::kUnreadable;
  fault.rights.error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(upgrade::GroundFaultEvent(fault), EventId::kPackagePathUnreadable);
  EXPECT_EQ(upgrade::GroundFaultText(fault),
            "Cannot read who may change the folder C:\\Staged\\Package above the package folder "
            "- error 5.");
}

}  // namespace
