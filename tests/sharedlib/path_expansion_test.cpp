#include <gtest/gtest.h>

#include <shlobj.h>

#include <cwctype>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "sharedlib/isolation.h"
#include "sharedlib/path_expansion.h"
#include "sharedlib/path_expansion_text.h"
#include "sharedlib_test_support.h"

namespace {

using namespace sharedlib;
using namespace sharedlib_test;

std::wstring WindowsDirectory() {
  wchar_t path[MAX_PATH] = {};
  ::GetWindowsDirectoryW(path, MAX_PATH);
  return path;
}

std::wstring ShellFolder(int folder) {
  wchar_t path[MAX_PATH] = {};
  EXPECT_TRUE(::SHGetSpecialFolderPathW(nullptr, path, folder, FALSE));
  return path;
}

std::wstring WindowsVersionValue(const wchar_t* name) {
  platform::UniqueRegKey key;
  EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                            KEY_READ | KEY_WOW64_64KEY, key.put()),
            ERROR_SUCCESS);
  wchar_t data[MAX_PATH] = {};
  DWORD size = sizeof(data) - sizeof(wchar_t);
  EXPECT_EQ(
      ::RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
      ERROR_SUCCESS);
  return data;
}

// Each case starts with an empty expansion map of the test silo and leaves none behind.
class ExpandPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveSiloKeys(kDefaultHive, kTestSilo);
    SetMapString(L"root", L"C:\\Root");
  }
  void TearDown() override { RemoveSiloKeys(kDefaultHive, kTestSilo); }

  // Expands `text` and answers the result code; the expansion lands in out_.
  int Expand(const std::wstring& text) { return ExpandPath(text.c_str(), out_); }

  std::wstring out_ = L"before";
};

struct ExpansionCase {
  const char* label;
  std::vector<std::pair<const wchar_t*, const wchar_t*>> map;  // name, value
  std::wstring text;
  int result;
  std::wstring out;  // "%WINDIR%" stands for the Windows directory
};

class ExpansionTableTest : public ExpandPathTest,
                           public ::testing::WithParamInterface<ExpansionCase> {};

