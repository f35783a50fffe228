// daxinst.exe run for real with arguments that must not start or remove anything.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "e2e/e2e_support.h"

namespace {

using e2e::kClientKey;

using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using ::testing::MatchesRegex;
using testing_support::ReadDword;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

const char kHeader[] = "====== DaxInst starts at \\d\\d:\\d\\d:\\d\\d======";

bool ServiceInstalled() {
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  SC_HANDLE service = ::OpenServiceA(manager, "Daxinst", SERVICE_QUERY_STATUS);
  if (service) ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  return service != nullptr;
}

class UnhandledArgument : public ::testing::TestWithParam<const char*> {
 protected:
  testing_support::RunRegistryGuard registry_;
};

// An argument that names no verb is logged and ignored: no service, no run, exit code 0.
TEST_P(UnhandledArgument, IsLoggedAndStartsNothing) {
  e2e::PackageFolder package("pkg unhandled", e2e::kLogOnVariant);
  EXPECT_EQ(package.Run(GetParam()), 0u);
  EXPECT_THAT(package.Messages(),
              ElementsAre(MatchesRegex(kHeader), GetParam(), "command line has been handled"));
  EXPECT_FALSE(ServiceInstalled());
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, kClientKey, "DaxSetupStatus", view), std::nullopt);
  }
}

INSTANTIATE_TEST_SUITE_P(Arguments, UnhandledArgument,
                         ::testing::Values("-STOP", "-bogus", "-Install"));

struct LogSizeCase {
  const char* name;
  const char* variant;
  size_t existingSize;
  bool keepsOldContent;
  bool writesLines;
};

class LogAtStart : public ::testing::TestWithParam<LogSizeCase> {};

TEST_P(LogAtStart, IsAppendedToBelowTheRestartSizeAndStartedAfreshFromIt) {
  const LogSizeCase& c = GetParam();
  e2e::PackageFolder package("pkg log size", c.variant);
  const std::string old(c.existingSize, 'o');
  WriteFileBytes(package.log(), old);

  ASSERT_EQ(package.Run("-bogus"), 0u);

  const auto content = ReadFileBytes(package.log());
  ASSERT_TRUE(content);
  const std::string kept = c.keepsOldContent ? old : std::string();
  ASSERT_GE(content->size(), kept.size());
  EXPECT_EQ(content->substr(0, kept.size()), kept);
  const std::string added = content->substr(kept.size());
  if (!c.keepsOldContent && c.writesLines) {
    // Started afresh: the file begins with the new lines, nothing of the old one before them.
    EXPECT_TRUE(testing_support::HasValidStamp(*content)) << content->substr(0, 40);
  }
  if (c.writesLines) {
    EXPECT_NE(added.find("command line has been handled"), std::string::npos) << added;
  } else {
    EXPECT_EQ(added, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, LogAtStart,
    ::testing::Values(LogSizeCase{"OnBelowRestart", e2e::kLogOnVariant, 16383, true, true},
                      LogSizeCase{"OnAtRestart", e2e::kLogOnVariant, 16384, false, true},
                      LogSizeCase{"OffBelowRestart", e2e::kLogOffVariant, 16383, true, false},
                      LogSizeCase{"OffAtRestart", e2e::kLogOffVariant, 16384, false, false}),
    [](const ::testing::TestParamInfo<LogSizeCase>& info) { return info.param.name; });

TEST(LogAtStart, ShippedVariantCreatesAMissingLogEmpty) {
  e2e::PackageFolder package("pkg log missing", e2e::kLogOffVariant);
  ASSERT_EQ(package.Run("-bogus"), 0u);
  EXPECT_EQ(ReadFileBytes(package.log()), std::string());
}

// Regression: the removal child got its own path unquoted, so in a folder with a blank its
// first argument was a piece of the path, no verb ran and the service was never removed.
TEST(NoArgument, RemovalChildGetsItsVerbInAFolderWithABlank) {
  testing_support::RunRegistryGuard registry;
  e2e::PackageFolder package("pkg dir with blanks", e2e::kLogOnVariant);

  ASSERT_EQ(package.Run(""), 0u);

  ASSERT_TRUE(package.WaitForMessage("<mfn_UnInstall> End.", 60000));
  EXPECT_THAT(package.Messages(),
              IsSupersetOf({std::string("Begin to call <mfn_Runservice>."),
                            std::string("<mfn_Runservice> called."), std::string("-uninstall"),
                            std::string("<mfn_UnInstall> Begin.")}));
  // Give the child time to write its last line before the folder goes.
  ASSERT_TRUE(package.WaitForMessage("command line has been handled", 30000));
}

}  // namespace
