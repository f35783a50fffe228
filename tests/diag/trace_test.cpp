#include "diag/trace.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct SentMessage {
  TRACEHANDLE logger;
  ULONG flags;
  GUID guid;
  USHORT number;
  std::vector<std::string> args;  // raw bytes of each argument
};

std::vector<SentMessage> g_sent;
TRACEHANDLE g_controllerLogger = 0;
UCHAR g_controllerLevel = 0;
ULONG g_controllerFlags = 0;
PVOID g_bufferSeen = nullptr;

TRACEHANDLE FakeLoggerHandle(PVOID buffer) {
  g_bufferSeen = buffer;
  return g_controllerLogger;
}
UCHAR FakeLevel(TRACEHANDLE logger) { return logger == g_controllerLogger ? g_controllerLevel : 0; }
ULONG FakeFlags(TRACEHANDLE logger) { return logger == g_controllerLogger ? g_controllerFlags : 0; }
ULONG RecordMessage(TRACEHANDLE logger, ULONG flags, const GUID& guid, USHORT number,
                    const diag::TraceArgument* args, std::size_t count) {
  SentMessage sent{logger, flags, guid, number, {}};
  for (std::size_t i = 0; i < count; ++i) {
    sent.args.emplace_back(static_cast<const char*>(args[i].data), args[i].size);
  }
  g_sent.push_back(sent);
  return ERROR_SUCCESS;
}

const GUID kMessageGuid = {
    0x3c1f0a52, 0x7d4e, 0x4b8a, {0x9e, 0x61, 0x2f, 0x0d, 0x5a, 0xb3, 0xc7, 0x14}};

std::string WideBytes(const wchar_t* text) {
  return std::string(reinterpret_cast<const char*>(text), (std::wcslen(text) + 1) * 2);
}

// Registers the provider with the recording seam and leaves the process unregistered afterwards.
class TraceProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_sent.clear();
    previous_ =
        diag::SetTraceSystemForTesting({FakeLoggerHandle, FakeLevel, FakeFlags, RecordMessage});
    diag::RegisterTraceProvider();
  }
  void TearDown() override {
    Disable();
    diag::UnregisterTraceProvider();
    diag::SetTraceSystemForTesting(previous_);
  }

  ULONG Request(WMIDPREQUESTCODE code, ULONG* size) {
    WNODE_HEADER header = {};
    return diag::TraceControlCallback(code, &diag::TraceProviderBlock(), size, &header);
  }
  void Enable(TRACEHANDLE logger, UCHAR level, ULONG flags) {
    g_controllerLogger = logger;
    g_controllerLevel = level;
    g_controllerFlags = flags;
    ULONG size = 123;
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, &size), 0u);
    EXPECT_EQ(size, 0u);
  }
  void Disable() {
    ULONG size = 123;
    EXPECT_EQ(Request(WMI_DISABLE_EVENTS, &size), 0u);
    EXPECT_EQ(size, 0u);
  }

  diag::TraceSystem previous_{};
};

TEST_F(TraceProviderTest, RegistrationPutsTheBlockInTheListAndUnregistrationEmptiesIt) {
  EXPECT_FALSE(diag::TraceProviderListEmpty());
  diag::UnregisterTraceProvider();
  EXPECT_TRUE(diag::TraceProviderListEmpty());
  EXPECT_EQ(diag::TraceProviderBlock().registrationHandle, 0u);
  diag::RegisterTraceProvider();
  EXPECT_FALSE(diag::TraceProviderListEmpty());
}

TEST_F(TraceProviderTest, NothingIsSentWithoutAController) {
  // The block's state at start: level 1, no flags.
  diag::TraceProviderBlock().level = 1;
  diag::TraceProviderBlock().flags = 0;
  for (UCHAR level : {1, 2, 3, 4, 5}) {
    diag::TracePoint(diag::kTraceFlagGeneral, level, kMessageGuid, 10);
    diag::TracePoint(diag::kTraceFlagTiming, level, kMessageGuid, 11);
  }
  EXPECT_TRUE(g_sent.empty());
}

