#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sharedlib/isolation.h"
#include "sharedlib_test_support.h"
#include "support/test_support.h"

namespace {

using sharedlib::ReadIsolateIni;
using sharedlib_test::Narrow;
using sharedlib_test::Utf16File;
using sharedlib_test::Widen;

struct IniCase {
  const char* label;
  std::string bytes;  // the file as stored
  const wchar_t* section;
  const wchar_t* key;
  std::wstring expected;
};

// The section and key follow a NUL byte: the text ends before them.
constexpr char kGarbage[] = "\x01\x9c\xff\x00[isolation]\r\nsilo=x";

std::string Ansi(const std::string& text) { return text; }

const std::vector<IniCase>& IniCases() {
  static const std::vector<IniCase> cases = {
      {"Utf16WithBom", Utf16File(L"[isolation]\r\nsilo={A}\r\nreghive=Software\\X\r\n"),
       L"isolation", L"reghive", L"Software\\X"},
      {"Utf16NonAscii", Utf16File(L"[isolation]\r\nreghive=Software\\\x00C9t\x00E9\x4E2D\r\n"),
       L"isolation", L"reghive", L"Software\\\x00C9t\x00E9\x4E2D"},
      {"EightBit", Ansi("[isolation]\r\nsilo={B}\r\n"), L"isolation", L"silo", L"{B}"},
      {"BlanksAndTabsTrimmed", Ansi("  \t[isolation]  \r\n\t silo \t=\t {C} \t\r\n"), L"isolation",
       L"silo", L"{C}"},
      {"NamesIgnoreCase", Ansi("[ISOLATION]\r\nSILO={D}\r\n"), L"isolation", L"silo", L"{D}"},
      {"CommentLinesSkipped",
       Ansi("; silo=wrong\r\n[isolation]\r\n# silo=wrong\r\n;silo=wrong\r\nsilo={E}\r\n"),
       L"isolation", L"silo", L"{E}"},
      {"KeyAfterLaterSectionLine", Ansi("[isolation]\r\n[other]\r\nsilo={F}\r\n"), L"isolation",
       L"silo", L"{F}"},
      {"KeyBeforeSectionIgnored", Ansi("silo={wrong}\r\n[isolation]\r\n"), L"isolation", L"silo",
       L"default"},
      {"SectionMissing", Ansi("[other]\r\nsilo={G}\r\n"), L"isolation", L"silo", L"default"},
      {"KeyMissing", Ansi("[isolation]\r\nreghive=x\r\n"), L"isolation", L"silo", L"default"},
      {"KeyWithoutEquals", Ansi("[isolation]\r\nsilo {H}\r\n"), L"isolation", L"silo", L"default"},
      {"ValueAfterFirstEquals", Ansi("[isolation]\r\nsilo=a=b\r\n"), L"isolation", L"silo", L"a=b"},
      {"EmptyValue", Ansi("[isolation]\r\nsilo=\r\n"), L"isolation", L"silo", L""},
      {"NoFinalLineEnd", Ansi("[isolation]\r\nsilo={I}"), L"isolation", L"silo", L"{I}"},
      {"LineFeedOnly", Ansi("[isolation]\nsilo={J}\n"), L"isolation", L"silo", L"{J}"},
      {"EmptyFile", Ansi(""), L"isolation", L"silo", L"default"},
      {"GarbageBeforeNul", std::string(kGarbage, sizeof(kGarbage) - 1), L"isolation", L"silo",
       L"default"},
      {"BinaryNoise", Ansi("\x8f\x01\xfe\x80silo=\x90\r\n\x7f"), L"isolation", L"silo", L"default"},
      {"BomOnlyOddLength", std::string("\xFF\xFE[", 3), L"isolation", L"silo", L"default"},
  };
  return cases;
}

class IsolateIniTest : public ::testing::TestWithParam<IniCase> {
 protected:
  testing_support::TempFolder folder_{"isolate_ini"};
  std::wstring Path() const { return Widen(folder_.path() + "\\isolate.ini"); }
};

TEST_P(IsolateIniTest, ReadsKeyOrDefault) {
  const IniCase& c = GetParam();
  testing_support::WriteFileBytes(Narrow(Path()), c.bytes);
  wchar_t out[100] = {L'?'};
  const size_t length = ReadIsolateIni(c.section, c.key, L"default", out, 100, Path().c_str());
  EXPECT_EQ(std::wstring(out), c.expected);
  EXPECT_EQ(length, c.expected.size());
}

INSTANTIATE_TEST_SUITE_P(Files, IsolateIniTest, ::testing::ValuesIn(IniCases()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(IsolateIni, MissingFileGivesDefault) {
  wchar_t out[40] = {};
  EXPECT_EQ(ReadIsolateIni(L"isolation", L"silo", L"dflt", out, 40, L"C:\\no\\such\\isolate.ini"),
            4u);
  EXPECT_STREQ(out, L"dflt");
}

TEST(IsolateIni, LongValueIsCutToTheBuffer) {
  testing_support::TempFolder folder("isolate_ini_long");
  const std::string path = folder.path() + "\\isolate.ini";
  testing_support::WriteFileBytes(path, "[isolation]\r\nsilo=0123456789\r\n");
  wchar_t out[6] = {};
  EXPECT_EQ(ReadIsolateIni(L"isolation", L"silo", L"", out, 6, Widen(path).c_str()), 5u);
  EXPECT_STREQ(out, L"01234");
}

}  // namespace
