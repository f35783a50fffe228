// daxcheck.exe [--json] [PACKAGE_FOLDER]: tells, before -install and -start, whether a run of
// daxinst.exe would start setup for the package, and if not, which gate stops it.
// daxcheck.exe --last-run [--json]: what the newest run did.
#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "daxcheck/check.h"
#include "daxcheck/last_run.h"
#include "platform/library_search.h"
#include "platform/module_path.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "sharedlib/wintrust_call.h"

namespace {

void Usage() {
  std::fputs(
      "usage: daxcheck.exe [--json] [PACKAGE_FOLDER]\n"
      "  Checks every gate of an upgrade run for the package in PACKAGE_FOLDER (default:\n"
      "  the folder of daxcheck.exe) and changes nothing. Exit code 0: setup would run;\n"
      "  1: setup would not run; 2: usage error or unreadable folder.\n"
      "usage: daxcheck.exe --last-run [--json]\n"
      "  Shows the record of the newest run. Exit code 0: it succeeded; 1: it failed;\n"
      "  2: no readable record, or a run is in progress.\n",
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

// The arguments from the UTF-16 command line. The C runtime's ANSI ones are best-fitted: a folder
// argument with FULLWIDTH REVERSE SOLIDUS (U+FF3C) or FULLWIDTH FULL STOP would name another
// folder than the one typed ("pkg＼..＼x" became "pkg\..\x"), and the check would judge that
// one. An argument that the system code page cannot hold exactly is refused instead.
bool WideArguments(std::vector<std::string>& arguments, std::string& refused) {
  int count = 0;
  platform::UniqueArgumentVector vector(::CommandLineToArgvW(::GetCommandLineW(), &count));
  if (!vector) return false;
  for (int i = 1; i < count; ++i) {
    bool exact = true;
    const std::wstring wide = vector.get()[i];
    std::string narrow = platform::NarrowWithoutBestFit(wide, &exact);
    if (!exact) {
      refused = narrow;
      return false;
    }
    arguments.push_back(std::move(narrow));
  }
  return true;
}

int main() {
  // It runs from a package folder as daxinst.exe does, often as an administrator: the package
  // folder is not to be searched for libraries either.
  platform::RestrictLibrarySearch();
  // Run by a person, often an administrator: no URL a signer's certificate names is fetched with
  // their credentials, and the machine's roots are not updated by a check.
  sharedlib::UseCacheOnlyRetrieval();
  std::vector<std::string> arguments;
  std::string refused;
  if (!WideArguments(arguments, refused)) {
    std::fprintf(stderr,
                 "daxcheck: the argument \"%s\" cannot be written in the system code page; the "
                 "run names its folder in that code page\n",
                 refused.c_str());
    return daxcheck::kUsageError;
  }
  bool json = false;
  bool lastRun = false;
  std::string folder;
  for (const std::string& argument : arguments) {
    if (argument == "--json") {
      json = true;
    } else if (argument == "--last-run") {
      lastRun = true;
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
  if (lastRun) {
    if (!folder.empty()) {
      Usage();
      return daxcheck::kUsageError;
    }
    return daxcheck::PrintLastRun(json);
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
