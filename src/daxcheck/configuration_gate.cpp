// 5 Deployment configuration
#include <windows.h>
// after windows.h
#include <comdef.h>

#include <fstream>
#include <iterator>
#include <optional>

#include "config/config_xml_parser.h"
#include "contract/product_registry.h"
#include "daxcheck/gates.h"
#include "daxcheck/ini_diff.h"
#include "daxcheck/scratch_folder.h"
#include "sharedlib/isolation.h"
#include "upgrade/setup_launcher.h"

namespace daxcheck {

namespace {

std::optional<std::string> ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(Utf8(text)); }
Json TextOrNull(const std::wstring& text) {
  return text.empty() ? Json(nullptr) : Json(Utf8(text));
}

const char* LoadName(config::ConfigLoad load) {
  switch (load) {
    case config::ConfigLoad::kLoaded:
      return "loaded";
    case config::ConfigLoad::kNoFolder:
      return "no configuration folder";
    case config::ConfigLoad::kMissing:
      return "missing";
    case config::ConfigLoad::kTooLarge:
      return "larger than 16 MB, not read";
    case config::ConfigLoad::kUnreadable:
      return "size unreadable, not read";
    case config::ConfigLoad::kNotParsed:
      return "not parsed";
    case config::ConfigLoad::kNoCom:
      return "COM not initialised";
  }
  return "unknown";
}

// The shared library's isolation context, below which the path expansion reads its map.
Json IsolationReport() {
  Json isolation;
  const std::wstring silo = sharedlib::GetContextSiloName();
  const std::wstring root = sharedlib::GetSiloRegistryRoot();
  isolation["silo"] = TextOrNull(silo);
  isolation["registry_root"] = root.empty() ? Json(nullptr) : Json("HKLM\\" + Utf8(root));
  isolation["expansion_map"] =
      root.empty() ? Json(nullptr) : Json("HKLM\\" + Utf8(root) + "\\Varnel\\PathExpansionMap");
  return isolation;
}

// Where config.xml is found, as the run's reader finds it.
Json ConfigXmlReport() {
  const config::ConfigLocation location = config::LocateConfigXml();
  Json where;
  where["product_key"] = std::string("HKLM\\") + contract::kProductKeyPath;
  where["product_key_view"] = location.readIn32BitView ? "32-bit" : "default";
  where["product_key_opened"] = location.productKeyOpened;
  where["product_version"] = TextOrNull(location.productVersion);
  where["through"] = !location.versionParsed     ? "nothing"
                     : location.throughExpansion ? "%TRVCONFIGDIR%"
                                                 : "dax_install_path";
  where["isolation"] = IsolationReport();
  where["directory"] = TextOrNull(location.directory);
  where["path"] = TextOrNull(location.path);
  where["failure"] = location.failure.empty() ? Json(nullptr) : Json(location.failure.substr(3));
  return where;
}

// The selected entry, why it was selected, or why none was.
void DescribeSelection(const config::PackageSelection& chosen, config::ConfigLoad load,
                       Json& selection) {
  switch (chosen.by) {
    case config::PackageSelection::By::kNone:
      selection["selected_by"] = nullptr;
      selection["why"] = load == config::ConfigLoad::kLoaded
                             ? "no ClientPackage entry fits the package: nothing is merged"
                             : "config.xml is not loaded: nothing is merged";
      break;
    case config::PackageSelection::By::kChecksum:
      selection["selected_by"] = "checksum";
      selection["why"] = "its Checksum equals the package's PackageChecksum";
      break;
    case config::PackageSelection::By::kAttributes:
      selection["selected_by"] = "attributes";
      selection["why"] =
          "no entry has the package's checksum; its Product, Type and Language fit the package";
      break;
  }
  selection["position"] = chosen.position;
  if (chosen.by != config::PackageSelection::By::kNone) {
    selection["entry"] = {{"Checksum", Utf8(chosen.checksum)},
                          {"Product", Utf8(chosen.product)},
                          {"Type", Utf8(chosen.type)},
                          {"Language", Utf8(chosen.language)}};
  }
}

// The ClientPackage entry that the run's reader selects for the package.
Json ClientPackageReport(const std::string& folder) {
  Json selection;
  try {
    config::CConfigXMLParser reader(folder.c_str());
    selection["load"] = LoadName(reader.loadState());
    const config::PackageSelection chosen = reader.describeSelection();
    selection["package_identity"] = {{"PackageChecksum", Utf8(chosen.packageChecksum)},
                                     {"AppType", Utf8(chosen.appType)},
                                     {"platform_marker", Utf8(chosen.platformMarker)},
                                     {"Language", Utf8(chosen.packageLanguage)}};
    DescribeSelection(chosen, reader.loadState(), selection);
  } catch (const _com_error& error) {
    selection["load"] = "COM error " + Hex8(static_cast<unsigned>(error.Error()));
  }
  return selection;
}

// The run's option writers on a copy of setAid.ini: the package's own file is not touched.
Json OptionWritersReport(const std::string& folder, std::string& predictedSetAid) {
  Json merge;
  ScratchFolder scratch;
  const std::string original = folder + "\\setAid.ini";
  const DWORD attributes = ::GetFileAttributesA(original.c_str());
  merge["read_only_attribute_cleared"] =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (scratch.path().empty()) {
    merge["error"] = "no temporary folder for the copy of setAid.ini";
    return merge;
  }
  const std::string copy = scratch.path() + "\\setAid.ini";
  const bool present = attributes != INVALID_FILE_ATTRIBUTES;
  if (present && !::CopyFileA(original.c_str(), copy.c_str(), TRUE)) {
    merge["error"] = "setAid.ini cannot be copied";
    return merge;
  }
  const IniContents before = ReadIni(copy);
  const upgrade::OptionMergeResults results = upgrade::MergeDeploymentOptions(scratch.path());
  merge["results"] = {
      {"install", results.install}, {"reboot", results.reboot}, {"feature", results.feature}};
  merge["changes"] = IniChanges(before, ReadIni(copy));
  predictedSetAid = ReadBytes(copy).value_or(std::string());
  merge["predicted_setaid_ini"] = Utf8(predictedSetAid);
  return merge;
}

}  // namespace

Json ConfigurationGate(const std::string& folder, std::string& predictedSetAid) {
  Json gate = Gate(5, "deployment_configuration");
  gate["config_xml"] = ConfigXmlReport();
  gate["client_package"] = ClientPackageReport(folder);
  gate["option_writers"] = OptionWritersReport(folder, predictedSetAid);
  return gate;
}

}  // namespace daxcheck
