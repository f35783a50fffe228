// Where the runs' records live: the common application-data folder's Quorvex\Daxinst\runs.
#pragma once

#include <string>

namespace upgrade {

// Below the common application-data folder. The record file names are
// "run-<yyyymmdd>T<hhmmss>.<mmm>Z-<process id>.json" (UTC), so that name order is time order.
constexpr wchar_t kRunRecordSubfolder[] = L"Quorvex\\Daxinst\\runs";

// True when `name` is a record's file name as above, and nothing else: what the folder holds
// besides (a temporary file, a name someone else chose) is neither read nor counted.
bool IsRunRecordName(const std::wstring& name);

// The common application-data folder (%ProgramData%), without a trailing backslash, from the
// system's known folder and never from the environment. False, with `folder` untouched, when the
// system gives none.
bool CommonAppDataFolder(std::wstring& folder);

// The folder's path, from the system's known folder and never from the environment, which the
// account that set it may have pointed anywhere. False, with `folder` untouched, when the common
// application-data folder cannot be had.
bool RunRecordFolder(std::wstring& folder);

}  // namespace upgrade
