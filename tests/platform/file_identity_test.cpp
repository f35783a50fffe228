#include "platform/file_identity.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

using platform::FileIdentity;
using testing_support::SuspendedChild;
using testing_support::SystemProgram;
using testing_support::TempFolder;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

FileIdentity IdentityOfPath(const std::string& path) {
  platform::UniqueFileHandle file(::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
  FileIdentity identity;
  EXPECT_TRUE(file) << path;
  EXPECT_TRUE(file && platform::FileIdentityOf(file.get(), identity)) << path;
  return identity;
}

// The same bytes under another name are another file; the same file through another handle is
// the same one.
TEST(FileIdentity, TellsACopyFromTheFileItself) {
  TempFolder folder("file_identity");
  const std::string original = folder.path() + "\\original.exe";
  const std::string copy = folder.path() + "\\copy.exe";
  ASSERT_TRUE(testing_support::CopyFileTo(SystemProgram("cmd.exe"), original));
  ASSERT_TRUE(testing_support::CopyFileTo(original, copy));

  platform::UniqueFileHandle held = platform::OpenReadShared(Widen(original).c_str());
  ASSERT_TRUE(held);
  FileIdentity heldIdentity;
  ASSERT_TRUE(platform::FileIdentityOf(held.get(), heldIdentity));
  EXPECT_EQ(heldIdentity, IdentityOfPath(original));
  EXPECT_NE(heldIdentity, IdentityOfPath(copy));
  EXPECT_FALSE(platform::FileIdentityOf(INVALID_HANDLE_VALUE, heldIdentity));
}

// A process created suspended has not run a single instruction of its image, and its image is
// already known: the file it was started from, and no other.
TEST(FileIdentity, ASuspendedProcessAnswersTheFileItWasStartedFrom) {
  TempFolder folder("file_identity_process");
  const std::string program = folder.path() + "\\started.exe";
  const std::string twin = folder.path() + "\\twin.exe";
  ASSERT_TRUE(testing_support::CopyFileTo(SystemProgram("cmd.exe"), program));
  ASSERT_TRUE(testing_support::CopyFileTo(program, twin));
  {
    SuspendedChild child(program);
    ASSERT_TRUE(child.process());
    FileIdentity image;
    ASSERT_TRUE(platform::ProcessImageIdentity(child.process(), image));
    EXPECT_EQ(image, IdentityOfPath(program));
    EXPECT_NE(image, IdentityOfPath(twin));
  }
  FileIdentity none;
  EXPECT_FALSE(platform::ProcessImageIdentity(nullptr, none));
}

// Two identities are the same file only when every field the system gave agrees. Each pair
// differs from the reference in exactly one field (or one half of one), so a comparison that
// leaves any of them out takes two files for one.
struct IdentityPairCase {
  const char* name;
  void (*change)(FileIdentity& identity);
  bool same;
};

void PrintTo(const IdentityPairCase& c, std::ostream* os) { *os << c.name; }

FileIdentity ReferenceIdentity() {
  FileIdentity identity;
  identity.volumeSerial = 0x1234ABCDu;
  identity.fileIndex = 0x0000000500000007ull;
  identity.hasExtended = true;
  identity.extendedVolumeSerial = 0x00000000FEDC0001ull;
  for (BYTE i = 0; i < 16; ++i) identity.extendedFileId[i] = static_cast<BYTE>(0x40 + i);
  return identity;
}

const IdentityPairCase kIdentityPairs[] = {
    {"Equal", [](FileIdentity&) {}, true},
    {"VolumeSerial", [](FileIdentity& i) { i.volumeSerial ^= 0x00010000u; }, false},
    {"FileIndexLowHalf", [](FileIdentity& i) { i.fileIndex ^= 0x0000000000000001ull; }, false},
    {"FileIndexHighHalf", [](FileIdentity& i) { i.fileIndex ^= 0x0000000100000000ull; }, false},
    {"ExtendedFormPresent", [](FileIdentity& i) { i.hasExtended = false; }, false},
    {"ExtendedVolumeSerialLowHalf",
     [](FileIdentity& i) { i.extendedVolumeSerial ^= 0x0000000000000002ull; }, false},
    {"ExtendedVolumeSerialHighHalf",
     [](FileIdentity& i) { i.extendedVolumeSerial ^= 0x0000000200000000ull; }, false},
    {"ExtendedIdFirstByte", [](FileIdentity& i) { i.extendedFileId[0] ^= 0x01; }, false},
    {"ExtendedIdLowHalfLastByte", [](FileIdentity& i) { i.extendedFileId[7] ^= 0x80; }, false},
    {"ExtendedIdHighHalfFirstByte", [](FileIdentity& i) { i.extendedFileId[8] ^= 0x01; }, false},
    {"ExtendedIdLastByte", [](FileIdentity& i) { i.extendedFileId[15] ^= 0x80; }, false},
};

class FileIdentityPair : public ::testing::TestWithParam<IdentityPairCase> {};

TEST_P(FileIdentityPair, IsTheSameFileOnlyWhenEveryFieldAgrees) {
  const FileIdentity reference = ReferenceIdentity();
  FileIdentity other = reference;
  GetParam().change(other);
  // Both ways round: a comparison that reads one side's fields only for one side must fail too.
  EXPECT_EQ(reference == other, GetParam().same);
  EXPECT_EQ(other == reference, GetParam().same);
  EXPECT_EQ(reference != other, !GetParam().same);
  EXPECT_EQ(other != reference, !GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(OneFieldApart, FileIdentityPair, ::testing::ValuesIn(kIdentityPairs),
                         [](const ::testing::TestParamInfo<IdentityPairCase>& info) {
                           return std::string(info.param.name);
                         });

// Where the system has no 128-bit form (Windows 7), the 64-bit fields alone decide.
TEST(FileIdentityPair, WithoutTheExtendedFormTheVolumeAndIndexDecide) {
  FileIdentity reference;
  reference.volumeSerial = 0x1234ABCDu;
  reference.fileIndex = 0x0000000500000007ull;
  FileIdentity other = reference;
  EXPECT_EQ(reference, other);
  other.fileIndex ^= 0x0000000100000000ull;
  EXPECT_NE(reference, other);
  other = reference;
  other.volumeSerial ^= 1u;
  EXPECT_NE(reference, other);
}

// What the held setup program relies on: readers may come in, writers and deleters may not.
TEST(OpenReadShared, KeepsWritersAndDeletersOutWhileItIsHeld) {
  TempFolder folder("open_read_shared");
  const std::string path = folder.path() + "\\setup.exe";
  testing_support::WriteFileBytes(path, "MZ");
  platform::UniqueFileHandle held = platform::OpenReadShared(Widen(path).c_str());
  ASSERT_TRUE(held);
  const auto opens = [&](DWORD access) {
    platform::UniqueFileHandle other(
        ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr));
    return other.is_valid();
  };
  EXPECT_TRUE(opens(GENERIC_READ));
  EXPECT_FALSE(opens(GENERIC_WRITE));
  EXPECT_FALSE(opens(DELETE));
  EXPECT_FALSE(::MoveFileA(path.c_str(), (path + ".moved").c_str()));
  held.reset();
  EXPECT_TRUE(opens(GENERIC_WRITE));
  EXPECT_FALSE(platform::OpenReadShared((Widen(path) + L".absent").c_str()));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
