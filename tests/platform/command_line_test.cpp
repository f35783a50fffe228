#include "platform/command_line.h"

#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/unique_handle.h"

namespace {

struct SplitCase {
  const char* name;
  const wchar_t* line;
  std::vector<std::wstring> arguments;
};

void PrintTo(const SplitCase& c, std::ostream* out) { *out << c.name; }

std::vector<std::wstring> SplitByTheShell(const wchar_t* line) {
  int count = 0;
  platform::UniqueArgumentVector vector(::CommandLineToArgvW(line, &count));
  std::vector<std::wstring> arguments;
  if (!vector) return arguments;
  for (int i = 0; i < count; ++i) arguments.emplace_back(vector.get()[i]);
  return arguments;
}

class SplitCommandLine : public ::testing::TestWithParam<SplitCase> {};

// The verbs decide from the second argument alone, and whether there is one at all: a command
// line split otherwise than the shell splits it would run the service where a verb was asked, or
// a verb where the SCM started the service. Each case is checked against the expected arguments
// and against CommandLineToArgvW itself.
TEST_P(SplitCommandLine, GivesTheArgumentsTheShellGives) {
  EXPECT_EQ(platform::SplitCommandLine(GetParam().line), GetParam().arguments);
  // CommandLineToArgvW gives the executable's own path for an empty line; the process's own
  // command line is never empty.
  if (*GetParam().line) {
    EXPECT_EQ(platform::SplitCommandLine(GetParam().line), SplitByTheShell(GetParam().line));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitCommandLine,
    ::testing::Values(
        SplitCase{"ServiceStart", LR"("C:\pkg 1\daxinst.exe")", {LR"(C:\pkg 1\daxinst.exe)"}},
        SplitCase{"ServiceStartUnquoted", LR"(C:\pkg\daxinst.exe)", {LR"(C:\pkg\daxinst.exe)"}},
        SplitCase{"TrailingBlanks", L"daxinst.exe  \t ", {L"daxinst.exe"}},
        SplitCase{"Verb", L"daxinst.exe -install", {L"daxinst.exe", L"-install"}},
        SplitCase{"QuotedProgramAndVerb",
                  LR"("C:\a b\daxinst.exe" -uninstall)",
                  {LR"(C:\a b\daxinst.exe)", L"-uninstall"}},
        SplitCase{"ProgramQuoteEndsInside", LR"("C:\a"b -stop)", {LR"(C:\a)", L"b", L"-stop"}},
        SplitCase{"TabsSeparate", L"d.exe\t-start\tx", {L"d.exe", L"-start", L"x"}},
        SplitCase{"EmptyQuotedArgumentCounts", LR"(d.exe "")", {L"d.exe", L""}},
        SplitCase{"QuotedVerb", LR"(d.exe "-debug")", {L"d.exe", L"-debug"}},
        SplitCase{"QuoteInsideWord", LR"(d.exe -in"st all")", {L"d.exe", L"-inst all"}},
        SplitCase{"EvenBackslashesBeforeQuote", LR"(d.exe a\\"b c")", {L"d.exe", LR"(a\b c)"}},
        SplitCase{"OddBackslashesBeforeQuote", LR"(d.exe a\\\"b)", {L"d.exe", LR"(a\"b)"}},
        SplitCase{"BackslashesNotBeforeQuote", LR"(d.exe a\\b\)", {L"d.exe", LR"(a\\b\)"}},
        SplitCase{"DoubledQuoteInsideQuotes", LR"(d.exe "a""b")", {L"d.exe", LR"(a"b)"}},
        SplitCase{"UnclosedQuote", LR"(d.exe "-stop x)", {L"d.exe", L"-stop x"}},
        SplitCase{"NonAsciiVerb", L"d.exe -\uff49nstall", {L"d.exe", L"-\uff49nstall"}},
        SplitCase{"LeadingBlank", L" -install", {L"", L"-install"}},
        SplitCase{"Empty", L"", {L""}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

}  // namespace
