#include "config/feature_opt_parser.h"

#include <utility>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/split.hpp>
#include <locale>
#include <vector>

#include "contract/event_report.h"
#include "contract/product_registry.h"
#include "diag/log.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"

namespace config {

namespace {

constexpr char kLogTag[] = "CFeatureOptParser::propigateOptions";
constexpr char kNotAllowedValue[] = "ProductFeaturesValidButNotAllowed";

// The whole value as ANSI text, however long, whatever its registry type.
bool ReadProductString(HKEY key, const char* name, std::string& value) {
  return platform::ReadRegistryText(key, name, platform::TextValueLimits(), value);
}

// A name that the profile API would write as something else than one key of the section: a line
// end starts a new line, "=" moves the rest of the name into the value, and a leading "[" reads
// as a section header.
bool IsWritableKey(const std::string& name) {
  if (name.find_first_of("\r\n=") != std::string::npos) return false;
  const size_t first = name.find_first_not_of(" \t");
  return first == std::string::npos || name[first] != '[';
}

// The key a name becomes in setAid.ini: the profile functions drop the white space around it
// (Wine's also the DOS end-of-file character).
constexpr char kKeyBlanks[] = " \t\v\f\x1a";
std::string StoredKey(const std::string& name) {
  const size_t first = name.find_first_not_of(kKeyBlanks);
  if (first == std::string::npos) return std::string();
  const size_t last = name.find_last_not_of(kKeyBlanks);
  return name.substr(first, last - first + 1);
}

// The profile functions find a key ignoring the letter case, so the list is read so too.
bool IsNotAllowed(const std::set<std::string>& notAllowed, const std::string& name) {
  const std::string key = StoredKey(name);
  for (const std::string& piece : notAllowed) {
    if (boost::iequals(piece, key, std::locale::classic())) return true;
  }
  return false;
}

}  // namespace

CFeatureOptParser::CFeatureOptParser(const std::string& packageDir,
                                     OptionWriterSystem& writerSystem)
    : CFeatureOptParser(packageDir, nullptr, writerSystem) {}

CFeatureOptParser::CFeatureOptParser(const std::string& packageDir,
                                     std::shared_ptr<ConfigXmlRun> run,
                                     OptionWriterSystem& writerSystem)
    : COptionParser(packageDir, std::move(run), writerSystem), section("FEATURE_SELECTION") {}

std::set<std::string> CFeatureOptParser::readNotAllowedFeatures() {
  std::set<std::string> notAllowed;
  const WORD architecture = system.ProcessorArchitecture();
  const bool is64Bit = contract::Is64BitProcessor(architecture);
  const REGSAM access = contract::ProductKeyAccess(architecture);
  platform::UniqueRegKey key;
  if (!contract::OpenProductKey(access, key)) {
    diag::LogLine(kLogTag, " - Unable to open registry key '", contract::kProductKeyPath, "'");
    return notAllowed;
  }
  std::string value;
  if (!ReadProductString(key.get(), kNotAllowedValue, value)) {
    diag::LogLine(kLogTag, " - Unable to read value '", kNotAllowedValue, "'");
    return notAllowed;
  }
  // The POP3/SMTP feature is allowed on 64-bit processors even when the client lists it alone.
  if (value == "Pop3Smtp" && is64Bit) value.clear();
  // Pieces are taken as they are: "A, B" names " B", not "B".
  std::vector<std::string> pieces;
  boost::split(pieces, value, boost::is_any_of(","));
  notAllowed.insert(pieces.begin(), pieces.end());
  return notAllowed;
}

std::uint32_t CFeatureOptParser::propigateOptions() {
  if (!shouldUpdate()) return kNoConfigReader;
  const std::vector<std::string> features = configParser->getEnabledFeatures();
  const std::set<std::string> notAllowed = readNotAllowedFeatures();
  // A rebuild that fails half-way would leave setup a subset of the features: the package's own
  // section is kept to be put back then.
  std::string packageSection;
  if (!system.ReadProfileSection(section.c_str(), iniPath.c_str(), packageSection)) {
    diag::LogLine(kLogTag, " - Unable to read the package's [", section,
                  "]; the section is not rebuilt");
    return kOptionWriteFailed;
  }
  const auto restore = [&] {
    const bool restored =
        system.WriteProfileSection(section.c_str(), packageSection, iniPath.c_str());
    contract::RecordEvent(
        contract::EventKind::kWarning, contract::EventId::kFeatureSectionRestored,
        std::string(kLogTag) + (restored ? " - a feature could not be written; the package's [" +
                                               section + "] is put back as it was"
                                         : " - a feature could not be written, and the "
                                           "package's [" +
                                               section + "] could not be put back"));
    return kOptionWriteFailed;
  };
  // The section is rebuilt from nothing: features the package brought are not kept.
  if (!writeValue(section.c_str(), nullptr, nullptr)) return restore();
  std::uint32_t result = kOptionsMerged;
  for (const std::string& name : features) {
    if (IsNotAllowed(notAllowed, name)) continue;
    // A child of EnabledClientFeatures without a name (a comment, too, reads so) names no
    // feature; written, it would be a line "=1" without a key.
    if (name.empty()) continue;
    if (!IsWritableKey(name)) {
      std::string shown = name;  // kept on one line of the log
      boost::replace_all(shown, "\r", "\\r");
      boost::replace_all(shown, "\n", "\\n");
      diag::LogLine(kLogTag, " - feature name '", shown, "' cannot be a key of setAid.ini");
      result = kInvalidOptionValue;
      continue;
    }
    if (!writeValue(section.c_str(), name.c_str(), "1")) return restore();
  }
  return result;
}

}  // namespace config
