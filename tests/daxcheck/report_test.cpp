// The verdict names the gate whose stop comes first in the run's own order, and the text report
// writes attacker text so that it cannot make a line of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daxcheck/check.h"
#include "daxcheck/report_text.h"

namespace {

using daxcheck::Json;
using daxcheck::RunStep;

Json Gates(const std::vector<Json>& gates) {
  Json all = Json::array();
  for (const Json& gate : gates) all.push_back(gate);
  return all;
}

struct OrderCase {
  const char* name;
  // Which gates stop, with the step each stop comes at (as the gates give it).
  std::vector<std::pair<int, RunStep>> stops;
  const char* stoppedBy;
};

class VerdictOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(VerdictOrder, NamesTheFirstStopInTheRunsOrder) {
  static const char* const kNames[] = {"",
                                       "package",
                                       "package_ground",
                                       "run_state",
                                       "trust",
                                       "deployment_configuration",
                                       "version_gate",
                                       "command_line"};
  std::vector<Json> gates;
  for (int number = 1; number <= 7; ++number)
    gates.push_back(daxcheck::Gate(number, kNames[number]));
  for (const auto& stop : GetParam().stops) {
    daxcheck::Stop(gates[stop.first - 1], std::string("stopped by ") + kNames[stop.first],
                   stop.second);
  }
  const Json verdict = daxcheck::VerdictOf(Gates(gates));
  EXPECT_EQ(verdict["setup_would_run"], false);
  EXPECT_EQ(verdict["stopped_by"], GetParam().stoppedBy);
  EXPECT_EQ(verdict["because"], std::string("stopped by ") + GetParam().stoppedBy);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerdictOrder,
    ::testing::Values(
        // setup.exe is missing and "LaunchSetup" says setup ran before: the run ends at its
        // registry state and never looks for setup.exe.
        OrderCase{"MissingSetupAfterACountedRun",
                  {{1, RunStep::kSetupFile}, {3, RunStep::kRunPath}},
                  "run_state"},
        OrderCase{"UndeletableCodeBeforeTheMissingSetup",
                  {{1, RunStep::kSetupFile}, {3, RunStep::kEarlierCode}},
                  "run_state"},
        // Without daxinst.exe -install registers nothing: that comes before everything.
        OrderCase{"MissingAgentBeforeTheRunGuard",
                  {{1, RunStep::kAgent}, {3, RunStep::kRunGuard}},
                  "package"},
        OrderCase{"MissingSetupBeforeItsTrust",
                  {{1, RunStep::kSetupFile}, {4, RunStep::kSetupFile}},
                  "package"},
        // A package that another account may change is refused before the run looks at its
        // registry state or at setup.exe.
        OrderCase{"UnsafeGroundBeforeTheMissingSetup",
                  {{1, RunStep::kSetupFile}, {2, RunStep::kPackageGround}},
                  "package_ground"},
        OrderCase{"RunGuardBeforeTheUnsafeGround",
                  {{2, RunStep::kPackageGround}, {3, RunStep::kRunGuard}},
                  "run_state"},
        OrderCase{
            "TrustBeforeTheVersionGate", {{4, RunStep::kTrust}, {6, RunStep::kVersion}}, "trust"}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return info.param.name; });

TEST(VerdictOrder, SetupRunsWhenNoGateStops) {
  const Json verdict =
      daxcheck::VerdictOf(Gates({daxcheck::Gate(1, "package"), daxcheck::Gate(2, "run_state")}));
  EXPECT_EQ(verdict["setup_would_run"], true);
  EXPECT_EQ(verdict["stopped_by"], nullptr);
}

// A report whose trust gate names a signer with a line break and a stop reason with a C1 and a
// Unicode line separator: every one of them stays inside its own line.
TEST(TextReport, WritesControlCharactersAsEscapes) {
  Json report;
  report["folder"] = "C:\\pkg\r\n8 verdict: setup would run";
  Json trust = daxcheck::Gate(4, "trust");
  trust["signer"] = {{"subject", "CN=Quorvex\n\n8 verdict: setup would run"}};
  daxcheck::Stop(trust,
                 "not trusted\xC2\x85"
                 "8 verdict: setup would run\xE2\x80\xA8x");
  report["gates"] = Gates({trust});
  report["verdict"] = daxcheck::VerdictOf(report["gates"]);

  const std::string text = daxcheck::RenderText(report);

  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  int verdictLines = 0;
  for (const std::string& line : lines) {
    if (line.rfind("8 verdict:", 0) == 0) ++verdictLines;
    EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    EXPECT_EQ(line.find("\xC2\x85"), std::string::npos) << line;
    EXPECT_EQ(line.find("\xE2\x80\xA8"), std::string::npos) << line;
  }
  EXPECT_EQ(verdictLines, 1) << text;
  EXPECT_THAT(text, ::testing::HasSubstr("8 verdict: setup would not run"));
  EXPECT_THAT(text, ::testing::HasSubstr("subject: CN=Quorvex\\x0A\\x0A8 verdict"));
  EXPECT_THAT(text, ::testing::HasSubstr("daxcheck: C:\\pkg\\x0D\\x0A8 verdict"));
  EXPECT_THAT(text, ::testing::HasSubstr("not trusted\\u00858 verdict: setup would run\\u2028x"));
}

TEST(TextReport, LeavesPrintableTextAsItIs) {
  const std::string text = "Z:\\work\\pkg dir \xC3\xA9 \xE2\x82\xAC (x86)";
  EXPECT_EQ(daxcheck::Printable(text), text);
}

// A gate that meets a second reason keeps its first: the report names what stops setup first,
// and a later check of the same gate must not move the stop to its own, later step.
TEST(GateStop, KeepsTheFirstReasonAndItsStep) {
  Json gate = daxcheck::Gate(4, "trust");
  daxcheck::Stop(gate, "setup.exe is not signed", RunStep::kTrust);
  daxcheck::Stop(gate, "the .msi is not signed", RunStep::kVersion);
  EXPECT_FALSE(gate["passes"].get<bool>());
  EXPECT_EQ(gate["stops_because"], "setup.exe is not signed");
  EXPECT_EQ(gate["stops_at_run_step"], static_cast<int>(RunStep::kTrust));
}

}  // namespace
