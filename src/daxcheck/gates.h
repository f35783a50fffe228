// The seven gates of an upgrade run as the check walks them, each in a file of its own. Every gate
// is a record of what it found, with whether it passes and, when not, why setup would not run.
#pragma once

#include <memory>
#include <string>

#include "daxcheck/report_text.h"
#include "upgrade/setup_verifier.h"

namespace daxcheck {

// 1: the package's files, as -install and the run look for them.
Json PackageGate(const std::string& folder);

// 2: who may change the package folder, its files, the folders above it and the folder of
// config.xml, as -install and the run check before they use them.
Json GroundGate(const std::string& folder);

// 3: the registry state, the service and the run guard, and the path a run would take.
Json RunStateGate();

// 4: whether the run's trust check accepts setup.exe, and why. The verifier lives on with the
// result: it holds setup.exe and the settings object as it does during the run, so the gates
// after it see what the run's later steps see.
struct TrustGateResult {
  Json gate;
  std::unique_ptr<upgrade::SetupVerifier, void (*)(upgrade::SetupVerifier*)> verifier{
      nullptr, upgrade::DestroySetupVerifier};
};
TrustGateResult TrustGate(const std::string& folder);

// 5: where config.xml is found, the ClientPackage entry it selects, and what the option writers
// would change in setAid.ini (run on a copy). `predictedSetAid` receives the copy's bytes.
Json ConfigurationGate(const std::string& folder, std::string& predictedSetAid);

// 6 and 7: the version gate and the command line, from one run of the run's generator.
void VersionAndCommandLineGates(const std::string& folder, Json& versionGate, Json& commandGate);

}  // namespace daxcheck
