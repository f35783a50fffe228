#include "platform/process_query.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using testing_support::SuspendedChild;
using testing_support::SystemProgram;

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
