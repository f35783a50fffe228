// daxcheck.exe against the real run that follows it. Each case stages a whole package under Wine's
// real Service Control Manager, asks daxcheck.exe --json what a run would do, then plays the
// staging program with "-install" and "-start" and holds the prediction against what the run did:
// whether setup ran, the command line it was given and the setAid.ini it found. A check also
// changes nothing: the registry in both views, the certificate stores, the package and
// configuration folders and the services are the same before and after it. Cases that wait out
// the two-minute polling time are instantiated as Slow..., which tests/e2e/CMakeLists.txt gives
// CTest entries of their own.
#include <windows.h>
// After windows.h, which they need.
#include <shlobj.h>
#include <wincrypt.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/config_fixture.h"
#include "e2e/e2e_support.h"
#include "e2e/staged_package.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "support/named_object_support.h"
#include "support/test_support.h"

namespace {

using Json = nlohmann::json;
using e2e::kClientKey;
using e2e::kSetupResultKey;
using testing_support::Dump;
using testing_support::ExecutableDirectory;
using testing_support::Has;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

using e2e::kHigherPackageMsi;
using e2e::kInstalledProduct;
using e2e::kLowerPackageMsi;
using e2e::kPollingRunWait;
constexpr DWORD kLongWait = e2e::kRunWait;
constexpr char kPlaceholder[] = "<DAXPID>";

constexpr char kConfigBody[] =
    "<ClientPackage Checksum=\"C0FFEE\">"
    "<InstallationOption InstallationDirectory=\"D:\\New\" UserInterfaceLevel=\"Unattended\""
    " InstallationLogFileName=\"C:\\logs\\upgrade.log\"/>"
    "<RebootOptions AutoReboot=\"1\" PromptMessage=\"Restart &quot;now&quot;\"/>"
    "<EnabledClientFeatures><F FeatureName=\"Core\"/><F FeatureName=\"Legacy\"/>"
    "<F FeatureName=\"Mail\"/></EnabledClientFeatures>"
    "</ClientPackage>";
// Found by product, type and language only: no entry carries the package's checksum.
constexpr char kConfigByAttributes[] =
    "<ClientPackage Checksum=\"0DD\" Product=\"Client Win64\" Type=\"105.10\" Language=\"en_us\">"
    "<RebootOptions AutoReboot=\"0\"/></ClientPackage>"
    "<ClientPackage Product=\"Quorvex Client Win64\" Type=\"105.1\" Language=\"EN_US\">"
    "<InstallationOption KeepAllDataOnUpgrade=\"1\"/>"
    "<EnabledClientFeatures><F FeatureName=\"Core\"/><F FeatureName=\"Legacy\"/>"
    "<F FeatureName=\"Pop3Smtp\"/></EnabledClientFeatures>"
    "</ClientPackage>";
constexpr char kSetAidWithPlatform[] =
    "[PREDEFINED_DAX_CONFIG]\r\nPackageChecksum=C0FFEE\r\nAppType=105\r\nPlatformType=WIN64BIT\r\n"
    "[CUSTOM_DAX_CONFIG]\r\nDestinationDirectory=C:\\Old\r\nAutoReboot=false\r\n"
    "[FEATURE_SELECTION]\r\nOld=1\r\n";

// Runs `commandLine` (UTF-16, as a shell hands it over) with its standard output in
// `outputPath` and waits for it.
std::optional<DWORD> RunCapturingWide(const std::wstring& commandLine,
                                      const std::string& outputPath, DWORD timeoutMs = kLongWait) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  platform::UniqueFileHandle output(::CreateFileA(outputPath.c_str(), GENERIC_WRITE,
                                                  FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!output) return std::nullopt;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output.get();
  startup.hStdError = output.get();
  PROCESS_INFORMATION process = {};
  std::wstring writable = commandLine;
  if (!::CreateProcessW(nullptr, &writable[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
    return std::nullopt;
  }
  platform::UniqueKernelHandle processHandle(process.hProcess);
  platform::UniqueKernelHandle thread(process.hThread);
  if (::WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.hProcess, 99);
    return std::nullopt;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  return code;
}

// Runs `commandLine` with its standard output in `outputPath` and waits for it.
std::optional<DWORD> RunCapturing(const std::string& commandLine, const std::string& outputPath,
                                  DWORD timeoutMs = kLongWait) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  platform::UniqueFileHandle output(::CreateFileA(outputPath.c_str(), GENERIC_WRITE,
                                                  FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!output) return std::nullopt;
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output.get();
  startup.hStdError = output.get();
  startup.hStdInput = nullptr;
  PROCESS_INFORMATION process = {};
  std::string writable = commandLine;
  if (!::CreateProcessA(nullptr, &writable[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
    return std::nullopt;
  }
  platform::UniqueKernelHandle processHandle(process.hProcess);
  platform::UniqueKernelHandle thread(process.hThread);
  if (::WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.hProcess, 99);
    return std::nullopt;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  return code;
}

struct CheckResult {
  std::optional<DWORD> exitCode;
  std::string output;
  Json report;
};

const Json* FindGate(const Json& report, const std::string& name) {
  if (!report.contains("gates")) return nullptr;
  for (const auto& gate : report["gates"]) {
    if (gate["name"] == name) return &gate;
  }
  return nullptr;
}

// Leaves `code` in the setup result key and in "DaxInstResult", as an earlier run would.
void LeaveEarlierResult(DWORD code) {
  testing_support::SetRegistryDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", code);
  testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, "DaxInstResult", code,
                                    KEY_WOW64_32KEY);
}

// Leaves a success in the setup result key under a DACL that lets everyone read the key but not
// set or delete its values, as the system enforces it.
void LeaveUndeletableResult(DWORD code) {
  ASSERT_EQ(
      testing_support::LeaveUndeletableDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default", code),
      ERROR_SUCCESS);
}

// The caller's own classes, which HKCR merges in for the check but not for the service.
constexpr char kCallersSetupResultKey[] = "Software\\Classes\\TSSAFILE\\{DCCB9E52-6A84A746}";

class DaxcheckTest : public e2e::WholeRunTest {
 protected:
  DaxcheckTest() : WholeRunTest("check", kConfigBody) {}

  static void SetUpTestSuite() { e2e::InstalledFamilyF::Install(); }
  static void TearDownTestSuite() { e2e::InstalledFamilyF::Remove(); }

  void SetUp() override {
    ASSERT_TRUE(e2e::InstalledFamilyF::Installed());
    WholeRunTest::SetUp();
  }

  void CleanRegistry() override {
    WholeRunTest::CleanRegistry();
    // Also a key whose DACL refuses to delete its values: the key itself may be deleted.
    ::RegDeleteKeyA(HKEY_CLASSES_ROOT, kSetupResultKey);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, kCallersSetupResultKey);
  }

  void Stage(const char* setup, const char* msi, const char* setAid = e2e::kStagedSetAid) {
    e2e::PackageContents contents;
    contents.folder = "check pkg";
    contents.setup = setup;
    contents.msi = msi;
    contents.setupControl = "[setup]\r\ncode=0\r\ncopysetaid=1\r\n";
    contents.setAid = setAid;
    WholeRunTest::Stage(contents);
    // Shipped beside daxinst.exe, and run from there as the staging program would run it.
    ASSERT_TRUE(testing_support::CopyFileTo(ExecutableDirectory() + "\\daxcheck.exe",
                                            package_->File("daxcheck.exe")));
  }

  // A client that keeps config.xml where %TRVCONFIGDIR% points, with the package's own silo.
  void UseSiloConfigFolder() {
    config_testing::SetProductValue("ProductVersion", "12.1.671");
    testing_support::SetRegistryString(HKEY_LOCAL_MACHINE, config_testing::MapKey().c_str(),
                                       "trvconfigdir", config_.path(), KEY_WOW64_32KEY);
    WriteFileBytes(package_->File("isolate.ini"),
                   "[isolation]\r\nsilo=" + std::string(config_testing::kSilo) + "\r\n");
  }

  CheckResult Check(const std::string& arguments = "--json") {
    CheckResult result;
    // A file for each check: a console host may hold the last one's handle a moment longer.
    const std::string outputPath = output_.path() + "\\check-" + std::to_string(++checks_) + ".txt";
    result.exitCode =
        RunCapturing("\"" + package_->File("daxcheck.exe") + "\" " + arguments, outputPath);
    result.output = ReadFileBytes(outputPath).value_or("");
    if (arguments.find("--json") != std::string::npos) {
      result.report = Json::parse(result.output, nullptr, false);
    }
    return result;
  }

  testing_support::TempFolder output_{"check output"};
  int checks_ = 0;
};

// One whole package: what is staged besides the package itself, what daxcheck must answer, and
// the line of the log by which the run shows the same answer.
struct PredictionCase {
  const char* name;
  const char* setup;
  const char* msi;
  std::function<void(DaxcheckTest&)> prepare;  // after staging, before the check
  bool setupRuns;
  const char* stoppedBy;  // the gate daxcheck names, when setup does not run
  const char* evidence;   // a line the run (or the refusing verb) logs
  DWORD runWait;
  const char* setAid = e2e::kStagedSetAid;
};

void PrintTo(const PredictionCase& param, std::ostream* out) { *out << param.name; }

class PredictionEqualsReality : public DaxcheckTest,
                                public ::testing::WithParamInterface<PredictionCase> {
 public:
  void UseSilo() { UseSiloConfigFolder(); }
  bool InstallNow() {
    return package_->folder().Run("-install", kLongWait).has_value() && e2e::ServiceExists();
  }
  void UseConfig(const char* body) { WriteConfig(config_testing::Document(body)); }
  platform::UniqueKernelHandle heldGuard;
};

TEST_P(PredictionEqualsReality, TheRunDoesWhatTheCheckPredicted) {
  const PredictionCase& param = GetParam();
  Stage(param.setup, param.msi, param.setAid);
  if (param.prepare) param.prepare(*this);

  const CheckResult check = Check();
  ASSERT_TRUE(check.exitCode.has_value()) << "daxcheck did not end";
  ASSERT_FALSE(check.report.is_discarded()) << "not JSON:\n" << check.output;
  const Json& verdict = check.report["verdict"];
  EXPECT_EQ(*check.exitCode, param.setupRuns ? 0u : 1u) << check.output;
  EXPECT_EQ(verdict["setup_would_run"], param.setupRuns) << check.output;
  if (!param.setupRuns) {
    EXPECT_EQ(verdict["stopped_by"], param.stoppedBy) << check.output;
  }
  const Json* command = FindGate(check.report, "command_line");
  const Json* configuration = FindGate(check.report, "deployment_configuration");
  ASSERT_TRUE(command && configuration) << check.output;
  const std::string predictedSetAid =
      (*configuration)["option_writers"].value("predicted_setaid_ini", std::string());

  const e2e::StagedRunResult run = package_->InstallStartAndWait(starter_, param.runWait);
  const auto messages = package_->Messages();
  EXPECT_TRUE(Has(messages, param.evidence)) << Dump(messages);

  const auto commandLine = package_->SetupCommandLine();
  EXPECT_EQ(commandLine.has_value(), param.setupRuns) << Dump(messages);
  if (param.setupRuns && commandLine) {
    EXPECT_TRUE(run.ended) << Dump(messages);
    std::string predicted = (*command)["command_line"].get<std::string>();
    const size_t placeholder = predicted.find(kPlaceholder);
    ASSERT_NE(placeholder, std::string::npos) << predicted;
    // The number of the program that ran the start command: the starter's caller, this test.
    predicted.replace(placeholder, std::strlen(kPlaceholder),
                      std::to_string(::GetCurrentProcessId()));
    EXPECT_EQ(*commandLine, predicted);
    EXPECT_EQ(ReadFileBytes(package_->File("setup-setaid.ini")), predictedSetAid)
        << "setAid.ini as setup found it is not the predicted one";
  }

  // What a deployment tool's detection rule reads afterwards: 0 after a run that succeeded, 1
  // after one that failed, 2 when no run left a record (a verb refused before the service ran).
  const CheckResult last = Check("--last-run");
  ASSERT_TRUE(last.exitCode.has_value()) << "daxcheck --last-run did not end";
  if (e2e::RunRecords().empty()) {
    EXPECT_EQ(*last.exitCode, 2u) << last.output;
  } else {
    EXPECT_EQ(*last.exitCode, param.setupRuns ? 0u : 1u) << last.output << Dump(messages);
  }
}

std::vector<PredictionCase> PredictionCases() {
  return {
      PredictionCase{"GoodPackage", "signed_good", kHigherPackageMsi, nullptr, true, nullptr,
                     "<DaxSetupResult>Dax Setup Code = 0", kLongWait},
      PredictionCase{"UntrustedSetup", "unsigned", kHigherPackageMsi, nullptr, false, "trust",
                     "Trust verification for setup.exe failed", kPollingRunWait},
      PredictionCase{
          "LowerVersion", "signed_good", kLowerPackageMsi, nullptr, false, "version_gate",
          "ERROR: attempting to install lower version 12.1.1 over version 12.1.2", kPollingRunWait},
      PredictionCase{"CountedPathWithSetup", "signed_good", kHigherPackageMsi,
                     [](DaxcheckTest&) {
                       testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey,
                                                         "LaunchSetup", 0, KEY_WOW64_32KEY);
                       LeaveEarlierResult(7);
                     },
                     true, nullptr, "DaxInst: Times to set up = 1", kLongWait},
      PredictionCase{"CountedPathFailedBefore", "signed_good", kHigherPackageMsi,
                     [](DaxcheckTest&) {
                       testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey,
                                                         "LaunchSetup", 1, KEY_WOW64_32KEY);
                       LeaveEarlierResult(4);
                     },
                     false, "run_state", "DaxInst: Dax Setup has FAILED for 1 times.", kLongWait},
      PredictionCase{"AgentServiceAlreadyInstalled", "signed_good", kHigherPackageMsi,
                     [](DaxcheckTest& test) {
                       // -install over it deletes LaunchSetup: a first run, not a counted one.
                       auto& self = static_cast<PredictionEqualsReality&>(test);
                       ASSERT_TRUE(self.InstallNow());
                       testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey,
                                                         "LaunchSetup", 1, KEY_WOW64_32KEY);
                     },
                     true, nullptr, "DaxInst: LaunchSetup not found, first time setup. ",
                     kLongWait},
      PredictionCase{"UndeletableEarlierResult", "signed_good", kHigherPackageMsi,
                     [](DaxcheckTest&) { LeaveUndeletableResult(0); }, false, "run_state",
                     "DaxInst: Cannot delete the setup result left from before - error 5. "
                     "Setup is not run.",
                     kLongWait},
      PredictionCase{"RunGuardHeld", "signed_good", kHigherPackageMsi,
                     [](DaxcheckTest& test) {
                       // As a run of the program's own account makes it.
                       static_cast<PredictionEqualsReality&>(test).heldGuard =
                           testing_support::CreateWithDescriptor(
                               testing_support::Kind::kMutex, "DaxInstall_exist",
                               testing_support::OwnAccountDescriptor());
                     },
                     false, "run_state",
                     "<mfn_Install>daxinst.exe is running, please stop and uninstall it first",
                     kLongWait},
      PredictionCase{"SiloConfigWithExcludedFeatures", "signed_good", kHigherPackageMsi,
                     [](DaxcheckTest& test) {
                       auto& self = static_cast<PredictionEqualsReality&>(test);
                       self.UseSilo();
                       self.UseConfig(kConfigByAttributes);
                     },
                     true, nullptr, "<DaxSetupResult>Dax Setup Code = 0", kLongWait,
                     kSetAidWithPlatform}};
}

