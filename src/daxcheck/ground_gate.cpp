// 2 Package ground
#include <optional>

#include "daxcheck/gates.h"
#include "upgrade/package_ground.h"

namespace daxcheck {

namespace {

using platform::PathRights;
using platform::PathRole;

const char* RoleText(PathRole role) {
  switch (role) {
    case PathRole::kFile:
      return "file";
    case PathRole::kFolder:
      return "folder";
    default:
      return "folder above";
  }
}

const char* VerdictText(PathRights::Verdict verdict) {
  switch (verdict) {
    case PathRights::Verdict::kPasses:
      return "passes";
    case PathRights::Verdict::kMissing:
      return "missing";
    case PathRights::Verdict::kForeignOwner:
      return "owner not trusted";
    case PathRights::Verdict::kForeignRight:
      return "another account may change it";
    default:
      return "unreadable";
  }
}

}  // namespace

Json GroundGate(const std::string& folder) {
  Json gate = Gate(2, "package_ground");
  Json paths = Json::array();
  std::optional<upgrade::GroundFault> first;
  for (upgrade::GroundFinding& finding : upgrade::JudgePackageGround(folder)) {
    Json path;
    path["path"] = Utf8(finding.where.path);
    path["checked_as"] = RoleText(finding.where.role);
    path["verdict"] = VerdictText(finding.rights.verdict);
    path["sid"] = finding.rights.sid.empty() ? Json(nullptr) : Json(finding.rights.sid);
    path["rights"] = finding.rights.rights == 0
                         ? Json(nullptr)
                         : Json(platform::RightNames(finding.rights.rights, finding.where.role));
    paths.push_back(path);
    if (!finding.passes && !first) first = upgrade::GroundFault{finding.where, finding.rights};
  }
  gate["paths"] = paths;
  // The text and event the run would give, which -install gives first.
  gate["refusal"] = first ? Json(Utf8(upgrade::GroundFaultText(*first))) : Json(nullptr);
  gate["event_id"] =
      first ? Json(static_cast<unsigned>(upgrade::GroundFaultEvent(*first))) : Json(nullptr);
  if (first) {
    Stop(gate, upgrade::GroundFaultText(*first) +
                   " -install would not register the service, and a run would not run setup");
  }
  return gate;
}

}  // namespace daxcheck
