// Hostile input given to the real service under Wine: each case stages a package as the staging
// program would, with one input made hostile (config.xml, setAid.ini, Setup.ini, isolate.ini, the
// .msi, or a registry value the run reads), and checks that the run still ends within its waits,
// that every daxinst.exe process exits 0, that nothing but setAid.ini and the log changes, and
// that the log tells what happened, line by line. The case that waits out the two-minute
// polling time is instantiated as SlowInputs, which tests/e2e/CMakeLists.txt gives a CTest entry
// of its own.
#include <windows.h>
// After windows.h, which they need.
#include <msi.h>
#include <msiquery.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "config/config_fixture.h"
#include "e2e/e2e_support.h"
#include "e2e/staged_package.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using e2e::kClientKey;
using e2e::kNotAllowedValue;
using e2e::kPollingRunWait;
using e2e::kRunWait;
using e2e::kSetupResultKey;

using testing_support::Dump;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

constexpr char kPackageMsi[] = "package_h_12.1.10.msi";
constexpr char kReaderTag[] = "CConfigXMLParser::CConfigXMLParser";

constexpr char kSetupIni[] =
    "[Startup]\r\nCmdLine=/qb /l*v C:\\pkglogs\\setup.log IDCENABLE = 1 /norestart\r\n";
constexpr char kConfigBody[] =
    "<ClientPackage Checksum=\"C0FFEE\">"
    "<InstallationOption InstallationDirectory=\"D:\\New\" UserInterfaceLevel=\"Unattended\""
    " InstallationLogFileName=\"C:\\logs\\upgrade.log\"/>"
    "<RebootOptions AutoReboot=\"1\"/>"
    "<EnabledClientFeatures><F FeatureName=\"Core\"/><F FeatureName=\"Legacy\"/>"
    "</EnabledClientFeatures>"
    "</ClientPackage>";

// The /v arguments before DAXPID: with config.xml merged, and without it (Setup.ini's log
// switch, no user-interface level).
constexpr char kMergedArguments[] = "/qb!- /l*v C:\\logs\\upgrade.log IDCENABLE=1";
constexpr char kUnmergedArguments[] = "/qn /l*v C:\\pkglogs\\setup.log IDCENABLE=1";

// Stands for the setup command line in a case's expected lines.
constexpr char kCommandLine[] = "{command line}";

std::string Repeat(const std::string& piece, size_t count) {
  std::string text;
  text.reserve(piece.size() * count);
  for (size_t i = 0; i < count; ++i) text += piece;
  return text;
}

std::string Bytes(std::uint32_t seed, size_t count) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::string Dword(DWORD value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof(value));
}

std::string Utf16(const std::string& ascii) {
  std::string wide;
  for (char c : ascii) {
    wide.push_back(c);
    wide.push_back('\0');
  }
  return wide;
}

// "1.1.1..." with `count` components.
std::string ManyComponents(size_t count) {
  std::string text = "1";
  for (size_t i = 1; i < count; ++i) text += ".1";
  return text;
}

std::uint64_t Fnv1a(const std::string& bytes) {
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

// Every file below `folder` (relative name, hash and size), but those in `skip`.
void HashTree(const std::string& folder, const std::string& relative,
              const std::vector<std::string>& skip, std::map<std::string, std::string>& out) {
  WIN32_FIND_DATAA entry;
  platform::UniqueFindHandle find(::FindFirstFileA((folder + "\\*").c_str(), &entry));
  if (!find) return;
  do {
    const std::string name = entry.cFileName;
    if (name == "." || name == "..") continue;
    const std::string child = relative.empty() ? name : relative + "\\" + name;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      HashTree(folder + "\\" + name, child, skip, out);
      continue;
    }
    bool skipped = false;
    for (const auto& s : skip) skipped = skipped || _stricmp(s.c_str(), child.c_str()) == 0;
    if (skipped) continue;
    const auto bytes = ReadFileBytes(folder + "\\" + name);
    char text[64];
    std::snprintf(text, sizeof(text), "%zu bytes, %016llx", bytes ? bytes->size() : 0,
                  static_cast<unsigned long long>(bytes ? Fnv1a(*bytes) : 0));
    out[child] = text;
  } while (::FindNextFileA(find.get(), &entry));
}

