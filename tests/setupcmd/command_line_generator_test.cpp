#include "setupcmd/command_line_generator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <msi.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "diag/log.h"
#include "support/fresh_log.h"
#include "support/test_support.h"

namespace setupcmd {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using testing_support::ExecutableDirectory;
using testing_support::FixtureMsi;
using testing_support::LogPath;
using testing_support::RunMsiexec;
// Each test reads only its own lines.
using testing_support::StartFreshLog;

std::vector<std::string> LoggedErrors() {
  std::vector<std::string> errors;
  for (const std::string& line : testing_support::LogMessages(LogPath())) {
    if (line.rfind("ERROR:", 0) == 0) errors.push_back(line);
  }
  return errors;
}

// What setup.exe is always started with, whatever the deployment settings add.
std::string CommandLinePrefix(const std::string& packageDirectory) {
  return "\"" + packageDirectory + "\\setup.exe\" /w /s /v\"";
}

// ---------------------------------------------------------------------------------------------
// Version texts

struct ParseCase {
  const char* text;
  VersionNumbers expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ParseVersionTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseVersionTest, SplitsAtDotsWithStrtolComponents) {
  EXPECT_EQ(CommandLineGenerator::ParseVersion(GetParam().text), GetParam().expected)
      << "version text \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(Texts, ParseVersionTest,
                         ::testing::Values(ParseCase{"5.1.20", {5, 1, 20}},
                                           ParseCase{"1..2", {1, 0, 2}}, ParseCase{"1.2.", {1, 2}},
                                           ParseCase{"", {}}, ParseCase{".", {0}},
                                           ParseCase{"12.x.3", {12, 0, 3}}, ParseCase{" 7", {7}},
                                           ParseCase{"-1.2", {-1, 2}}, ParseCase{"3a.4", {3, 4}},
                                           ParseCase{"99999999999", {2147483647}},
                                           ParseCase{"-99999999999.1", {-2147483647 - 1, 1}},
                                           ParseCase{"12.65536", {12, 65536}}));

// ---------------------------------------------------------------------------------------------
// Windows Installer user interface level

TEST(CommandLineGeneratorUiLevel, SilentWhileTheGeneratorLivesAndRestoredAfter) {
  const INSTALLUILEVEL original = ::MsiSetInternalUI(INSTALLUILEVEL_BASIC, nullptr);
  {
    CommandLineGenerator generator("C:\\nowhere");
    EXPECT_EQ(::MsiSetInternalUI(INSTALLUILEVEL_NOCHANGE, nullptr), INSTALLUILEVEL_NONE);
  }
  EXPECT_EQ(::MsiSetInternalUI(INSTALLUILEVEL_NOCHANGE, nullptr), INSTALLUILEVEL_BASIC);
  ::MsiSetInternalUI(original, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Packages with nothing installed to compare against

class PackageWithoutInstalledProductTest : public ::testing::Test {
 protected:
  void SetUp() override { StartFreshLog(); }
  testing_support::TempFolder package_{"package_alone"};
  char out_[kCommandLineBufferSize] = {};
};

TEST_F(PackageWithoutInstalledProductTest, NoRelatedProductPassesWithEmptyInstalledVersion) {
  ASSERT_TRUE(testing_support::CopyFileTo(FixtureMsi("package_e_12.1.9.msi"),
                                          package_.path() + "\\client.msi"));
  CommandLineGenerator generator(package_.path());

  EXPECT_EQ(generator.GenerateCommandLine(out_), kCommandLineReady);

  const auto lines = testing_support::LogMessages(LogPath());
  EXPECT_THAT(lines, Contains("New Version = 12.1.9 Installed Version = "));
  EXPECT_THAT(LoggedErrors(),
              ::testing::ElementsAre("ERROR: MsiEnumRelatedProducts failed with error 259"));
  EXPECT_THAT(std::string(out_), StartsWith(CommandLinePrefix(package_.path())));
}

TEST_F(PackageWithoutInstalledProductTest, DirectoryWithTrailingBackslashFindsItsPackage) {
  ASSERT_TRUE(testing_support::CopyFileTo(FixtureMsi("package_e_12.1.9.msi"),
                                          package_.path() + "\\client.msi"));
  CommandLineGenerator generator(package_.path() + "\\");

  EXPECT_EQ(generator.GenerateCommandLine(out_), kCommandLineReady);

  EXPECT_THAT(testing_support::LogMessages(LogPath()),
              Contains("New Version = 12.1.9 Installed Version = "));
}

TEST_F(PackageWithoutInstalledProductTest, FolderWithoutMsiLogsEveryFailedOpenAndGoesOn) {
  CommandLineGenerator generator(package_.path());

  EXPECT_EQ(generator.GenerateCommandLine(out_), kCommandLineReady);

  const auto lines = testing_support::LogMessages(LogPath());
  EXPECT_THAT(lines, Contains("New Version = 0.0.0.0 Installed Version = "));
  const auto errors = LoggedErrors();
  // Upgrade code and package version each try the folder itself as the database.
  const auto failedOpens = std::count_if(errors.begin(), errors.end(), [&](const std::string& l) {
    return l.rfind("ERROR: MsiOpenDatabase failed with error ", 0) == 0 &&
           l.size() > package_.path().size() &&
           l.compare(l.size() - package_.path().size() - 4, std::string::npos,
                     " on " + package_.path()) == 0;
  });
  EXPECT_EQ(failedOpens, 2) << ::testing::PrintToString(errors);
  EXPECT_THAT(errors, Contains(StartsWith("ERROR: MsiEnumRelatedProducts failed with error ")));
  EXPECT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);
  EXPECT_THAT(std::string(out_), StartsWith(CommandLinePrefix(package_.path())));
}

// Fault: the gate took the first "*.msi" the folder listed; with a decoy that is no database it
// read no product family, compared nothing and passed. Several .msi files are refused, and so is
// one .msi whose family cannot be read; the command line is then not built.
struct MsiSetCase {
  const char* label;
  std::vector<std::pair<std::string, std::string>> files;  // name, fixture (empty: junk bytes)
  std::vector<std::string> folders;
  int result;
  MsiRefusal refusal;
};
void PrintTo(const MsiSetCase& c, std::ostream* os) { *os << c.label; }

class MsiSetTest : public PackageWithoutInstalledProductTest,
                   public ::testing::WithParamInterface<MsiSetCase> {};

TEST_P(MsiSetTest, OnlyOneReadableMsiFilePasses) {
  const MsiSetCase& c = GetParam();
  for (const auto& [name, fixture] : c.files) {
    const std::string path = package_.path() + "\\" + name;
    if (fixture.empty()) {
      testing_support::WriteFileBytes(path, "not a database");
    } else {
      ASSERT_TRUE(testing_support::CopyFileTo(FixtureMsi(fixture.c_str()), path));
    }
  }
  for (const std::string& folder : c.folders) {
    ASSERT_TRUE(::CreateDirectoryA((package_.path() + "\\" + folder).c_str(), nullptr));
  }
  std::memset(out_, '#', sizeof(out_));
  std::vector<std::pair<MsiRefusal, std::string>> reported;
  CommandLineGenerator generator(package_.path());
  generator.reportMsiRefusal = [&](MsiRefusal why, const std::string& line) {
    reported.emplace_back(why, line);
  };

  EXPECT_EQ(generator.GenerateCommandLine(out_), c.result);

  EXPECT_EQ(generator.findings().msiRefusal, c.refusal);
  if (c.result == kCommandLineReady) {
    EXPECT_TRUE(reported.empty());
    EXPECT_THAT(testing_support::LogMessages(LogPath()),
                Contains("New Version = 12.1.9 Installed Version = "));
  } else {
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].first, c.refusal);
    EXPECT_THAT(reported[0].second, ::testing::StartsWith("ERROR: "));
    EXPECT_TRUE(std::all_of(std::begin(out_), std::end(out_), [](char x) { return x == '#'; }));
    EXPECT_TRUE(generator.findings().packageMsiRefused);
  }
  for (const std::string& folder : c.folders) {
    ::RemoveDirectoryA((package_.path() + "\\" + folder).c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, MsiSetTest,
    ::testing::Values(
        MsiSetCase{"DecoyBesideThePackage",
                   {{"client.msi", "package_e_12.1.9.msi"}, {"0.msi", ""}},
                   {},
                   kPackageMsiRefused,
                   MsiRefusal::kSeveral},
        MsiSetCase{"TwoPackages",
                   {{"a.msi", "package_e_12.1.9.msi"}, {"b.MSI", "package_e_12.1.9.msi"}},
                   {},
                   kPackageMsiRefused,
                   MsiRefusal::kSeveral},
        MsiSetCase{"DecoyAlone", {{"0.msi", ""}}, {}, kPackageMsiRefused, MsiRefusal::kUnreadable},
        MsiSetCase{"FolderNamedLikeAPackageIsNotCounted",
                   {{"client.msi", "package_e_12.1.9.msi"}},
                   {"x.msi"},
                   kCommandLineReady,
                   MsiRefusal::kNone},
        MsiSetCase{
            "OtherEndingsAreNotCounted",
            {{"client.msi", "package_e_12.1.9.msi"}, {"client.msix", ""}, {"client.msi.txt", ""}},
            {},
            kCommandLineReady,
            MsiRefusal::kNone}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(PackageWithoutInstalledProductTest, CommandLineThatDoesNotFitLeavesTheBufferAlone) {
  const std::string longDirectory = "C:\\" + std::string(kCommandLineBufferSize, 'p');
  std::memset(out_, '#', sizeof(out_));
  CommandLineGenerator generator(longDirectory);

  EXPECT_EQ(generator.GenerateCommandLine(out_), kCommandLineNotStored);

  EXPECT_TRUE(std::all_of(std::begin(out_), std::end(out_), [](char c) { return c == '#'; }));
  EXPECT_THAT(testing_support::LogMessages(LogPath()),
              Contains(StartsWith("Array not large enough to store command line: Supplied 4096 "
                                  "bytes but need ")));
}

// ---------------------------------------------------------------------------------------------
// Packages over related products that are really installed

struct InstalledFixture {
  const char* msi;
  const char* productCode;
};

// Family d is installed, and enumerated, as 1.5, 1.10, 1.9: neither the first nor the last nor the
// textually highest of them is the newest.
const InstalledFixture kInstalled[] = {
    {"installed_a_12.1.2.msi", "{DA1A0000-0000-4000-8000-0000000000A1}"},
    {"installed_b_12.2.msi", "{DA1B0000-0000-4000-8000-0000000000B1}"},
    {"installed_c_12.1.msi", "{DA1C0000-0000-4000-8000-0000000000C1}"},
    {"installed_d_1.5.msi", "{DA1D0000-0000-4000-8000-0000000000D1}"},
    {"installed_d_1.10.msi", "{DA1D0000-0000-4000-8000-0000000000D2}"},
    {"installed_d_1.9.msi", "{DA1D0000-0000-4000-8000-0000000000D3}"},
    {"installed_t_3.1.msi", "{DA1E0000-0000-4000-8000-0000000000F1}"},
    {"installed_t_3.1.0.msi", "{DA1E0000-0000-4000-8000-0000000000F2}"},
};

bool IsInstalled(const char* productCode) {
  return ::MsiQueryProductStateA(productCode) == INSTALLSTATE_DEFAULT;
}

struct GateCase {
  const char* name;
  const char* packageMsi;
  int expectedResult;
  const char* versionLine;
  std::vector<std::string> expectedErrors;
  // When given: the related products of this upgrade code in the order Windows Installer
  // enumerates them, which the case depends on.
  const char* upgradeCode = nullptr;
  std::vector<std::string> enumerated = {};
};

std::vector<std::string> RelatedProducts(const char* upgradeCode) {
  std::vector<std::string> products;
  char product[39] = {};
  for (DWORD index = 0; ::MsiEnumRelatedProductsA(upgradeCode, 0, index, product) == ERROR_SUCCESS;
       ++index) {
    products.emplace_back(product);
  }
  return products;
}

void PrintTo(const GateCase& c, std::ostream* os) { *os << c.name; }

class VersionGateTest : public ::testing::TestWithParam<GateCase> {
 protected:
  // Installed once for the suite: each install or removal takes seconds under Wine.
  static void SetUpTestSuite() {
    for (const InstalledFixture& product : kInstalled) {
      if (IsInstalled(product.productCode)) continue;
      const auto exitCode = RunMsiexec("/i", FixtureMsi(product.msi));
      if (exitCode != std::optional<DWORD>(0)) {
        installFailure_ += std::string(product.msi) + " exit " +
                           (exitCode ? std::to_string(*exitCode) : std::string("none")) + "; ";
      }
    }
  }

  static void TearDownTestSuite() {
    for (const InstalledFixture& product : kInstalled) {
      if (IsInstalled(product.productCode)) RunMsiexec("/x", FixtureMsi(product.msi));
    }
  }

  void SetUp() override {
    ASSERT_EQ(installFailure_, "") << "msiexec could not install the related products";
    StartFreshLog();
  }

  static std::string installFailure_;
  testing_support::TempFolder package_{"package_gate"};
  char out_[kCommandLineBufferSize] = {};
};

std::string VersionGateTest::installFailure_;

TEST_P(VersionGateTest, ComparesPackageWithNewestInstalledProduct) {
  const GateCase& scenario = GetParam();
  if (scenario.upgradeCode) {
    ASSERT_EQ(RelatedProducts(scenario.upgradeCode), scenario.enumerated);
  }
  ASSERT_TRUE(testing_support::CopyFileTo(FixtureMsi(scenario.packageMsi),
                                          package_.path() + "\\client.msi"));
  CommandLineGenerator generator(package_.path());

  EXPECT_EQ(generator.GenerateCommandLine(out_), scenario.expectedResult);

  EXPECT_THAT(testing_support::LogMessages(LogPath()), Contains(scenario.versionLine));
  EXPECT_EQ(LoggedErrors(), scenario.expectedErrors);
  // A refused version still leaves its command line for the caller.
  EXPECT_THAT(std::string(out_), StartsWith(CommandLinePrefix(package_.path())));
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, VersionGateTest,
    ::testing::Values(
        GateCase{"NumericNotTextual",
                 "package_a_12.1.10.msi",
                 kCommandLineReady,
                 "New Version = 12.1.10 Installed Version = 12.1.2",
                 {}},
        GateCase{"LowerVersionRefused",
                 "package_b_12.1.9.msi",
                 kLowerVersionRefused,
                 "New Version = 12.1.9 Installed Version = 12.2",
                 {"ERROR: attempting to install lower version 12.1.9 over version 12.2"}},
        GateCase{"EqualVersionPasses",
                 "package_b_12.2.msi",
                 kCommandLineReady,
                 "New Version = 12.2 Installed Version = 12.2",
                 {}},
        GateCase{"ExtraComponentPasses",
                 "package_c_12.1.1.msi",
                 kCommandLineReady,
                 "New Version = 12.1.1 Installed Version = 12.1",
                 {}},
        GateCase{"NewestOfSeveralRelated",
                 "package_d_1.7.msi",
                 kLowerVersionRefused,
                 "New Version = 1.7 Installed Version = 1.10",
                 {"ERROR: attempting to install lower version 1.7 over version 1.10"}},
        // 3.1 and 3.1.0 are equal: the product enumerated first is kept.
        GateCase{
            "TieGoesToTheFirstEnumerated",
            "package_t_3.2.msi",
            kCommandLineReady,
            "New Version = 3.2 Installed Version = 3.1",
            {},
            "{DA0E0000-0000-4000-8000-0000000000F0}",
            {"{DA1E0000-0000-4000-8000-0000000000F1}", "{DA1E0000-0000-4000-8000-0000000000F2}"}},
        GateCase{"PackageWithoutVersionRefused",
                 "package_b_no_version.msi",
                 kLowerVersionRefused,
                 "New Version = 0.0.0.0 Installed Version = 12.2",
                 {"ERROR: MsiViewFetch failed with error 259",
                  "ERROR: attempting to install lower version 0.0.0.0 over version 12.2"}}),
    [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace setupcmd
