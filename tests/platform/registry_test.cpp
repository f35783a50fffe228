#include "platform/registry.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "support/test_support.h"

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

// One text read of the table: the value as stored, the limits, and what the read gives.
struct TextCase {
  const char* label;
  DWORD type;
  std::vector<BYTE> bytes;
  platform::TextValueLimits limits;
  std::optional<std::wstring> expected;  // nullopt: the read fails
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.label; }

std::vector<BYTE> Utf16Bytes(const std::wstring& text, bool withTerminator = true) {
  const BYTE* first = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(first, first + (text.size() + (withTerminator ? 1 : 0)) * 2);
}

platform::TextValueLimits Limits(DWORD maxBytes, bool stringTypesOnly, bool wholeCharactersOnly) {
  platform::TextValueLimits limits;
  limits.maxBytes = maxBytes;
  limits.stringTypesOnly = stringTypesOnly;
  limits.wholeCharactersOnly = wholeCharactersOnly;
  return limits;
}

class ReadRegistryTextTest : public ReadRegistryDwordTest,
                             public ::testing::WithParamInterface<TextCase> {
 protected:
  void SetWide(const TextCase& c) {
    platform::UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.get(), L"text", 0, c.type, c.bytes.data(),
                               static_cast<DWORD>(c.bytes.size())),
              ERROR_SUCCESS);
  }
  platform::UniqueRegKey Open() {
    platform::UniqueRegKey key;
    EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    return key;
  }
};

// The UTF-16 reads: the silo name (at most 260 characters, string types, a half character
// dropped) and the expansion map (any length, string types, whole characters only).
const TextCase kWideCases[] = {
    {"LimitedFits", REG_SZ, Utf16Bytes(std::wstring(259, L's')), Limits(520, true, false),
     std::wstring(259, L's')},
    {"LimitedTooLong", REG_SZ, Utf16Bytes(std::wstring(260, L's')), Limits(520, true, false),
     std::nullopt},
    {"UnlimitedLong", REG_SZ, Utf16Bytes(std::wstring(5000, L'm')), Limits(0, true, true),
     std::wstring(5000, L'm')},
    {"ExpandStringIsTakenAsStored", REG_EXPAND_SZ, Utf16Bytes(L"%TEMP%\\x"), Limits(0, true, true),
     std::wstring(L"%TEMP%\\x")},
    {"EndsAtTheFirstNul", REG_SZ, Utf16Bytes(std::wstring(L"ab\0cd", 5)), Limits(0, true, true),
     std::wstring(L"ab")},
    {"WithoutTerminator", REG_SZ, Utf16Bytes(L"abc", false), Limits(520, true, false),
     std::wstring(L"abc")},
    {"BinaryRefusedForStringTypes", REG_BINARY, Utf16Bytes(L"abc"), Limits(0, true, true),
     std::nullopt},
    {"BinaryTakenForAnyType", REG_BINARY, Utf16Bytes(L"abc"), Limits(0, false, false),
     std::wstring(L"abc")},
    {"OddSizeRefusedForWholeCharacters",
     REG_SZ,
     {'a', 0, 'b', 0, 'c'},
     Limits(0, true, true),
     std::nullopt},
    {"OddSizeLosesTheHalfCharacter",
     REG_SZ,
     {'a', 0, 'b', 0, 'c'},
     Limits(520, true, false),
     std::wstring(L"ab")},
};

TEST_P(ReadRegistryTextTest, ReadsAsTheLimitsSay) {
  const TextCase& c = GetParam();
  SetWide(c);
  platform::UniqueRegKey key = Open();
  std::wstring read = L"untouched";
  const bool answered = platform::ReadRegistryText(key.get(), L"text", c.limits, read);
  EXPECT_EQ(answered, c.expected.has_value());
  EXPECT_EQ(read, c.expected.value_or(L"untouched")) << "a failed read leaves the text alone";
}

INSTANTIATE_TEST_SUITE_P(Wide, ReadRegistryTextTest, ::testing::ValuesIn(kWideCases),
                         [](const auto& info) { return std::string(info.param.label); });