void SetRawValue(HKEY root, const std::string& subKey, const char* name, DWORD type,
                 const std::string& data, REGSAM view) {
  platform::UniqueRegKey key;
  ASSERT_EQ(::RegCreateKeyExA(root, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                              key.put(), nullptr),
            ERROR_SUCCESS)
      << subKey;
  ASSERT_EQ(::RegSetValueExA(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
            ERROR_SUCCESS)
      << name;
}

// `expected` may hold kAny, which stands for any run of characters (a Windows Installer code
// that this case does not pin down).
constexpr char kAny = '\x01';

bool LineMatches(const std::string& expected, const std::string& actual) {
  size_t at = 0;
  size_t from = 0;
  bool first = true;
  for (;;) {
    const size_t wild = expected.find(kAny, from);
    const std::string piece = expected.substr(from, wild == std::string::npos ? wild : wild - from);
    if (wild == std::string::npos) {
      // The last piece ends the line.
      return actual.size() >= at + piece.size() &&
             actual.compare(actual.size() - piece.size(), piece.size(), piece) == 0 &&
             (!first || actual.size() == piece.size());
    }
    const size_t found = first
                             ? (actual.compare(0, piece.size(), piece) == 0 ? 0 : std::string::npos)
                             : actual.find(piece, at);
    if (found == std::string::npos) return false;
    at = found + piece.size();
    from = wild + 1;
    first = false;
  }
}

bool LinesMatch(const std::vector<std::string>& expected, const std::vector<std::string>& actual) {
  if (expected.size() != actual.size()) return false;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (!LineMatches(expected[i], actual[i])) return false;
  }
  return true;
}

// A registry value a case stages under the product key or the silo's expansion map: the run only
// reads them, so each must be found as it was staged.
struct StagedValue {
  std::string key;
  std::string name;
  REGSAM view;
};

// What a case can change before the run.
class Staging {
 public:
  Staging(e2e::StagedPackage& package, std::string configFolder)
      : package_(package), configFolder_(std::move(configFolder)) {}

  e2e::StagedPackage& package() { return package_; }
  const std::string& configFolder() const { return configFolder_; }

  void WriteConfig(const std::string& bytes) {
    WriteFileBytes(configFolder_ + "\\config.xml", bytes);
  }
  void WritePackageFile(const char* name, const std::string& bytes) {
    WriteFileBytes(package_.File(name), bytes);
  }

  // Values under the product key, in the 32-bit view where the run looks while the client's
  // own service is not installed.
  void SetProductValue(const char* name, DWORD type, const std::string& data) {
    SetStagedValue(config_testing::kProductKey, name, type, data);
  }
  void SetProductText(const char* name, const std::string& text) {
    SetProductValue(name, REG_SZ, text + '\0');
  }
  void SetMapValue(const char* name, DWORD type, const std::string& data) {
    SetStagedValue(config_testing::MapKey(), name, type, data);
  }

  // A client that keeps config.xml where %TRVCONFIGDIR% points, with the package's own silo.
  void UseExpandedConfigFolder() {
    SetProductText("ProductVersion", "12.1.671");
    SetMapValue("trvconfigdir", REG_SZ, configFolder_ + '\0');
    WritePackageFile("isolate.ini",
                     "[isolation]\r\nsilo=" + std::string(config_testing::kSilo) + "\r\n");
  }

  void SetClientValue(const char* name, DWORD type, const std::string& data) {
    SetRawValue(HKEY_LOCAL_MACHINE, kClientKey, name, type, data, KEY_WOW64_32KEY);
  }
  void SetSetupResult(DWORD type, const std::string& data) {
    SetRawValue(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", type, data, 0);
  }

  const std::vector<StagedValue>& stagedValues() const { return staged_; }

 private:
  void SetStagedValue(const std::string& key, const char* name, DWORD type,
                      const std::string& data) {
    SetRawValue(HKEY_LOCAL_MACHINE, key, name, type, data, KEY_WOW64_32KEY);
    staged_.push_back({key, name, KEY_WOW64_32KEY});
  }

  e2e::StagedPackage& package_;
  std::string configFolder_;
  std::vector<StagedValue> staged_;
};

// Which road the run takes, which decides the lines around the case's own.
enum class Road {
  kFirstTime,  // no usable "LaunchSetup": setup runs and leaves code 0
  kCounted,    // "LaunchSetup" = 0: setup runs once more and leaves code 0
  kPolling,    // setup runs but leaves no usable code: the run polls for two minutes and fails
};

// What setAid.ini holds afterwards.
enum class Merge {
  kMerged,         // config.xml's settings merged over the package's
  kUnmerged,       // config.xml could not be used: the package's settings, features cleared
  kMergedAllowed,  // merged, and no feature left out
  kCaseChecks,     // the case looks at the file itself
};

using KeptCheck = std::function<void(const e2e::StagedPackage&, const std::string& setAidBefore)>;

struct HostileCase {
  HostileCase(std::string caseName, std::function<void(Staging&)> prepareRun,
              std::vector<std::string> runLines, std::string setupArguments,
              Merge merged = Merge::kMerged, Road taken = Road::kFirstTime, KeptCheck kept = {})
      : name(std::move(caseName)),
        prepare(std::move(prepareRun)),
        lines(std::move(runLines)),
        arguments(std::move(setupArguments)),
        merge(merged),
        road(taken),
        check(std::move(kept)) {}

