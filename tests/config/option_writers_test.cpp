#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "config/feature_opt_parser.h"
#include "config/install_opt_parser.h"
#include "config/reboot_opt_parser.h"
#include "platform/unique_handle.h"
#include "support/recorded_events.h"
#include "support/test_support.h"

namespace {

using config::CFeatureOptParser;
using config::CInstallOptParser;
using config::COptionParser;
using config::CRebootOptParser;
using config::OptionWriterSystem;
using config_testing::kProductKey;
using testing_support::TempFolder;
using Lines = std::vector<std::string>;

constexpr char kNotAllowed[] = "ProductFeaturesValidButNotAllowed";

// The product key values these cases set, in both views, and the keys if nothing else is left.
void ClearProductValues() {
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    platform::UniqueRegKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS | view, key.put()) ==
        ERROR_SUCCESS) {
      for (const char* name : {"ProductVersion", "dax_install_path", kNotAllowed}) {
        ::RegDeleteValueA(key.get(), name);
      }
    }
    key.reset();
    for (const char* path : {kProductKey, "SOFTWARE\\Quorvex\\Tarvane", "SOFTWARE\\Quorvex"}) {
      config_testing::DeleteKeyIfEmpty(path, view);
    }
  }
}

// Fails the writes of chosen keys ("[SECTION]" names the removal of a whole section), records
// every write it is asked for, and poses as a chosen processor. Writes it does not fail reach
// the real setAid.ini.
class ScriptedSystem : public OptionWriterSystem {
 public:
  bool WriteProfileString(const char* section, const char* key, const char* value,
                          const char* iniPath) override {
    const std::string name = key ? key : "[" + std::string(section) + "]";
    attempts.push_back(name);
    if (failingKeys.count(name) != 0) {
      ::SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    return OptionWriterSystem::WriteProfileString(section, key, value, iniPath);
  }
  WORD ProcessorArchitecture() override { return architecture; }

  std::set<std::string> failingKeys;
  std::vector<std::string> attempts;
  WORD architecture = PROCESSOR_ARCHITECTURE_AMD64;
};

enum class Kind { Install, Reboot, Feature };

std::unique_ptr<COptionParser> MakeWriter(Kind kind, const std::string& packageDir,
                                          OptionWriterSystem& system) {
  switch (kind) {
    case Kind::Install:
      return std::make_unique<CInstallOptParser>(packageDir, system);
    case Kind::Reboot:
      return std::make_unique<CRebootOptParser>(packageDir, system);
    case Kind::Feature:
      return std::make_unique<CFeatureOptParser>(packageDir, system);
  }
  return nullptr;
}

std::string KindName(Kind kind) {
  return kind == Kind::Install ? "Install" : kind == Kind::Reboot ? "Reboot" : "Feature";
}

void PrintTo(Kind kind, std::ostream* out) { *out << KindName(kind); }

// The package as it was staged: identity, a few options of its own, a feature selection and a
// section nobody here writes.
const std::string kStagedSetAid =
    "[PREDEFINED_DAX_CONFIG]\r\nPackageChecksum=AB12\r\nAppType=105\r\nPlatformType=WIN64BIT\r\n"
    "[LU_CONFIG]\r\nLanguage=en_us\r\n"
    "[CUSTOM_DAX_CONFIG]\r\nAddProgramIntoStartMenu=1\r\nOptOutRepSubmission=0\r\n"
    "DestinationDirectory=C:\\Old\r\nKeepPreviousSetting=1\r\nReducedSize=0\r\n"
    "AutoReboot=false\r\nRebootPromptMessage=old\r\nCountdown=5\r\n"
    "[FEATURE_SELECTION]\r\nOld=1\r\nA=0\r\n"
    "[OTHER]\r\nKeep=this\r\n";

const Lines kStagedCustom = {"AddProgramIntoStartMenu=1",
                             "OptOutRepSubmission=0",
                             "DestinationDirectory=C:\\Old",
                             "KeepPreviousSetting=1",
                             "ReducedSize=0",
                             "AutoReboot=false",
                             "RebootPromptMessage=old",
                             "Countdown=5"};

// config.xml with an entry for another package first, so that a writer that reads the wrong
// entry shows, and the staged package's entry (by checksum) holding `body`.
std::string ConfigFor(const std::string& body) {
  return "<?xml version=\"1.0\"?>\r\n<Deployment>\r\n"
         "<ClientPackage Checksum=\"00\"><InstallationOption InstallationDirectory=\"C:\\Wrong\"/>"
         "<RebootOptions AutoReboot=\"1\" Countdown=\"999\"/>"
         "<EnabledClientFeatures><F FeatureName=\"Wrong\"/></EnabledClientFeatures>"
         "</ClientPackage>\r\n"
         "<ClientPackage Checksum=\"AB12\">" +
         body + "</ClientPackage>\r\n</Deployment>\r\n";
}

std::string Features(const std::vector<std::string>& names) {
  std::string xml = "<EnabledClientFeatures>";
  for (const auto& name : names) xml += "<Feature FeatureName=\"" + name + "\"/>";
  return xml + "</EnabledClientFeatures>";
}

// A staged package folder and the client's configuration folder, found through the product key
// of an older client in the 32-bit view (the client's service is not installed here).
class OptionWriterTest : public ::testing::Test {
 protected:
  OptionWriterTest() : package_("writer_package"), configDir_("writer_config") {}