// The ANSI reads of the product key: at most 260 bytes for its version and install path, any
// length for the features that are not allowed; any type is read as text.
TEST_F(ReadRegistryDwordTest, AnsiTextReadsKeepTheirLimits) {
  const std::string fits(259, 'v');
  const std::string tooLong(260, 'v');
  const std::string long5000(5000, 'f');
  Set("fits", REG_SZ, fits.c_str(), static_cast<DWORD>(fits.size() + 1));
  Set("tooLong", REG_SZ, tooLong.c_str(), static_cast<DWORD>(tooLong.size() + 1));
  Set("long", REG_SZ, long5000.c_str(), static_cast<DWORD>(long5000.size() + 1));
  const BYTE dword[4] = {'1', '2', 0, 0};
  Set("dword", REG_DWORD, dword, sizeof(dword));
  platform::UniqueRegKey key;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);

  const platform::TextValueLimits limited = Limits(260, false, false);
  const platform::TextValueLimits unlimited = Limits(0, false, false);
  std::string read = "untouched";
  EXPECT_TRUE(platform::ReadRegistryText(key.get(), "fits", limited, read));
  EXPECT_EQ(read, fits);
  read = "untouched";
  EXPECT_FALSE(platform::ReadRegistryText(key.get(), "tooLong", limited, read));
  EXPECT_EQ(read, "untouched");
  EXPECT_TRUE(platform::ReadRegistryText(key.get(), "tooLong", unlimited, read));
  EXPECT_EQ(read, tooLong);
  EXPECT_TRUE(platform::ReadRegistryText(key.get(), "long", unlimited, read));
  EXPECT_EQ(read, long5000);
  EXPECT_TRUE(platform::ReadRegistryText(key.get(), "dword", limited, read));
  EXPECT_EQ(read, "12");
  read = "untouched";
  EXPECT_FALSE(platform::ReadRegistryText(key.get(), "absent", unlimited, read));
  EXPECT_EQ(read, "untouched");
}

// A DWORD read of a key the caller holds open follows the rules of the read by path.
TEST_F(ReadRegistryDwordTest, ReadsADwordOfAnOpenKey) {
  const DWORD stored = 7;
  const char text[] = "7";
  Set("dword", REG_DWORD, &stored, sizeof(stored));
  Set("text", REG_SZ, text, sizeof(text));
  platform::UniqueRegKey key;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
  DWORD read = 0;
  EXPECT_TRUE(platform::ReadRegistryDword(key.get(), L"dword", read));
  EXPECT_EQ(read, 7u);
  read = 0xA5A5A5A5u;
  EXPECT_FALSE(platform::ReadRegistryDword(key.get(), L"text", read));
  EXPECT_FALSE(platform::ReadRegistryDword(key.get(), "text", read));
  EXPECT_EQ(read, 0xA5A5A5A5u);
}

class RegistryRoutinesTest : public ::testing::Test {
 protected:
  static constexpr char kKey[] = "SOFTWARE\\Quorvex\\DaxinstServiceTest";
  void TearDown() override {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, view, 0);
    }
  }
};

TEST_F(RegistryRoutinesTest, WriteCreatesTheKeyInTheGivenViewOnly) {
  EXPECT_EQ(
      platform::WriteRegistryDword(HKEY_LOCAL_MACHINE, kKey, "Value", 0xDEADBEEF, KEY_WOW64_32KEY),
      0);
  EXPECT_EQ(testing_support::ReadDword(HKEY_LOCAL_MACHINE, kKey, "Value", KEY_WOW64_32KEY),
            0xDEADBEEFu);
  EXPECT_FALSE(
      testing_support::ReadDword(HKEY_LOCAL_MACHINE, kKey, "Value", KEY_WOW64_64KEY).has_value());
  const auto raw =
      testing_support::ReadRegistryValue(HKEY_LOCAL_MACHINE, kKey, "Value", KEY_WOW64_32KEY);
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(raw->type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(raw->data.size(), 4u);
}

TEST_F(RegistryRoutinesTest, DeleteAnswersWhetherTheValueWentAway) {
  EXPECT_EQ(platform::DeleteRegistryValue(HKEY_LOCAL_MACHINE, kKey, "Value", KEY_WOW64_64KEY), 1)
      << "missing key";
  testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kKey, "Value", 7, KEY_WOW64_64KEY);
  testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kKey, "Value", 8, KEY_WOW64_32KEY);
  EXPECT_EQ(platform::DeleteRegistryValue(HKEY_LOCAL_MACHINE, kKey, "Value", KEY_WOW64_64KEY), 0);
  EXPECT_FALSE(
      testing_support::ReadDword(HKEY_LOCAL_MACHINE, kKey, "Value", KEY_WOW64_64KEY).has_value());
  EXPECT_EQ(testing_support::ReadDword(HKEY_LOCAL_MACHINE, kKey, "Value", KEY_WOW64_32KEY), 8u);
  EXPECT_EQ(platform::DeleteRegistryValue(HKEY_LOCAL_MACHINE, kKey, "Value", KEY_WOW64_64KEY), 1)
      << "missing value";
}

}  // namespace
