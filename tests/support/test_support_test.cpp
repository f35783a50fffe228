// The helpers that stage a case's files, folders and registry values fail the case when their
// write fails: a case that went on would compare what it never wrote.
#include <windows.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

// A key handle that names no open key: every write through it fails.
HKEY NoKey() { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7FFC)); }

// Longer than the 16383 characters a value name may have: the key opens, the write fails.
const char* OverlongValueName() {
  static const std::string name(20000, 'n');
  return name.c_str();
}

std::string MissingFolder() { return testing_support::ScratchDirectory() + "\\no such folder"; }

struct FailedWriteCase {
  const char* name;
  void (*write)();
  const char* failure;  // a piece of the failure the helper reports
};

void PrintTo(const FailedWriteCase& c, std::ostream* os) { *os << c.name; }

const FailedWriteCase kFailedWrites[] = {
    {"FileInAMissingFolder",
     [] { testing_support::WriteFileBytes(MissingFolder() + "\\file.txt", "bytes"); },
     "no such folder\\file.txt for writing"},
    {"FolderInAMissingFolder",
     [] { const testing_support::TempFolder folder("no such folder\\child"); },
     "cannot make the folder"},
    {"DwordUnderNoKey", [] { testing_support::SetRegistryDword(NoKey(), "Sub", "Value", 1); },
     "cannot open or make the key Sub for Value: error "},
    {"StringUnderNoKey",
     [] { testing_support::SetRegistryString(NoKey(), "Sub", "Value", "text"); },
     "cannot open or make the key Sub for Value: error "},
    {"ValueWithAnOverlongName",
     [] {
       testing_support::SetRegistryDword(HKEY_CURRENT_USER, "SOFTWARE\\Quorvex\\SupportTest",
                                         OverlongValueName(), 1);
     },
     "cannot write SOFTWARE\\Quorvex\\SupportTest\\nnnn"},
    {"ValueDeletedThroughNoKey",
     [] { testing_support::ExpectDeletedValue(NoKey(), "Sub", "Value"); },
     "cannot delete Sub\\Value: error "},
};

class FailedWrite : public ::testing::TestWithParam<FailedWriteCase> {};

TEST_P(FailedWrite, FailsTheRunningCase) {
  static void (*write)() = nullptr;
  write = GetParam().write;
  EXPECT_NONFATAL_FAILURE(write(), GetParam().failure);
}

INSTANTIATE_TEST_SUITE_P(Helpers, FailedWrite, ::testing::ValuesIn(kFailedWrites),
                         [](const ::testing::TestParamInfo<FailedWriteCase>& info) {
                           return std::string(info.param.name);
                         });

// The same helpers on a write that works report nothing, and the write is there.
TEST(SucceededWrite, LeavesWhatWasWritten) {
  const testing_support::TempFolder folder("written");
  const std::string file = folder.path() + "\\file.txt";
  testing_support::WriteFileBytes(file, "bytes");
  EXPECT_EQ(testing_support::ReadFileBytes(file), std::string("bytes"));
  const char kKey[] = "SOFTWARE\\Quorvex\\SupportTest";
  testing_support::SetRegistryDword(HKEY_CURRENT_USER, kKey, "Value", 7);
  EXPECT_EQ(testing_support::ReadDword(HKEY_CURRENT_USER, kKey, "Value"), 7u);
  ::RegDeleteTreeA(HKEY_CURRENT_USER, kKey);
}

// A folder of the last case that still holds a file some process keeps open: the next case's
// folder of the same name waits for it to be let go, and fails the case when it is not.
class LeftoverFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::RemoveTree(path_);
    ASSERT_TRUE(::CreateDirectoryA(path_.c_str(), nullptr));
    held_.reset(::CreateFileA((path_ + "\\check-1.txt").c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held_) << ::GetLastError();
  }
  void TearDown() override {
    held_.reset();
    testing_support::RemoveTree(path_);
  }

  const std::string path_ = testing_support::ScratchDirectory() + "\\leftover";
  platform::UniqueFileHandle held_;
};

TEST_F(LeftoverFolder, LetGoOfAMomentLaterIsMadeAfreshAndEmpty) {
  std::thread letGo([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    held_.reset();
  });
  {
    const testing_support::TempFolder folder("leftover");
    letGo.join();
    EXPECT_EQ(::GetFileAttributesA((folder.path() + "\\check-1.txt").c_str()),
              INVALID_FILE_ATTRIBUTES)
        << "the new folder still has the last case's file";
    EXPECT_NE(::GetFileAttributesA(folder.path().c_str()), INVALID_FILE_ATTRIBUTES);
  }
}

TEST_F(LeftoverFolder, HeldForLongerThanTheWaitFailsTheCase) {
  const auto started = std::chrono::steady_clock::now();
  EXPECT_NONFATAL_FAILURE({ const testing_support::TempFolder folder("leftover"); },
                          "cannot make the folder");
  EXPECT_GE(std::chrono::steady_clock::now() - started,
            std::chrono::milliseconds(testing_support::TempFolder::kLeftoverWaitMs));
}

}  // namespace
