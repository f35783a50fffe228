// The one vocabulary of the whole-run suites: a client package staged as the staging program
// stages it (a package folder with daxinst.exe, the signed stand-in setup program, its control
// file, setAid.ini, Setup.ini and a .msi), installed and started ("daxinst.exe -install", then
// "-start" from a second copy), waited for until the one-shot service has run and removed
// itself, and one set of expectations about what the run left: it ran to its end, it succeeded,
// setup ran with the merged settings, and the client's data was kept. Every daxinst.exe process
// that ran from the package folder is watched, so that a case can tell how each one ended.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/e2e_support.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace e2e {

// How long a verb of the staging program may take.
constexpr DWORD kVerbWait = 60000;
// A run whose setup leaves its code at once ends well within this.
constexpr DWORD kRunWait = 60000;
// A run that never gets a setup result polls for two minutes before it ends: on a loaded machine
// 120 reads a second apart took more than 200 s.
constexpr DWORD kPollingRunWait = 240000;

// The stand-in setup program's control file for a setup that leaves code 0 at once.
constexpr char kSucceedingSetup[] = "[setup]\r\ncode=0\r\n";
// The notify mutex that exists while setup runs.
constexpr char kNotifyPass[] = "Global\\TRVAutoUpgradeNotifyPass";

// Opens, while it runs, every process whose image is `executable`, and keeps its handle so that
// its exit code can be read after it has gone.
class ProcessExitWatch {
 public:
  // `serviceProcess`, when given, is asked at every look for a process number to watch too
  // (the service's, from the SCM, whose process may end before anyone else asks).
  explicit ProcessExitWatch(std::string executable,
                            std::function<std::optional<DWORD>()> serviceProcess = {});
  ~ProcessExitWatch();
  ProcessExitWatch(const ProcessExitWatch&) = delete;
  ProcessExitWatch& operator=(const ProcessExitWatch&) = delete;

  // Adds a process found by other means (the service's own process number from the SCM).
  void Add(DWORD processId);
  void Stop();
  // The number `serviceProcess` gave, or 0 when it never gave one.
  DWORD serviceProcessId() const { return serviceProcessId_; }

  struct Ended {
    DWORD processId = 0;
    std::optional<DWORD> exitCode;  // none: still running after the wait
  };
  // Waits (bounded) for every watched process and answers how each ended.
  std::vector<Ended> Results(DWORD timeoutMs);

 private:
  void Watch();
  bool Matches(HANDLE process) const;

  std::string executable_;
  std::function<std::optional<DWORD>()> serviceProcess_;
  std::atomic<DWORD> serviceProcessId_{0};
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::map<DWORD, platform::UniqueKernelHandle> processes_;
  std::thread thread_;
};

// Watches, while a run goes on, what lives only for part of it: the "LaunchSetup" values the
// run writes before the service's removal deletes the value again, and the notify mutex that
// exists only while setup runs.
class TransientStateWatch {
 public:
  TransientStateWatch();
  ~TransientStateWatch();
  TransientStateWatch(const TransientStateWatch&) = delete;
  TransientStateWatch& operator=(const TransientStateWatch&) = delete;

  void Stop();
  std::vector<DWORD> launchSetupValues() const;
  bool sawNotifyMutex() const { return sawMutex_; }

 private:
  void Watch();

  std::atomic<bool> done_{false};
  std::atomic<bool> sawMutex_{false};
  mutable std::mutex mutex_;
  std::vector<DWORD> launchSetup_;
  std::thread thread_;
};

// What one package folder holds when it is staged.
struct PackageContents {
  std::string folder;                 // the package folder's name; may hold blanks
  const char* setup = "signed_good";  // variant in the test's "setup" folder; nullptr: none
  std::string msi;                    // file in the test's "msi" folder
  std::string setupControl = kSucceedingSetup;  // what the stand-in setup program does
  std::string setAid = kStagedSetAid;
  std::string setupIni = kSetupIni;
};