TEST_F(TraceProviderTest, EnableStoresTheControllersHandleLevelAndFlags) {
  Enable(0x5150, 4, 3);
  const diag::TraceControlBlock& block = diag::TraceProviderBlock();
  EXPECT_EQ(block.loggerHandle, 0x5150u);
  EXPECT_EQ(block.level, 4);
  EXPECT_EQ(block.flags, 3u);
  EXPECT_NE(g_bufferSeen, nullptr);
  Disable();
  EXPECT_EQ(block.loggerHandle, 0u);
  EXPECT_EQ(block.level, 0);
  EXPECT_EQ(block.flags, 0u);
}

TEST_F(TraceProviderTest, FlagOneAtLevelTwoLetsOnlyErrorPointsWithBitOneThrough) {
  Enable(0x77, diag::kTraceLevelError, diag::kTraceFlagGeneral);
  USHORT number = 0;
  for (ULONG flag : {diag::kTraceFlagGeneral, diag::kTraceFlagTiming}) {
    for (UCHAR level : {diag::kTraceLevelError, diag::kTraceLevelWarning,
                        diag::kTraceLevelInformation, diag::kTraceLevelVerbose}) {
      diag::TracePoint(flag, level, kMessageGuid, ++number);
    }
  }
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0].number, 1);  // general flag, error level
  EXPECT_EQ(g_sent[0].logger, 0x77u);
  EXPECT_EQ(g_sent[0].flags, 0x2Bu);
  EXPECT_TRUE(IsEqualGUID(g_sent[0].guid, kMessageGuid));
  EXPECT_TRUE(g_sent[0].args.empty());
}

TEST_F(TraceProviderTest, UnknownRequestAnswersInvalidParameterAndLeavesTheBlockAlone) {
  Enable(0x99, 5, 1);
  const diag::TraceControlBlock before = diag::TraceProviderBlock();
  g_controllerLogger = 0x1;  // a request that read the controller would now store other values
  ULONG size = 55;
  for (WMIDPREQUESTCODE code :
       {static_cast<WMIDPREQUESTCODE>(7), WMI_GET_ALL_DATA, WMI_ENABLE_COLLECTION}) {
    EXPECT_EQ(Request(code, &size), 87u);
  }
  const diag::TraceControlBlock& after = diag::TraceProviderBlock();
  EXPECT_EQ(after.loggerHandle, before.loggerHandle);
  EXPECT_EQ(after.level, before.level);
  EXPECT_EQ(after.flags, before.flags);
}

TEST_F(TraceProviderTest, NoPointFiresOutsideTheRegisteredWindow) {
  Enable(0x42, 5, 3);
  diag::UnregisterTraceProvider();
  diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelError, kMessageGuid, 1);
  EXPECT_TRUE(g_sent.empty());
  diag::RegisterTraceProvider();
}

TEST_F(TraceProviderTest, ArgumentsAreEncodedAsTheFormatFilesExpect) {
  Enable(0x10, 5, 1);
  const wchar_t* missing = nullptr;
  diag::TracePoint(
      diag::kTraceFlagGeneral, diag::kTraceLevelError, kMessageGuid, 7,
      {diag::TraceArg::Text(missing), diag::TraceArg::Text(L""), diag::TraceArg::Number(-2)});
  diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelError, kMessageGuid, 8,
                   {diag::TraceArg::Text(L"C:\\setup.exe"), diag::TraceArg::Number(0x01020304)});
  ASSERT_EQ(g_sent.size(), 2u);

  const SentMessage& first = g_sent[0];
  ASSERT_EQ(first.args.size(), 3u);
  EXPECT_EQ(first.args[0].size(), 10u);
  EXPECT_EQ(first.args[0], WideBytes(L"NULL"));
  EXPECT_EQ(first.args[1].size(), 14u);
  EXPECT_EQ(first.args[1], WideBytes(L"<NULL>"));
  const std::int32_t minusTwo = -2;
  EXPECT_EQ(first.args[2], std::string(reinterpret_cast<const char*>(&minusTwo), 4));

  const SentMessage& second = g_sent[1];
  ASSERT_EQ(second.args.size(), 2u);
  EXPECT_EQ(second.args[0].size(), (std::wcslen(L"C:\\setup.exe") + 1) * 2);
  EXPECT_EQ(second.args[0], WideBytes(L"C:\\setup.exe"));
  EXPECT_EQ(second.args[1], std::string("\x04\x03\x02\x01", 4));
}

}  // namespace
