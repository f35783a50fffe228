// The setup result key: where the staged setup program leaves its setup code for the run, and
// the codes it leaves.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

namespace contract {

// Below HKEY_CLASSES_ROOT, in the default view.
constexpr char kSetupResultKeyPath[] = "TSSAFILE\\{DCCB9E52-6A84A746}";
constexpr char kSetupResultValue[] = "Default";

// The setup codes that setup leaves. Any other code is a failure that tells the user nothing.
enum SetupCode : DWORD {
  kSetupCodeSucceeded = 0,
  kSetupCodeFailed = 1,
  kSetupCodeSucceededRestartRecommended = 4,
  kSetupCodeSucceededDisabledUntilRestart = 5,
  kSetupCodeError = 6,
  kSetupCodeCancelled = 7,
};

// Written over a successful code once the run has taken it over: the next service start for the
// same package ends as succeeded without setup.
constexpr DWORD SetupResultDone = 99;

// Reads leave `code` untouched and answer false when the code is missing or not a REG_DWORD.
bool ReadSetupResult(DWORD& code);
// Creates the key when needed; a failed write is ignored.
void WriteSetupResult(DWORD code);
// Deletes the setup code, the key and view that ReadSetupResult reads. ERROR_SUCCESS when it is
// gone or was never there, else the error that kept it.
LONG DeleteSetupResult();
// The open DeleteSetupResult deletes through, which changes nothing by itself: ERROR_SUCCESS
// with `key`, ERROR_FILE_NOT_FOUND when there is no key, else the error that would keep the code.
LONG OpenSetupResultForDeleting(platform::UniqueRegKey& key);

}  // namespace contract