// Declared here for the cases above; below with the cases that use it alone.
void RemovePublisherRootFromMachine();

// On a machine that does not trust the publisher's root yet (the first upgrade), WinTrust's own
// answer tells a tampered setup.exe from a good one whose root the agent brings: the run refuses
// the tampered file, and so must the check.
std::vector<PredictionCase> FreshMachineCases() {
  return {PredictionCase{"TamperedSetupOnAFreshMachine", "signed_tampered", kHigherPackageMsi,
                         [](DaxcheckTest&) { RemovePublisherRootFromMachine(); }, false, "trust",
                         "Trust verification for setup.exe failed", kPollingRunWait}};
}

// The cases whose run waits out the polling time (`slow`), or the others.
std::vector<PredictionCase> PredictionCases(bool slow) {
  std::vector<PredictionCase> cases;
  std::vector<PredictionCase> all = PredictionCases();
  for (const auto& c : FreshMachineCases()) all.push_back(c);
  for (const auto& c : all) {
    if ((c.runWait == kPollingRunWait) == slow) cases.push_back(c);
  }
  return cases;
}

std::string PredictionName(const ::testing::TestParamInfo<PredictionCase>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Packages, PredictionEqualsReality,
                         ::testing::ValuesIn(PredictionCases(false)), PredictionName);