  std::string name;
  std::function<void(Staging&)> prepare;
  // The run's lines between "Setup path = " and the notify mutex's line; kCommandLine stands
  // for the command line.
  std::vector<std::string> lines;
  std::string arguments;  // the /v arguments setup gets before DAXPID
  Merge merge;
  Road road;
  // More checks of what was kept, after the run; setAid.ini's bytes before the run are given.
  KeptCheck check;
};

std::ostream& operator<<(std::ostream& out, const HostileCase& c) { return out << c.name; }

// The lines of a run in which nothing is reported before setup starts: the version gate (no
// related product is installed here) and the command line.
std::vector<std::string> Plain() {
  return {"ERROR: MsiEnumRelatedProducts failed with error 259",
          "New Version = 12.1.10 Installed Version = ", kCommandLine};
}

// A run whose config.xml reader reports `message`: the three option writers and the two
// questions of the command-line generator each build a reader, the first three before the gate.
std::vector<std::string> WithReaderLine(const std::string& message) {
  const std::string line = kReaderTag + message;
  std::vector<std::string> lines = {line, line, line};
  const auto plain = Plain();
  lines.insert(lines.end(), plain.begin(), plain.end() - 1);
  lines.push_back(line);
  lines.push_back(line);
  lines.push_back(kCommandLine);
  return lines;
}

class HostileInputTest : public e2e::WholeRunTest,
                         public ::testing::WithParamInterface<HostileCase> {
 protected:
  HostileInputTest() : WholeRunTest("hostile", kConfigBody) {}

  void SetUp() override {
    WholeRunTest::SetUp();
    e2e::PackageContents contents;
    contents.folder = "hostile pkg";
    contents.msi = kPackageMsi;
    contents.setupIni = kSetupIni;
    Stage(contents);
  }

  std::map<std::string, std::string> Untouchable() const {
    std::map<std::string, std::string> hashes;
    HashTree(package_->path(), "",
             {"setAid.ini", "daxinst.log", "setup-record.txt", "setup-arguments.txt"}, hashes);
    std::map<std::string, std::string> config;
    HashTree(config_.path(), "", {}, config);
    for (const auto& [name, hash] : config) hashes["config\\" + name] = hash;
    return hashes;
  }

  static std::map<std::string, std::string> ReadStaged(const std::vector<StagedValue>& values) {
    std::map<std::string, std::string> read;
    for (const auto& value : values) {
      const auto found = testing_support::ReadRegistryValue(HKEY_LOCAL_MACHINE, value.key.c_str(),
                                                            value.name.c_str(), value.view);
      read[value.key + "\\" + value.name] =
          found ? std::to_string(found->type) + ":" + std::to_string(Fnv1a(found->data)) : "gone";
    }
    return read;
  }

  std::string CommandLine(const std::string& arguments) const {
    return e2e::SetupCommandLine(*package_, arguments);
  }

  // What setup's C runtime makes of that command line: its path, /w, /s and one /v argument,
  // whatever the case staged.
  std::vector<std::string> SetupArguments(const std::string& arguments) const {
    return {package_->SetupPath(), "/w", "/s",
            "/v" + arguments + " DAXPID=" + std::to_string(::GetCurrentProcessId()) +
                " REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade"};
  }

  std::vector<std::string> ExpectedRun(const HostileCase& c) const {
    std::vector<std::string> lines = e2e::RunOpening(package_->path());
    // The counted road has no line of its own before setup: it decides on the setup result,
    // which these cases make unreadable.
    if (c.road != Road::kCounted)
      lines.push_back("DaxInst: LaunchSetup not found, first time setup. ");
    lines.push_back("Setup path = " + package_->SetupPath());
    for (const auto& line : c.lines) {
      lines.push_back(line == kCommandLine ? CommandLine(c.arguments) : line);
    }
    lines.push_back("Successfully created new mutex");
    lines.push_back("DaxInst: RunDaxSetup returns code = 0");
    switch (c.road) {
      case Road::kFirstTime:
        lines.push_back("DaxInst: Write 1 to LaunchSetup.");
        lines.push_back("<DaxSetupResult>Dax Setup Code = 0");
        lines.push_back("DaxInst: Auto-upgrade succeeded.");
        break;
      case Road::kCounted:
        lines.push_back("DaxInst: Times to set up = 1");
        lines.push_back("<DaxSetupResult>Dax Setup Code = 0");
        lines.push_back("DaxInst: Auto-upgrade succeeded.");
        break;
      case Road::kPolling:
        lines.push_back("DaxInst: Write 1 to LaunchSetup.");
        lines.push_back("<DaxSetupResult>Try to read DaxSetupResult for 3 minutes. Failed.");
        lines.push_back("<DaxSetupResult>ERR to read DaxSetupResult.");
        lines.push_back("********* install error 1303-- retry 1");
        lines.push_back("DaxInst: Auto-upgrade failed.");
        break;
    }
    for (const auto& line : e2e::RunClosing()) lines.push_back(line);
    return lines;
  }

  void ExpectSetAid(Merge merge) const {
    switch (merge) {
      case Merge::kMerged:
        e2e::ExpectMergedSetAid(*package_, e2e::LegacyFeature::kLeftOut);
        return;
      case Merge::kMergedAllowed:
        e2e::ExpectMergedSetAid(*package_, e2e::LegacyFeature::kKept);
        return;
      case Merge::kUnmerged:
        break;
      case Merge::kCaseChecks:
        return;
    }
    const auto setAid = ReadFileBytes(package_->SetAidPath());
    ASSERT_TRUE(setAid);
    // The package's identity is only read.
    EXPECT_NE(setAid->find("PackageChecksum=C0FFEE\r\nAppType=105\r\n"), std::string::npos)
        << *setAid;
    EXPECT_EQ(setAid->find("Old=1"), std::string::npos) << "the feature section was kept\n"
                                                        << *setAid;
    EXPECT_NE(setAid->find("DestinationDirectory=C:\\Old\r\n"), std::string::npos) << *setAid;
    EXPECT_NE(setAid->find("AutoReboot=false\r\n"), std::string::npos) << *setAid;
    EXPECT_EQ(setAid->find("Core=1"), std::string::npos) << *setAid;
  }
};

TEST_P(HostileInputTest, RunEndsCleanlyKeepsTheClientsDataAndLogsTheOutcome) {
  const HostileCase& c = GetParam();
  Staging stage(*package_, config_.path());
  c.prepare(stage);
  if (c.road == Road::kPolling) {
    WriteFileBytes(package_->File("setup-control.ini"), "[setup]\r\ncode=none\r\n");
  }
  const auto untouchable = Untouchable();
  const auto stagedValues = ReadStaged(stage.stagedValues());
  const std::string setAidBefore = ReadFileBytes(package_->SetAidPath()).value_or("");

  const e2e::StagedRunResult run = package_->InstallStartAndWait(
      starter_, c.road == Road::kPolling ? kPollingRunWait : kRunWait);

  // The run ended in time, and every process of it exited 0.
  ASSERT_TRUE(e2e::RanToTheEnd(run, *package_));
  EXPECT_NE(run.serviceProcessId, 0u) << "the SCM never named the service's process";
  bool sawService = false;
  for (const auto& process : run.processes) {
    sawService = sawService || process.processId == run.serviceProcessId;
    EXPECT_EQ(process.exitCode, 0u) << "daxinst.exe process " << process.processId;
  }
  EXPECT_TRUE(sawService);
  EXPECT_GE(run.processes.size(), 2u) << "the service process and its -uninstall child";
  for (const auto& line : package_->folder().Messages()) {
    EXPECT_EQ(line.find("xception"), std::string::npos) << line;
  }

  // The outcome is logged.
  const auto expected = ExpectedRun(c);
  EXPECT_TRUE(LinesMatch(expected, package_->FirstRunLines()))
      << "expected:\n"
      << Dump(expected) << "logged:\n"
      << Dump(package_->folder().Messages());

  // Setup ran once with the command line expected, and took it apart as expected.
  EXPECT_EQ(package_->SetupCommandLine(), CommandLine(c.arguments));
  EXPECT_EQ(package_->SetupArguments(), SetupArguments(c.arguments));

  // Nothing but setAid.ini and the log changed: no file of the package or of the client, and no
  // registry value the run only reads.
  EXPECT_EQ(Untouchable(), untouchable);
  EXPECT_EQ(ReadStaged(stage.stagedValues()), stagedValues);
  EXPECT_EQ(
      testing_support::ReadDword(HKEY_LOCAL_MACHINE, kClientKey, "DaxSetupStatus", KEY_WOW64_32KEY),
      2u);

  ExpectSetAid(c.merge);
  if (c.check) c.check(*package_, setAidBefore);
}

// setAid.ini is byte for byte as it was staged.
KeptCheck Unchanged() {
  return [](const e2e::StagedPackage& package, const std::string& before) {
    EXPECT_EQ(ReadFileBytes(package.SetAidPath()), before) << "setAid.ini changed";
  };
}

// setAid.ini still holds every line of `section` as it was staged.
KeptCheck KeepsBlock(std::string block) {
  return [block](const e2e::StagedPackage& package, const std::string&) {
    const auto setAid = ReadFileBytes(package.SetAidPath());
    ASSERT_TRUE(setAid);
    EXPECT_NE(setAid->find(block), std::string::npos) << "lost part of setAid.ini";
  };
}

std::string BulkSection(size_t lines) {
  std::string section = "[BULK]\r\n";
  char line[64];
  for (size_t i = 0; i < lines; ++i) {
    std::snprintf(line, sizeof(line), "Key%06zu=Value %zu\r\n", i, i);
    section += line;
  }
  return section;
}

// config.xml ----------------------------------------------------------------------------------

std::string EntityBomb() {
  std::string doctype =
      "<?xml version=\"1.0\"?>\r\n<!DOCTYPE Deployment [\r\n"
      "<!ENTITY lol0 \"lollollollollollollollollollol\">\r\n";
  for (int i = 1; i <= 9; ++i) {
    doctype += "<!ENTITY lol" + std::to_string(i) + " \"" +
               Repeat("&lol" + std::to_string(i - 1) + ";", 10) + "\">\r\n";
  }
  doctype += "]>\r\n";
  const std::string body = kConfigBody;
  // The bomb goes off inside the package's own entry, in an attribute the run reads.
  return doctype + "<Deployment>\r\n" +
         "<ClientPackage Checksum=\"C0FFEE\"><InstallationOption InstallationDirectory=\"&lol9;\""
         " UserInterfaceLevel=\"Unattended\"/></ClientPackage>\r\n</Deployment>\r\n";
}

std::string FiftyMegabytes() {
  // The package's entry first, then entries for other packages up to 50 MB.
  std::string document = "<?xml version=\"1.0\"?>\r\n<Deployment>\r\n";
  document += kConfigBody;
  document += "\r\n";
  const std::string filler =
      "<ClientPackage Checksum=\"0THER\" Product=\"Other Win64\" Type=\"7.1\" Language=\"de\">"
      "<InstallationOption InstallationDirectory=\"C:\\Elsewhere\"/></ClientPackage>\r\n";
  document.reserve(50u << 20);
  while (document.size() < (50u << 20)) document += filler;
  return document + "</Deployment>\r\n";
}

std::string DeepNesting() {
  const std::string open = Repeat("<N>", 10000);
  const std::string close = Repeat("</N>", 10000);
  std::string body = kConfigBody;
  body.insert(body.find("</ClientPackage>"), open + close);
  return config_testing::Document(body);
}

std::string TenThousandAttributes() {
  std::string attributes;
  for (int i = 0; i < 10000; ++i)
    attributes += " A" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  std::string body = kConfigBody;
  body.insert(std::string("<ClientPackage").size(), attributes);
  return config_testing::Document(body);
}

// A config.xml whose InstallationLogFileName names a folder in quotes.
std::string LogFileNameEndingInBackslash() {
  std::string body = kConfigBody;
  const std::string name = "C:\\logs\\upgrade.log";
  body.replace(body.find(name), name.size(), "&quot;C:\\logs\\&quot;");
  return config_testing::Document(body);
}

// The lines of a run in which the command-line generator reports `warning` before the command
// line.
std::vector<std::string> WithWarning(const std::string& warning) {
  std::vector<std::string> lines = Plain();
  lines.insert(lines.end() - 1, warning);
  return lines;
}

std::vector<HostileCase> ConfigCases() {
  return {
      // Fault: the name became \"C:\logs\\" inside the /v argument, where two backslashes
      // before a quote are one and the quote ends the argument: setup got DAXPID=,
      // REBOOT=ReallySuppress and IDCDEPLOYMENT=AutoUpgrade as arguments of its own, and
      // Windows Installer no REBOOT=ReallySuppress. The name is now set aside for Setup.ini's.
      {"ConfigXmlLogFileNameEndingInBackslash",
       [](Staging& s) { s.WriteConfig(LogFileNameEndingInBackslash()); },
       WithWarning("WARNING: InstallationLogFileName of config.xml is set aside: its file name "
                   "ends in a backslash [/l*v \"C:\\logs\\\"]"),
       "/qb!- /l*v C:\\pkglogs\\setup.log IDCENABLE=1"},
      {"ConfigXmlEntityExpansionBomb", [](Staging& s) { s.WriteConfig(EntityBomb()); }, Plain(),
       "/qn /l*v C:\\pkglogs\\setup.log IDCENABLE=1", Merge::kUnmerged},
      {"ConfigXmlOf50Megabytes", [](Staging& s) { s.WriteConfig(FiftyMegabytes()); },
       WithReaderLine(" - config.xml is larger than 16 MB and is not read"), kUnmergedArguments,
       Merge::kUnmerged},
      {"ConfigXmlNested10000Deep", [](Staging& s) { s.WriteConfig(DeepNesting()); }, Plain(),
       kUnmergedArguments, Merge::kUnmerged},
      {"ConfigXmlWithInvalidUtf8",
       [](Staging& s) {
         std::string body = kConfigBody;
         body.insert(body.find("D:\\New"), "\xC3\x28\xFF\xFE");
         s.WriteConfig("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Deployment>\r\n" + body +
                       "\r\n</Deployment>\r\n");
       },
       Plain(), kUnmergedArguments, Merge::kUnmerged},
      {"ConfigXmlWithNulBytes",
       [](Staging& s) {
         std::string document = config_testing::Document(kConfigBody);
         document.insert(document.find("<RebootOptions"), std::string("\0\0\0", 3));
         s.WriteConfig(document);
       },
       Plain(), kUnmergedArguments, Merge::kUnmerged},
      {"ConfigXmlClientPackageWith10000Attributes",
       [](Staging& s) { s.WriteConfig(TenThousandAttributes()); }, Plain(), kMergedArguments},
  };
}

// setAid.ini and Setup.ini --------------------------------------------------------------------

std::vector<HostileCase> IniCases() {
  const std::string bulk = BulkSection(100000);
  const std::string longLine = "Note=" + Repeat("n", 10 * 1024) + "\r\n";
  return {
      {"SetAidIniWith100000Lines",
       [bulk](Staging& s) { s.WritePackageFile("setAid.ini", e2e::kStagedSetAid + bulk); }, Plain(),
       kMergedArguments, Merge::kMerged, Road::kFirstTime, KeepsBlock(bulk)},
      {"SetAidIniWith10KilobyteLines",
       [longLine](Staging& s) {
         s.WritePackageFile("setAid.ini",
                            std::string(e2e::kStagedSetAid) + "[LONG]\r\n" + longLine);
       },
       Plain(), kMergedArguments, Merge::kMerged, Road::kFirstTime, KeepsBlock(longLine)},
      // No identity can be read, so no entry of config.xml fits and nothing is written.
      {"SetAidIniOfBinaryGarbage",
       [](Staging& s) { s.WritePackageFile("setAid.ini", Bytes(7, 64 * 1024)); }, Plain(),
       kUnmergedArguments, Merge::kCaseChecks, Road::kFirstTime, Unchanged()},
      {"SetAidIniKeysWithoutEquals",
       [](Staging& s) {
         s.WritePackageFile("setAid.ini",
                            "[PREDEFINED_DAX_CONFIG]\r\nPackageChecksum\r\nAppType\r\n"
                            "[CUSTOM_DAX_CONFIG]\r\nDestinationDirectory\r\nAutoReboot\r\n");
       },
       Plain(), kUnmergedArguments, Merge::kCaseChecks, Road::kFirstTime, Unchanged()},
      {"SetupIniWith100000Lines",
       [bulk](Staging& s) { s.WritePackageFile("Setup.ini", bulk + kSetupIni); }, Plain(),
       kMergedArguments},
      {"SetupIniWith10KilobyteLine",
       [](Staging& s) {
         s.WritePackageFile("Setup.ini",
                            "[Startup]\r\nCmdLine=" + Repeat("x", 10 * 1024) + " IDCENABLE=1\r\n");
       },
       Plain(), "/qb!- /l*v C:\\logs\\upgrade.log"},
      {"SetupIniOfBinaryGarbage",
       [](Staging& s) { s.WritePackageFile("Setup.ini", Bytes(11, 64 * 1024)); }, Plain(),
       "/qb!- /l*v C:\\logs\\upgrade.log"},
      {"SetupIniKeysWithoutEquals",
       [](Staging& s) { s.WritePackageFile("Setup.ini", "[Startup]\r\nCmdLine\r\nIDCENABLE\r\n"); },
       Plain(), "/qb!- /l*v C:\\logs\\upgrade.log"},
  };
}

// isolate.ini ---------------------------------------------------------------------------------

std::vector<HostileCase> IsolationCases() {
  const auto unexpanded =
      WithReaderLine(" - Unable to expand TRVCONFIGDIR path expansion variable");
  return {
      {"IsolateIniValidForComparison", [](Staging& s) { s.UseExpandedConfigFolder(); }, Plain(),
       kMergedArguments},
      {"IsolateIniOfGarbage",
       [](Staging& s) {
         s.UseExpandedConfigFolder();
         s.WritePackageFile("isolate.ini", Bytes(13, 4096));
       },
       unexpanded, kUnmergedArguments, Merge::kUnmerged},
      {"IsolateIniUtf16WithoutByteOrderMark",
       [](Staging& s) {
         s.UseExpandedConfigFolder();
         s.WritePackageFile(
             "isolate.ini",
             Utf16("[isolation]\r\nsilo=" + std::string(config_testing::kSilo) + "\r\n"));
       },
       unexpanded, kUnmergedArguments, Merge::kUnmerged},
      {"IsolateIniWithoutIsolationSection",
       [](Staging& s) {
         s.UseExpandedConfigFolder();
         s.WritePackageFile("isolate.ini",
                            "[other]\r\nsilo=" + std::string(config_testing::kSilo) + "\r\n");
       },
       unexpanded, kUnmergedArguments, Merge::kUnmerged},
  };
}

// Registry values -----------------------------------------------------------------------------

std::vector<HostileCase> RegistryCases() {
  const std::string big = Repeat("x", 64 * 1024 - 1) + '\0';
  const auto noVersion = WithReaderLine(" - Unable to read value 'ProductVersion'");
  return {
      {"ProductVersionOfTypeDword",
       [](Staging& s) { s.SetProductValue("ProductVersion", REG_DWORD, Dword(12)); },
       WithReaderLine(" - Unable to parse value 'ProductVersion'"), kUnmergedArguments,
       Merge::kUnmerged},
      {"ProductVersionOf64Kilobytes",
       [big](Staging& s) { s.SetProductValue("ProductVersion", REG_SZ, big); }, noVersion,
       kUnmergedArguments, Merge::kUnmerged},
      {"ProductVersionOf1000Components",
       [](Staging& s) { s.SetProductText("ProductVersion", ManyComponents(1000)); }, noVersion,
       kUnmergedArguments, Merge::kUnmerged},
      {"DaxInstallPathOfTypeDword",
       [](Staging& s) { s.SetProductValue("dax_install_path", REG_DWORD, Dword(0x433A5C)); },
       Plain(), kUnmergedArguments, Merge::kUnmerged},
      {"DaxInstallPathOf64Kilobytes",
       [big](Staging& s) { s.SetProductValue("dax_install_path", REG_SZ, big); },
       WithReaderLine(" - Unable to read value 'dax_install_path'"), kUnmergedArguments,
       Merge::kUnmerged},
      {"NotAllowedFeaturesOfTypeDword",
       [](Staging& s) { s.SetProductValue(kNotAllowedValue, REG_DWORD, Dword(0x4C)); }, Plain(),
       kMergedArguments, Merge::kMergedAllowed},
      {"NotAllowedFeaturesOf64Kilobytes",
       [](Staging& s) {
         s.SetProductText(kNotAllowedValue, Repeat("Feature,", 8 * 1024 - 1) + "Legacy");
       },
       Plain(), kMergedArguments},
      {"ExpansionMapValueOfTypeDword",
       [](Staging& s) {
         s.UseExpandedConfigFolder();
         s.SetMapValue("trvconfigdir", REG_DWORD, Dword(1));
       },
       WithReaderLine(" - Unable to expand TRVCONFIGDIR path expansion variable"),
       kUnmergedArguments, Merge::kUnmerged},
      {"ExpansionMapValueOf64Kilobytes",
       [](Staging& s) {
         s.UseExpandedConfigFolder();
         // 32,767 characters and the terminator: a folder no file can be read from.
         s.SetMapValue("trvconfigdir", REG_SZ, Utf16(Repeat("x", 32767)) + std::string(2, '\0'));
       },
       Plain(), kUnmergedArguments, Merge::kUnmerged},
      // Each value repeats the next variable: 10,922 copies of 32,766 characters.
      {"ExpansionMapValuesThatMultiply",
       [](Staging& s) {
         s.UseExpandedConfigFolder();
         s.SetMapValue("trvconfigdir", REG_SZ, Utf16(Repeat("%many%", 1)) + std::string(2, '\0'));
         s.SetMapValue("many", REG_SZ, Utf16(Repeat("%big%", 10922)) + std::string(2, '\0'));
         s.SetMapValue("big", REG_SZ, Utf16(Repeat("x", 32766)) + std::string(2, '\0'));
       },
       WithReaderLine(" - Unable to expand TRVCONFIGDIR path expansion variable"),
       kUnmergedArguments, Merge::kUnmerged},
      {"LaunchSetupOfTypeText",
       [](Staging& s) { s.SetClientValue("LaunchSetup", REG_SZ, std::string("0\0", 2)); }, Plain(),
       kMergedArguments},
      {"LaunchSetupOf64Kilobytes",
       [big](Staging& s) { s.SetClientValue("LaunchSetup", REG_BINARY, big); }, Plain(),
       kMergedArguments},
      {"SetupResultOfTypeTextOnTheCountedRoad",
       [](Staging& s) {
         s.SetClientValue("LaunchSetup", REG_DWORD, Dword(0));
         s.SetSetupResult(REG_SZ, std::string("99\0", 3));
       },
       Plain(), kMergedArguments, Merge::kMerged, Road::kCounted},
      {"SetupResultOf64KilobytesOnTheCountedRoad",
       [big](Staging& s) {
         s.SetClientValue("LaunchSetup", REG_DWORD, Dword(0));
         s.SetSetupResult(REG_BINARY, big);
       },
       Plain(), kMergedArguments, Merge::kMerged, Road::kCounted},
      // The one case that waits out the polling time: setup leaves nothing, and the value left
      // from before is text.
      {"SetupResultLeftAs64KilobytesOfText", [big](Staging& s) { s.SetSetupResult(REG_SZ, big); },
       Plain(), kMergedArguments, Merge::kMerged, Road::kPolling},
  };
}

// The .msi and its version --------------------------------------------------------------------

// Rewrites the staged .msi's ProductVersion through Windows Installer itself.
void SetMsiProductVersion(const std::string& msi, const std::string& version) {
  platform::UniqueMsiHandle database;
  ASSERT_EQ(::MsiOpenDatabaseA(msi.c_str(), MSIDBOPEN_TRANSACT, database.put()), ERROR_SUCCESS);
  platform::UniqueMsiHandle view;
  ASSERT_EQ(::MsiDatabaseOpenViewA(
                database.get(), "UPDATE `Property` SET `Value`=? WHERE `Property`='ProductVersion'",
                view.put()),
            ERROR_SUCCESS);
  platform::UniqueMsiHandle record(::MsiCreateRecord(1));
  ASSERT_EQ(::MsiRecordSetStringA(record.get(), 1, version.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(::MsiViewExecute(view.get(), record.get()), ERROR_SUCCESS);
  ASSERT_EQ(::MsiDatabaseCommit(database.get()), ERROR_SUCCESS);
}

std::vector<HostileCase> MsiCases() {
  return {
      // An .msi that is no database is refused before setup: package_gate_e2e_tests
      // SlowPackageGateTest.MsiThatIsNotADatabaseIsNotRun.
      {"MsiProductVersionOf1000Components",
       [](Staging& s) { SetMsiProductVersion(s.package().MsiPath(), ManyComponents(1000)); },
       {"ERROR: MsiEnumRelatedProducts failed with error 259",
        "ERROR: MsiRecordGetString failed with error 234",
        "New Version = 0.0.0.0 Installed Version = ", kCommandLine},
       kMergedArguments},
  };
}

std::vector<HostileCase> AllCases() {
  std::vector<HostileCase> all;
  for (auto cases : {ConfigCases(), IniCases(), IsolationCases(), RegistryCases(), MsiCases()}) {
    all.insert(all.end(), cases.begin(), cases.end());
  }
  return all;
}

// The cases that wait out the polling time (`slow`), or the others.
std::vector<HostileCase> Cases(bool slow) {
  std::vector<HostileCase> cases;
  for (auto& c : AllCases()) {
    if ((c.road == Road::kPolling) == slow) cases.push_back(std::move(c));
  }
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<HostileCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Inputs, HostileInputTest, ::testing::ValuesIn(Cases(false)), CaseName);
INSTANTIATE_TEST_SUITE_P(SlowInputs, HostileInputTest, ::testing::ValuesIn(Cases(true)), CaseName);

}  // namespace
