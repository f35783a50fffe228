// Answers message boxes as a user would, so that tests can go through the program's dialogs
// under a virtual display. Boxes are found by caption among the desktop's top-level windows,
// whichever process shows them.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// True when there is a display for windows to appear on (Wine needs one for the X11 driver).
bool DisplayAvailable();
// True when the run promises a display (DAXINST_REQUIRE_DISPLAY=1, as ./run-tests sets it): a
// message-box test that finds none then fails, since skipping would pass what it never ran.
bool DisplayRequired();

// Opens a message-box test: without a display it skips, or fails where a display is required.
#define DAXINST_NEED_DISPLAY_FOR_MESSAGE_BOXES()                                        \
  do {                                                                                  \
    if (!::testing_support::DisplayAvailable()) {                                       \
      if (::testing_support::DisplayRequired()) {                                       \
        GTEST_FAIL() << "message boxes need a display, and DAXINST_REQUIRE_DISPLAY is " \
                        "set but no DISPLAY is";                                        \
      }                                                                                 \
      GTEST_SKIP() << "message boxes need a display";                                   \
    }                                                                                   \
  } while (false)

// Waits up to `timeoutMs` for a visible message box with `caption`, reads its message text and
// presses the button `buttonId` (IDOK, IDYES, IDNO, ...). Gives up early when `process` (if
// given) ends first. The text of the box it answered, or nullopt when none appeared.
std::optional<std::string> AnswerMessageBox(const char* caption, int buttonId, DWORD timeoutMs,
                                            HANDLE process = nullptr);

// Answers every box with `caption` on a thread of its own for as long as it lives, and keeps the
// texts in the order the boxes appeared.
class MessageBoxAnswerer {
 public:
  MessageBoxAnswerer(const char* caption, int buttonId);
  ~MessageBoxAnswerer();
  MessageBoxAnswerer(const MessageBoxAnswerer&) = delete;
  MessageBoxAnswerer& operator=(const MessageBoxAnswerer&) = delete;

  std::vector<std::string> Texts() const;

 private:
  void Run();

  std::string caption_;
  int buttonId_;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  std::vector<std::string> texts_;
  std::thread thread_;
};

}  // namespace testing_support
