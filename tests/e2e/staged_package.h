// A staged client package given to the real service, as the staging program gives it: a package
// folder with daxinst.exe, the signed stand-in setup program, setAid.ini, Setup.ini and a .msi,
// then "daxinst.exe -install" and "-start", and a wait until the one-shot service has run and
// removed itself. Every daxinst.exe process that ran from the package folder is watched, so that
// a test can tell how each one ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"
#include "platform/unique_handle.h"

namespace e2e {

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

struct StagedRunResult {
  bool ended = false;       // the service ran, removed itself, and no daxinst.exe is left
  ULONGLONG elapsedMs = 0;  // from "-start" to the end
  std::optional<DWORD> installExit;
  std::optional<DWORD> startExit;
  DWORD serviceProcessId = 0;  // as the SCM reported it while the service ran
  std::vector<ProcessExitWatch::Ended> processes;
};

class StagedPackage {
 public:
  // `folder` is the package folder's name beside the test executable; `setupVariant` a signed
  // variant of the stand-in setup program in the test's "setup" folder; `msi` a file in its
  // "msi" folder (copied as "Quorvex Client.msi").
  StagedPackage(const std::string& folder, const char* setupVariant, const char* msi);

  PackageFolder& folder() { return *package_; }
  const std::string& path() const { return package_->path(); }
  std::string File(const char* name) const { return path() + "\\" + name; }
  std::string SetupPath() const { return File("setup.exe"); }
  std::string SetAidPath() const { return File("setAid.ini"); }
  std::string SetupIniPath() const { return File("Setup.ini"); }
  std::string MsiPath() const { return File("Quorvex Client.msi"); }
  std::string RecordPath() const { return File("setup-record.txt"); }
  std::string ArgumentsPath() const { return File("setup-arguments.txt"); }

  // Plays the staging program: "-install" from the package folder, then "-start" from a second
  // copy of daxinst.exe in `starter` (so that two processes do not write one log at once), and
  // waits up to `runWaitMs` for the run to end with the service's removal.
  StagedRunResult InstallStartAndWait(const PackageFolder& starter, DWORD runWaitMs);

  // The upgrade run's own lines of the log, from its first to its last.
  std::vector<std::string> RunLines() const;
  // The stand-in setup program's command line, when it ran.
  std::optional<std::string> SetupCommandLine() const;
  // The arguments its C runtime made of that command line, when it ran.
  std::optional<std::vector<std::string>> SetupArguments() const;

 private:
  std::unique_ptr<PackageFolder> package_;
};

}  // namespace e2e