  void SetUp() override {
    ClearProductValues();
    SetProduct("ProductVersion", "11.0");
    SetProduct("dax_install_path", configDir_.path());
    testing_support::WriteFileBytes(IniPath(), kStagedSetAid);
  }
  void TearDown() override { ClearProductValues(); }

  static void SetProduct(const char* name, const std::string& value,
                         REGSAM view = KEY_WOW64_32KEY) {
    testing_support::SetRegistryString(HKEY_LOCAL_MACHINE, kProductKey, name, value, view);
  }

  std::string IniPath() const { return package_.path() + "\\setAid.ini"; }
  std::string IniBytes() const { return testing_support::ReadFileBytes(IniPath()).value_or(""); }
  void WriteConfig(const std::string& xml) const {
    testing_support::WriteFileBytes(configDir_.path() + "\\config.xml", xml);
  }

  // The entries of a section as the profile API reads them, in file order.
  Lines Section(const char* name) const {
    std::vector<char> buffer(1 << 16);
    const DWORD length = ::GetPrivateProfileSectionA(
        name, buffer.data(), static_cast<DWORD>(buffer.size()), IniPath().c_str());
    Lines entries;
    for (const char* entry = buffer.data(); entry < buffer.data() + length && *entry;
         entry += std::strlen(entry) + 1) {
      entries.emplace_back(entry);
    }
    return entries;
  }
  Lines SectionNames() const {
    std::vector<char> buffer(1 << 12);
    const DWORD length = ::GetPrivateProfileSectionNamesA(
        buffer.data(), static_cast<DWORD>(buffer.size()), IniPath().c_str());
    Lines names;
    for (const char* name = buffer.data(); name < buffer.data() + length && *name;
         name += std::strlen(name) + 1) {
      names.emplace_back(name);
    }
    return names;
  }
  // The raw lines of the file, without their line ends.
  Lines FileLines() const {
    Lines lines;
    std::istringstream in(IniBytes());
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }
  // Log lines with `tag` written since the case began, without the tag.
  Lines LogSince(const char* tag) const {
    Lines lines;
    const auto all = testing_support::LogMessages(config_testing::LogPath());
    const std::string prefix = tag;
    for (size_t i = logMark_; i < all.size(); ++i) {
      if (all[i].rfind(prefix, 0) == 0) lines.push_back(all[i].substr(prefix.size()));
    }
    return lines;
  }

  // The sections that none of the writers touches, as they read now.
  std::vector<Lines> UntouchedSections() const {
    return {Section("PREDEFINED_DAX_CONFIG"), Section("LU_CONFIG"), Section("OTHER")};
  }