INSTANTIATE_TEST_SUITE_P(SlowPackages, PredictionEqualsReality,
                         ::testing::ValuesIn(PredictionCases(true)), PredictionName);

// The check's own account of the cases above, where the run's log says nothing.
TEST_F(DaxcheckTest, ReportNamesTheConfigurationEntryAndEveryKeyTheWritersChange) {
  Stage("signed_good", kHigherPackageMsi, kSetAidWithPlatform);
  UseSiloConfigFolder();
  WriteConfig(config_testing::Document(kConfigByAttributes));

  const CheckResult check = Check();
  ASSERT_FALSE(check.report.is_discarded()) << check.output;
  const Json& gate = *FindGate(check.report, "deployment_configuration");
  const Json& where = gate["config_xml"];
  EXPECT_EQ(where["through"], "%TRVCONFIGDIR%");
  EXPECT_EQ(where["isolation"]["silo"], config_testing::kSilo);
  EXPECT_EQ(where["isolation"]["expansion_map"], "HKLM\\" + config_testing::MapKey());
  EXPECT_EQ(where["path"], config_.path() + "\\config.xml");
  EXPECT_EQ(gate["client_package"]["selected_by"], "attributes");
  EXPECT_EQ(gate["client_package"]["position"], 2);

  std::set<std::string> changes;
  for (const auto& change : gate["option_writers"]["changes"]) {
    changes.insert(change["change"].get<std::string>() + " " +
                   change["section"].get<std::string>() + " " + change["key"].get<std::string>());
  }
  // Legacy is valid but not allowed, so it is left out.
  EXPECT_EQ(changes,
            (std::set<std::string>{"add CUSTOM_DAX_CONFIG KeepPreviousSetting",
                                   "remove FEATURE_SELECTION Old", "add FEATURE_SELECTION Core",
                                   "add FEATURE_SELECTION Pop3Smtp"}))
      << gate.dump(2);

  const Json& version = *FindGate(check.report, "version_gate");
  EXPECT_EQ(version["package_version"], "12.1.10");
  EXPECT_EQ(version["installed_version"], "12.1.2");
  EXPECT_EQ(version["installed_product"], kInstalledProduct);

  const Json& trust = *FindGate(check.report, "trust");
  EXPECT_EQ(trust["signer"]["passes"], true) << trust.dump(2);
  EXPECT_EQ(trust["chain"]["ends_in_bundle_root"], true) << trust.dump(2);
}

