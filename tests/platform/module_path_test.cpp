#include "platform/module_path.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct PathCase {
  const char* name;
  const wchar_t* wide;
  bool same;
  const char* narrow;  // the conversion without best fit
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

class NarrowPackagePath : public ::testing::TestWithParam<PathCase> {};

// The fault this pins: the package folder came from GetModuleFileNameA, whose conversion
// best-fits: a folder named with FULLWIDTH LATIN CAPITAL LETTER A was read as the folder with a
// plain A, which may exist and hold another package. Only a narrow form that names the same
// folder exactly is used; every other is refused. The cases are those of code page 1252.
TEST_P(NarrowPackagePath, IsUsedOnlyWhenItNamesTheSameFolderExactly) {
  if (::GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << ::GetACP() << ", not 1252";
  std::string narrow;
  EXPECT_EQ(platform::NarrowNamesTheSamePath(GetParam().wide, narrow), GetParam().same);
  EXPECT_EQ(narrow, GetParam().narrow);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, NarrowPackagePath,
    ::testing::Values(
        PathCase{"Ascii", L"C:\\Packages\\pkg 1\\daxinst.exe", true,
                 "C:\\Packages\\pkg 1\\daxinst.exe"},
        PathCase{"LetterOfTheCodePage", L"C:\\Paquet\u00e9\\daxinst.exe", true,
                 "C:\\Paquet\xe9\\daxinst.exe"},
        // Best fit would give C:\PkgA\daxinst.exe.
        PathCase{"FullwidthLetter", L"C:\\Pkg\uff21\\daxinst.exe", false, "C:\\Pkg?\\daxinst.exe"},
        // Best fit would give C:\Pkg\..\daxinst.exe: a backslash that was not there.
        PathCase{"FullwidthReverseSolidus", L"C:\\Pkg\uff3c..\\daxinst.exe", false,
                 "C:\\Pkg?..\\daxinst.exe"},
        PathCase{"LetterOfAnotherScript", L"C:\\\u0416\\daxinst.exe", false, "C:\\?\\daxinst.exe"},
        PathCase{"Empty", L"", false, ""}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

// This program's own path is read and named exactly where the test runs.
TEST(OwnModulePath, IsTheWidePathConvertedOnce) {
  std::string path;
  std::wstring wide;
  ASSERT_EQ(platform::ReadOwnModulePath(path, &wide), platform::ModulePathRead::kRead);
  wchar_t system[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameW(nullptr, system, MAX_PATH), 0u);
  EXPECT_EQ(wide, std::wstring(system));
  std::string narrow;
  EXPECT_TRUE(platform::NarrowNamesTheSamePath(wide, narrow));
  EXPECT_EQ(path, narrow);
  std::string viaBool;
  EXPECT_TRUE(platform::GetOwnModulePath(viaBool));
  EXPECT_EQ(viaBool, path);
}

}  // namespace
