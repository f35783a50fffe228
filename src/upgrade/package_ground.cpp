#include "upgrade/package_ground.h"

#include <windows.h>

#include "config/config_xml_parser.h"
#include "diag/run_notes.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"

namespace upgrade {

namespace {

using platform::PathRights;
using platform::PathRole;
using Verdict = PathRights::Verdict;

constexpr char kPackageFolder[] = "the package folder";
constexpr char kAncestor[] = "the folder";
constexpr char kFile[] = "the file";
constexpr char kConfigFolder[] = "the folder of config.xml";

// The files of the package that the run opens or starts by name.
constexpr const char* kPackageFiles[] = {"daxinst.exe", "setup.exe", "setAid.ini", "Setup.ini"};

std::wstring Wide(const std::string& path) { return platform::WidenToNulStrict(path.c_str()); }

std::string Narrow(const std::wstring& path) { return platform::NarrowWithoutBestFit(path); }

bool Passes(const PathRights& rights) {
  return rights.verdict == Verdict::kPasses || rights.verdict == Verdict::kMissing;
}

}  // namespace

std::vector<GroundPath> PackageGroundPaths(const std::string& packageDirectory) {
  std::vector<GroundPath> paths;
  // A name that does not convert exactly is one the run does not use: it stays, and fails to
  // open, as a path that cannot be read.
  const std::wstring folder = Wide(packageDirectory);
  paths.push_back({folder, PathRole::kFolder, kPackageFolder});
  for (const std::wstring& ancestor : platform::AncestorsOf(folder)) {
    paths.push_back({ancestor, PathRole::kAncestor, kAncestor});
  }
  for (const char* name : kPackageFiles) {
    paths.push_back({Wide(packageDirectory + "\\" + name), PathRole::kFile, kFile});
  }
  // Every .msi that the run's search for one may find.
  WIN32_FIND_DATAA match = {};
  platform::UniqueFindHandle search(
      ::FindFirstFileA((packageDirectory + "\\*.msi").c_str(), &match));
  if (search) {
    do {
      paths.push_back({Wide(packageDirectory + "\\" + match.cFileName), PathRole::kFile, kFile});
    } while (::FindNextFileA(search.get(), &match));
  }
  const config::ConfigLocation location = config::LocateConfigXml();
  if (!location.directory.empty()) {
    std::wstring directory = location.directory;
    while (directory.size() > 3 && directory.back() == L'\\') directory.pop_back();
    paths.push_back({directory, PathRole::kFolder, kConfigFolder});
    paths.push_back({location.path, PathRole::kFile, kFile});
  }
  return paths;
}

std::vector<GroundFinding> JudgePackageGround(const std::string& packageDirectory) {
  std::vector<GroundFinding> findings;
  for (GroundPath& where : PackageGroundPaths(packageDirectory)) {
    GroundFinding finding;
    if (where.path.empty()) {
      finding.rights.verdict = Verdict::kUnreadable;
      finding.rights.error = ERROR_NO_UNICODE_TRANSLATION;
    } else {
      finding.rights = platform::CheckPathRights(where.path, where.role);
    }
    finding.passes = Passes(finding.rights);
    finding.where = std::move(where);
    findings.push_back(std::move(finding));
  }
  return findings;
}

std::optional<GroundFault> FindGroundFault(const std::string& packageDirectory) {
  for (GroundFinding& finding : JudgePackageGround(packageDirectory)) {
    if (!finding.passes) return GroundFault{std::move(finding.where), finding.rights};
  }
  return std::nullopt;
}

std::string GroundFaultText(const GroundFault& fault) {
  const std::string path =
      fault.where.path.empty() ? "(a name that does not convert)" : Narrow(fault.where.path);
  const bool above = fault.where.role == PathRole::kAncestor;
  const std::string what =
      std::string(fault.where.what) + " " + path + (above ? " above the package folder" : "");
  const PathRights& rights = fault.rights;
  switch (rights.verdict) {
    case Verdict::kForeignOwner:
      return "T" + what.substr(1) + " is owned by " + (rights.sid.empty() ? "nobody" : rights.sid) +
             ", not by SYSTEM, Administrators, TrustedInstaller or this program's account.";
    case Verdict::kForeignRight:
      return rights.sid + " may " +
             (above ? "delete or rename what is in " : std::string("change ")) + what + " (" +
             platform::RightNames(rights.rights, fault.where.role) + ").";
    default:
      return "Cannot read who may change " + what + " - error " + std::to_string(rights.error) +
             ".";
  }
}

contract::EventId GroundFaultEvent(const GroundFault& fault) {
  if (fault.rights.verdict != Verdict::kForeignOwner &&
      fault.rights.verdict != Verdict::kForeignRight) {
    return contract::EventId::kPackagePathUnreadable;
  }
  if (fault.where.role == PathRole::kAncestor) {
    return contract::EventId::kPackageAncestorChangeableByOthers;
  }
  return fault.rights.verdict == Verdict::kForeignOwner
             ? contract::EventId::kPackagePathForeignOwner
             : contract::EventId::kPackagePathChangeableByOthers;
}

bool PackageGroundIsSafe(const std::string& packageDirectory, const char* consequence) {
  const std::optional<GroundFault> fault = FindGroundFault(packageDirectory);
  if (!fault) {
    diag::NoteGate("package_ground", true, std::string());
    return true;
  }
  const std::string text = GroundFaultText(*fault);
  contract::RecordEvent(contract::EventKind::kError, GroundFaultEvent(*fault),
                        text + " " + consequence);
  diag::NoteGate("package_ground", false, text);
  return false;
}

}  // namespace upgrade
