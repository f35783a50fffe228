#include "e2e/staged_package.h"

#include <windows.h>

// After windows.h, which they need.
#include <msi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "config/config_fixture.h"
#include "support/test_support.h"

namespace e2e {

namespace {

using testing_support::ClientValue;
using testing_support::Dump;
using testing_support::Has;
using testing_support::ReadFileBytes;

constexpr char kRunFirstLine[] = "<ServiceStart>To begin the service";
constexpr char kRunLastLine[] = "================= End ===================";
// How long the teardown waits for what a case's run left running.
constexpr DWORD kLeftoverWait = 90000;

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

// From `first` (the run's first line) to the run's last line or the log's end.
std::vector<std::string> RunFrom(std::vector<std::string>::const_iterator first,
                                 std::vector<std::string>::const_iterator end) {
  std::vector<std::string> lines;
  for (auto line = first; line != end; ++line) {
    lines.push_back(*line);
    if (*line == kRunLastLine) break;
  }
  return lines;
}

ULONGLONG LastWriteTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

RegistryValues ValuesOf(const char* path) {
  RegistryValues values;
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | testing_support::kClientView,
                      key.put()) != ERROR_SUCCESS) {
    return values;
  }
  for (DWORD index = 0;; ++index) {
    char name[256] = {};
    DWORD nameLength = sizeof(name);
    DWORD type = 0;
    BYTE data[4096] = {};
    DWORD dataLength = sizeof(data);
    if (::RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &type, data, &dataLength) !=
        ERROR_SUCCESS) {
      break;
    }
    values[name] = {type, std::string(reinterpret_cast<char*>(data), dataLength)};
  }
  return values;
}

void DeleteProductValue(const char* name) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, config_testing::kProductKey, 0,
                      KEY_ALL_ACCESS | testing_support::kClientView, key.put()) == ERROR_SUCCESS) {
    testing_support::ExpectDeletedValue(key.get(), config_testing::kProductKey, name);
  }
}

}  // namespace

// -- Watches ----------------------------------------------------------------------------------

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

TransientStateWatch::TransientStateWatch() : thread_([this] { Watch(); }) {}

TransientStateWatch::~TransientStateWatch() { Stop(); }

void TransientStateWatch::Stop() {
  done_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<DWORD> TransientStateWatch::launchSetupValues() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return launchSetup_;
}

void TransientStateWatch::Watch() {
  while (!done_) {
    if (const auto value = ClientValue("LaunchSetup")) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (launchSetup_.empty() || launchSetup_.back() != *value) launchSetup_.push_back(*value);
    }
    platform::UniqueKernelHandle notify(::OpenMutexA(SYNCHRONIZE, FALSE, kNotifyPass));
    if (notify) sawMutex_ = true;
    ::Sleep(1);
  }
}

// -- Stage ------------------------------------------------------------------------------------

StagedPackage::StagedPackage(const PackageContents& contents)
    : package_(std::make_unique<PackageFolder>(contents.folder, kLogOnVariant)) {
  const std::string here = testing_support::ExecutableDirectory();
  if (contents.setup) {
    EXPECT_TRUE(
        testing_support::CopyFileTo(here + "\\setup\\" + contents.setup + ".exe", SetupPath()))
        << "could not stage setup.exe";
  }
  EXPECT_TRUE(testing_support::CopyFileTo(testing_support::FixtureMsi(contents.msi), MsiPath()))
      << "could not stage " << contents.msi;
  testing_support::WriteFileBytes(File("setup-control.ini"), contents.setupControl);
  testing_support::WriteFileBytes(SetAidPath(), contents.setAid);
  testing_support::WriteFileBytes(SetupIniPath(), contents.setupIni);
}

// -- Install and start ------------------------------------------------------------------------

std::optional<DWORD> StagedPackage::Install() {
  run_ = StagedRunResult();
  run_.installExit = package_->Run("-install", kVerbWait);
  run_.serviceInstalled = ServiceExists();
  return run_.installExit;
}