// Packages whose fault the check alone shows: the runs that follow them are the setup
// launcher's and the whole-upgrade tests' cases.
struct CheckOnlyCase {
  const char* name;
  const char* setup;  // nullptr: no setup.exe
  DWORD exitCode;
  const char* stoppedBy;
  const char* trustStatus;  // nullptr: not looked at
  bool signerMatches;
  bool endsInBundleRoot;
  bool warns;
  bool untrustRoot = false;  // take the publisher's root out of the machine's trusted roots first
  std::function<void()> prepare = nullptr;  // after staging, before the check
};

// A machine that has not met the agent yet: a run of an earlier case brought the publisher's
// root into the trusted roots.
void RemovePublisherRootFromMachine() {
  platform::UniqueCertStore root(
      ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, L"ROOT"));
  ASSERT_TRUE(root);
  PCCERT_CONTEXT found = nullptr;
  while ((found = ::CertFindCertificateInStore(root.get(), X509_ASN_ENCODING, 0,
                                               CERT_FIND_SUBJECT_STR_W, L"Quorvex Test Root CA",
                                               nullptr)) != nullptr) {
    ASSERT_TRUE(::CertDeleteCertificateFromStore(found));
  }
  // Wine writes a machine store back only on a commit.
  ::CertControlStore(root.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

void PrintTo(const CheckOnlyCase& param, std::ostream* out) { *out << param.name; }

class CheckOnly : public DaxcheckTest, public ::testing::WithParamInterface<CheckOnlyCase> {};

TEST_P(CheckOnly, NamesTheFault) {
  const CheckOnlyCase& param = GetParam();
  Stage(param.setup ? param.setup : "signed_good", kHigherPackageMsi);
  if (!param.setup) {
    ASSERT_TRUE(::DeleteFileA(package_->SetupPath().c_str()));
  }
  if (param.untrustRoot) RemovePublisherRootFromMachine();
  if (param.prepare) param.prepare();
  const CheckResult check = Check();
  ASSERT_FALSE(check.report.is_discarded()) << check.output;
  EXPECT_EQ(check.exitCode, param.exitCode) << check.output;
  EXPECT_EQ(check.report["verdict"]["stopped_by"],
            param.stoppedBy ? Json(param.stoppedBy) : Json(nullptr))
      << check.output;
  if (!param.trustStatus) return;
  const Json& trust = *FindGate(check.report, "trust");
  EXPECT_EQ(trust["status"], param.trustStatus) << trust.dump(2);
  const Json& signer = trust["signer"];
  ASSERT_TRUE(signer.is_object()) << trust.dump(2);
  bool matches = true;
  for (const auto& attribute : signer["identity"]) matches &= attribute["matches"].get<bool>();
  EXPECT_EQ(matches, param.signerMatches) << signer.dump(2);
  EXPECT_EQ(signer["passes"], param.signerMatches) << signer.dump(2);
  EXPECT_EQ(trust["chain"]["ends_in_bundle_root"], param.endsInBundleRoot) << trust.dump(2);
  EXPECT_EQ(trust.contains("warning"), param.warns) << trust.dump(2);
}

INSTANTIATE_TEST_SUITE_P(
    Packages, CheckOnly,
    ::testing::Values(
        // A fresh prefix does not trust the bundle's root: the run's update is what makes the
        // chain whole.
        CheckOnlyCase{"GoodSetup", "signed_good", 0, nullptr,
                      "trusted once the agent installs its root", true, true, false, true},
        CheckOnlyCase{"ForeignSigner", "signed_other", 1, "trust", "not trusted", false, true,
                      false},
        CheckOnlyCase{"UnknownRoot", "signed_unknown_root", 0, nullptr, "trusted", true, false,
                      true},
        CheckOnlyCase{"NoSetup", nullptr, 1, "package", nullptr, false, false, false},
        // The run ends at "LaunchSetup" before it looks for setup.exe: that is the reason given.
        CheckOnlyCase{"NoSetupAfterACountedRun", nullptr, 1, "run_state", nullptr, false, false,
                      false, false,
                      [] {
                        testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey,
                                                          "LaunchSetup", 1, KEY_WOW64_32KEY);
                        LeaveEarlierResult(4);
                      }},
        // A 99 in the caller's own classes is not what the service reads: its HKCR is the
        // machine's. The counted path runs setup.
        CheckOnlyCase{"DoneCodeInTheCallersClassesOnly", "signed_good", 0, nullptr, nullptr, true,
                      true, false, false,
                      [] {
                        testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE, kClientKey,
                                                          "LaunchSetup", 0, KEY_WOW64_32KEY);
                        testing_support::SetRegistryDword(HKEY_CURRENT_USER, kCallersSetupResultKey,
                                                          "Default", 99);
                      }}),
    [](const ::testing::TestParamInfo<CheckOnlyCase>& info) { return info.param.name; });

