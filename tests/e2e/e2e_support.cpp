#include "e2e/e2e_support.h"

#include <windows.h>

#include <algorithm>

namespace e2e {

PackageFolder::PackageFolder(const std::string& name, const char* variant) : folder_(name) {
  testing_support::CopyFileTo(testing_support::ExecutableDirectory() + "\\" + variant,
                              executable());
}

std::optional<DWORD> PackageFolder::Run(const std::string& arguments, DWORD timeoutMs) const {
  std::string commandLine = "\"" + executable() + "\"";
  if (!arguments.empty()) commandLine += " " + arguments;
  return testing_support::RunAndWait(commandLine, timeoutMs, path().c_str());
}

bool PackageFolder::WaitForMessage(const std::string& message, DWORD timeoutMs) const {
  const DWORD start = ::GetTickCount();
  do {
    const auto messages = Messages();
    if (std::find(messages.begin(), messages.end(), message) != messages.end()) return true;
    ::Sleep(100);
  } while (::GetTickCount() - start < timeoutMs);
  return false;
}

}  // namespace e2e
