// daxcheck.exe: walks the gates of one upgrade run of daxinst.exe for a staged package, in the
// run's order and with the run's own code for every decision, and changes nothing on the way.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace daxcheck {

// Exit codes of the program.
constexpr int kSetupWouldRun = 0;
constexpr int kSetupWouldNotRun = 1;
constexpr int kUsageError = 2;

// Stands in the predicted command line where the run puts the number of the process that ran
// the start command.
constexpr char kDaxPidPlaceholder[] = "<DAXPID>";

// The whole report for the package folder `folder` (ANSI, without a trailing backslash). False,
// with `error` set, when the folder cannot be read.
bool CheckPackage(const std::string& folder, nlohmann::ordered_json& report, std::string& error);

// The report as text for a console.
std::string RenderText(const nlohmann::ordered_json& report);

}  // namespace daxcheck
