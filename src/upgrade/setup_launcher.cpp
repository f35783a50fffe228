#include "upgrade/setup_launcher.h"

#include <comdef.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "config/config_xml_parser.h"
#include "config/feature_opt_parser.h"
#include "config/install_opt_parser.h"
#include "config/reboot_opt_parser.h"
#include "contract/event_report.h"
#include "contract/named_objects.h"
#include "diag/log.h"
#include "diag/run_notes.h"
#include "platform/file_identity.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "platform/verified_start.h"
#include "setupcmd/command_line_generator.h"
#include "upgrade/installer_wait.h"
#include "upgrade/run_objects.h"
#include "upgrade/setaid_hold.h"
#include "upgrade/setup_verifier.h"

namespace upgrade {

using diag::LogLine;

namespace {

std::string Hex4(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04x", value);
  return text;
}

// Starts setup hidden and waits for it, as RunProcess starts programs, but lets it run only once
// the system shows that it made the process from the file `verified` holds. 0 when setup ran, -1
// when it was not created or was ended unrun.
int RunVerifiedSetup(const std::wstring& setupPath, HANDLE verified, const char* commandLine) {
  platform::UniqueKernelHandle process;
  switch (platform::StartVerifiedProcess(setupPath, verified, commandLine, process)) {
    case platform::VerifiedStart::kRunning:
      break;
    case platform::VerifiedStart::kNotCreated:
      return -1;
    case platform::VerifiedStart::kNotResumed:
      LogLine("Failed to resume setup.exe. It was ended before it ran");
      return -1;
    case platform::VerifiedStart::kNotTheVerifiedFile:
      LogLine("The started setup.exe is not the verified file. It was ended before it ran");
      return -1;
  }
  ::WaitForSingleObject(process.get(), INFINITE);
  DWORD exitCode = 0;
  if (::GetExitCodeProcess(process.get(), &exitCode)) diag::NoteSetupExitCode(exitCode);
  return 0;
}

// A gate that stops the run, and the outcome the run's record gives for it.
void NoteStop(const char* gate, const std::string& reason, diag::RunOutcome outcome) {
  diag::NoteGate(gate, false, reason);
  diag::NoteOutcome(outcome);
}

// What the version gate and the command line came to, for the run's record.
void NoteGeneratedCommandLine(const setupcmd::CommandLineGenerator* generator, int generated,
                              const char* commandLine) {
  if (generator) {
    const setupcmd::VersionGateFindings& found = generator->findings();
    diag::NoteVersions(found.packageVersion, found.installedVersion);
  }
  switch (generated) {
    case setupcmd::kCommandLineReady:
      diag::NoteGate("version_gate", true, std::string());
      diag::NoteGate("command_line", true, std::string());
      diag::NoteSetupCommandLine(commandLine);
      return;
    case setupcmd::kLowerVersionRefused:
      NoteStop("version_gate",
               "the package is older than the installed client, or its version "
               "cannot be read",
               diag::RunOutcome::kLowerVersion);
      return;
    case setupcmd::kPackageMsiRefused:
      NoteStop("version_gate", "the package's .msi is not one readable file",
               diag::RunOutcome::kPackageInvalid);
      return;
    default:
      NoteStop("command_line", "the setup command line cannot be built",
               diag::RunOutcome::kSetupNotStarted);
      return;
  }
}

// Tells where setup's log goes when the default one is taken (the generator only decides).
void RecordInstallerLogChoice(const setupcmd::InstallerLogFindings& log) {
  if (!log.defaultTaken) return;
  const std::string taken = "DaxInst: the installer log " + log.defaultPath + " is taken (" +
                            setupcmd::DescribeInstallerLogPlace(log.check) + ")";
  if (!log.path.empty()) {
    contract::RecordEvent(contract::EventKind::kWarning, contract::EventId::kInstallerLogMoved,
                          taken + ". Setup writes its log to " + log.path);
    return;
  }
  contract::RecordEvent(contract::EventKind::kError, contract::EventId::kInstallerLogFolderFailed,
                        taken + " and no folder for another could be made (error " +
                            std::to_string(log.folderError) +
                            "). Setup is started without an installer log");
}

struct VerifierDeleter {
  void operator()(SetupVerifier* verifier) const { DestroySetupVerifier(verifier); }
};
using UniqueSetupVerifier = std::unique_ptr<SetupVerifier, VerifierDeleter>;

}  // namespace

namespace detail {

std::uint32_t RunOptionWriter(const char* kind, const std::function<std::uint32_t()>& write) {
  try {
    return write();
  } catch (const _com_error& error) {
    // A reader that cannot be used costs this writer only: the run goes on with the next one.
    const auto code = static_cast<std::uint32_t>(error.Error());
    LogLine("ERROR: reading config.xml for the ", kind, " options failed - HRESULT 0x", Hex4(code));
    return code;
  }
}

}  // namespace detail

namespace {

// Builds one writer into `writer` (kept alive by the caller) and merges its options, reporting
// a failure with the writer's result.
template <typename Writer>
std::uint32_t MergeOptions(std::unique_ptr<Writer>& writer, const std::string& packageDirectory,
                           const std::shared_ptr<config::ConfigXmlRun>& configRun, const char* kind,
                           const char* what) {
  const std::uint32_t result = detail::RunOptionWriter(kind, [&] {
    writer = std::make_unique<Writer>(packageDirectory, configRun);
    return writer->propigateOptions();
  });
  if (result != 0) {
    LogLine("ERROR: Unable to update ", packageDirectory, "\\setAid.ini with ", what,
            " from config.xml - 0x", Hex4(result));
  }
  return result;
}

// The gate's refusals of the package's .msi go to the event log as well as the log.
void RecordMsiRefusal(setupcmd::MsiRefusal why, const std::string& line) {
  contract::RecordEvent(contract::EventKind::kError,
                        why == setupcmd::MsiRefusal::kSeveral
                            ? contract::EventId::kPackageMsiNotSingle
                            : contract::EventId::kPackageMsiUnreadable,
                        line);
}

// Judges the package's .msi like setup.exe, through the held file, against the same publisher:
// the answer of RunDaxSetup when it is refused, nothing when setup may go on.
std::optional<int> RefuseMsi(SetupVerifier* verifier, const setupcmd::HeldPackageMsi& msi) {
  const std::string refusal = setupcmd::PackageMsiRefusal(msi);
  if (!refusal.empty()) {
    RecordMsiRefusal(msi.found == setupcmd::HeldPackageMsi::Found::kSeveral
                         ? setupcmd::MsiRefusal::kSeveral
                         : setupcmd::MsiRefusal::kUnreadable,
                     refusal);
    NoteStop("version_gate", refusal, diag::RunOutcome::kPackageInvalid);
    return setupcmd::kPackageMsiRefused;
  }
  if (msi.found == setupcmd::HeldPackageMsi::Found::kOne &&
      VerifySetupFile(verifier, msi.widePath.c_str(), msi.handle.get()) != 0) {
    contract::RecordEvent(contract::EventKind::kError, contract::EventId::kPackageMsiNotTrusted,
                          "Trust verification for " + msi.path + " failed. Setup is not run");
    NoteStop("trust", "the trust check refuses " + msi.path, diag::RunOutcome::kNotTrusted);
    return 0;
  }
  diag::NoteGate("trust", true, std::string());
  return std::nullopt;
}

// One reading of config.xml for every reader of this run; null when the file exists but cannot
// be read: merged from nothing, setup would run with the package's defaults instead of the
// deployment policy.
std::shared_ptr<config::ConfigXmlRun> ReadConfigForRun() {
  std::shared_ptr<config::ConfigXmlRun> run = config::ConfigXmlRun::Read();
  if (run->state() != config::ConfigLoad::kUnreadable) return run;
  contract::RecordEvent(contract::EventKind::kError, contract::EventId::kConfigXmlUnreadable,
                        "ERROR: config.xml exists but cannot be read (error " +
                            std::to_string(run->error()) + "). Setup is not run");
  NoteStop("deployment_configuration", "config.xml exists but cannot be read",
           diag::RunOutcome::kSettingsUnusable);
  return nullptr;
}

// Merges config.xml into setAid.ini; false when setup must not run.
bool MergeIntoSetAid(const std::string& packageDirectory,
                     const std::shared_ptr<config::ConfigXmlRun>& configRun) {
  // Held while the profile functions rewrite it by name, then let go.
  const HeldSetAid setAid = HoldSetAid(packageDirectory);
  switch (UseOf(setAid)) {
    case SetAidUse::kMerge:
      MergeDeploymentOptions(packageDirectory, configRun);
      diag::NoteGate("deployment_configuration", true, std::string());
      break;
    case SetAidUse::kLeaveAsItIs:
      RecordSetAidNotMerged(setAid);
      diag::NoteGate("deployment_configuration", true, "setAid.ini is in use and not merged");
      break;
    case SetAidUse::kDoNotRunSetup:
      RecordSetAidNotMerged(setAid);
      NoteStop("deployment_configuration", "setAid.ini cannot be held safely",
               diag::RunOutcome::kSettingsUnusable);
      return false;
  }
  return true;
}

}  // namespace

HeldSetupFile OpenSetupFile(const std::string& packageDirectory) {
  HeldSetupFile setup;
  setup.path = packageDirectory + "\\setup.exe";
  // The handle denies writers and deleters until setup has ended, and the check reads the file
  // through it, so the program that was verified is the program that runs. The one wide form of
  // the path names the file for the handle, the check and the launch: a second conversion, or a
  // rewriting such as environment expansion, could name another file.
  // Strict: a byte that the code page lacks fails the open rather than naming another file.
  setup.widePath = platform::WidenToNulStrict(setup.path.c_str());
  if (setup.path.size() < MAX_PATH && !setup.widePath.empty()) {
    setup.handle = platform::OpenReadShared(setup.widePath.c_str());
  }
  return setup;
}

OptionMergeResults MergeDeploymentOptions(const std::string& packageDirectory,
                                          std::shared_ptr<config::ConfigXmlRun> configRun) {
  OptionMergeResults results;
  if (!configRun) configRun = config::ConfigXmlRun::Read();
  // All three writers live until the last one has run, as one merge of config.xml.
  std::unique_ptr<config::CInstallOptParser> install;
  std::unique_ptr<config::CRebootOptParser> reboot;
  std::unique_ptr<config::CFeatureOptParser> feature;
  results.install =
      MergeOptions(install, packageDirectory, configRun, "install", "install options");
  results.reboot = MergeOptions(reboot, packageDirectory, configRun, "reboot", "reboot options");
  results.feature =
      MergeOptions(feature, packageDirectory, configRun, "feature", "Feature options");
  feature.reset();
  reboot.reset();
  install.reset();
  return results;
}

int RunDaxSetup(const std::string& packageDirectory, DWORD daxPid, bool personAtDesktop) {
  HeldSetupFile setup = OpenSetupFile(packageDirectory);
  LogLine("Setup path = ", setup.path);
  if (!setup.handle) {
    LogLine(
        "Failed to open a read-shared handle of setup.exe file. Cannot move ahead with install");
    NoteStop("package", "setup.exe cannot be opened", diag::RunOutcome::kSetupNotStarted);
    return 0;
  }
  const std::wstring& wideSetupPath = setup.widePath;
  platform::UniqueFileHandle& readShared = setup.handle;

  UniqueSetupVerifier verifier(CreateSetupVerifier());
  // Only 0 is trusted: any other answer, whatever its sign, is a refusal.
  if (!verifier || VerifySetupFile(verifier.get(), wideSetupPath.c_str(), readShared.get()) != 0) {
    LogLine("Trust verification for setup.exe failed");
    NoteStop("trust", "the trust check refuses setup.exe", diag::RunOutcome::kNotTrusted);
    return 0;
  }

  // The .msi that the gate compares is the one setup installs: held from here until setup has
  // ended.
  const setupcmd::HeldPackageMsi msi = setupcmd::FindAndHoldPackageMsi(packageDirectory);
  if (const std::optional<int> refused = RefuseMsi(verifier.get(), msi)) return *refused;
  const std::shared_ptr<config::ConfigXmlRun> configRun = ReadConfigForRun();
  if (!configRun) return 0;
  if (!MergeIntoSetAid(packageDirectory, configRun)) return 0;

  std::unique_ptr<setupcmd::CommandLineGenerator> generator;
  char commandLine[setupcmd::kCommandLineBufferSize] = {};
  int generated = setupcmd::kCommandLineNotStored;
  try {
    generator = std::make_unique<setupcmd::CommandLineGenerator>(packageDirectory);
    generator->includeLogSwitch = true;
    generator->moveTakenInstallerLog = true;
    generator->daxPid = daxPid;
    generator->personAtDesktop = personAtDesktop;
    generator->heldMsi = &msi;
    generator->reportMsiRefusal = RecordMsiRefusal;
    generator->configRun = configRun;
    generated = generator->GenerateCommandLine(commandLine);
    RecordInstallerLogChoice(generator->installerLog());
  } catch (const _com_error& error) {
    // Without a complete command line setup must not start.
    LogLine("ERROR: building the setup command line failed - HRESULT 0x",
            Hex4(static_cast<std::uint32_t>(error.Error())));
    generated = setupcmd::kCommandLineNotStored;
  }
  NoteGeneratedCommandLine(generator.get(), generated, commandLine);
  if (generated != setupcmd::kCommandLineReady) return generated;

  WaitForFreeInstaller();  // a setup started beside another installation fails with 1618
  // Another account's notify mutex is recorded and dropped; setup runs all the same.
  platform::NamedObject notify = CreateNotifyPassMutex();
  platform::UniqueKernelHandle notifyPass = std::move(notify.handle);
  if (notify.found == platform::Found::kOwn) {
    LogLine("Create Mutex. Failed (ALREADY_EXISTS) ");
  } else if (notify.found == platform::Found::kCreated) {
    LogLine("Successfully created new mutex");
  } else {
    LogLine("Create mutex. Failed..");
  }

  const int result = RunVerifiedSetup(wideSetupPath, readShared.get(), commandLine);
  if (result != 0) diag::NoteOutcome(diag::RunOutcome::kSetupNotStarted);
  // Closed without a release: the system abandons it with the handle.
  notifyPass.reset();
  return result;
}

}  // namespace upgrade