// How a wait knows that the run is over.
enum class RunEnd {
  // The log holds the -uninstall child's last line, the service is gone and no daxinst.exe runs.
  kLoggedAndRemoved,
  // The service is gone and no daxinst.exe runs: for the runs that cannot write their log.
  kRemoved,
};

struct StagedRunResult {
  std::optional<DWORD> installExit;  // none: not run, or did not end
  bool serviceInstalled = false;     // after -install
  std::optional<DWORD> startExit;
  bool ended = false;          // the service ran, removed itself, and no daxinst.exe is left
  ULONGLONG elapsedMs = 0;     // from the end of "-start" to the end of the run
  DWORD serviceProcessId = 0;  // as the SCM reported it while the service ran
  std::vector<ProcessExitWatch::Ended> processes;
  std::vector<DWORD> launchSetupValues;  // every "LaunchSetup" value seen while the run went on
  bool sawNotifyMutex = false;           // the notify mutex existed at some point of the run
};

class StagedPackage {
 public:
  // Stages `contents` beside the test executable, with the diagnostic daxinst.exe. A file that
  // cannot be staged fails the test.
  explicit StagedPackage(const PackageContents& contents);

  PackageFolder& folder() { return *package_; }
  const PackageFolder& folder() const { return *package_; }
  const std::string& path() const { return package_->path(); }
  std::string File(const char* name) const { return path() + "\\" + name; }
  std::string SetupPath() const { return File("setup.exe"); }
  std::string SetAidPath() const { return File("setAid.ini"); }
  std::string SetupIniPath() const { return File("Setup.ini"); }
  std::string MsiPath() const { return File("Quorvex Client.msi"); }
  std::string RecordPath() const { return File("setup-record.txt"); }
  std::string ArgumentsPath() const { return File("setup-arguments.txt"); }

  // Install and start ---------------------------------------------------------------------
  // Plays the staging program: "-install" from the package folder, `afterInstall` (what a case
  // changes between the two verbs), then "-start" from a second copy of daxinst.exe in `starter`
  // and a wait of up to `runWaitMs` for the run's end. The start command comes from the second
  // copy because it logs beside itself: two processes appending to one daxinst.log at the same
  // moment can overwrite each other's line, and the run's own lines are compared in full. The copy
  // has the service's file name, so the number handed to setup is still that of the program that
  // ran the start command (this test). Returns early, without a start, when -install leaves no
  // service.
  StagedRunResult InstallStartAndWait(const PackageFolder& starter, DWORD runWaitMs,
                                      const std::function<void()>& afterInstall = {},
                                      RunEnd end = RunEnd::kLoggedAndRemoved);
  // The same in steps, for cases that act while the run goes on.
  std::optional<DWORD> Install();
  // Starts the watches, then "-start" from `starter`; its exit code.
  std::optional<DWORD> Start(const PackageFolder& starter);
  // Waits (bounded) for the end of the run that Start began, and answers how it went.
  StagedRunResult WaitForRunEnd(DWORD runWaitMs, RunEnd end = RunEnd::kLoggedAndRemoved);

  // The log ---------------------------------------------------------------------------------
  std::vector<std::string> Messages() const { return package_->Messages(); }
  // The first upgrade run's own lines, from its first to its last.
  std::vector<std::string> FirstRunLines() const;
  // The last upgrade run's own lines, from its first to its last: what a case that runs the
  // package twice looks at after the second run.
  std::vector<std::string> LastRunLines() const;
  // The lines every run of this package logs before it looks at the package, then `rest`.
  std::vector<std::string> AfterOpening(const std::vector<std::string>& rest) const;

  // Setup -----------------------------------------------------------------------------------
  // How many times the stand-in setup program was started: each start adds two lines.
  size_t SetupStarts() const;
  // The stand-in setup program's first command line, when it ran.
  std::optional<std::string> SetupCommandLine() const;
  // The process number of its first start, when it ran.
  std::optional<std::string> SetupProcessNumber() const;
  // The arguments its C runtime made of that command line, when it ran.
  std::optional<std::vector<std::string>> SetupArguments() const;

