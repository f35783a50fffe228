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
