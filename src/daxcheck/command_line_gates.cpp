// 6 Version gate and 7 Command line
#include <windows.h>
// after windows.h
#include <comdef.h>

#include <map>

#include "daxcheck/check.h"
#include "daxcheck/gates.h"
#include "setupcmd/command_line_generator.h"
#include "setupcmd/command_line_text.h"

namespace daxcheck {

namespace {

constexpr DWORD kPlaceholderPid = 0xFFFFFFFFu;

// The command line with the placeholder where the run puts its DAXPID number. The number sits
// in the fixed end of the command line, so only that end is rewritten.
std::string WithPlaceholder(const std::string& commandLine) {
  const std::string end = setupcmd::CommandLineEnd(std::to_string(kPlaceholderPid));
  if (commandLine.size() < end.size() ||
      commandLine.compare(commandLine.size() - end.size(), end.size(), end) != 0) {
    return commandLine;
  }
  return commandLine.substr(0, commandLine.size() - end.size()) +
         setupcmd::CommandLineEnd(kDaxPidPlaceholder);
}

// What one run of the run's generator produced.
struct GeneratorRun {
  int result = setupcmd::kCommandLineNotStored;
  std::string commandLine;
  setupcmd::VersionGateFindings findings;
  setupcmd::InstallerLogFindings installerLog;
  // Every environment variable the command line took, with the value it had here.
  std::map<std::string, std::string> variables;
  // Set when the generator could not run to its end.
  std::string error;
};

GeneratorRun RunGenerator(const std::string& folder) {
  GeneratorRun run;
  char buffer[setupcmd::kCommandLineBufferSize] = {};
  try {
    setupcmd::CommandLineGenerator generator(folder);
    generator.includeLogSwitch = true;
    // The longest number there is: the length check then holds for whatever number the run has.
    generator.daxPid = kPlaceholderPid;
    // The variables are this process's; the service reads its own environment (LocalSystem's),
    // so the report names every one the command line takes.
    auto& variables = run.variables;
    generator.environmentLookup = [&variables](const std::string& name) {
      return variables[name] = setupcmd::ProcessEnvironmentValue(name);
    };
    run.result = generator.GenerateCommandLine(buffer);
    run.findings = generator.findings();
    run.installerLog = generator.installerLog();
  } catch (const _com_error& error) {
    run.error = "COM error " + Hex8(static_cast<unsigned>(error.Error()));
    run.result = setupcmd::kCommandLineNotStored;
  }
  run.commandLine = buffer;
  return run;
}

// True when the installed related product's version cannot be read, which refuses the package.
bool ReportVersionGate(const GeneratorRun& run, Json& gate) {
  const setupcmd::VersionGateFindings& findings = run.findings;
  gate["msi"] = Utf8(findings.packageMsiPath);
  gate["upgrade_code"] = Utf8(findings.upgradeCode);
  gate["package_version"] = Utf8(findings.packageVersion);
  Json related = Json::array();
  for (const auto& product : findings.relatedProducts) {
    related.push_back(
        {{"product_code", product.productCode},
         {"version", product.version.empty() ? Json(nullptr) : Json(Utf8(product.version))}});
  }
  gate["related_products"] = related;
  gate["installed_product"] =
      findings.installedProductFound ? Json(findings.installedProductCode) : Json(nullptr);
  gate["installed_version"] =
      findings.installedVersionRead ? Json(Utf8(findings.installedVersion)) : Json(nullptr);
  gate["result"] = run.result;

  const bool versionUnreadable = findings.installedProductFound && !findings.installedVersionRead;
  if (run.result == setupcmd::kPackageMsiRefused) {
    gate["answer"] = "package .msi refused";
    Stop(gate, findings.packageMsiNames.size() > 1
                   ? "the package holds more than one .msi file"
                   : "the package's .msi cannot be held or its product family cannot be read");
    return true;
  }
  if (run.result == setupcmd::kLowerVersionRefused) {
    gate["answer"] = "lower version: refused";
    Stop(gate, "the package version " + Utf8(findings.packageVersion) +
                   " is lower than the installed version " + Utf8(findings.installedVersion));
  } else if (versionUnreadable) {
    gate["answer"] = "installed version unreadable: refused";
    Stop(gate, "the installed related product's version cannot be read");
  } else if (!findings.installedProductFound) {
    gate["answer"] = "no related product installed: passes";
  } else {
    gate["answer"] = "not lower: passes";
  }
  return versionUnreadable;
}

void ReportCommandLine(const GeneratorRun& run, bool versionUnreadable, Json& gate) {
  if (!run.error.empty()) gate["error"] = run.error;
  const bool stored =
      run.result == setupcmd::kCommandLineReady || run.result == setupcmd::kLowerVersionRefused;
  gate["command_line"] = stored ? Json(Utf8(WithPlaceholder(run.commandLine))) : Json(nullptr);
  gate["daxpid_placeholder"] = kDaxPidPlaceholder;
  Json expanded = Json::object();
  for (const auto& variable : run.variables) expanded[Utf8(variable.first)] = Utf8(variable.second);
  gate["environment_variables"] = expanded;
  gate["environment_note"] =
      run.variables.empty()
          ? Json(nullptr)
          : Json(
                "expanded from the check's environment; the service expands them in its own "
                "(LocalSystem's), which may differ");
  // Which log setup gets. The check makes nothing, so a taken default log is only told: the run
  // makes a folder of its own for setup's log (its name is new at every run).
  const setupcmd::InstallerLogFindings& log = run.installerLog;
  if (!log.defaultSwitch) {
    gate["installer_log"] = "the one the command line names, if any";
  } else if (log.defaultTaken) {
    gate["installer_log"] =
        Utf8("a new file in a folder of the run's own beside " + log.defaultPath + ", since " +
             log.defaultPath + " is taken: " + setupcmd::DescribeInstallerLogPlace(log.check));
  } else {
    gate["installer_log"] = Utf8(log.defaultPath);
  }
  gate["result"] = run.result;
  if (!stored && !versionUnreadable && run.error.empty()) {
    Stop(gate, "the command line needs 4096 bytes or more");
  } else if (!run.error.empty()) {
    Stop(gate, "the command line cannot be built");
  }
}

}  // namespace

void VersionAndCommandLineGates(const std::string& folder, Json& versionGate, Json& commandGate) {
  versionGate = Gate(6, "version_gate");
  commandGate = Gate(7, "command_line");
  const GeneratorRun run = RunGenerator(folder);
  const bool versionUnreadable = ReportVersionGate(run, versionGate);
  ReportCommandLine(run, versionUnreadable, commandGate);
}

}  // namespace daxcheck