 private:
  std::unique_ptr<PackageFolder> package_;
  std::unique_ptr<ProcessExitWatch> processes_;
  std::unique_ptr<TransientStateWatch> transient_;
  StagedRunResult run_;
  ULONGLONG startedAt_ = 0;
};

// The command line setup gets from the staged Setup.ini with `arguments` (the /v arguments
// before DAXPID), with this test as the program that ran the start command.
std::string SetupCommandLine(const StagedPackage& package, const std::string& arguments);

// Expectations --------------------------------------------------------------------------------

// -install and -start exited 0, the service was installed, and the run ended with its removal.
::testing::AssertionResult RanToTheEnd(const StagedRunResult& run, const StagedPackage& package);

// The registry after a run that collected setup's successful code and removed the service.
void ExpectSucceeded();

// Whether the feature the client offers but does not allow ("Legacy") is left out of the merge.
enum class LegacyFeature { kLeftOut, kKept };

// setAid.ini holds config.xml's settings merged over the package's: the identity kept, the
// installation folder, the reboot and the features of config.xml, the package's own features
// gone.
void ExpectMergedSetAid(const StagedPackage& package,
                        LegacyFeature legacy = LegacyFeature::kLeftOut);

// Setup ran once with `commandLine`, after setAid.ini was merged.
void ExpectSetupRanWithMergedSettings(const StagedPackage& package, const std::string& commandLine);

// The client's own registry data: the product key and the client key without the values a run
// owns ("LaunchSetup", "DaxSetupStatus", "DaxInstResult").
using RegistryValues = std::map<std::string, std::pair<DWORD, std::string>>;
RegistryValues ClientData();

enum class SetAidAfter { kMerged, kOriginal };

// What every run keeps: setup started `setupStarts` times for the package, the client's data as
// it was before the run, and a whole setAid.ini, merged or the staged one byte for byte.
void ExpectKept(const StagedPackage& package, const RegistryValues& clientBefore,
                size_t setupStarts, SetAidAfter setAid);

// The common application-data folder's Quorvex\Daxinst\runs, where the runs leave records.
std::string RunRecordFolder();
// The run records in it, oldest first.
std::vector<nlohmann::ordered_json> RunRecords();
// Deletes them (a case's start), so that the records a case reads are its own runs'.
void RemoveRunRecords();
// The newest record names the outcome `code` and the gates the run met, as (name, passes) in its
// order.
void ExpectLastRunRecord(unsigned code, const std::vector<std::pair<std::string, bool>>& gates);
// The gates of a run that reached setup, every one passed, in the run's order.
std::vector<std::pair<std::string, bool>> EveryGatePassed();

// Fixtures ------------------------------------------------------------------------------------

// Product family F (tests/e2e/CMakeLists.txt): the installed client and the packages above and
// below it. The suite installs the client once, before its first case.
class InstalledFamilyF {
 public:
  static void Install();
  static void Remove();
  // Fails the case when the suite could not install the client.
  static ::testing::AssertionResult Installed();

 private:
  static std::optional<DWORD> installExit_;
};

// The frame of every whole-run case: no Daxinst service and none of a run's values before and
// after it, config.xml in a folder of its own found through the product key, the client's list
// of features it does not allow, and a second copy of daxinst.exe that gives the start command.
class WholeRunTest : public ::testing::Test {
 protected:
  // `suite` names the configuration and starter folders. `notAllowed`, when given, is the
  // product key's list of features the client offers but does not allow.
  WholeRunTest(const std::string& suite, std::string configBody, const char* notAllowed = "Legacy");

  void SetUp() override;
  void TearDown() override;

  // Stages the case's package (it is removed again after the case).
  void Stage(const PackageContents& contents);
  void WriteConfig(const std::string& document);
  // Everything a case may have left in the registry: the run's values, the configuration
  // folder's values, the list of features not allowed.
  virtual void CleanRegistry();

  testing_support::RunRegistryGuard registry_;
  testing_support::TempFolder config_;
  std::unique_ptr<StagedPackage> package_;
  PackageFolder starter_;

 private:
  std::string configBody_;
  const char* notAllowed_;
};

}  // namespace e2e