// The command-line gate says which installer log setup gets: the default file while nothing
// (or a plain file of a trusted owner) is there, and a new one in a folder of the run's own when
// the default's name is taken. The check itself makes no such folder.
TEST_F(DaxcheckTest, CommandLineGateSaysWhichInstallerLogSetupGets) {
  Stage("signed_good", kHigherPackageMsi);
  // No log file name of config.xml's and none in Setup.ini: setup gets the default switch.
  WriteConfig(config_testing::Document(
      "<ClientPackage Checksum=\"C0FFEE\"><InstallationOption UserInterfaceLevel=\"Unattended\"/>"
      "</ClientPackage>"));
  testing_support::TempFolder temp("check temp");
  char previous[MAX_PATH] = {};
  const DWORD previousLength = ::GetEnvironmentVariableA("TEMP", previous, MAX_PATH);
  ASSERT_TRUE(previousLength > 0 && previousLength < MAX_PATH);
  ASSERT_TRUE(::SetEnvironmentVariableA("TEMP", temp.path().c_str()));
  const std::string defaultLog = temp.path() + "\\INSTALL.LOG";

  const CheckResult free = Check();
  ASSERT_TRUE(::CreateDirectoryA(defaultLog.c_str(), nullptr));
  const CheckResult taken = Check();
  WIN32_FIND_DATAA entry;
  platform::UniqueFindHandle made(
      ::FindFirstFileA((temp.path() + "\\DaxInstLog-*").c_str(), &entry));
  ::RemoveDirectoryA(defaultLog.c_str());
  ::SetEnvironmentVariableA("TEMP", previous);

  ASSERT_FALSE(free.report.is_discarded()) << free.output;
  ASSERT_FALSE(taken.report.is_discarded()) << taken.output;
  EXPECT_EQ((*FindGate(free.report, "command_line"))["installer_log"], defaultLog) << free.output;
  EXPECT_EQ((*FindGate(taken.report, "command_line"))["installer_log"],
            "a new file in a folder of the run's own beside " + defaultLog + ", since " +
                defaultLog + " is taken: a folder is there")
      << taken.output;
  EXPECT_FALSE(made) << "the check made a folder for the log";
}

// The run and -install refuse a package that another account may change before they use it:
// the check names the path, the SID and the rights at a gate of its own.
TEST_F(DaxcheckTest, APackageFolderEveryoneMayWriteStopsAtThePackageGround) {
  Stage("signed_good", kHigherPackageMsi);
  ASSERT_NO_FATAL_FAILURE(
      testing_support::SetProtectedDacl(package_->path(), testing_support::kEveryoneMayWriteDacl));
  const CheckResult check = Check();
  testing_support::SetProtectedDacl(package_->path(), testing_support::kAdministratorsOnlyDacl);

  ASSERT_FALSE(check.report.is_discarded()) << check.output;
  EXPECT_EQ(check.exitCode, 1u) << check.output;
  EXPECT_EQ(check.report["verdict"]["stopped_by"], "package_ground") << check.output;
  EXPECT_EQ(check.report["verdict"]["stopped_at_gate"], 2) << check.output;
  ASSERT_NE(FindGate(check.report, "package_ground"), nullptr) << check.output;
  const Json& ground = *FindGate(check.report, "package_ground");
  const std::string refusal =
      "S-1-1-0 may change the package folder " + package_->path() +
      " (FILE_ADD_FILE|FILE_ADD_SUBDIRECTORY|FILE_WRITE_EA|FILE_DELETE_CHILD|"
      "FILE_WRITE_ATTRIBUTES|DELETE).";
  EXPECT_EQ(ground["refusal"], refusal) << ground.dump(2);
  EXPECT_EQ(ground["event_id"], 2101) << ground.dump(2);
  ASSERT_FALSE(ground["paths"].empty()) << ground.dump(2);
  EXPECT_EQ(ground["paths"][0]["path"], package_->path()) << ground.dump(2);
  EXPECT_EQ(ground["paths"][0]["sid"], "S-1-1-0") << ground.dump(2);
}

