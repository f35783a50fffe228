#pragma once

#include <windows.h>

#include <functional>

namespace upgrade {

// Reads of the setup result key before giving up, and the pause after each failed read.
constexpr int kSetupResultReads = 120;
constexpr DWORD kSetupResultPause = 1000;

constexpr char kSetupResultCaption[] = "Quorvex Client Upgrade";

// Waits for the setup code that setup leaves in the registry, records it for the rest of the
// client and answers kSetupSucceeded, kSetupFailed or kSetupNoResult. With `tellUser` (debug
// mode) the user is told the outcome in a message box, and the call returns once it is closed.
int DaxSetupResult(bool tellUser);

// The same with the pause between reads supplied by the caller, so that the polling can be
// observed without waiting for it.
int DaxSetupResult(bool tellUser, const std::function<void(DWORD milliseconds)>& pause);

}  // namespace upgrade
