#include "daxcheck/check.h"

#include <windows.h>

#include "daxcheck/gates.h"
#include "daxcheck/machine.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "sharedlib/isolation.h"

namespace daxcheck {

namespace {

// False, with `error` set, when `folder` is not a folder this process can list.
bool ReadableFolder(const std::string& folder, std::string& error) {
  // With its separator, so that "C:" names the drive's root and not its current folder.
  const DWORD attributes = ::GetFileAttributesA((folder + "\\").c_str());
  if (folder.empty() || attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = "not a folder: " + folder;
    return false;
  }
  WIN32_FIND_DATAA match = {};
  platform::UniqueFindHandle search(::FindFirstFileA((folder + "\\*").c_str(), &match));
  if (!search) {
    error = "cannot read the folder " + folder;
    return false;
  }
  return true;
}

}  // namespace

bool CheckPackage(const std::string& folder, Json& report, std::string& error) {
  if (!ReadableFolder(folder, error)) return false;

  // The shared library finds its silo above the program that runs: above daxinst.exe in the
  // package folder for the run, wherever daxcheck.exe lies for the check.
  sharedlib::SetIsolationAnchor(platform::WidenCountedLenient(folder + "\\daxinst.exe"));

  report = Json::object();
  report["program"] = "daxcheck";
  report["folder"] = Utf8(folder);
  Json gates = Json::array();
  gates.push_back(PackageGate(folder));
  gates.push_back(GroundGate(folder));
  gates.push_back(RunStateGate());
  // The verifier stays until the report is done, as the run's stays until setup has ended.
  TrustGateResult trust = TrustGate(folder);
  gates.push_back(trust.gate);
  std::string predictedSetAid;
  gates.push_back(ConfigurationGate(folder, predictedSetAid));
  Json versionGate;
  Json commandGate;
  VersionAndCommandLineGates(folder, versionGate, commandGate);
  gates.push_back(versionGate);
  gates.push_back(commandGate);

  report["gates"] = gates;
  report["verdict"] = VerdictOf(gates);
  // Beside the gates: what makes a setup fail after the run has let it start.
  report["machine"] = MachinePart(folder, predictedSetAid);
  return true;
}

}  // namespace daxcheck
