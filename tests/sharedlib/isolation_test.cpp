#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/unique_handle.h"
#include "sharedlib/isolation.h"
#include "sharedlib/path_expansion.h"
#include "sharedlib_test_support.h"
#include "support/test_support.h"

namespace {

using namespace sharedlib;
using namespace sharedlib_test;

struct GuidCase {
  const wchar_t* text;
  bool braced;
};

class BracedGuidTest : public ::testing::TestWithParam<GuidCase> {};

TEST_P(BracedGuidTest, Recognises) {
  EXPECT_EQ(IsBracedGuid(GetParam().text), GetParam().braced) << Narrow(GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BracedGuidTest,
    ::testing::Values(GuidCase{L"{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5B}", true},
                      GuidCase{L"{9a1c2e44-5b6d-4f70-8a9b-0c1d2e3f4a5b}", true},
                      GuidCase{L"{00000000-0000-0000-0000-000000000000}", true},
                      // last digit before the brace is not hexadecimal
                      GuidCase{L"{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5G}", false},
                      GuidCase{L"{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5B", false},
                      GuidCase{L"9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5B}", false},
                      GuidCase{L"(9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5B)", false},
                      GuidCase{L"{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5B}x", false},
                      GuidCase{L"{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5}", false},
                      GuidCase{L"{9A1C2E44-5B6D-4F70-8A9B00C1D2E3F4A5B}", false},
                      GuidCase{L"{9A1C2E4-45B6D-4F70-8A9B-0C1D2E3F4A5B}", false},
                      GuidCase{L"{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A-B}", false},
                      GuidCase{L"{ 9A1C2E4-5B6D-4F70-8A9B-0C1D2E3F4A5B}", false},
                      GuidCase{L"", false}, GuidCase{nullptr, false}));

TEST(Isolation, OwnExecutableHasTheTestSilo) {
  wchar_t silo[kSiloNameChars] = {};
  EXPECT_EQ(GetSiloName(::GetModuleHandleW(nullptr), silo, kSiloNameChars), 0u);
  EXPECT_STREQ(silo, kTestSilo);
  wchar_t hive[kRegistryHiveChars] = {};
  EXPECT_EQ(CIsolation::GetRegistryHive(::GetModuleHandleW(nullptr), hive, kRegistryHiveChars), 0u);
  EXPECT_STREQ(hive, kDefaultHive);
  EXPECT_TRUE(InitIsolation());
  EXPECT_EQ(GetSiloRegistryRoot(), std::wstring(kDefaultHive) + L"\\" + kTestSilo);
  EXPECT_EQ(GetContextSiloName(), kTestSilo);
}

TEST(Isolation, BadArgumentsAreRefused) {
  const HMODULE self = ::GetModuleHandleW(nullptr);
  wchar_t buffer[kRegistryHiveChars] = {};
  EXPECT_EQ(GetSiloName(nullptr, buffer, kSiloNameChars), 87u);
  EXPECT_EQ(GetSiloName(self, nullptr, kSiloNameChars), 87u);
  EXPECT_EQ(GetSiloName(self, buffer, 37), 87u);
  EXPECT_EQ(CIsolation::GetRegistryHive(nullptr, buffer, kRegistryHiveChars), 87u);
  EXPECT_EQ(CIsolation::GetRegistryHive(self, nullptr, kRegistryHiveChars), 87u);
  EXPECT_EQ(CIsolation::GetRegistryHive(self, buffer, 99), 87u);
}

// Copies of the probe module in folders below a TEMP tree, each with the isolate.ini a case
// needs somewhere above it.
class IsolateIniSearchTest : public ::testing::Test {
 protected:
  IsolateIniSearchTest() : tree_("daxinst_isolation_search") {}

  HMODULE LoadProbe(const std::string& relativeFolder) {
    const std::string folder = tree_.MakeFolder(relativeFolder);
    const std::string path = folder + "\\probe.dll";
    EXPECT_TRUE(testing_support::CopyFileTo(
        testing_support::ExecutableDirectory() + "\\isolation_probe.dll", path));
    probe_.reset(::LoadLibraryA(path.c_str()));
    EXPECT_TRUE(probe_) << path;
    return probe_.get();
  }
  void WriteIni(const std::string& relativeFolder, const std::string& bytes) {
    testing_support::WriteFileBytes(tree_.MakeFolder(relativeFolder) + "\\isolate.ini", bytes);
  }
  ~IsolateIniSearchTest() override { probe_.reset(); }

  TempTree tree_;
  platform::UniqueLibrary probe_;
};

TEST_F(IsolateIniSearchTest, FindsTheFileTwoFoldersUpWithItsHive) {
  WriteIni("top",
           "[isolation]\r\nsilo={11111111-2222-3333-4444-55555555AAAA}\r\n"
           "reghive=Software\\Quorvex\\IsolationSearch\r\n");
  const HMODULE probe = LoadProbe("top\\a\\b");
  wchar_t silo[kSiloNameChars] = {};
  EXPECT_EQ(GetSiloName(probe, silo, kSiloNameChars), 0u);
  EXPECT_STREQ(silo, L"{11111111-2222-3333-4444-55555555AAAA}");
  // The hive key does not exist: it is kept all the same.
  wchar_t hive[kRegistryHiveChars] = {};
  EXPECT_EQ(CIsolation::GetRegistryHive(probe, hive, kRegistryHiveChars), 0u);
  EXPECT_STREQ(hive, L"Software\\Quorvex\\IsolationSearch");
}

TEST_F(IsolateIniSearchTest, NearestFileWins) {
  WriteIni("top", "[isolation]\r\nsilo={11111111-2222-3333-4444-55555555AAAA}\r\n");
  WriteIni("top\\a", Utf16File(L"[isolation]\r\nsilo={11111111-2222-3333-4444-55555555BBBB}\r\n"));
  wchar_t silo[kSiloNameChars] = {};
  EXPECT_EQ(GetSiloName(LoadProbe("top\\a\\b"), silo, kSiloNameChars), 0u);
  EXPECT_STREQ(silo, L"{11111111-2222-3333-4444-55555555BBBB}");
}

TEST_F(IsolateIniSearchTest, NoFileAnywhereAbove) {
  const HMODULE probe = LoadProbe("lonely");
  wchar_t silo[kSiloNameChars] = {L'x'};
  EXPECT_EQ(GetSiloName(probe, silo, kSiloNameChars), 2u);
  wchar_t hive[kRegistryHiveChars] = {};
  EXPECT_EQ(CIsolation::GetRegistryHive(probe, hive, kRegistryHiveChars), 0u);
  EXPECT_STREQ(hive, kDefaultHive);
}

TEST_F(IsolateIniSearchTest, DriveRootIsSearchedToo) {
  char windows[MAX_PATH] = {};
  ::GetWindowsDirectoryA(windows, MAX_PATH);
  const std::string rootIni = std::string(windows, 3) + "isolate.ini";
  ASSERT_EQ(::GetFileAttributesA(rootIni.c_str()), INVALID_FILE_ATTRIBUTES) << rootIni;
  testing_support::WriteFileBytes(rootIni,
                                  "[isolation]\r\nsilo={11111111-2222-3333-4444-55555555CCCC}\r\n");
  wchar_t silo[kSiloNameChars] = {};
  const DWORD result = GetSiloName(LoadProbe("deep\\er"), silo, kSiloNameChars);
  testing_support::DeleteFileIfPresent(rootIni);
  EXPECT_EQ(result, 0u);
  EXPECT_STREQ(silo, L"{11111111-2222-3333-4444-55555555CCCC}");
}

TEST_F(IsolateIniSearchTest, SiloThatIsNotABracedGuidIsEmptied) {
  WriteIni("bad", "[isolation]\r\nsilo={11111111-2222-3333-4444-55555555AAAG}\r\n");
  wchar_t silo[kSiloNameChars] = {};
  EXPECT_EQ(GetSiloName(LoadProbe("bad"), silo, kSiloNameChars), 13u);
  EXPECT_STREQ(silo, L"");
}

TEST_F(IsolateIniSearchTest, ValuesThatFillTheBuffer) {
  WriteIni("long", "[isolation]\r\nsilo={11111111-2222-3333-4444-55555555AAAA}0\r\nreghive=" +
                       std::string(99, 'h') + "\r\n");
  const HMODULE probe = LoadProbe("long");
  wchar_t silo[kSiloNameChars] = {};
  EXPECT_EQ(GetSiloName(probe, silo, kSiloNameChars), 122u);
  wchar_t hive[kRegistryHiveChars] = {};
  EXPECT_EQ(CIsolation::GetRegistryHive(probe, hive, kRegistryHiveChars), 122u);
}

TEST_F(IsolateIniSearchTest, EmptyHiveIsInvalid) {
  WriteIni("empty", "[isolation]\r\nreghive=\r\n");
  wchar_t hive[kRegistryHiveChars] = {};
  EXPECT_EQ(CIsolation::GetRegistryHive(LoadProbe("empty"), hive, kRegistryHiveChars), 13u);
}

// The isolation context is set up once per process, so the cases about its set-up run in a
// copy of this executable placed where they need it.
class FreshProcessTest : public ::testing::Test {
 protected:
  FreshProcessTest() : tree_("daxinst_isolation_fresh") {}
  void ExpectScenarioPasses(const std::string& folder, const std::string& scenario) {
    const auto exitCode = RunFreshProcess(folder, scenario);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0u) << scenario;
  }
  TempTree tree_;
};

TEST_F(FreshProcessTest, WithoutIsolateIni) {
  ExpectScenarioPasses(tree_.MakeFolder("none"), "NoIsolateIni");
}

TEST_F(FreshProcessTest, InvalidSilo) {
  const std::string folder = tree_.MakeFolder("invalid");
  testing_support::WriteFileBytes(folder + "\\isolate.ini",
                                  "[isolation]\r\nsilo={9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5Z}\r\n");
  ExpectScenarioPasses(folder, "InvalidSilo");
}

TEST_F(FreshProcessTest, EightBitIniWithHiveAndBaseReplacement) {
  testing_support::WriteFileBytes(tree_.MakeFolder("root") + "\\isolate.ini",
                                  "# installation root\r\n[isolation]\r\n"
                                  "silo = {9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5B}\r\n"
                                  "reghive = Software\\Quorvex\\FreshHive\r\n");
  ExpectScenarioPasses(tree_.MakeFolder("root\\bin"), "HiveAndBase");
}

// The scenarios themselves; in an ordinary run they have nothing to do.
class FreshProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    if (FreshScenario() != name) GTEST_SKIP() << "runs only in a fresh process";
  }
};

