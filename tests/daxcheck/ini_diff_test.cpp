// The report's list of what the option writers would change in setAid.ini: every key added,
// changed or removed, and nothing else. Sections and keys match as the profile functions match
// them, without regard to case; values are compared exactly.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "daxcheck/ini_diff.h"

namespace {

using daxcheck::IniContents;
using daxcheck::Json;

struct DiffCase {
  const char* name;
  IniContents before;
  IniContents after;
  const char* changes;  // the expected list, as JSON
};

void PrintTo(const DiffCase& diffCase, std::ostream* out) { *out << diffCase.name; }

class IniDiff : public ::testing::TestWithParam<DiffCase> {};

TEST_P(IniDiff, ListsEveryKeyAddedChangedOrRemoved) {
  const Json changes = daxcheck::IniChanges(GetParam().before, GetParam().after);
  EXPECT_EQ(changes, Json::parse(GetParam().changes)) << changes.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniDiff,
    ::testing::Values(
        DiffCase{"Unchanged",
                 {{"Setup", {{"Destination", "C:\\Q"}, {"AutoReboot", "false"}}}},
                 {{"Setup", {{"Destination", "C:\\Q"}, {"AutoReboot", "false"}}}},
                 "[]"},
        DiffCase{"ValueChanged",
                 {{"Setup", {{"Destination", "C:\\Q"}, {"AutoReboot", "false"}}}},
                 {{"Setup", {{"Destination", "C:\\Q"}, {"AutoReboot", "true"}}}},
                 R"([{"change":"change","section":"Setup","key":"AutoReboot",
                      "from":"false","value":"true"}])"},
        DiffCase{"ValueChangedOnlyInCase",
                 {{"Setup", {{"AutoReboot", "false"}}}},
                 {{"Setup", {{"AutoReboot", "False"}}}},
                 R"([{"change":"change","section":"Setup","key":"AutoReboot",
                      "from":"false","value":"False"}])"},
        DiffCase{"ValueEmptied",
                 {{"Setup", {{"AutoReboot", "false"}}}},
                 {{"Setup", {{"AutoReboot", ""}}}},
                 R"([{"change":"change","section":"Setup","key":"AutoReboot",
                      "from":"false","value":""}])"},
        DiffCase{"KeyAdded",
                 {{"Setup", {{"Destination", "C:\\Q"}}}},
                 {{"Setup", {{"Destination", "C:\\Q"}, {"AutoReboot", "true"}}}},
                 R"([{"change":"add","section":"Setup","key":"AutoReboot","value":"true"}])"},
        DiffCase{"KeyRemoved",
                 {{"Features", {{"Firewall", "1"}, {"Sandbox", "1"}}}},
                 {{"Features", {{"Firewall", "1"}}}},
                 R"([{"change":"remove","section":"Features","key":"Sandbox","from":"1"}])"},
        DiffCase{"SectionEmptiedLosesEveryKey",
                 {{"Features", {{"Firewall", "1"}, {"Sandbox", "0"}}}},
                 {{"Features", {}}},
                 R"([{"change":"remove","section":"Features","key":"Firewall","from":"1"},
                     {"change":"remove","section":"Features","key":"Sandbox","from":"0"}])"},
        DiffCase{"SectionAndKeyMatchWithoutRegardToCase",
                 {{"Setup", {{"AutoReboot", "true"}}}},
                 {{"SETUP", {{"autoreboot", "true"}}}},
                 "[]"},
        DiffCase{"SameKeyInAnotherSectionIsAnotherKey",
                 {{"Setup", {{"Level", "1"}}}},
                 {{"Logging", {{"Level", "1"}}}},
                 R"([{"change":"add","section":"Logging","key":"Level","value":"1"},
                     {"change":"remove","section":"Setup","key":"Level","from":"1"}])"},
        DiffCase{"AddedAndChangedInTheNewOrderThenRemovedInTheOldOrder",
                 {{"A", {{"gone1", "x"}, {"kept", "1"}}}, {"B", {{"gone2", "y"}}}},
                 {{"B", {{"new", "n"}}}, {"A", {{"kept", "2"}}}},
                 R"([{"change":"add","section":"B","key":"new","value":"n"},
                     {"change":"change","section":"A","key":"kept","from":"1","value":"2"},
                     {"change":"remove","section":"A","key":"gone1","from":"x"},
                     {"change":"remove","section":"B","key":"gone2","from":"y"}])"}),
    [](const ::testing::TestParamInfo<DiffCase>& info) { return info.param.name; });

}  // namespace
