#include "platform/registry.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/unique_handle.h"

namespace {

constexpr char kTestKey[] = "SOFTWARE\\Quorvex\\DaxinstTests\\Registry";

class ReadRegistryDwordTest : public ::testing::Test {
 protected:
  void SetUp() override { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestKey); }
  void TearDown() override { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestKey); }

  void Set(const char* name, DWORD type, const void* data, DWORD size, REGSAM view = 0) {
    platform::UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }
};

TEST_F(ReadRegistryDwordTest, ReadsADword) {
  const DWORD stored = 0xFFFFFFFEu;
  Set("value", REG_DWORD, &stored, sizeof(stored));
  DWORD read = 0;
  ASSERT_TRUE(platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kTestKey, "value", 0, read));
  EXPECT_EQ(read, stored);
}

// Whatever makes a read fail, the caller's value must survive: callers rely on their default.
TEST_F(ReadRegistryDwordTest, FailedReadsLeaveTheOutParameterUntouched) {
  const char text[] = "1";
  const BYTE fourBytes[4] = {1, 0, 0, 0};
  const BYTE eightBytes[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  Set("string", REG_SZ, text, sizeof(text));
  Set("binary", REG_BINARY, fourBytes, sizeof(fourBytes));
  Set("qword", REG_QWORD, eightBytes, sizeof(eightBytes));
  Set("short", REG_DWORD, fourBytes, 2);

  struct Case {
    const char* subKey;
    const char* name;
  };
  const std::string missingKey = std::string(kTestKey) + "\\Missing";
  for (const Case& c :
       {Case{missingKey.c_str(), "value"}, Case{kTestKey, "absent"}, Case{kTestKey, "string"},
        Case{kTestKey, "binary"}, Case{kTestKey, "qword"}, Case{kTestKey, "short"}}) {
    DWORD read = 0xA5A5A5A5u;
    EXPECT_FALSE(platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, c.subKey, c.name, 0, read))
        << c.name;
    EXPECT_EQ(read, 0xA5A5A5A5u) << c.name;
  }
}

// The 32-bit and 64-bit views of SOFTWARE are separate keys: a value written in one is not seen
// in the other.
TEST_F(ReadRegistryDwordTest, ReadsOnlyTheRequestedView) {
  const DWORD in32 = 32;
  Set("view", REG_DWORD, &in32, sizeof(in32), KEY_WOW64_32KEY);
  DWORD read = 0;
  EXPECT_TRUE(
      platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kTestKey, "view", KEY_WOW64_32KEY, read));
  EXPECT_EQ(read, 32u);
  EXPECT_FALSE(
      platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kTestKey, "view", KEY_WOW64_64KEY, read));
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kTestKey, view, 0);
  }
}

}  // namespace
