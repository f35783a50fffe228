#include "platform/change_rights.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <ostream>

#include "platform/owner_check.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using platform::PathRights;
using platform::PathRole;
using Verdict = PathRights::Verdict;

std::string ProcessUserSid() {
  HANDLE rawToken = nullptr;
  EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken));
  platform::UniqueKernelHandle token(rawToken);
  unsigned char buffer[256];
  DWORD size = 0;
  EXPECT_TRUE(::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size));
  return platform::SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

// -- The DACL as Windows decides it ----------------------------------------------------------

// A descriptor of `sddl`; "<owner>D:NULL" gives that owner and a NULL DACL, which SDDL cannot
// spell everywhere.
struct Descriptor {
  platform::UniqueLocalMemory selfRelative;
  SECURITY_DESCRIPTOR absolute = {};
  bool useAbsolute = false;
  PSECURITY_DESCRIPTOR get() { return useAbsolute ? &absolute : selfRelative.get(); }
};

void MakeDescriptor(const std::string& sddl, Descriptor& made) {
  const auto nullDacl = sddl.find("D:NULL");
  const std::string text = nullDacl == std::string::npos ? sddl : sddl.substr(0, nullDacl);
  PSECURITY_DESCRIPTOR raw = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1,
                                                                     &raw, nullptr))
      << sddl;
  made.selfRelative.reset(raw);
  if (nullDacl == std::string::npos) return;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(::GetSecurityDescriptorOwner(raw, &owner, &defaulted));
  ASSERT_TRUE(::InitializeSecurityDescriptor(&made.absolute, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(::SetSecurityDescriptorOwner(&made.absolute, owner, FALSE));
  ASSERT_TRUE(::SetSecurityDescriptorDacl(&made.absolute, TRUE, nullptr, FALSE));
  made.useAbsolute = true;
  // The owner lives in the self-relative one, which `made` keeps.
}

struct DescriptorCase {
  const char* name;
  const char* sddl;
  PathRole role;
  Verdict verdict;
  const char* sid;  // the owner or the holder found; "" for none
  ACCESS_MASK rights;
};

void PrintTo(const DescriptorCase& c, std::ostream* out) { *out << c.name; }

class DescriptorTest : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(DescriptorTest, FindsAnOwnerOrAnotherSidThatMayChangeIt) {
  const DescriptorCase& c = GetParam();
  Descriptor descriptor;
  ASSERT_NO_FATAL_FAILURE(MakeDescriptor(c.sddl, descriptor));
  const PathRights judged = platform::JudgeDescriptor(descriptor.get(), c.role);
  EXPECT_EQ(judged.verdict, c.verdict) << c.sddl << " found " << judged.sid;
  EXPECT_EQ(judged.sid, c.sid) << c.sddl;
  EXPECT_EQ(judged.rights, c.rights)
      << c.sddl << ": " << platform::RightNames(judged.rights, c.role);
}

constexpr ACCESS_MASK kFolder = platform::kFolderChangeRights;
constexpr ACCESS_MASK kFile = platform::kFileChangeRights;
constexpr ACCESS_MASK kGenericWriteOnFile =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES;
// What Wine reports for Everyone on a Unix folder whose mode lets others write.
constexpr ACCESS_MASK kWineOthersWrite = 0x1301ff;
constexpr char kUsers[] = "S-1-5-32-545";

INSTANTIATE_TEST_SUITE_P(
    Descriptors, DescriptorTest,
    ::testing::Values(
        DescriptorCase{"AdministratorsAndSystemOnly", "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                       PathRole::kFolder, Verdict::kPasses, "", 0},
        DescriptorCase{"OwnedBySystem", "O:SYD:(A;;FA;;;SY)", PathRole::kFile, Verdict::kPasses, "",
                       0},
        DescriptorCase{"OwnedByTrustedInstaller",
                       "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
                       "D:(A;;FA;;;SY)",
                       PathRole::kFile, Verdict::kPasses, "", 0},
        DescriptorCase{"OwnedByUsers", "O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", PathRole::kFolder,
                       Verdict::kForeignOwner, kUsers, 0},
        DescriptorCase{"OwnedByAnotherAccount", "O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)",
                       PathRole::kFile, Verdict::kForeignOwner, "S-1-5-21-1-2-3-1001", 0},
        DescriptorCase{"NoOwner", "D:(A;;FA;;;SY)", PathRole::kFile, Verdict::kForeignOwner, "", 0},
        DescriptorCase{"UsersMayReadOnly", "O:BAD:(A;;FA;;;SY)(A;;FRFX;;;BU)", PathRole::kFolder,
                       Verdict::kPasses, "", 0},
        DescriptorCase{"UsersMayAddFiles", "O:BAD:(A;;FA;;;SY)(A;;0x2;;;BU)", PathRole::kFolder,
                       Verdict::kForeignRight, kUsers, FILE_ADD_FILE},
        DescriptorCase{"UsersMayAppendToAFile", "O:BAD:(A;;0x120089;;;BU)(A;;0x4;;;BU)",
                       PathRole::kFile, Verdict::kForeignRight, kUsers, FILE_APPEND_DATA},
        DescriptorCase{"WineModeThatLetsOthersWrite", "O:BAD:(A;;FA;;;SY)(A;;0x1301ff;;;WD)",
                       PathRole::kFolder, Verdict::kForeignRight, "S-1-1-0",
                       kWineOthersWrite& kFolder},
        DescriptorCase{"DenyBeforeAllow", "O:BAD:(D;;FA;;;BU)(A;;FA;;;BU)", PathRole::kFolder,
                       Verdict::kPasses, "", 0},
        DescriptorCase{"AllowBeforeDenyStillGrants", "O:BAD:(A;;0x10000;;;BU)(D;;FA;;;BU)",
                       PathRole::kFolder, Verdict::kForeignRight, kUsers, DELETE},
        // Every token holds Everyone: a deny of Everyone takes the right from Users too.
        DescriptorCase{"EveryoneDeniedTheDaclFirst", "O:BAD:(D;;0x40000;;;WD)(A;;FA;;;BU)",
                       PathRole::kFile, Verdict::kForeignRight, kUsers, kFile & ~WRITE_DAC},
        // A deny of another group does not: not every token of Users holds it.
        DescriptorCase{"DenyOfAnotherGroupDoesNotCount", "O:BAD:(D;;FA;;;AU)(A;;FA;;;BU)",
                       PathRole::kFile, Verdict::kForeignRight, kUsers, kFile},
        DescriptorCase{"InheritedAllow", "O:BAD:(A;ID;0x100;;;BU)", PathRole::kFile,
                       Verdict::kForeignRight, kUsers, FILE_WRITE_ATTRIBUTES},
        DescriptorCase{"InheritOnlyGivesNothingHere", "O:BAD:(A;OICIIO;FA;;;BU)", PathRole::kFolder,
                       Verdict::kPasses, "", 0},
        DescriptorCase{"GenericWrite", "O:BAD:(A;;GW;;;BU)", PathRole::kFile,
                       Verdict::kForeignRight, kUsers, kGenericWriteOnFile},
        DescriptorCase{"GenericAll", "O:BAD:(A;;GA;;;AU)", PathRole::kFolder,
                       Verdict::kForeignRight, "S-1-5-11", kFolder},
        DescriptorCase{"WriteOwnerAlone", "O:BAD:(A;;WO;;;S-1-5-21-1-2-3-1001)", PathRole::kFile,
                       Verdict::kForeignRight, "S-1-5-21-1-2-3-1001", WRITE_OWNER},
        DescriptorCase{"CreatorOwnerOnTheObjectItself", "O:BAD:(A;;FA;;;CO)", PathRole::kFolder,
                       Verdict::kPasses, "", 0},
        DescriptorCase{"NullDaclGrantsEverything", "O:BAD:NULL", PathRole::kFile,
                       Verdict::kForeignRight, "S-1-1-0", kFile},
        DescriptorCase{"NoDaclIsANullDacl", "O:BA", PathRole::kFolder, Verdict::kForeignRight,
                       "S-1-1-0", kFolder},
        DescriptorCase{"EmptyDaclGrantsNothing", "O:BAD:", PathRole::kFolder, Verdict::kPasses, "",
                       0},
        // Above the package: adding files is no danger, deleting or renaming children is.
        DescriptorCase{"AncestorWhereUsersAddFolders", "O:BAD:(A;;0x1200af;;;BU)",
                       PathRole::kAncestor, Verdict::kPasses, "", 0},
        DescriptorCase{"AncestorWithDeleteChildForUsers", "O:BAD:(A;;0x1200e9;;;BU)",
                       PathRole::kAncestor, Verdict::kForeignRight, kUsers, FILE_DELETE_CHILD},
        DescriptorCase{"AncestorThatUsersMayRename", "O:BAD:(A;;0x130089;;;BU)",
                       PathRole::kAncestor, Verdict::kForeignRight, kUsers, DELETE},
        DescriptorCase{"AncestorOwnedByUsers", "O:BUD:(A;;FA;;;SY)", PathRole::kAncestor,
                       Verdict::kForeignOwner, kUsers, 0}),
    [](const ::testing::TestParamInfo<DescriptorCase>& info) { return info.param.name; });

TEST(DescriptorTest, TheProcessesOwnAccountIsNotAnother) {
  const std::string self = ProcessUserSid();
  Descriptor descriptor;
  ASSERT_NO_FATAL_FAILURE(MakeDescriptor("O:" + self + "D:(A;;FA;;;" + self + ")", descriptor));
  const PathRights judged = platform::JudgeDescriptor(descriptor.get(), PathRole::kFolder);
  EXPECT_EQ(judged.verdict, Verdict::kPasses) << judged.sid;
}

TEST(RightNamesTest, FoldersAndFilesNameTheirRights) {
  EXPECT_EQ(platform::RightNames(FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE, PathRole::kFile),
            "FILE_WRITE_DATA|FILE_APPEND_DATA|DELETE");
  EXPECT_EQ(platform::RightNames(FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD,
                                 PathRole::kFolder),
            "FILE_ADD_FILE|FILE_ADD_SUBDIRECTORY|FILE_DELETE_CHILD");
}

TEST(AncestorsTest, EveryFolderUpToTheRoot) {
  using List = std::vector<std::wstring>;
  EXPECT_EQ(platform::AncestorsOf(L"C:\\a\\b c\\d"), (List{L"C:\\a\\b c", L"C:\\a", L"C:\\"}));
  EXPECT_EQ(platform::AncestorsOf(L"C:\\a\\"), (List{L"C:\\"}));
  EXPECT_EQ(platform::AncestorsOf(L"C:\\"), List{});
  EXPECT_EQ(platform::AncestorsOf(L"\\\\server\\share\\a\\b"),
            (List{L"\\\\server\\share\\a", L"\\\\server\\share\\"}));
  EXPECT_EQ(platform::AncestorsOf(L"\\\\?\\C:\\a"), (List{L"\\\\?\\C:\\"}));
  EXPECT_EQ(platform::AncestorsOf(L"\\\\?\\UNC\\server\\share\\a"),
            (List{L"\\\\?\\UNC\\server\\share\\"}));
}

// -- Real files and folders ----
// Wine keeps a file's owner as its Unix owner whatever a program sets, and derives the DACL from
// the Unix mode: a folder or file whose mode lets others write reads as Everyone with
// 0x1301ff.--------------------------------------------------------------

// Gives `path` the owner and the DACL of `sddl` (either may be left out).
void SetDescriptor(const std::string& path, const char* sddl) {
  Descriptor descriptor;
  ASSERT_NO_FATAL_FAILURE(MakeDescriptor(sddl, descriptor));
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
  BOOL present = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
  SECURITY_INFORMATION what = 0;
  if (owner) what |= OWNER_SECURITY_INFORMATION;
  if (present) what |= DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
  std::string writable = path;
  ASSERT_EQ(
      ::SetNamedSecurityInfoA(&writable[0], SE_FILE_OBJECT, what, owner, nullptr, dacl, nullptr),
      static_cast<DWORD>(ERROR_SUCCESS))
      << path << " " << sddl;
}

struct PathCase {
  const char* name;
  bool folder;
  const char* sddl;  // nullptr: as created
  Verdict verdict;
  const char* sid;  // expected, or nullptr for the process's own account; "" for none
  ACCESS_MASK rights;
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

class PathRightsTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathRightsTest, ReadsTheDescriptorThatThePathHas) {
  const PathCase& c = GetParam();
  testing_support::TempFolder scratch(std::string("rights-") + c.name);
  std::string path = scratch.path() + "\\item";
  if (c.folder) {
    ASSERT_TRUE(::CreateDirectoryA(path.c_str(), nullptr));
  } else {
    testing_support::WriteFileBytes(path, "data");
  }
  if (c.sddl) SetDescriptor(path, c.sddl);

  const PathRights rights = platform::CheckPathRights(
      platform::WidenToNulStrict(path.c_str()), c.folder ? PathRole::kFolder : PathRole::kFile);
  EXPECT_EQ(rights.verdict, c.verdict) << "sid " << rights.sid << " rights " << std::hex
                                       << rights.rights << " error " << std::dec << rights.error;
  if (c.sid) {
    EXPECT_EQ(rights.sid, c.sid);
  }
  EXPECT_EQ(rights.rights, c.rights) << platform::RightNames(rights.rights, PathRole::kFolder);
  // Put back what the scratch folder's removal needs.
  if (c.sddl) SetDescriptor(path, "D:(A;;FA;;;WD)");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathRightsTest,
    ::testing::Values(PathCase{"FolderAsCreated", true, nullptr, Verdict::kPasses, "", 0},
                      PathCase{"FileAsCreated", false, nullptr, Verdict::kPasses, "", 0},
                      PathCase{"ProtectedFolder", true, "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                               Verdict::kPasses, "", 0},
                      PathCase{"FolderEveryoneMayWrite", true,
                               "D:P(A;OICI;FA;;;SY)(A;OICI;0x1301ff;;;WD)", Verdict::kForeignRight,
                               "S-1-1-0", kWineOthersWrite& kFolder},
                      PathCase{"FileEveryoneMayWrite", false, "D:P(A;;FA;;;SY)(A;;0x1301ff;;;WD)",
                               Verdict::kForeignRight, "S-1-1-0", kWineOthersWrite& kFile},
                      PathCase{"FileWithANullDacl", false, "D:NULL", Verdict::kForeignRight,
                               "S-1-1-0", kWineOthersWrite& kFile}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return info.param.name; });

TEST(PathRightsTest, AMissingPathIsToldApart) {
  testing_support::TempFolder scratch("rights-missing");
  const PathRights rights = platform::CheckPathRights(
      platform::WidenToNulStrict((scratch.path() + "\\none.ini").c_str()), PathRole::kFile);
  EXPECT_EQ(rights.verdict, Verdict::kMissing) << rights.error;
}

}  // namespace
