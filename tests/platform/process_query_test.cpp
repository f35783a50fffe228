#include "platform/process_query.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

// A child that exists for as long as the test needs it: created suspended, ended by the test.
class SuspendedChild {
 public:
  explicit SuspendedChild(const std::string& path) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::string commandLine = "\"" + path + "\"";
    if (::CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                         nullptr, nullptr, &startup, &info)) {
      process_.reset(info.hProcess);
      thread_.reset(info.hThread);
      id_ = info.dwProcessId;
    }
  }
  ~SuspendedChild() {
    if (process_) {
      ::TerminateProcess(process_.get(), 0);
      ::WaitForSingleObject(process_.get(), 10000);
    }
  }
  DWORD id() const { return id_; }

 private:
  platform::UniqueKernelHandle process_;
  platform::UniqueKernelHandle thread_;
  DWORD id_ = 0;
};

std::string SystemProgram(const char* name) {
  char directory[MAX_PATH] = {};
  ::GetSystemDirectoryA(directory, MAX_PATH);
  return std::string(directory) + "\\" + name;
}

TEST(ProcessQuery, NamesAChildAndItsParent) {
  platform::ProcessQuery query;
  ASSERT_TRUE(query.Initialise());
  SuspendedChild child(SystemProgram("cmd.exe"));
  ASSERT_NE(child.id(), 0u);

  platform::ProcessRecord record;
  ASSERT_TRUE(query.Query(child.id(), record));
  EXPECT_EQ(record.parentId, ::GetCurrentProcessId());
  EXPECT_EQ(platform::FileNameOf(record.fileName), record.fileName) << "name only, no folder";
  EXPECT_EQ(_stricmp(record.fileName.c_str(), "cmd.exe"), 0) << record.fileName;
}

TEST(ProcessQuery, NamesItsOwnProcessInTheSameFormAsAnyOther) {
  platform::ProcessQuery query;
  ASSERT_TRUE(query.Initialise());
  platform::ProcessRecord self;
  ASSERT_TRUE(query.Query(::GetCurrentProcessId(), self));
  EXPECT_EQ(_stricmp(self.fileName.c_str(), "platform_tests.exe"), 0) << self.fileName;
}

TEST(ProcessQuery, ANumberThatNamesNoProcessFails) {
  platform::ProcessQuery query;
  ASSERT_TRUE(query.Initialise());
  platform::ProcessRecord record;
  EXPECT_FALSE(query.Query(0xFFFFFFF0u, record));
  EXPECT_TRUE(record.fileName.empty());
}

TEST(ProcessQuery, WithoutInitialiseEveryQueryFails) {
  platform::ProcessQuery query;
  platform::ProcessRecord record;
  EXPECT_FALSE(query.Query(::GetCurrentProcessId(), record));
}

TEST(FileNameOf, CutsAtTheLastSeparator) {
  EXPECT_EQ(platform::FileNameOf("C:\\a b\\daxinst.exe"), "daxinst.exe");
  EXPECT_EQ(platform::FileNameOf("C:/x/y.exe"), "y.exe");
  EXPECT_EQ(platform::FileNameOf("plain.exe"), "plain.exe");
  EXPECT_EQ(platform::FileNameOf("C:\\dir\\"), "");
}

}  // namespace