std::optional<DWORD> StagedPackage::Start(const PackageFolder& starter) {
  // Watched from before the start command: a short run may be over by the time it returns.
  processes_ = std::make_unique<ProcessExitWatch>(package_->executable(), ServiceProcessId);
  transient_ = std::make_unique<TransientStateWatch>();
  run_.startExit = starter.Run("-start", kVerbWait);
  startedAt_ = ::GetTickCount64();
  return run_.startExit;
}

StagedRunResult StagedPackage::WaitForRunEnd(DWORD runWaitMs, RunEnd end) {
  run_.ended = WaitUntil(
      [this, end] {
        return (end == RunEnd::kRemoved || Has(package_->Messages(), "<mfn_UnInstall> End.")) &&
               !ServiceExists() && CountProcessesNamed("daxinst.exe") == 0;
      },
      runWaitMs, 200);
  run_.elapsedMs = ::GetTickCount64() - startedAt_;
  if (transient_) {
    transient_->Stop();
    run_.launchSetupValues = transient_->launchSetupValues();
    run_.sawNotifyMutex = transient_->sawNotifyMutex();
  }
  if (processes_) {
    run_.processes = processes_->Results(run_.ended ? 5000 : 0);
    run_.serviceProcessId = processes_->serviceProcessId();
  }
  return run_;
}

StagedRunResult StagedPackage::InstallStartAndWait(const PackageFolder& starter, DWORD runWaitMs,
                                                   const std::function<void()>& afterInstall,
                                                   RunEnd end) {
  Install();
  if (!run_.serviceInstalled) return run_;
  if (afterInstall) afterInstall();
  Start(starter);
  return WaitForRunEnd(runWaitMs, end);
}

// -- The log ----------------------------------------------------------------------------------

std::vector<std::string> StagedPackage::FirstRunLines() const {
  const auto messages = package_->Messages();
  const auto first = std::find(messages.begin(), messages.end(), std::string(kRunFirstLine));
  return RunFrom(first, messages.end());
}

std::vector<std::string> StagedPackage::LastRunLines() const {
  const auto messages = package_->Messages();
  const auto last = std::find(messages.rbegin(), messages.rend(), std::string(kRunFirstLine));
  if (last == messages.rend()) return {};
  return RunFrom(std::prev(last.base()), messages.end());
}

std::vector<std::string> StagedPackage::AfterOpening(const std::vector<std::string>& rest) const {
  std::vector<std::string> lines = RunOpening(path());
  lines.insert(lines.end(), rest.begin(), rest.end());
  return lines;
}

// -- Setup ------------------------------------------------------------------------------------

size_t StagedPackage::SetupStarts() const {
  const auto record = ReadFileBytes(RecordPath());
  if (!record) return 0;
  return static_cast<size_t>(std::count(record->begin(), record->end(), '\n')) / 2;
}

std::optional<std::string> StagedPackage::SetupCommandLine() const {
  const auto record = ReadFileBytes(RecordPath());
  if (!record) return std::nullopt;
  return record->substr(0, record->find('\n'));
}

std::optional<std::string> StagedPackage::SetupProcessNumber() const {
  const auto record = ReadFileBytes(RecordPath());
  if (!record) return std::nullopt;
  const std::string rest = record->substr(record->find('\n') + 1);
  return rest.substr(0, rest.find('\n'));
}

