#include "support/message_box_answerer.h"

namespace testing_support {

namespace {

// The control that holds a message box's text.
constexpr int kMessageTextId = 0xFFFF;
constexpr DWORD kPollInterval = 20;

struct Search {
  const char* caption;
  HWND found;
};

BOOL CALLBACK MatchCaption(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<Search*>(parameter);
  char className[32] = {};
  char caption[256] = {};
  ::GetClassNameA(window, className, sizeof(className));
  ::GetWindowTextA(window, caption, sizeof(caption));
  if (std::string(className) == "#32770" && std::string(caption) == search->caption &&
      ::IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND FindMessageBox(const char* caption) {
  Search search{caption, nullptr};
  ::EnumWindows(MatchCaption, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string MessageText(HWND box) {
  char text[1024] = {};
  ::GetDlgItemTextA(box, kMessageTextId, text, sizeof(text));
  return text;
}

// Presses the button and waits until the box has gone, so that it is not answered twice.
void Press(HWND box, int buttonId) {
  ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(box, buttonId)));
  for (int waited = 0; waited < 10000 && ::IsWindow(box) && ::IsWindowVisible(box);
       waited += kPollInterval) {
    ::Sleep(kPollInterval);
  }
}

}  // namespace

bool DisplayAvailable() {
  char display[256] = {};
  const DWORD length = ::GetEnvironmentVariableA("DISPLAY", display, sizeof(display));
  return length > 0 && length < sizeof(display);
}

bool DisplayRequired() {
  char required[8] = {};
  const DWORD length =
      ::GetEnvironmentVariableA("DAXINST_REQUIRE_DISPLAY", required, sizeof(required));
  return length > 0 && length < sizeof(required) && std::string(required) != "0";
}

std::optional<std::string> AnswerMessageBox(const char* caption, int buttonId, DWORD timeoutMs,
                                            HANDLE process) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  while (::GetTickCount64() < deadline) {
    if (HWND box = FindMessageBox(caption)) {
      std::string text = MessageText(box);
      Press(box, buttonId);
      return text;
    }
    if (process && ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0) break;
    ::Sleep(kPollInterval);
  }
  return std::nullopt;
}

MessageBoxAnswerer::MessageBoxAnswerer(const char* caption, int buttonId)
    : caption_(caption), buttonId_(buttonId), thread_([this] { Run(); }) {}

MessageBoxAnswerer::~MessageBoxAnswerer() {
  stop_ = true;
  thread_.join();
}

std::vector<std::string> MessageBoxAnswerer::Texts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return texts_;
}

void MessageBoxAnswerer::Run() {
  while (!stop_) {
    if (HWND box = FindMessageBox(caption_.c_str())) {
      std::string text = MessageText(box);
      {
        std::lock_guard<std::mutex> guard(lock_);
        texts_.push_back(std::move(text));
      }
      Press(box, buttonId_);
    } else {
      ::Sleep(kPollInterval);
    }
  }
}

}  // namespace testing_support