// Beside the gates the check reports the machine: another installation holding Windows
// Installer's mutex and a restart pending are warnings, in the JSON and in the text, and leave
// the verdict as it was (the run refuses neither).
TEST_F(DaxcheckTest, MachinePartWarnsOfABusyInstallerAndAPendingRestart) {
  Stage("signed_good", kHigherPackageMsi);
  const CheckResult quiet = Check();
  platform::UniqueKernelHandle installer =
      testing_support::CreateWithDescriptor(testing_support::Kind::kMutex, "Global\\_MSIExecute",
                                            testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(installer);
  ASSERT_EQ(::WaitForSingleObject(installer.get(), 0), WAIT_OBJECT_0);
  constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  const std::string renames("\\??\\C:\\old.dll\0\0", 16);
  platform::UniqueRegKey key;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(::RegSetValueExA(key.get(), "PendingFileRenameOperations", 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(renames.data()),
                             static_cast<DWORD>(renames.size())),
            ERROR_SUCCESS);
  const CheckResult busy = Check();
  const CheckResult text = Check("");
  ::RegDeleteValueA(key.get(), "PendingFileRenameOperations");
  ::ReleaseMutex(installer.get());

  ASSERT_FALSE(quiet.report.is_discarded()) << quiet.output;
  ASSERT_FALSE(busy.report.is_discarded()) << busy.output;
  const Json& before = quiet.report["machine"];
  EXPECT_EQ(before["windows_installer"]["status"], "ok") << quiet.output;
  EXPECT_EQ(before["restart_pending"]["status"], "ok") << quiet.output;
  // The package's .msi is an x64 package, and so is this machine; its setup.exe is signed now.
  EXPECT_EQ(before["platform"]["template"], "x64;1033") << quiet.output;
  EXPECT_EQ(before["platform"]["status"], "ok") << quiet.output;
  EXPECT_EQ(before["clock"]["status"], "ok") << quiet.output;
  EXPECT_EQ(before["free_space"]["install_directory"], "D:\\New") << quiet.output;

  const Json& machine = busy.report["machine"];
  EXPECT_EQ(machine["windows_installer"]["state"], "busy") << busy.output;
  EXPECT_EQ(machine["restart_pending"]["status"], "warning") << busy.output;
  const std::vector<std::string> warnings = machine["warnings"].get<std::vector<std::string>>();
  ASSERT_EQ(warnings.size(), before["warnings"].size() + 2) << busy.output;
  EXPECT_EQ(busy.exitCode, quiet.exitCode) << busy.output;
  EXPECT_EQ(busy.report["verdict"], quiet.report["verdict"]) << busy.output;
  for (const std::string& warning : warnings) {
    if (warning.rfind("restart_pending: ", 0) != 0 &&
        warning.rfind("windows_installer: ", 0) != 0) {
      continue;
    }
    EXPECT_NE(text.output.find(warning.substr(warning.find(": ") + 2)), std::string::npos)
        << warning << "\n"
        << text.output;
  }
  EXPECT_NE(text.output.find("\nmachine: " + std::to_string(warnings.size()) + " warning"),
            std::string::npos)
      << text.output;
}

TEST_F(DaxcheckTest, UsageErrorsAndUnreadableFoldersExitWithTwo) {
  Stage("signed_good", kHigherPackageMsi);
  for (const std::string& arguments : {std::string("--bogus"), std::string("one two"),
                                       "\"" + package_->path() + "\\no such folder\""}) {
    const CheckResult check = Check(arguments);
    EXPECT_EQ(check.exitCode, 2u) << arguments << "\n" << check.output;
  }
  // The text report carries the same verdict.
  const CheckResult text = Check("");
  EXPECT_EQ(text.exitCode, 0u) << text.output;
  EXPECT_NE(text.output.find("8 verdict: setup would run"), std::string::npos) << text.output;
}

// A folder argument that reaches the check only through best fit names another folder: here
// "decoy＼..＼check pkg" (FULLWIDTH REVERSE SOLIDUS), one folder name that does not exist, became
// "decoy\..\check pkg", the staged package, and the check judged it. It is refused instead.
TEST_F(DaxcheckTest, FolderArgumentIsTakenFromTheWideCommandLine) {
  Stage("signed_good", kHigherPackageMsi);
  const std::string parent = package_->path().substr(0, package_->path().find_last_of('\\'));
  const std::wstring argument =
      platform::WidenCountedLenient(parent) + L"\\decoy\uFF3C..\uFF3Ccheck pkg";
  const std::string outputPath = output_.path() + "\\check-wide.txt";
  const auto exitCode =
      RunCapturingWide(L"\"" + platform::WidenCountedLenient(package_->File("daxcheck.exe")) +
                           L"\" --json \"" + argument + L"\"",
                       outputPath);
  const std::string output = ReadFileBytes(outputPath).value_or("");
  EXPECT_EQ(exitCode, 2u) << output;
  EXPECT_NE(output.find("cannot be written in the system code page"), std::string::npos) << output;
  EXPECT_EQ(output.find("\"verdict\""), std::string::npos) << "a package was judged:\n" << output;
}

// -- Changes nothing -------------------------------------------------------------------------

std::string Hex(const BYTE* data, DWORD size) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (DWORD i = 0; i < size; ++i) {
    text += kHex[data[i] >> 4];
    text += kHex[data[i] & 15];
  }
  return text;
}

// Every key and value below `path`, one line each.
void SnapshotKey(HKEY root, const std::string& path, REGSAM view, std::string& out) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
    out += path + " (absent)\n";
    return;
  }
  out += path + "\n";
  std::vector<char> name(16384);
  std::vector<BYTE> data(1 << 16);
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    const LONG error = ::RegEnumValueA(key.get(), index, name.data(), &nameSize, nullptr, &type,
                                       data.data(), &dataSize);
    if (error == ERROR_NO_MORE_ITEMS) break;
    if (error == ERROR_MORE_DATA) {
      out += "  " + std::string(name.data(), nameSize) + " (large)\n";
      continue;
    }
    if (error != ERROR_SUCCESS) break;
    out += "  " + std::string(name.data(), nameSize) + " " + std::to_string(type) + " " +
           Hex(data.data(), dataSize) + "\n";
  }
  std::vector<std::string> children;
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    if (::RegEnumKeyExA(key.get(), index, name.data(), &nameSize, nullptr, nullptr, nullptr,
                        nullptr) != ERROR_SUCCESS) {
      break;
    }
    children.emplace_back(name.data(), nameSize);
  }
  key.reset();
  for (const auto& child : children) SnapshotKey(root, path + "\\" + child, view, out);
}

