#pragma once

#include <windows.h>

#include <string>

namespace platform {

// How the executable's own path was read.
enum class ModulePathRead {
  kRead,
  // The path has no exact form in the ANSI code page: a narrow form that best-fits or replaces a
  // character would name another folder, which may exist.
  kNotExact,
  kUnavailable,  // the system gives no path, or one that does not fit MAX_PATH
};

// Full path of this process's executable: the UTF-16 path of GetModuleFileNameW, converted once
// into the ANSI code page without best fit. `path` (and `widePath`, when given) are set only for
// kRead; on kNotExact `widePath` still gets the system's path, for the refusal's text.
ModulePathRead ReadOwnModulePath(std::string& path, std::wstring* widePath = nullptr);

// ReadOwnModulePath answered kRead. Leaves `path` untouched and answers false otherwise.
bool GetOwnModulePath(std::string& path);

// True when `narrow` names exactly the file that `wide` names: every character of `wide` is in
// the ANSI code page and converting `narrow` back gives `wide` again. Sets `narrow` to the
// conversion without best fit, whatever the answer.
bool NarrowNamesTheSamePath(const std::wstring& wide, std::string& narrow);

}  // namespace platform
