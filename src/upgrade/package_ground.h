// The ground a run stands on: the package folder, the files it opens or starts there, the folders
// above the package folder and the folder of config.xml. Whoever may change one of them decides
// what runs as LocalSystem, so none may be changed by anyone but SYSTEM, the Administrators,
// TrustedInstaller and the program's own account. The run checks before it reads anything from
// the package folder, -install before it registers the service, daxcheck.exe as a gate.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "contract/event_report.h"
#include "platform/change_rights.h"

namespace upgrade {

struct GroundPath {
  std::wstring path;
  platform::PathRole role;
  const char* what;  // "the package folder", "the file", ... as the refusal names it
};

// Every path a run of the package in `packageDirectory` stands on, in the order they are checked:
// the package folder, the folders above it (nearest first), daxinst.exe, setup.exe, setAid.ini,
// Setup.ini, every .msi, then the folder of config.xml and config.xml where the client has one.
std::vector<GroundPath> PackageGroundPaths(const std::string& packageDirectory);

struct GroundFault {
  GroundPath where;
  platform::PathRights rights;
};

// How one path was judged, for those who explain a check (a missing file passes: nobody but an
// administrator may add it to a folder that passes).
struct GroundFinding {
  GroundPath where;
  platform::PathRights rights;
  bool passes = false;
};
std::vector<GroundFinding> JudgePackageGround(const std::string& packageDirectory);

// The first path that fails, or none.
std::optional<GroundFault> FindGroundFault(const std::string& packageDirectory);

// The refusal: its text (the path, the SID and the rights) and its event ID.
std::string GroundFaultText(const GroundFault& fault);
contract::EventId GroundFaultEvent(const GroundFault& fault);

// Checks the ground and records the first fault with `consequence` after it ("Setup is not
// run."). False when there is one.
bool PackageGroundIsSafe(const std::string& packageDirectory, const char* consequence);

}  // namespace upgrade
