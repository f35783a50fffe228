// The thread's last error as the log shows it and as an HRESULT.
#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LastErrorTextTest, IsTheSystemMessageWithTheCodeInHex) {
  ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
  const std::string text = platform::LastErrorText();
  ASSERT_GT(text.size(), 9u);
  EXPECT_EQ(text.substr(text.size() - 8), " (0x424)");
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  // One buffer for the whole process: the next call overwrites it.
  const char* first = platform::LastErrorText();
  ::SetLastError(ERROR_ACCESS_DENIED);
  const char* second = platform::LastErrorText();
  EXPECT_EQ(first, second);
  EXPECT_NE(std::string(second).find("(0x5)"), std::string::npos);
}

TEST(LastErrorTextTest, KeepsTheInsertsOfAMessageThatHasThem) {
  // StartService answers this one for a service whose image is no program.
  ::SetLastError(ERROR_BAD_EXE_FORMAT);
  const std::string text = platform::LastErrorText();
  EXPECT_NE(text.find("%1"), std::string::npos) << text;
  EXPECT_NE(text.find("(0xc1)"), std::string::npos) << text;
}

TEST(LastErrorTextTest, IsEmptyWhenTheSystemHasNoMessage) {
  ::SetLastError(0x2000FFFF);
  EXPECT_STREQ(platform::LastErrorText(), "");
}

// HRESULT_FROM_WIN32(0) is S_OK: a failure that left no error must still read as one.
TEST(HResultFromErrorTest, NoErrorIsAFailureAndEveryOtherKeepsItsCode) {
  EXPECT_EQ(platform::HResultFromError(0), E_FAIL);
  EXPECT_EQ(platform::HResultFromError(ERROR_ACCESS_DENIED),
            HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(platform::HResultFromError(ERROR_FILE_NOT_FOUND), static_cast<HRESULT>(0x80070002));
  ::SetLastError(0);
  EXPECT_EQ(platform::HResultFromLastError(), E_FAIL);
  ::SetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(platform::HResultFromLastError(), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
}

}  // namespace