  TempFolder package_;
  TempFolder configDir_;
  ScriptedSystem system_;
  size_t logMark_ = testing_support::LogMessages(config_testing::LogPath()).size();
};

// --- What every writer does -------------------------------------------------------------------

class EveryWriterTest : public OptionWriterTest, public ::testing::WithParamInterface<Kind> {};

TEST_P(EveryWriterTest, ReadOnlySetAidBecomesWritableAndStaysSo) {
  for (const DWORD attributes :
       {DWORD{FILE_ATTRIBUTE_READONLY}, DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN}}) {
    SCOPED_TRACE(attributes);
    ASSERT_TRUE(::SetFileAttributesA(IniPath().c_str(), attributes));
    ASSERT_NE(::GetFileAttributesA(IniPath().c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    {
      auto writer = MakeWriter(GetParam(), package_.path(), system_);
      EXPECT_EQ(::GetFileAttributesA(IniPath().c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
      writer->propigateOptions();
    }
    const DWORD after = ::GetFileAttributesA(IniPath().c_str());
    EXPECT_EQ(after & FILE_ATTRIBUTE_READONLY, 0u);
    // Only the read-only bit is taken away.
    EXPECT_EQ(after & FILE_ATTRIBUTE_HIDDEN, attributes & FILE_ATTRIBUTE_HIDDEN);
    HANDLE file = ::CreateFileA(IniPath().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    platform::UniqueFileHandle closer(file);
  }
  ::SetFileAttributesA(IniPath().c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_P(EveryWriterTest, TrailingBackslashGivesTheSameIniPath) {
  const auto plain = MakeWriter(GetParam(), package_.path(), system_);
  const auto slashed = MakeWriter(GetParam(), package_.path() + "\\", system_);
  EXPECT_EQ(plain->getIniPath(), package_.path() + "\\setAid.ini");
  EXPECT_EQ(slashed->getIniPath(), plain->getIniPath());
}

// An empty package folder would send the profile API to a setAid.ini in the Windows folder.
TEST_P(EveryWriterTest, NoPackageFolderWritesNothing) {
  const auto writer = MakeWriter(GetParam(), "", system_);
  EXPECT_EQ(writer->propigateOptions(), config::kNoConfigReader);
  EXPECT_TRUE(system_.attempts.empty());
}

INSTANTIATE_TEST_SUITE_P(Writers, EveryWriterTest,
                         ::testing::Values(Kind::Install, Kind::Reboot, Kind::Feature),
                         [](const auto& info) { return KindName(info.param); });

// Nothing to merge: config.xml missing, or the staged package's entry without the writer's
// element. The key-by-key writers leave the file as it was, byte for byte; the feature writer
// still empties its section, since the package's own selection is not to be installed.
struct NothingToMergeCase {
  const char* label;
  Kind kind;
  bool configPresent;
};
void PrintTo(const NothingToMergeCase& c, std::ostream* out) { *out << c.label; }

class NothingToMergeTest : public OptionWriterTest,
                           public ::testing::WithParamInterface<NothingToMergeCase> {};

TEST_P(NothingToMergeTest, AnswersZero) {
  const NothingToMergeCase& c = GetParam();
  // The staged entry carries only what no writer reads.
  if (c.configPresent) WriteConfig(ConfigFor("<Unrelated Value=\"1\"/>"));
  const std::string before = IniBytes();
  const auto untouched = UntouchedSections();

  EXPECT_EQ(
      MakeWriter(c.kind, package_.path(), config::DefaultOptionWriterSystem())->propigateOptions(),
      config::kOptionsMerged);

  if (c.kind != Kind::Feature) {
    EXPECT_EQ(IniBytes(), before);
    return;
  }
  EXPECT_EQ(SectionNames(),
            (Lines{"PREDEFINED_DAX_CONFIG", "LU_CONFIG", "CUSTOM_DAX_CONFIG", "OTHER"}));
  EXPECT_EQ(Section("CUSTOM_DAX_CONFIG"), kStagedCustom);
  EXPECT_EQ(UntouchedSections(), untouched);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NothingToMergeTest,
    ::testing::Values(NothingToMergeCase{"InstallNoConfig", Kind::Install, false},
                      NothingToMergeCase{"RebootNoConfig", Kind::Reboot, false},
                      NothingToMergeCase{"FeatureNoConfig", Kind::Feature, false},
                      NothingToMergeCase{"InstallNoElement", Kind::Install, true},
                      NothingToMergeCase{"RebootNoElement", Kind::Reboot, true},
                      NothingToMergeCase{"FeatureNoElement", Kind::Feature, true}),
    [](const auto& info) { return std::string(info.param.label); });

// --- Install options --------------------------------------------------------------------------

struct InstallCase {
  const char* label;
  std::string attributes;  // of InstallationOption
  Lines custom;            // CUSTOM_DAX_CONFIG afterwards
};
void PrintTo(const InstallCase& c, std::ostream* out) { *out << c.label; }

class InstallOptionsTest : public OptionWriterTest,
                           public ::testing::WithParamInterface<InstallCase> {};

TEST_P(InstallOptionsTest, WritesOnlyTheGivenKeysUnderTheirNames) {
  WriteConfig(ConfigFor("<InstallationOption " + GetParam().attributes + "/>"));
  const auto untouched = UntouchedSections();
  const Lines features = Section("FEATURE_SELECTION");

  EXPECT_EQ(CInstallOptParser(package_.path()).propigateOptions(), config::kOptionsMerged);

  EXPECT_EQ(Section("CUSTOM_DAX_CONFIG"), GetParam().custom);
  EXPECT_EQ(UntouchedSections(), untouched);
  EXPECT_EQ(Section("FEATURE_SELECTION"), features);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallOptionsTest,
    ::testing::Values(
        InstallCase{
            "OnlyTheDirectory",
            "InstallationDirectory=\"D:\\Apps\\Quorvex Client\"",
            {"AddProgramIntoStartMenu=1", "OptOutRepSubmission=0",
             "DestinationDirectory=D:\\Apps\\Quorvex Client", "KeepPreviousSetting=1",
             "ReducedSize=0", "AutoReboot=false", "RebootPromptMessage=old", "Countdown=5"}},
        // Written as given, not inverted, where the names differ in sense.
        InstallCase{"AllFiveMappedAndUnconverted",
                    "AddProgramIntoStartMenu=\"0\" EnableMrCleanSubMission=\"1\" "
                    "InstallationDirectory=\"E:\\Q\" KeepAllDataOnUpgrade=\"0\" "
                    "SpecifyReducedInstallSize=\"1\"",
                    {"AddProgramIntoStartMenu=0", "OptOutRepSubmission=1",
                     "DestinationDirectory=E:\\Q", "KeepPreviousSetting=0", "ReducedSize=1",
                     "AutoReboot=false", "RebootPromptMessage=old", "Countdown=5"}},
        InstallCase{"EmptyAttributeKeepsTheOldValue",
                    "EnableMrCleanSubMission=\"1\" KeepAllDataOnUpgrade=\"\" "
                    "InstallationDirectory=\"\"",
                    {"AddProgramIntoStartMenu=1", "OptOutRepSubmission=1",
                     "DestinationDirectory=C:\\Old", "KeepPreviousSetting=1", "ReducedSize=0",
                     "AutoReboot=false", "RebootPromptMessage=old", "Countdown=5"}},
        // Read by the command-line generator, never written; nor are unknown attributes.
        InstallCase{"OtherAttributesNotWritten",
                    "UserInterfaceLevel=\"Silent\" InstallationLogFileName=\"x.log\" "
                    "EnableMrCleanSubMission=\"0\" OptOutRepSubmission=\"9\"",
                    {"AddProgramIntoStartMenu=1", "OptOutRepSubmission=0",
                     "DestinationDirectory=C:\\Old", "KeepPreviousSetting=1", "ReducedSize=0",
                     "AutoReboot=false", "RebootPromptMessage=old", "Countdown=5"}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(OptionWriterTest, InstallWithoutSetAidCreatesIt) {
  ::DeleteFileA(IniPath().c_str());
  // Without setAid.ini there is no checksum: the first entry without one matches.
  WriteConfig(
      "<Deployment><ClientPackage><InstallationOption InstallationDirectory=\"F:\\New\"/>"
      "</ClientPackage></Deployment>");
  EXPECT_EQ(CInstallOptParser(package_.path()).propigateOptions(), config::kOptionsMerged);
  EXPECT_EQ(Section("CUSTOM_DAX_CONFIG"), Lines{"DestinationDirectory=F:\\New"});
}

struct InstallFailureCase {
  const char* label;
  std::string attributes;
  std::set<std::string> failingKeys;
  std::uint32_t result;
  Lines custom;
};
void PrintTo(const InstallFailureCase& c, std::ostream* out) { *out << c.label; }

class InstallFailureTest : public OptionWriterTest,
                           public ::testing::WithParamInterface<InstallFailureCase> {};

// A failure does not stop the other options, and the last failure decides the answer.
TEST_P(InstallFailureTest, LastFailureWins) {
  const InstallFailureCase& c = GetParam();
  WriteConfig(ConfigFor("<InstallationOption " + c.attributes + "/>"));
  system_.failingKeys = c.failingKeys;
  EXPECT_EQ(CInstallOptParser(package_.path(), system_).propigateOptions(), c.result);
  EXPECT_EQ(Section("CUSTOM_DAX_CONFIG"), c.custom);
}

const std::string kAllInstallOptions =
    "AddProgramIntoStartMenu=\"0\" EnableMrCleanSubMission=\"1\" "
    "InstallationDirectory=\"E:\\Q\" KeepAllDataOnUpgrade=\"0\" SpecifyReducedInstallSize=\"1\"";

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallFailureTest,
    ::testing::Values(
        InstallFailureCase{"FirstWriteFails",
                           kAllInstallOptions,
                           {"AddProgramIntoStartMenu"},
                           ERROR_WRITE_FAULT,
                           {"AddProgramIntoStartMenu=1", "OptOutRepSubmission=1",
                            "DestinationDirectory=E:\\Q", "KeepPreviousSetting=0", "ReducedSize=1",
                            "AutoReboot=false", "RebootPromptMessage=old", "Countdown=5"}},
        // A line end in a value would start new keys or sections of setAid.ini.
        InstallFailureCase{
            "LineBreakInAValue",
            "InstallationDirectory=\"E:\\Q&#13;&#10;[FEATURE_SELECTION]\" "
            "KeepAllDataOnUpgrade=\"0\"",
            {},
            ERROR_INVALID_DATA,
            {"AddProgramIntoStartMenu=1", "OptOutRepSubmission=0", "DestinationDirectory=C:\\Old",
             "KeepPreviousSetting=0", "ReducedSize=0", "AutoReboot=false",
             "RebootPromptMessage=old", "Countdown=5"}},
        InstallFailureCase{"WriteFailsAfterABadValue",
                           "InstallationDirectory=\"E:\\Q&#10;x\" SpecifyReducedInstallSize=\"1\"",
                           {"ReducedSize"},
                           ERROR_WRITE_FAULT,
                           kStagedCustom},
        InstallFailureCase{"BadValueAfterAFailedWrite",
                           "AddProgramIntoStartMenu=\"0\" InstallationDirectory=\"E:\\Q&#10;x\"",
                           {"AddProgramIntoStartMenu"},
                           ERROR_INVALID_DATA,
                           kStagedCustom}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(OptionWriterTest, InstallWritesInMapOrder) {
  WriteConfig(ConfigFor("<InstallationOption " + kAllInstallOptions + "/>"));
  EXPECT_EQ(CInstallOptParser(package_.path(), system_).propigateOptions(), config::kOptionsMerged);
  EXPECT_EQ(system_.attempts,
            (Lines{"AddProgramIntoStartMenu", "OptOutRepSubmission", "DestinationDirectory",
                   "KeepPreviousSetting", "ReducedSize"}));
}

// --- Text that code page 1252 does not have ----------------------------------------------------

// Fault: config.xml's text went to ANSI with best fit, after the reboot texts had been escaped:
// FULLWIDTH QUOTATION MARK (U+FF02) became a quote, FULLWIDTH REVERSE SOLIDUS (U+FF3C) a
// backslash and DIVISION SLASH (U+2215) a slash, none of them escaped, and the installation
// folder D:\New<U+FF3C>..<U+FF3C>Windows became D:\New\..\Windows. An install option with such a
// character is not written at all, since a "?" would give setup another folder than the one
// config.xml names. Fault: a reboot text then got "?" for each such character, written over the
// package's own text; it is now refused the same way, and the key keeps the package's value.
TEST_F(OptionWriterTest, LookAlikesDoNotBecomeQuotesOrBackslashes) {
  if (::GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << ::GetACP() << ", not 1252";
  const std::string quote = "\xEF\xBC\x82";
  const std::string backslash = "\xEF\xBC\xBC";
  const std::string slash = "\xE2\x88\x95";
  WriteConfig(ConfigFor("<InstallationOption InstallationDirectory=\"D:\\New" + backslash + ".." +
                        backslash +
                        "Windows\" KeepAllDataOnUpgrade=\"0\"/><RebootOptions "
                        "Countdown=\"30\" PromptMessage=\"Say " +
                        quote + "yes" + quote + " " + backslash + " now " + slash + " later\"/>"));

  EXPECT_EQ(CInstallOptParser(package_.path()).propigateOptions(), config::kInvalidOptionValue);
  EXPECT_EQ(CRebootOptParser(package_.path()).propigateOptions(), config::kInvalidOptionValue);

  EXPECT_EQ(Section("CUSTOM_DAX_CONFIG"),
            (Lines{"AddProgramIntoStartMenu=1", "OptOutRepSubmission=0",
                   "DestinationDirectory=C:\\Old", "KeepPreviousSetting=0", "ReducedSize=0",
                   "AutoReboot=false", "RebootPromptMessage=old", "Countdown=30"}));
  EXPECT_EQ(LogSince("CInstallOptParser::propigateOptions"),
            Lines{" - value of 'InstallationDirectory' holds characters that the ANSI code page "
                  "does not have; DestinationDirectory not written"});
  EXPECT_EQ(LogSince("CRebootOptParser::propigateOptions"),
            Lines{" - value of 'PromptMessage' holds characters that the ANSI code page "
                  "does not have; RebootPromptMessage not written"});
}

// --- Reboot options ---------------------------------------------------------------------------

struct FlagCase {
  const char* label;
  const char* attribute;
  const char* text;  // as it stands in config.xml
  const char* key;
  std::optional<std::string> written;  // nullopt: the key is not written
  std::uint32_t result;
};
void PrintTo(const FlagCase& c, std::ostream* out) { *out << c.label; }

class RebootFlagTest : public OptionWriterTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(RebootFlagTest, FlagIsReadAsStreamInputDoes) {
  const FlagCase& c = GetParam();
  WriteConfig(ConfigFor("<RebootOptions " + std::string(c.attribute) + "=\"" + c.text +
                        "\" Countdown=\"30\"/>"));
  EXPECT_EQ(CRebootOptParser(package_.path()).propigateOptions(), c.result);

  char value[64] = {};
  ::GetPrivateProfileStringA("CUSTOM_DAX_CONFIG", c.key, "<absent>", value, sizeof(value),
                             IniPath().c_str());
  const std::string before = c.key == std::string("AutoReboot") ? "false" : "<absent>";
  EXPECT_EQ(value, c.written.value_or(before));
  // An invalid flag does not keep the other options from being written.
  EXPECT_EQ(::GetPrivateProfileIntA("CUSTOM_DAX_CONFIG", "Countdown", -1, IniPath().c_str()), 30);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, RebootFlagTest,
    ::testing::Values(
        FlagCase{"One", "AutoReboot", "1", "AutoReboot", "true", 0},
        FlagCase{"Zero", "AutoReboot", "0", "AutoReboot", "false", 0},
        FlagCase{"LeadingBlank", "AutoReboot", " 1", "AutoReboot", "true", 0},
        FlagCase{"LeadingTab", "AutoReboot", "&#9;1", "AutoReboot", "true", 0},
        FlagCase{"TrailingLetter", "AutoReboot", "1x", "AutoReboot", "true", 0},
        FlagCase{"Fraction", "AutoReboot", "1.5", "AutoReboot", "true", 0},
        FlagCase{"PlusSign", "HardReboot", "+1", "HardReboot", "true", 0},
        FlagCase{"HexLooking", "HardReboot", "0x1", "HardReboot", "false", 0},
        FlagCase{"PromptUser", "PromptUser", "1", "RebootPromptUser", "true", 0},
        FlagCase{"Word", "Randomize", "true", "RebootRandomize", std::nullopt, ERROR_INVALID_DATA},
        FlagCase{"Two", "Randomize", "2", "RebootRandomize", std::nullopt, ERROR_INVALID_DATA},
        FlagCase{"MinusOne", "Randomize", "-1", "RebootRandomize", std::nullopt,
                 ERROR_INVALID_DATA},
        FlagCase{"BlankOnly", "AutoReboot", " ", "AutoReboot", std::nullopt, ERROR_INVALID_DATA},
        // 2^32 + 1 must not wrap to 1.
        FlagCase{"OutOfRange", "AutoReboot", "4294967297", "AutoReboot", std::nullopt,
                 ERROR_INVALID_DATA},
        FlagCase{"Empty", "AutoReboot", "", "AutoReboot", std::nullopt, 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(EscapeOptionValue, NineEscapesBackslashFirst) {
  const auto escape = CRebootOptParser::escapeOptionValue;
  EXPECT_EQ(escape(L"\\\"\a\b\f\n\r\t\v"), L"\\\\\\\"\\a\\b\\f\\n\\r\\t\\v");
  // A backslash that looks like an escape already is doubled, not kept.
  EXPECT_EQ(escape(L"a\\nb"), L"a\\\\nb");
  EXPECT_EQ(escape(L"\r\n\r\n"), L"\\r\\n\\r\\n");
  EXPECT_EQ(escape(L"Caf\x00E9 'x' ?"), L"Caf\x00E9 'x' ?");
  EXPECT_EQ(escape(L""), L"");
}

TEST_F(OptionWriterTest, AllRebootOptionsUnderTheirKeysFlagsFirst) {
  WriteConfig(ConfigFor(
      "<RebootOptions SnoozeInterval=\"15\" RebootSchedule=\"Weekly\" RebootMinutes=\"30\" "
      "RebootMethod=\"2\" RebootDay=\"Sunday\" RandomizeHours=\"4\" PromptType=\"1\" "
      "PromptMessage=\"Restart now.&#10;Save to C:\\Work, say &quot;done&quot;&#9;then go.\" "
      "MaxSnoozeCount=\"3\" DisplayTimeout=\"60\" Countdown=\"120\" Randomize=\"0\" "
      "PromptUser=\"1\" HardReboot=\"0\" AutoReboot=\"1\"/>"));
  EXPECT_EQ(CRebootOptParser(package_.path(), system_).propigateOptions(), config::kOptionsMerged);

  EXPECT_EQ(system_.attempts,
            (Lines{"AutoReboot", "HardReboot", "RebootPromptUser", "RebootRandomize", "Countdown",
                   "DisplayTimeout", "MaxSnoozeCount", "RebootPromptMessage", "PromptType",
                   "RebootRandomizeHours", "RebootDay", "RebootMethod", "RebootMinutes",
                   "RebootSchedule", "SnoozeInterval"}));
  EXPECT_EQ(Section("CUSTOM_DAX_CONFIG"),
            (Lines{"AddProgramIntoStartMenu=1",
                   "OptOutRepSubmission=0",
                   "DestinationDirectory=C:\\Old",
                   "KeepPreviousSetting=1",
                   "ReducedSize=0",
                   "AutoReboot=true",
                   "RebootPromptMessage=Restart now.\\nSave to C:\\\\Work, say "
                   "\\\"done\\\"\\tthen go.",
                   "Countdown=120",
                   "HardReboot=false",
                   "RebootPromptUser=true",
                   "RebootRandomize=false",
                   "DisplayTimeout=60",
                   "MaxSnoozeCount=3",
                   "PromptType=1",
                   "RebootRandomizeHours=4",
                   "RebootDay=Sunday",
                   "RebootMethod=2",
                   "RebootMinutes=30",
                   "RebootSchedule=Weekly",
                   "SnoozeInterval=15"}));
  // The message stays on one line of the file.
  const Lines lines = FileLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "RebootPromptMessage=Restart now.\\nSave to C:\\\\Work, say "
                      "\\\"done\\\"\\tthen go."),
            lines.end());
}

struct RebootFailureCase {
  const char* label;
  std::string attributes;
  std::set<std::string> failingKeys;
  std::uint32_t result;
};
void PrintTo(const RebootFailureCase& c, std::ostream* out) { *out << c.label; }

class RebootFailureTest : public OptionWriterTest,
                          public ::testing::WithParamInterface<RebootFailureCase> {};

TEST_P(RebootFailureTest, LastFailureWins) {
  const RebootFailureCase& c = GetParam();
  WriteConfig(ConfigFor("<RebootOptions " + c.attributes + "/>"));
  system_.failingKeys = c.failingKeys;
  EXPECT_EQ(CRebootOptParser(package_.path(), system_).propigateOptions(), c.result);
  // Whatever failed, the options after it were still written.
  EXPECT_EQ(::GetPrivateProfileIntA("CUSTOM_DAX_CONFIG", "DisplayTimeout", -1, IniPath().c_str()),
            c.failingKeys.count("DisplayTimeout") ? -1 : 60);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RebootFailureTest,
    ::testing::Values(RebootFailureCase{"FailedWriteThenInvalidFlag",
                                        "AutoReboot=\"1\" Randomize=\"2\" DisplayTimeout=\"60\"",
                                        {"AutoReboot"},
                                        ERROR_INVALID_DATA},
                      RebootFailureCase{
                          "InvalidFlagThenFailedText",
                          "AutoReboot=\"true\" DisplayTimeout=\"60\" SnoozeInterval=\"5\"",
                          {"SnoozeInterval"},
                          ERROR_WRITE_FAULT},
                      RebootFailureCase{"FailedTextThenNothingElse",
                                        "AutoReboot=\"1\" DisplayTimeout=\"60\" Countdown=\"1\"",
                                        {"Countdown"},
                                        ERROR_WRITE_FAULT}),
    [](const auto& info) { return std::string(info.param.label); });

// --- Feature options --------------------------------------------------------------------------

struct FeatureCase {
  const char* label;
  std::vector<std::string> features;  // enabled in config.xml, in order
  std::optional<std::string> notAllowed;
  WORD architecture;
  Lines section;  // FEATURE_SELECTION afterwards
  Lines log;      // lines of the feature writer
};
void PrintTo(const FeatureCase& c, std::ostream* out) { *out << c.label; }

constexpr WORD kAmd64 = PROCESSOR_ARCHITECTURE_AMD64;
constexpr WORD kIa64 = PROCESSOR_ARCHITECTURE_IA64;
constexpr WORD kX86 = PROCESSOR_ARCHITECTURE_INTEL;
constexpr char kFeatureTag[] = "CFeatureOptParser::propigateOptions";

class FeatureSelectionTest : public OptionWriterTest,
                             public ::testing::WithParamInterface<FeatureCase> {};

TEST_P(FeatureSelectionTest, SectionIsRebuilt) {
  const FeatureCase& c = GetParam();
  WriteConfig(ConfigFor(Features(c.features)));
  system_.architecture = c.architecture;
  // On a 64-bit processor the product key is read in the 32-bit view; on a 32-bit one there is
  // only one view, which a 64-bit process reaches as its own.
  const REGSAM view = c.architecture == kX86 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  if (c.notAllowed) SetProduct(kNotAllowed, *c.notAllowed, view);
  const auto untouched = UntouchedSections();

  EXPECT_EQ(CFeatureOptParser(package_.path(), system_).propigateOptions(), config::kOptionsMerged);

  EXPECT_EQ(Section("FEATURE_SELECTION"), c.section);
  EXPECT_EQ(LogSince(kFeatureTag), c.log);
  EXPECT_EQ(Section("CUSTOM_DAX_CONFIG"), kStagedCustom);
  EXPECT_EQ(UntouchedSections(), untouched);
}

std::string LongList() {
  std::string list;
  for (int i = 0; i < 100; ++i) list += "Feature" + std::to_string(i) + ",";
  return list + "Last";
}

const Lines kNoLog;

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureSelectionTest,
    ::testing::Values(
        FeatureCase{"NotAllowedLeftOut", {"A", "B", "C"}, "B", kAmd64, {"A=1", "C=1"}, kNoLog},
        FeatureCase{"Pop3SmtpAloneAllowedOnAmd64",
                    {"Pop3Smtp", "A"},
                    "Pop3Smtp",
                    kAmd64,
                    {"Pop3Smtp=1", "A=1"},
                    kNoLog},
        FeatureCase{"Pop3SmtpAloneAllowedOnIa64",
                    {"Pop3Smtp", "A"},
                    "Pop3Smtp",
                    kIa64,
                    {"Pop3Smtp=1", "A=1"},
                    kNoLog},
        FeatureCase{"Pop3SmtpLeftOutOn32Bit", {"Pop3Smtp", "A"}, "Pop3Smtp", kX86, {"A=1"}, kNoLog},
        FeatureCase{"Pop3SmtpInAListLeftOutOnAmd64",
                    {"Pop3Smtp", "A", "B"},
                    "Pop3Smtp,B",
                    kAmd64,
                    {"A=1"},
                    kNoLog},
        FeatureCase{"PiecesAreNotTrimmed", {"A", "B"}, "A, B", kAmd64, {"B=1"}, kNoLog},
        // Fault: names were compared byte for byte, but the profile functions drop the blanks
        // around a key and find keys ignoring the letter case: " Legacy" and "legacy" were
        // written, stored and read as the Legacy that the client does not allow.
        FeatureCase{"ComparisonIgnoresCase", {"Pop3Smtp", "A"}, "pop3smtp", kX86, {"A=1"}, kNoLog},
        FeatureCase{"ComparedAsStoredWithoutOuterBlanks",
                    {" Legacy", "Legacy\t", "A"},
                    "Legacy",
                    kAmd64,
                    {"A=1"},
                    kNoLog},
        FeatureCase{"OuterBlanksOfAnAllowedNameAreDroppedByTheProfile",
                    {" B ", "A"},
                    "Legacy",
                    kAmd64,
                    {"B=1", "A=1"},
                    kNoLog},
        FeatureCase{"EmptyPieceExcludesEmptyName", {"A", ""}, "B,,C", kAmd64, {"A=1"}, kNoLog},
        FeatureCase{"EmptyNameNotWritten", {"", "A", ""}, "B", kAmd64, {"A=1"}, kNoLog},
        FeatureCase{"FeatureListedTwice", {"A", "B", "A"}, "", kAmd64, {"A=1", "B=1"}, kNoLog},
        FeatureCase{"LongListReadWhole", {"A", "Last"}, LongList(), kAmd64, {"A=1"}, kNoLog},
        FeatureCase{"NoValueExcludesNothing",
                    {"A", "B"},
                    std::nullopt,
                    kAmd64,
                    {"A=1", "B=1"},
                    {" - Unable to read value 'ProductFeaturesValidButNotAllowed'"}},
        // The 32-bit processor's view holds no product key here.
        FeatureCase{"NoKeyExcludesNothing",
                    {"A", "B"},
                    std::nullopt,
                    kX86,
                    {"A=1", "B=1"},
                    {" - Unable to open registry key 'SOFTWARE\\Quorvex\\Tarvane\\DAX'"}}),
    [](const auto& info) { return std::string(info.param.label); });

struct FeatureFailureCase {
  const char* label;
  std::set<std::string> failingKeys;
  Lines attempts;
};
void PrintTo(const FeatureFailureCase& c, std::ostream* out) { *out << c.label; }

class FeatureFailureTest : public OptionWriterTest,
                           public ::testing::WithParamInterface<FeatureFailureCase> {};

// Fault: a failed write returned at once and left the section half-built, and setup ran with a
// subset of the features. The package's section is now put back as it was, and an entry says so.
TEST_P(FeatureFailureTest, FailingWriteStopsAtOnceAndPutsThePackagesSectionBack) {
  const FeatureFailureCase& c = GetParam();
  WriteConfig(ConfigFor(Features({"A", "B", "C"})));
  system_.failingKeys = c.failingKeys;
  const Lines before = Section("FEATURE_SELECTION");
  ASSERT_EQ(before, (Lines{"Old=1", "A=0"}));
  testing_support::RecordedEvents events;
  EXPECT_EQ(CFeatureOptParser(package_.path(), system_).propigateOptions(), ERROR_WRITE_FAULT);
  EXPECT_EQ(system_.attempts, c.attempts);
  EXPECT_EQ(Section("FEATURE_SELECTION"), before);
  ASSERT_EQ(events.entries().size(), 1u);
  EXPECT_EQ(events.entries()[0].id, contract::EventId::kFeatureSectionRestored);
  EXPECT_EQ(events.entries()[0].kind, contract::EventKind::kWarning);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureFailureTest,
    ::testing::Values(FeatureFailureCase{"FeatureWrite", {"B"}, {"[FEATURE_SELECTION]", "A", "B"}},
                      FeatureFailureCase{
                          "SectionRemoval", {"[FEATURE_SELECTION]"}, {"[FEATURE_SELECTION]"}}),
    [](const auto& info) { return std::string(info.param.label); });

// Names that the profile API would turn into something else than one key are not written.
TEST_F(OptionWriterTest, FeatureNamesThatCannotBeKeys) {
  WriteConfig(ConfigFor(Features({"A", "X=Y", "Line&#10;Break", " [Evil]", "C"})));
  EXPECT_EQ(CFeatureOptParser(package_.path()).propigateOptions(), ERROR_INVALID_DATA);
  EXPECT_EQ(Section("FEATURE_SELECTION"), (Lines{"A=1", "C=1"}));
  // Rebuilt sections go to the end of the file; no other section came in.
  EXPECT_EQ(SectionNames(), (Lines{"PREDEFINED_DAX_CONFIG", "LU_CONFIG", "CUSTOM_DAX_CONFIG",
                                   "OTHER", "FEATURE_SELECTION"}));
  EXPECT_EQ(LogSince(kFeatureTag),
            (Lines{" - Unable to read value 'ProductFeaturesValidButNotAllowed'",
                   " - feature name 'X=Y' cannot be a key of setAid.ini",
                   " - feature name 'Line\\nBreak' cannot be a key of setAid.ini",
                   " - feature name ' [Evil]' cannot be a key of setAid.ini"}));
}

// --- A large deployment file --------------------------------------------------------------------

TEST_F(OptionWriterTest, LargeConfigMerge) {
  std::string xml = "<?xml version=\"1.0\"?>\r\n<Deployment>\r\n";
  for (int i = 0; i < 9999; ++i) {
    xml += "<ClientPackage Checksum=\"C" + std::to_string(i) +
           "\" Product=\"Other\" Type=\"1.1\" Language=\"de_de\"><RebootOptions AutoReboot=\"0\"/>"
           "</ClientPackage>\r\n";
  }
  xml +=
      "<ClientPackage Checksum=\"AB12\"><RebootOptions AutoReboot=\"1\" HardReboot=\"0\" "
      "PromptUser=\"1\" Randomize=\"0\" Countdown=\"120\" DisplayTimeout=\"60\" "
      "MaxSnoozeCount=\"3\" PromptMessage=\"Bye\" PromptType=\"1\" RandomizeHours=\"4\" "
      "RebootDay=\"Sunday\" RebootMethod=\"2\" RebootMinutes=\"30\" RebootSchedule=\"Weekly\" "
      "SnoozeInterval=\"15\"/><EnabledClientFeatures>";
  Lines expected;
  for (int i = 0; i < 1000; ++i) {
    const std::string name = "Feature" + std::to_string(i);
    xml += "<Feature FeatureName=\"" + name + "\"/>";
    expected.push_back(name + "=1");
  }
  xml += "</EnabledClientFeatures></ClientPackage>\r\n</Deployment>\r\n";
  WriteConfig(xml);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CRebootOptParser(package_.path()).propigateOptions(), config::kOptionsMerged);
  const auto rebootDone = std::chrono::steady_clock::now();
  EXPECT_EQ(CFeatureOptParser(package_.path()).propigateOptions(), config::kOptionsMerged);
  const auto end = std::chrono::steady_clock::now();

  EXPECT_EQ(Section("FEATURE_SELECTION"), expected);
  EXPECT_EQ(Section("CUSTOM_DAX_CONFIG").size(), 20u);  // 8 of the package, 12 new
  EXPECT_EQ(::GetPrivateProfileIntA("CUSTOM_DAX_CONFIG", "SnoozeInterval", 0, IniPath().c_str()),
            15);
  const auto ms = [](auto d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  RecordProperty("reboot_ms", static_cast<int>(ms(rebootDone - start)));
  RecordProperty("feature_ms", static_cast<int>(ms(end - rebootDone)));
  std::printf("large merge: reboot options %lld ms, features %lld ms\n",
              static_cast<long long>(ms(rebootDone - start)),
              static_cast<long long>(ms(end - rebootDone)));
}

}  // namespace