std::string CertificateHashes(const wchar_t* storeName) {
  platform::UniqueCertStore store(::CertOpenStore(
      CERT_STORE_PROV_SYSTEM_W, 0, 0,
      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
      storeName));
  if (!store) return "(no store)";
  std::set<std::string> hashes;
  PCCERT_CONTEXT current = nullptr;
  while ((current = ::CertEnumCertificatesInStore(store.get(), current)) != nullptr) {
    BYTE hash[20] = {};
    DWORD size = sizeof(hash);
    ::CertGetCertificateContextProperty(current, CERT_SHA1_HASH_PROP_ID, hash, &size);
    hashes.insert(Hex(hash, size));
  }
  std::string text;
  for (const auto& hash : hashes) text += hash + "\n";
  return text;
}

// Names, attributes and bytes of every file in `folder`.
std::string FolderSnapshot(const std::string& folder) {
  std::string text;
  WIN32_FIND_DATAA match = {};
  platform::UniqueFindHandle search(::FindFirstFileA((folder + "\\*").c_str(), &match));
  if (!search) return "(unreadable)";
  std::map<std::string, std::string> files;
  do {
    const std::string name = match.cFileName;
    if (name == "." || name == "..") continue;
    files[name] = std::to_string(match.dwFileAttributes) + " " +
                  ReadFileBytes(folder + "\\" + name).value_or("(dir)");
  } while (::FindNextFileA(search.get(), &match));
  for (const auto& file : files) text += file.first + "\n" + file.second + "\n";
  return text;
}

std::string ServiceList() {
  platform::UniqueServiceHandle manager(
      ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
  if (!manager) return "(no manager)";
  std::vector<BYTE> buffer(256 * 1024);
  DWORD needed = 0, count = 0, resume = 0;
  if (!::EnumServicesStatusA(manager.get(), SERVICE_WIN32 | SERVICE_DRIVER, SERVICE_STATE_ALL,
                             reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed, &count, &resume)) {
    return "(enumeration failed)";
  }
  const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUSA*>(buffer.data());
  std::set<std::string> names;
  for (DWORD i = 0; i < count; ++i) names.insert(services[i].lpServiceName);
  std::string text;
  for (const auto& name : names) text += name + "\n";
  return text;
}

std::string TempEntries() {
  char base[MAX_PATH] = {};
  ::GetTempPathA(MAX_PATH, base);
  return FolderSnapshot(std::string(base));
}

struct MachineSnapshot {
  std::map<std::string, std::string> parts;
};

MachineSnapshot TakeSnapshot(const std::vector<std::string>& folders) {
  MachineSnapshot snapshot;
  for (const auto& view :
       {std::make_pair("32-bit", KEY_WOW64_32KEY), std::make_pair("64-bit", KEY_WOW64_64KEY)}) {
    std::string text;
    SnapshotKey(HKEY_LOCAL_MACHINE, "SOFTWARE", view.second, text);
    snapshot.parts[std::string("HKLM\\SOFTWARE ") + view.first] = text;
  }
  std::string classes;
  SnapshotKey(HKEY_CLASSES_ROOT, "TSSAFILE", 0, classes);
  snapshot.parts["HKCR\\TSSAFILE"] = classes;
  snapshot.parts["ROOT store"] = CertificateHashes(L"ROOT");
  snapshot.parts["CA store"] = CertificateHashes(L"CA");
  for (const auto& folder : folders) snapshot.parts["folder " + folder] = FolderSnapshot(folder);
  snapshot.parts["temporary folder"] = TempEntries();
  snapshot.parts["services"] = ServiceList();
  return snapshot;
}

// The states a check meets: a first run, a counted run with a code left from before, an
// installed agent service.
struct SnapshotCase {
  const char* name;
  std::function<void(DaxcheckTest&)> prepare;
};

void PrintTo(const SnapshotCase& param, std::ostream* out) { *out << param.name; }

class ChecksChangeNothing : public DaxcheckTest,
                            public ::testing::WithParamInterface<SnapshotCase> {
 public:
  void UseSilo() { UseSiloConfigFolder(); }
  e2e::StagedPackage& package() { return *package_; }
};

TEST_P(ChecksChangeNothing, RegistryStoresFoldersServicesAndNamedObjectsStayAsTheyWere) {
  Stage("signed_good", kHigherPackageMsi);
  UseSilo();
  // The writers clear this bit on the file they merge into: the package's must keep it.
  ASSERT_TRUE(::SetFileAttributesA(package_->SetAidPath().c_str(), FILE_ATTRIBUTE_READONLY));
  if (GetParam().prepare) GetParam().prepare(*this);

  const MachineSnapshot before = TakeSnapshot({package_->path(), config_.path()});
  for (const char* arguments : {"--json", ""}) {
    const CheckResult check = Check(arguments);
    ASSERT_TRUE(check.exitCode.has_value());
    EXPECT_LE(*check.exitCode, 1u) << check.output;
  }
  const MachineSnapshot after = TakeSnapshot({package_->path(), config_.path()});

  for (const auto& part : before.parts) {
    EXPECT_TRUE(after.parts.at(part.first) == part.second) << part.first << " changed";
  }
  for (const char* mutex :
       {"DaxInstall_exist", "Global\\TRVAutoUpgradeNotifyPass", "FenmarkServiceCtrlObjMutex"}) {
    platform::UniqueKernelHandle left(::OpenMutexA(SYNCHRONIZE, FALSE, mutex));
    EXPECT_FALSE(left) << mutex << " was left behind";
  }
  for (const char* event : {"StopDaxInstServiceEvent", "DaxInstServiceStoppedEvent"}) {
    platform::UniqueKernelHandle left(::OpenEventA(SYNCHRONIZE, FALSE, event));
    EXPECT_FALSE(left) << event << " was left behind";
  }
}

INSTANTIATE_TEST_SUITE_P(
    States, ChecksChangeNothing,
    ::testing::Values(SnapshotCase{"FirstRun", nullptr},
                      SnapshotCase{"CountedRunWithAnEarlierCode",
                                   [](DaxcheckTest&) {
                                     testing_support::SetRegistryDword(HKEY_LOCAL_MACHINE,
                                                                       kClientKey, "LaunchSetup", 0,
                                                                       KEY_WOW64_32KEY);
                                     LeaveEarlierResult(7);
                                   }},
                      SnapshotCase{"AgentServiceInstalled",
                                   [](DaxcheckTest& test) {
                                     auto& self = static_cast<ChecksChangeNothing&>(test);
                                     const auto installed =
                                         self.package().folder().Run("-install", kLongWait);
                                     ASSERT_TRUE(installed.has_value());
                                     ASSERT_TRUE(e2e::ServiceExists());
                                   }}),
    [](const ::testing::TestParamInfo<SnapshotCase>& info) { return info.param.name; });

// --last-run reads the records' folder that the runs write (below the common application-data
// folder), as a deployment tool's detection rule runs it: the exit code is the answer.
class DaxcheckLastRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char common[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(
        ::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_DEFAULT, common)));
    quorvex_ = std::string(common) + "\\Quorvex";
    runs_ = quorvex_ + "\\Daxinst\\runs";
    testing_support::RemoveTree(quorvex_);
  }
  void TearDown() override { testing_support::RemoveTree(quorvex_); }

  void WriteRecord(const std::string& name, const std::string& content) {
    ::CreateDirectoryA(quorvex_.c_str(), nullptr);
    ::CreateDirectoryA((quorvex_ + "\\Daxinst").c_str(), nullptr);
    ::CreateDirectoryA(runs_.c_str(), nullptr);
    WriteFileBytes(runs_ + "\\" + name, content);
  }

  std::pair<std::optional<DWORD>, std::string> LastRun(const std::string& arguments) {
    const std::string outputPath = output_.path() + "\\last-run-" + std::to_string(++runs) + ".txt";
    const auto exitCode =
        RunCapturing("\"" + ExecutableDirectory() + "\\daxcheck.exe\" " + arguments, outputPath);
    // The console's text mode writes line ends as CR LF.
    std::string output = ReadFileBytes(outputPath).value_or("");
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    return {exitCode, output};
  }

  std::string quorvex_;
  std::string runs_;
  testing_support::TempFolder output_{"last run output"};
  int runs = 0;
};