std::optional<std::vector<std::string>> StagedPackage::SetupArguments() const {
  const auto bytes = ReadFileBytes(ArgumentsPath());
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

std::string SetupCommandLine(const StagedPackage& package, const std::string& arguments) {
  return "\"" + package.SetupPath() + "\" /w /s /v\"" + arguments +
         " DAXPID=" + std::to_string(::GetCurrentProcessId()) +
         " REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\"";
}

// -- Expectations -----------------------------------------------------------------------------

::testing::AssertionResult RanToTheEnd(const StagedRunResult& run, const StagedPackage& package) {
  const auto failure = [&](const std::string& what) {
    return ::testing::AssertionFailure() << what << "\n" << Dump(package.Messages());
  };
  if (!run.installExit) return failure("-install did not end");
  if (*run.installExit != 0) return failure("-install exited " + std::to_string(*run.installExit));
  if (!run.serviceInstalled) return failure("-install left no service");
  if (!run.startExit) return failure("-start did not end");
  if (*run.startExit != 0) return failure("-start exited " + std::to_string(*run.startExit));
  if (!run.ended) return failure("the run did not end with the service's removal");
  return ::testing::AssertionSuccess();
}

void ExpectSucceeded() {
  EXPECT_EQ(ClientValue("DaxInstResult"), 0u);
  EXPECT_EQ(testing_support::SetupResult(), 99u);
  EXPECT_EQ(ClientValue("DaxSetupStatus"), 2u);
  EXPECT_FALSE(ClientValue("LaunchSetup").has_value()) << "the removal keeps LaunchSetup";
}

void ExpectMergedSetAid(const StagedPackage& package, LegacyFeature legacy) {
  const auto setAid = ReadFileBytes(package.SetAidPath());
  ASSERT_TRUE(setAid) << "setAid.ini is gone";
  // The package's identity is only read.
  EXPECT_NE(setAid->find("PackageChecksum=C0FFEE\r\nAppType=105\r\n"), std::string::npos)
      << *setAid;
  for (const char* merged :
       {"DestinationDirectory=D:\\New\r\n", "AutoReboot=true\r\n", "Core=1\r\n"}) {
    EXPECT_NE(setAid->find(merged), std::string::npos) << *setAid;
  }
  EXPECT_EQ(setAid->find("Old=1"), std::string::npos) << "the feature section was kept\n"
                                                      << *setAid;
  if (legacy == LegacyFeature::kLeftOut) {
    EXPECT_EQ(setAid->find("Legacy"), std::string::npos) << *setAid;
  } else {
    EXPECT_NE(setAid->find("Legacy=1"), std::string::npos) << *setAid;
  }
}

void ExpectSetupRanWithMergedSettings(const StagedPackage& package,
                                      const std::string& commandLine) {
  const auto ran = package.SetupCommandLine();
  ASSERT_TRUE(ran) << "setup did not run";
  EXPECT_EQ(*ran, commandLine);
  EXPECT_FALSE(package.SetupProcessNumber().value_or("").empty());
  ExpectMergedSetAid(package);
  EXPECT_LE(LastWriteTime(package.SetAidPath()), LastWriteTime(package.RecordPath()))
      << "setAid.ini changed after setup had started";
}

RegistryValues ClientData() {
  RegistryValues data;
  for (const auto& [name, value] : ValuesOf(config_testing::kProductKey)) {
    data["product\\" + name] = value;
  }
  for (const auto& [name, value] : ValuesOf(kClientKey)) {
    if (name == "LaunchSetup" || name == "DaxSetupStatus" || name == "DaxInstResult") continue;
    data["client\\" + name] = value;
  }
  return data;
}

void ExpectKept(const StagedPackage& package, const RegistryValues& clientBefore,
                size_t setupStarts, SetAidAfter setAid) {
  EXPECT_EQ(package.SetupStarts(), setupStarts) << "setup runs for one package";
  EXPECT_EQ(ClientData(), clientBefore) << "the client's registry values changed";
  const auto text = ReadFileBytes(package.SetAidPath());
  ASSERT_TRUE(text) << "setAid.ini is gone";
  if (setAid == SetAidAfter::kOriginal) {
    EXPECT_EQ(*text, kStagedSetAid) << "setAid.ini is not the original";
    return;
  }
  ExpectMergedSetAid(package);
}

// -- Fixtures ---------------------------------------------------------------------------------

std::optional<DWORD> InstalledFamilyF::installExit_;

namespace {
bool FamilyFInstalled() {
  return ::MsiQueryProductStateA(kInstalledProduct) == INSTALLSTATE_DEFAULT;
}
}  // namespace

void InstalledFamilyF::Install() {
  if (!FamilyFInstalled()) {
    installExit_ = testing_support::RunMsiexec("/i", testing_support::FixtureMsi(kInstalledMsi));
  }
}

void InstalledFamilyF::Remove() {
  if (FamilyFInstalled()) {
    testing_support::RunMsiexec("/x", testing_support::FixtureMsi(kInstalledMsi));
  }
}

::testing::AssertionResult InstalledFamilyF::Installed() {
  if (FamilyFInstalled()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "msiexec could not install " << kInstalledMsi << ", exit "
                                       << (installExit_ ? std::to_string(*installExit_) : "none");
}

WholeRunTest::WholeRunTest(const std::string& suite, std::string configBody, const char* notAllowed)
    : config_(suite + " config"),
      starter_(suite + " starter", kLogOnVariant),
      configBody_(std::move(configBody)),
      notAllowed_(notAllowed) {}

void WholeRunTest::SetUp() {
  RemoveDaxinst();
  CleanRegistry();
  RemoveRunRecords();
  config_testing::UseConfigFolder(config_.path());
  WriteConfig(config_testing::Document(configBody_));
  if (notAllowed_) config_testing::SetProductValue(kNotAllowedValue, notAllowed_);
}

void WholeRunTest::TearDown() {
  RemoveDaxinst();
  EXPECT_TRUE(WaitUntil([] { return CountProcessesNamed("daxinst.exe") == 0; }, kLeftoverWait))
      << "a daxinst.exe process is still running";
  EXPECT_TRUE(WaitUntil([] { return CountProcessesNamed("setup.exe") == 0; }, kLeftoverWait))
      << "a setup.exe process is still running";
  package_.reset();
  CleanRegistry();
}

void WholeRunTest::Stage(const PackageContents& contents) {
  package_ = std::make_unique<StagedPackage>(contents);
}

void WholeRunTest::WriteConfig(const std::string& document) {
  testing_support::WriteFileBytes(config_.path() + "\\config.xml", document);
}

void WholeRunTest::CleanRegistry() {
  testing_support::RunRegistryGuard::Clear();
  DeleteProductValue(kNotAllowedValue);
  config_testing::ClearRegistry();
}

std::string RunRecordFolder() {
  char common[MAX_PATH] = {};
  if (FAILED(
          ::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_DEFAULT, common))) {
    return std::string();
  }
  return std::string(common) + "\\Quorvex\\Daxinst\\runs";
}

namespace {

std::vector<std::string> RunRecordNames() {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found = {};
  HANDLE search = ::FindFirstFileA((RunRecordFolder() + "\\run-*.json").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(found.cFileName);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<nlohmann::ordered_json> RunRecords() {
  std::vector<nlohmann::ordered_json> records;
  for (const std::string& name : RunRecordNames()) {
    const std::optional<std::string> text = ReadFileBytes(RunRecordFolder() + "\\" + name);
    if (!text) continue;
    records.push_back(nlohmann::ordered_json::parse(*text, nullptr, false));
  }
  return records;
}

void RemoveRunRecords() {
  for (const std::string& name : RunRecordNames()) {
    ::DeleteFileA((RunRecordFolder() + "\\" + name).c_str());
  }
}

void ExpectLastRunRecord(unsigned code, const std::vector<std::pair<std::string, bool>>& gates) {
  const std::vector<nlohmann::ordered_json> records = RunRecords();
  ASSERT_FALSE(records.empty()) << "no run record in " << RunRecordFolder();
  const nlohmann::ordered_json& record = records.back();
  ASSERT_TRUE(record.is_object()) << "the newest record is not JSON";
  EXPECT_EQ(record["outcome"]["code"], code) << record.dump(2);
  std::vector<std::pair<std::string, bool>> met;
  for (const auto& gate : record["gates"]) {
    met.emplace_back(gate["name"].get<std::string>(), gate["passes"].get<bool>());
  }
  EXPECT_EQ(met, gates) << record.dump(2);
}

std::vector<std::pair<std::string, bool>> EveryGatePassed() {
  return {{"package_ground", true},           {"run_state", true},    {"trust", true},
          {"deployment_configuration", true}, {"version_gate", true}, {"command_line", true}};
}

}  // namespace e2e