TEST_F(FreshProcess, NoIsolateIni) {
  EXPECT_FALSE(InitIsolation());
  EXPECT_EQ(GetSiloRegistryRoot(), L"");
  std::wstring out = L"untouched";
  EXPECT_EQ(ExpandPath(L"%CSIDL_WINDOWS%\\x", out), 0);
  EXPECT_EQ(out, L"untouched");
  EXPECT_FALSE(SetSiloRegistryBase(L"Software\\Quorvex\\Tarvane"));
  // A failed set-up is tried again, here with a silo given by the caller.
  EXPECT_TRUE(InitIsolation(L"{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5B}"));
  EXPECT_EQ(GetSiloRegistryRoot(),
            std::wstring(kDefaultHive) + L"\\{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5B}");
  // Once set up, a later silo changes nothing.
  EXPECT_TRUE(InitIsolation(L"{00000000-0000-0000-0000-000000000000}"));
  EXPECT_EQ(GetContextSiloName(), L"{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5B}");
}

TEST_F(FreshProcess, InvalidSilo) {
  EXPECT_FALSE(InitIsolation());
  EXPECT_FALSE(InitIsolation(L"{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5Z}"));
  std::wstring out = L"untouched";
  EXPECT_EQ(ExpandPath(L"plain", out), 0);
  EXPECT_EQ(out, L"untouched");
}

TEST_F(FreshProcess, HiveAndBase) {
  const std::wstring expectedRoot = L"Software\\Quorvex\\FreshHive\\" + std::wstring(kTestSilo);
  std::vector<std::wstring> roots(8);
  std::vector<std::thread> threads;
  for (auto& root : roots) threads.emplace_back([&root] { root = GetSiloRegistryRoot(); });
  for (auto& thread : threads) thread.join();
  for (const auto& root : roots) EXPECT_EQ(root, expectedRoot);

  EXPECT_TRUE(SetSiloRegistryBase(L"SOFTWARE\\Quorvex\\Tarvane"));
  EXPECT_EQ(GetSiloRegistryRoot(), L"SOFTWARE\\Quorvex\\Tarvane\\" + std::wstring(kTestSilo));
  // Only the first replacement counts.
  EXPECT_TRUE(SetSiloRegistryBase(L"Software\\Elsewhere"));
  EXPECT_TRUE(SetSiloRegistryBase());
  EXPECT_EQ(GetSiloRegistryRoot(), L"SOFTWARE\\Quorvex\\Tarvane\\" + std::wstring(kTestSilo));
}

}  // namespace
