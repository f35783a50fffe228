// daxcheck.exe [--json] [PACKAGE_FOLDER]: tells, before -install and -start, whether a run of
// daxinst.exe would start setup for the package, and if not, which gate stops it.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "daxcheck/check.h"
#include "platform/library_search.h"
#include "platform/module_path.h"

namespace {

void Usage() {
  std::fputs(
      "usage: daxcheck.exe [--json] [PACKAGE_FOLDER]\n"
      "  Checks every gate of an upgrade run for the package in PACKAGE_FOLDER (default:\n"
      "  the folder of daxcheck.exe) and changes nothing. Exit code 0: setup would run;\n"
      "  1: setup would not run; 2: usage error or unreadable folder.\n",
      stderr);
}

// The folder as the run names its own: a full path without a trailing backslash.
std::string FullFolder(const std::string& folder) {
  char full[MAX_PATH * 2] = {};
  const DWORD length = ::GetFullPathNameA(folder.c_str(), sizeof(full), full, nullptr);
  std::string result = length > 0 && length < sizeof(full) ? std::string(full, length) : folder;
  // A drive's root becomes "C:", as the run's own folder would for a daxinst.exe there.
  while (!result.empty() && result.back() == '\\') result.pop_back();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  // It runs from a package folder as daxinst.exe does, often as an administrator: the package
  // folder is not to be searched for libraries either.
  platform::RestrictLibrarySearch();
  bool json = false;
  std::string folder;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--json") {
      json = true;
    } else if (argument == "--help" || argument == "-h" || argument == "/?") {
      Usage();
      return daxcheck::kUsageError;
    } else if (!argument.empty() && argument[0] == '-') {
      std::fprintf(stderr, "daxcheck: unknown option %s\n", argument.c_str());
      Usage();
      return daxcheck::kUsageError;
    } else if (folder.empty()) {
      folder = argument;
    } else {
      Usage();
      return daxcheck::kUsageError;
    }
  }
  if (folder.empty()) {
    std::string modulePath;
    if (!platform::GetOwnModulePath(modulePath)) {
      std::fputs("daxcheck: cannot find its own folder\n", stderr);
      return daxcheck::kUsageError;
    }
    folder = modulePath.substr(0, modulePath.find_last_of('\\'));
  } else {
    folder = FullFolder(folder);
  }

  nlohmann::ordered_json report;
  std::string error;
  if (!daxcheck::CheckPackage(folder, report, error)) {
    std::fprintf(stderr, "daxcheck: %s\n", error.c_str());
    return daxcheck::kUsageError;
  }
  const std::string text =
      json ? report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n"
           : daxcheck::RenderText(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return report["verdict"]["setup_would_run"].get<bool>() ? daxcheck::kSetupWouldRun
                                                          : daxcheck::kSetupWouldNotRun;
}
