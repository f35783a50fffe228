#include "e2e/staged_package.h"

#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "support/test_support.h"

namespace e2e {

namespace {

constexpr DWORD kVerbWait = 60000;

std::optional<DWORD> ServiceProcessId() {
  platform::UniqueServiceHandle service = OpenDaxinst(SERVICE_QUERY_STATUS);
  if (!service) return std::nullopt;
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) ||
      status.dwProcessId == 0) {
    return std::nullopt;
  }
  return status.dwProcessId;
}

bool Has(const std::vector<std::string>& lines, const std::string& wanted) {
  return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

}  // namespace

ProcessExitWatch::ProcessExitWatch(std::string executable,
                                   std::function<std::optional<DWORD>()> serviceProcess)
    : executable_(std::move(executable)),
      serviceProcess_(std::move(serviceProcess)),
      thread_([this] { Watch(); }) {}

ProcessExitWatch::~ProcessExitWatch() { Stop(); }

void ProcessExitWatch::Stop() {
  done_ = true;
  if (thread_.joinable()) thread_.join();
}

bool ProcessExitWatch::Matches(HANDLE process) const {
  char image[MAX_PATH * 2] = {};
  DWORD size = sizeof(image);
  if (!::QueryFullProcessImageNameA(process, 0, image, &size)) return false;
  return _stricmp(image, executable_.c_str()) == 0;
}

void ProcessExitWatch::Add(DWORD processId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (processes_.count(processId) != 0) return;
  platform::UniqueKernelHandle process(
      ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
  if (process) processes_.emplace(processId, std::move(process));
}

void ProcessExitWatch::Watch() {
  while (!done_) {
    if (serviceProcess_ && serviceProcessId_ == 0) {
      if (const auto id = serviceProcess_()) {
        Add(*id);
        serviceProcessId_ = *id;
      }
    }
    platform::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot ? ::Process32First(snapshot.get(), &entry) : FALSE; more;
         more = ::Process32Next(snapshot.get(), &entry)) {
      if (_stricmp(entry.szExeFile, "daxinst.exe") != 0) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (processes_.count(entry.th32ProcessID) != 0) continue;
      }
      platform::UniqueKernelHandle process(::OpenProcess(
          PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
      if (!process || !Matches(process.get())) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      processes_.emplace(entry.th32ProcessID, std::move(process));
    }
    ::Sleep(2);
  }
}

std::vector<ProcessExitWatch::Ended> ProcessExitWatch::Results(DWORD timeoutMs) {
  Stop();
  const ULONGLONG end = ::GetTickCount64() + timeoutMs;
  std::vector<Ended> results;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, handle] : processes_) {
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now < end ? static_cast<DWORD>(end - now) : 0;
    Ended ended;
    ended.processId = id;
    DWORD code = 0;
    if (::WaitForSingleObject(handle.get(), left) == WAIT_OBJECT_0 &&
        ::GetExitCodeProcess(handle.get(), &code)) {
      ended.exitCode = code;
    }
    results.push_back(ended);
  }
  return results;
}

StagedPackage::StagedPackage(const std::string& folder, const char* setupVariant, const char* msi)
    : package_(std::make_unique<PackageFolder>(folder, kLogOnVariant)) {
  const std::string here = testing_support::ExecutableDirectory();
  EXPECT_TRUE(testing_support::CopyFileTo(here + "\\setup\\" + setupVariant + ".exe", SetupPath()))
      << "could not stage setup.exe";
  EXPECT_TRUE(testing_support::CopyFileTo(here + "\\msi\\" + msi, MsiPath()))
      << "could not stage " << msi;
}

StagedRunResult StagedPackage::InstallStartAndWait(const PackageFolder& starter, DWORD runWaitMs) {
  StagedRunResult result;
  result.installExit = package_->Run("-install", kVerbWait);
  if (!ServiceExists()) return result;

  // Watched from before the start command: a short run may be over by the time it returns.
  ProcessExitWatch watch(package_->executable(), ServiceProcessId);
  const ULONGLONG started = ::GetTickCount64();
  result.startExit = starter.Run("-start", kVerbWait);
  result.ended = WaitUntil(
      [this] {
        return Has(package_->Messages(), "<mfn_UnInstall> End.") && !ServiceExists() &&
               CountProcessesNamed("daxinst.exe") == 0;
      },
      runWaitMs, 200);
  result.elapsedMs = ::GetTickCount64() - started;
  result.processes = watch.Results(result.ended ? 5000 : 0);
  result.serviceProcessId = watch.serviceProcessId();
  return result;
}

std::vector<std::string> StagedPackage::RunLines() const {
  std::vector<std::string> lines;
  bool inRun = false;
  for (const auto& line : package_->Messages()) {
    if (line == "<ServiceStart>To begin the service") inRun = true;
    if (!inRun) continue;
    lines.push_back(line);
    if (line == "================= End ===================") break;
  }
  return lines;
}

std::optional<std::string> StagedPackage::SetupCommandLine() const {
  const auto record = testing_support::ReadFileBytes(RecordPath());
  if (!record) return std::nullopt;
  return record->substr(0, record->find('\n'));
}

std::optional<std::vector<std::string>> StagedPackage::SetupArguments() const {
  const auto bytes = testing_support::ReadFileBytes(ArgumentsPath());
  if (!bytes) return std::nullopt;
  std::vector<std::string> arguments;
  for (size_t start = 0; start < bytes->size();) {
    const size_t end = bytes->find('\0', start);
    if (end == std::string::npos) break;
    arguments.push_back(bytes->substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

}  // namespace e2e