TEST_P(ExpansionTableTest, Expands) {
  const ExpansionCase& c = GetParam();
  for (const auto& [name, value] : c.map) SetMapString(name, value);
  std::wstring expected = c.out;
  const size_t at = expected.find(L"%WINDIR%");
  if (at != std::wstring::npos) expected.replace(at, 8, WindowsDirectory());
  EXPECT_EQ(Expand(c.text), c.result);
  EXPECT_EQ(out_, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ExpansionTableTest,
    ::testing::Values(
        ExpansionCase{"PlainTextUnchanged", {}, L"C:\\No\\Such\\Path", 1, L"C:\\No\\Such\\Path"},
        ExpansionCase{"ShortTextUntouched", {}, L"\\\\", 1, L"\\\\"},
        ExpansionCase{"ShortPercentText", {}, L"%a", 1, L"%a"},
        ExpansionCase{"MapValue", {}, L"%ROOT%\\sub", 1, L"C:\\Root\\sub"},
        ExpansionCase{"MapNameAnyCase", {}, L"%rOoT%\\sub", 1, L"C:\\Root\\sub"},
        ExpansionCase{"EveryOccurrenceReplaced", {}, L"%ROOT%;%ROOT%", 1, L"C:\\Root;C:\\Root"},
        ExpansionCase{"SpecialFolder", {}, L"%CSIDL_WINDOWS%\\system32", 1, L"%WINDIR%\\system32"},
        ExpansionCase{
            "SpecialFolderLowerCase", {}, L"%csidl_windows%\\system32", 1, L"%WINDIR%\\system32"},
        ExpansionCase{"MapBeforeSpecialFolder",
                      {{L"csidl_windows", L"D:\\Mapped"}},
                      L"%CSIDL_WINDOWS%\\x",
                      1,
                      L"D:\\Mapped\\x"},
        ExpansionCase{"SameNameOtherCaseFails", {{L"a", L"x"}}, L"%A%;%a%", 0, L"%A%;%a%"},
        ExpansionCase{"ValueRefersToAnother",
                      {{L"a", L"%B%"}, {L"b", L"C:\\Bee"}},
                      L"%A%\\f",
                      1,
                      L"C:\\Bee\\f"},
        ExpansionCase{"SelfReferenceFails", {{L"a", L"x%A%"}}, L"%A%\\f", 0, L"%A%\\f"},
        ExpansionCase{"CycleFails", {{L"a", L"%B%"}, {L"b", L"%a%"}}, L"%A%", 0, L"%A%"},
        ExpansionCase{"UnknownNameFails", {}, L"%NOPE%\\x", 0, L"%NOPE%\\x"},
        ExpansionCase{"LonePercentFails", {}, L"C:\\50%\\x", 0, L"C:\\50%\\x"},
        ExpansionCase{"TrailingPercentFails", {}, L"%ROOT%\\x%", 0, L"%ROOT%\\x%"},
        ExpansionCase{"EmptyNameFails", {}, L"C:\\%%\\x", 0, L"C:\\%%\\x"},
        ExpansionCase{"DoubledBackslashesCollapse", {}, L"C:\\\\Dir\\\\\\\\x", 1, L"C:\\Dir\\x"},
        ExpansionCase{"UncPairKept", {}, L"\\\\server\\\\share\\\\\\x", 1, L"\\\\server\\share\\x"},
        ExpansionCase{"CleanUpAfterReplacement",
                      {{L"dir", L"C:\\Dir\\"}},
                      L"%DIR%\\file",
                      1,
                      L"C:\\Dir\\file"},
        ExpansionCase{"CleanUpOnFailureToo", {}, L"C:\\\\%NOPE%", 0, L"C:\\%NOPE%"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ExpandPathTest, ValuesOfOtherTypesOrOddLengthAreNotFound) {
  const DWORD number = 5;
  SetMapValue(L"dword", REG_DWORD, &number, sizeof(number));
  const wchar_t text[] = L"abc";
  SetMapValue(L"odd", REG_SZ, text, 5);
  SetMapValue(L"expand", REG_EXPAND_SZ, L"%SystemRoot%", sizeof(L"%SystemRoot%"));
  // Stored without its terminator: the value still ends where the data ends.
  SetMapValue(L"bare", REG_SZ, text, 6);
  EXPECT_EQ(Expand(L"%DWORD%"), 0);
  EXPECT_EQ(Expand(L"%ODD%"), 0);
  EXPECT_EQ(Expand(L"%BARE%\\x"), 1);
  EXPECT_EQ(out_, L"abc\\x");
  // The data is used as stored; environment references in it are expanded as our own names.
  EXPECT_EQ(Expand(L"%EXPAND%"), 0);
  EXPECT_EQ(out_, L"%EXPAND%");
  SetMapString(L"systemroot", L"S:\\");
  EXPECT_EQ(Expand(L"%EXPAND%"), 1);
  EXPECT_EQ(out_, L"S:\\");
}

// Values that each name the next one twice double the text with every name: two dozen of them
// would need gigabytes and minutes. The expansion stops at the longest path instead.
TEST_F(ExpandPathTest, ValuesThatDoubleTheTextStopAtTheLongestPath) {
  for (int level = 0; level < 24; ++level) {
    const std::wstring next = L"%v" + std::to_wstring(level + 1) + L"%";
    SetMapString((L"v" + std::to_wstring(level)).c_str(), next + L"\\" + next);
  }
  SetMapString(L"v24", L"leaf");
  const DWORD started = ::GetTickCount();
  EXPECT_EQ(Expand(L"C:\\%V0%"), 0);
  EXPECT_LT(::GetTickCount() - started, 5000u);
  EXPECT_EQ(out_, L"C:\\%V0%");

  // Eleven levels are 2048 leaves: well within a path.
  SetMapString(L"v11", L"leaf");
  EXPECT_EQ(Expand(L"%V0%"), 1);
  EXPECT_EQ(out_.size(), 2048u * 4 + 2047);
}

TEST_F(ExpandPathTest, ExpansionMayReachTheLongestPathButNotPassIt) {
  SetMapString(L"long", std::wstring(kMaxExpandedChars - 2, L'x'));
  EXPECT_EQ(Expand(L"%LONG%ab"), 1);
  EXPECT_EQ(out_.size(), kMaxExpandedChars);
  EXPECT_EQ(Expand(L"%LONG%abc"), 0);
  EXPECT_EQ(out_, L"%LONG%abc");
}

// Fault: map values that each repeat the next variable multiplied the text without bound: here
// into a "path" of 358 million characters (716 MB), and with one more such value past all
// memory. A result longer than any path now fails at once.
TEST_F(ExpandPathTest, ExpansionLongerThanAnyPathFailsAtOnce) {
  std::wstring repeated;
  for (int i = 0; i < 10922; ++i) repeated += L"%big%";
  SetMapString(L"many", repeated);
  SetMapString(L"big", std::wstring(32766, L'x'));
  const ULONGLONG started = ::GetTickCount64();
  EXPECT_EQ(Expand(L"%MANY%"), 0);
  EXPECT_LT(::GetTickCount64() - started, 10000u);
  EXPECT_EQ(out_, L"%MANY%");

  // A result of exactly the limit expands; one character more fails.
  SetMapString(L"edge", std::wstring(32765, L'y'));
  EXPECT_EQ(Expand(L"%edge%\\z"), 1);
  EXPECT_EQ(out_, std::wstring(32765, L'y') + L"\\z");
  EXPECT_EQ(Expand(L"%edge%\\zz"), 0);
  EXPECT_EQ(out_, L"%edge%\\zz");
}

TEST_F(ExpandPathTest, MissingMapFailsEvenForSpecialFolders) {
  RemoveSiloKeys(kDefaultHive, kTestSilo);
  EXPECT_EQ(Expand(L"%CSIDL_WINDOWS%"), 0);
  EXPECT_EQ(out_, L"before");
  EXPECT_EQ(Expand(L"plain"), 0);
  EXPECT_EQ(out_, L"before");
  EXPECT_EQ(ExpandPath(nullptr, out_), 0);
  EXPECT_EQ(out_, L"before");
}

TEST_F(ExpandPathTest, SiloDataFolders) {
  EXPECT_EQ(Expand(L"%LOCAL_SILO_DATA%"), 1);
  EXPECT_EQ(out_, ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Quorvex\\" + kTestSilo);
  EXPECT_EQ(Expand(L"%common_silo_data%\\f"), 1);
  EXPECT_EQ(out_, ShellFolder(CSIDL_COMMON_APPDATA) + L"\\Quorvex\\" + kTestSilo + L"\\f");

  SetMapString(L"appdataextension", L"Vendor");
  EXPECT_EQ(Expand(L"%LOCAL_SILO_DATA%"), 1);
  EXPECT_EQ(out_, ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Vendor\\" + kTestSilo);

  SetMapString(L"appdataextension", std::wstring(60, L'v'));
  EXPECT_EQ(Expand(L"%LOCAL_SILO_DATA%"), 1);
  EXPECT_EQ(out_,
            ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\" + std::wstring(49, L'v') + L"\\" + kTestSilo);
}

TEST_F(ExpandPathTest, VendorNameLeadingBackToASiloFolderDoesNotRecurse) {
  SetMapString(L"appdataextension", L"%LOCAL_SILO_DATA%");
  std::wstring folder;
  EXPECT_TRUE(GetAppDataFolder(CSIDL_LOCAL_APPDATA, folder));
  EXPECT_EQ(folder, ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Quorvex\\" + kTestSilo);
}

TEST_F(ExpandPathTest, SixtyFourBitProgramFolders) {
  EXPECT_EQ(Expand(L"%CSIDL_PROGRAM_FILESX64%"), 1);
  EXPECT_EQ(out_, WindowsVersionValue(L"ProgramFilesDir"));
  EXPECT_EQ(Expand(L"%CSIDL_PROGRAM_FILES_COMMONX64%"), 1);
  EXPECT_EQ(out_, WindowsVersionValue(L"CommonFilesDir"));
}

TEST(ExpandFolderVariable, UnknownNameAndShellFailure) {
  std::wstring out = L"kept";
  EXPECT_FALSE(ExpandFolderVariable(L"CSIDL_NOTHING", out));
  EXPECT_FALSE(ExpandFolderVariable(L"", out));
  EXPECT_EQ(out, L"kept");
  EXPECT_TRUE(ExpandFolderVariable(L"Csidl_System", out));
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  EXPECT_EQ(out, system);
}

TEST(GetAppDataFolder, ShellFolderThatDoesNotExistFails) {
  std::wstring out = L"kept";
  EXPECT_FALSE(GetAppDataFolder(0x7F, out));
  EXPECT_EQ(out, L"");
}

// Every name of the table is found in any letter case, with the shell's number; a fault in the
// table's order would hide some of them from the search.
TEST(SpecialFolderTable, EveryNameIsFound) {
  const std::vector<std::pair<const wchar_t*, DWORD>> names = {
      {L"COMMON_SILO_DATA", 0xF0000000},
      {L"LOCAL_SILO_DATA", 0xF0000001},
      {L"CSIDL_PROGRAM_FILESX64", 0xF0000002},
      {L"CSIDL_PROGRAM_FILES_COMMONX64", 0xF0000003},
      {L"CSIDL_ADMINTOOLS", CSIDL_ADMINTOOLS},
      {L"CSIDL_ALTSTARTUP", CSIDL_ALTSTARTUP},
      {L"CSIDL_APPDATA", CSIDL_APPDATA},
      {L"CSIDL_BITBUCKET", CSIDL_BITBUCKET},
      {L"CSIDL_CDBURN_AREA", CSIDL_CDBURN_AREA},
      {L"CSIDL_COMMON_ADMINTOOLS", CSIDL_COMMON_ADMINTOOLS},
      {L"CSIDL_COMMON_ALTSTARTUP", CSIDL_COMMON_ALTSTARTUP},
      {L"CSIDL_COMMON_APPDATA", CSIDL_COMMON_APPDATA},
      {L"CSIDL_COMMON_DESKTOPDIRECTORY", CSIDL_COMMON_DESKTOPDIRECTORY},
      {L"CSIDL_COMMON_DOCUMENTS", CSIDL_COMMON_DOCUMENTS},
      {L"CSIDL_COMMON_FAVORITES", CSIDL_COMMON_FAVORITES},
      {L"CSIDL_COMMON_MUSIC", CSIDL_COMMON_MUSIC},
      {L"CSIDL_COMMON_OEM_LINKS", CSIDL_COMMON_OEM_LINKS},
      {L"CSIDL_COMMON_PICTURES", CSIDL_COMMON_PICTURES},
      {L"CSIDL_COMMON_PROGRAMS", CSIDL_COMMON_PROGRAMS},
      {L"CSIDL_COMMON_STARTMENU", CSIDL_COMMON_STARTMENU},
      {L"CSIDL_COMMON_STARTUP", CSIDL_COMMON_STARTUP},
      {L"CSIDL_COMMON_TEMPLATES", CSIDL_COMMON_TEMPLATES},
      {L"CSIDL_COMMON_VIDEO", CSIDL_COMMON_VIDEO},
      {L"CSIDL_COMPUTERSNEARME", CSIDL_COMPUTERSNEARME},
      {L"CSIDL_CONNECTIONS", CSIDL_CONNECTIONS},
      {L"CSIDL_CONTROLS", CSIDL_CONTROLS},
      {L"CSIDL_COOKIES", CSIDL_COOKIES},
      {L"CSIDL_DESKTOP", CSIDL_DESKTOP},
      {L"CSIDL_DESKTOPDIRECTORY", CSIDL_DESKTOPDIRECTORY},
      {L"CSIDL_DRIVES", CSIDL_DRIVES},
      {L"CSIDL_FAVORITES", CSIDL_FAVORITES},
      {L"CSIDL_FONTS", CSIDL_FONTS},
      {L"CSIDL_HISTORY", CSIDL_HISTORY},
      {L"CSIDL_INTERNET", CSIDL_INTERNET},
      {L"CSIDL_INTERNET_CACHE", CSIDL_INTERNET_CACHE},
      {L"CSIDL_LOCAL_APPDATA", CSIDL_LOCAL_APPDATA},
      {L"CSIDL_MYMUSIC", CSIDL_MYMUSIC},
      {L"CSIDL_MYPICTURES", CSIDL_MYPICTURES},
      {L"CSIDL_MYVIDEO", CSIDL_MYVIDEO},
      {L"CSIDL_NETHOOD", CSIDL_NETHOOD},
      {L"CSIDL_NETWORK", CSIDL_NETWORK},
      {L"CSIDL_PERSONAL", CSIDL_PERSONAL},
      {L"CSIDL_PRINTERS", CSIDL_PRINTERS},
      {L"CSIDL_PRINTHOOD", CSIDL_PRINTHOOD},
      {L"CSIDL_PROFILE", CSIDL_PROFILE},
      {L"CSIDL_PROGRAM_FILES", CSIDL_PROGRAM_FILES},
      {L"CSIDL_PROGRAM_FILES_COMMON", CSIDL_PROGRAM_FILES_COMMON},
      {L"CSIDL_PROGRAM_FILES_COMMONX86", CSIDL_PROGRAM_FILES_COMMONX86},
      {L"CSIDL_PROGRAM_FILESX86", CSIDL_PROGRAM_FILESX86},
      {L"CSIDL_PROGRAMS", CSIDL_PROGRAMS},
      {L"CSIDL_RECENT", CSIDL_RECENT},
      {L"CSIDL_RESOURCES", CSIDL_RESOURCES},
      {L"CSIDL_RESOURCES_LOCALIZED", CSIDL_RESOURCES_LOCALIZED},
      {L"CSIDL_SENDTO", CSIDL_SENDTO},
      {L"CSIDL_STARTMENU", CSIDL_STARTMENU},
      {L"CSIDL_STARTUP", CSIDL_STARTUP},
      {L"CSIDL_SYSTEM", CSIDL_SYSTEM},
      {L"CSIDL_SYSTEMX86", CSIDL_SYSTEMX86},
      {L"CSIDL_TEMPLATES", CSIDL_TEMPLATES},
      {L"CSIDL_WINDOWS", CSIDL_WINDOWS},
  };
  ASSERT_EQ(names.size(), 60u);
  for (const auto& [name, number] : names) {
    std::wstring lower = name;
    for (auto& c : lower) c = static_cast<wchar_t>(::towlower(c));
    for (const std::wstring& spelling : {std::wstring(name), lower}) {
      DWORD found = 0;
      EXPECT_TRUE(FindSpecialFolderNumber(spelling.c_str(), found)) << Narrow(spelling);
      EXPECT_EQ(found, number) << Narrow(spelling);
    }
  }
  DWORD found = 0;
  EXPECT_FALSE(FindSpecialFolderNumber(L"CSIDL_", found));
  EXPECT_FALSE(FindSpecialFolderNumber(L"CSIDL_WINDOWSX", found));
}

}  // namespace
