// The real polling time, end to end: about two minutes, so it has a test executable of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "contract/client_registry.h"
#include "diag/log.h"
#include "support/fresh_log.h"
#include "support/test_support.h"
#include "upgrade/controller.h"
#include "upgrade/setup_result.h"

namespace upgrade {
namespace {

TEST(SetupResultTimeout, GivesUpAfterTheFullPollingTime) {
  testing_support::RunRegistryGuard registry;
  testing_support::StartFreshLog();

  const ULONGLONG started = ::GetTickCount64();
  EXPECT_EQ(DaxSetupResult(false), kSetupNoResult);
  const ULONGLONG elapsed = ::GetTickCount64() - started;

  // 120 reads, each failed one followed by a pause of a second.
  EXPECT_GE(elapsed, 119500u);
  EXPECT_LT(elapsed, 180000u);
  EXPECT_THAT(
      testing_support::LogMessages(testing_support::LogPath()),
      ::testing::ElementsAre(::testing::StartsWith("====== DaxInst starts at "),
                             "<DaxSetupResult>Try to read DaxSetupResult for 3 minutes. Failed.",
                             "<DaxSetupResult>ERR to read DaxSetupResult."));
  DWORD recorded = 0;
  EXPECT_FALSE(contract::ReadClientDword(contract::kInstResultValue, recorded));
}

}  // namespace
}  // namespace upgrade