constexpr char kSucceededRecord[] =
    R"({"record_version": 1, "agent": {"version": "1.0.0", "build": "release"},
 "package_folder": "C:\\pkg", "package_version": "12.1.10", "installed_version": "12.1.2",
 "started": "2026-12-11T03:15:00.123Z", "ended": "2026-12-11T03:15:09.000Z",
 "path": "first_time", "gates": [{"name": "trust", "passes": true, "reason": null}],
 "setup_command_line": "setup.exe /s", "setup_exit_code": 0, "setup_code": 0,
 "installer_wait": null, "outcome": {"code": 1000, "name": "succeeded", "succeeded": true}})";
constexpr char kLowerVersionRecord[] =
    R"({"record_version": 1, "started": "2026-12-11T04:15:00.123Z", "path": "first_time",
 "gates": [{"name": "version_gate", "passes": false, "reason": "12.1.1 is lower than 12.1.2"}],
 "outcome": {"code": 1105, "name": "lower_version", "succeeded": false}})";

TEST_F(DaxcheckLastRunTest, ExitCodeFollowsTheNewestRecord) {
  auto [none, noneText] = LastRun("--last-run");
  EXPECT_EQ(none, 2u) << noneText;
  EXPECT_THAT(noneText, ::testing::HasSubstr("no readable run record: no run has left a record"));

  WriteRecord("run-20261211T031500.123Z-40.json", kSucceededRecord);
  auto [succeeded, succeededText] = LastRun("--last-run");
  EXPECT_EQ(succeeded, 0u) << succeededText;
  EXPECT_THAT(succeededText, ::testing::HasSubstr("): succeeded (1000), succeeded\n"));
  EXPECT_THAT(succeededText, ::testing::HasSubstr("    trust: passes\n"));
  auto [asJson, jsonText] = LastRun("--last-run --json");
  EXPECT_EQ(asJson, 0u) << jsonText;
  EXPECT_EQ(Json::parse(jsonText, nullptr, false), Json::parse(kSucceededRecord)) << jsonText;

  WriteRecord("run-20261211T041500.123Z-41.json", kLowerVersionRecord);
  auto [failed, failedText] = LastRun("--json --last-run");
  EXPECT_EQ(failed, 1u) << failedText;
  EXPECT_EQ(Json::parse(failedText, nullptr, false)["outcome"]["name"], "lower_version");
  auto [failedAsText, text] = LastRun("--last-run");
  EXPECT_EQ(failedAsText, 1u);
  EXPECT_THAT(text, ::testing::HasSubstr("    version_gate: stops: 12.1.1 is lower than 12.1.2\n"));

  WriteRecord("run-20261211T051500.123Z-42.json", "{\"outcome\": ");
  auto [corrupt, corruptText] = LastRun("--last-run");
  EXPECT_EQ(corrupt, 2u) << corruptText;
  EXPECT_THAT(corruptText, ::testing::HasSubstr("run-20261211T051500.123Z-42.json is not JSON"));

  // --last-run takes no package folder; the other modes are as they were.
  EXPECT_EQ(LastRun("--last-run C:\\pkg").first, 2u);
}

TEST_F(DaxcheckLastRunTest, ARunInProgressHasNoRecordYet) {
  WriteRecord("run-20261211T031500.123Z-40.json", kSucceededRecord);
  platform::UniqueKernelHandle runGuard = testing_support::CreateWithDescriptor(
      testing_support::Kind::kMutex, "DaxInstall_exist", testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(runGuard);

  auto [inProgress, text] = LastRun("--last-run");
  EXPECT_EQ(inProgress, 2u) << text;
  EXPECT_THAT(text, ::testing::HasSubstr("a run is in progress"));

  runGuard.reset();
  EXPECT_EQ(LastRun("--last-run").first, 0u);
}

}  // namespace
