// The machine part of the check: the judgements on the numbers and texts it reads (the package's
// template against the machine's platform, free space, the clock against the signer's validity,
// the installation directory in setAid.ini), the restart indicators set and cleared for real in
// the registry, Windows Installer's mutex held by another thread, and how the report shows each
// warning in its text and its JSON.
#include "daxcheck/machine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "daxcheck/check.h"
#include "daxcheck/machine_checks.h"
#include "platform/unique_handle.h"
#include "support/named_object_support.h"

namespace {

using daxcheck::ClockFit;
using daxcheck::Json;
using daxcheck::Platform;
using daxcheck::PlatformFit;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Templates ---------------------------------------------------------------------------------

struct TemplateCase {
  const char* text;
  Platform platform;
  const char* error;  // a part of the reason, for an unknown platform
};

class TemplateParse : public ::testing::TestWithParam<TemplateCase> {};

TEST_P(TemplateParse, GivesThePackagesPlatform) {
  std::string error;
  EXPECT_EQ(daxcheck::PlatformOfTemplate(GetParam().text, error), GetParam().platform);
  if (GetParam().platform == Platform::kUnknown) {
    EXPECT_THAT(error, HasSubstr(GetParam().error));
  } else {
    EXPECT_EQ(error, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Templates, TemplateParse,
    ::testing::Values(TemplateCase{"x64;1033", Platform::kX64, ""},
                      TemplateCase{"Intel;1033", Platform::kIntel, ""},
                      TemplateCase{"Arm64;1033,1031", Platform::kArm64, ""},
                      // No platform: a 32-bit package for every platform.
                      TemplateCase{";1033", Platform::kIntel, ""},
                      TemplateCase{"AMD64;1033", Platform::kX64, ""},
                      TemplateCase{"intel64;0", Platform::kIntel64, ""},
                      TemplateCase{"x64;", Platform::kX64, ""},
                      TemplateCase{"x64", Platform::kUnknown, "has no ';'"},
                      TemplateCase{"", Platform::kUnknown, "has no ';'"},
                      TemplateCase{"Sparc;1033", Platform::kUnknown, "does not know"},
                      TemplateCase{"x64,Intel;1033", Platform::kUnknown, "does not know"},
                      TemplateCase{"x64;en-us", Platform::kUnknown, "not numbers"},
                      TemplateCase{"\x01\xFF;\n", Platform::kUnknown, "not numbers"}));

TEST(MachinePlatform, ComesFromTheNativeMachineOrTheProcessorArchitecture) {
  EXPECT_EQ(daxcheck::PlatformOfImageMachine(0x8664), Platform::kX64);
  EXPECT_EQ(daxcheck::PlatformOfImageMachine(0xAA64), Platform::kArm64);
  EXPECT_EQ(daxcheck::PlatformOfImageMachine(0x014c), Platform::kIntel);
  EXPECT_EQ(daxcheck::PlatformOfImageMachine(0x0200), Platform::kIntel64);
  EXPECT_EQ(daxcheck::PlatformOfImageMachine(0), Platform::kUnknown);
  EXPECT_EQ(daxcheck::PlatformOfProcessorArchitecture(PROCESSOR_ARCHITECTURE_AMD64),
            Platform::kX64);
  EXPECT_EQ(daxcheck::PlatformOfProcessorArchitecture(PROCESSOR_ARCHITECTURE_INTEL),
            Platform::kIntel);
  EXPECT_EQ(daxcheck::PlatformOfProcessorArchitecture(12), Platform::kArm64);
  EXPECT_EQ(daxcheck::PlatformOfProcessorArchitecture(PROCESSOR_ARCHITECTURE_UNKNOWN),
            Platform::kUnknown);
}

struct FitCase {
  Platform package;
  Platform machine;
  PlatformFit fit;
  const char* status;
};

TEST(PlatformFit, JudgesThePackageOnTheMachine) {
  const FitCase cases[] = {
      {Platform::kX64, Platform::kX64, PlatformFit::kRuns, "ok"},
      {Platform::kIntel, Platform::kX64, PlatformFit::kRuns, "ok"},
      {Platform::kIntel, Platform::kArm64, PlatformFit::kRuns, "ok"},
      {Platform::kArm64, Platform::kArm64, PlatformFit::kRuns, "ok"},
      {Platform::kX64, Platform::kArm64, PlatformFit::kEmulatedOnly, "warning"},
      {Platform::kX64, Platform::kIntel, PlatformFit::kDoesNotRun, "warning"},
      {Platform::kArm64, Platform::kX64, PlatformFit::kDoesNotRun, "warning"},
      {Platform::kIntel64, Platform::kX64, PlatformFit::kDoesNotRun, "warning"},
      {Platform::kX64, Platform::kUnknown, PlatformFit::kUnknown, "not checked: "},
  };
  const char* templates[] = {"",           "Intel;1033",   "x64;1033",
                             "Arm64;1033", "Intel64;1033", "Arm;1033"};
  for (const FitCase& c : cases) {
    SCOPED_TRACE(std::string(daxcheck::PlatformName(c.package)) + " on " +
                 daxcheck::PlatformName(c.machine));
    EXPECT_EQ(daxcheck::FitOnMachine(c.package, c.machine), c.fit);
    const Json check = daxcheck::PlatformVerdict(
        std::string(templates[static_cast<int>(c.package)]), "", c.machine, "IsWow64Process2");
    EXPECT_THAT(check["status"].get<std::string>(), StartsWith(c.status));
    EXPECT_EQ(check["package"], daxcheck::PlatformName(c.package));
    if (c.fit == PlatformFit::kDoesNotRun) {
      EXPECT_THAT(check["warning"].get<std::string>(), HasSubstr("setup fails"));
    }
  }
}

TEST(PlatformFit, ATemplateThatCannotBeReadIsNotChecked) {
  Json check =
      daxcheck::PlatformVerdict(std::nullopt, "the package holds no .msi", Platform::kX64, "x");
  EXPECT_EQ(check["status"], "not checked: the package holds no .msi");
  EXPECT_EQ(check["template"], nullptr);
  check = daxcheck::PlatformVerdict(std::string("garbage"), "", Platform::kX64, "x");
  EXPECT_THAT(check["status"].get<std::string>(), StartsWith("not checked: the template"));
  EXPECT_EQ(check["warning"], nullptr);
}

// Free space --------------------------------------------------------------------------------

TEST(FreeSpace, DriveRootOfAPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\Program Files\\Quorvex", "C:\\"},
      {"d:\\", "d:\\"},
      {"\\\\server\\share\\client", "\\\\server\\share\\"},
      {"\\\\server\\share", "\\\\server\\share\\"},
      {"%ProgramFiles%\\Quorvex", ""},
      {"Quorvex", ""},
      {"C:relative", ""},
      {"\\\\?\\C:\\x", ""},
      {"\\\\server", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(daxcheck::DriveRoot(c.first), c.second) << c.first;
}

daxcheck::DriveSpace Drive(const char* root, std::vector<std::string> uses,
                           std::optional<ULONGLONG> freeBytes, DWORD error = 0) {
  daxcheck::DriveSpace drive;
  drive.root = root;
  drive.uses = std::move(uses);
  drive.freeBytes = freeBytes;
  drive.error = error;
  return drive;
}

TEST(FreeSpace, EachUseOfADriveNeedsThePackagesSize) {
  EXPECT_TRUE(daxcheck::EnoughSpace(100, 100));
  EXPECT_FALSE(daxcheck::EnoughSpace(99, 100));

  struct Case {
    const char* name;
    std::vector<daxcheck::DriveSpace> drives;
    std::string directory;
    std::string whyNoDirectory;
    const char* status;
    const char* warning;
  };
  const Case cases[] = {
      {"room on both",
       {Drive("C:\\", {"system drive"}, 1000), Drive("D:\\", {"installation directory"}, 1000)},
       "D:\\New",
       "",
       "ok",
       nullptr},
      // One drive for both: it needs the package twice.
      {"one drive, room for one copy only",
       {Drive("C:\\", {"system drive", "installation directory"}, 1500)},
       "C:\\New",
       "",
       "warning",
       "C:\\ (system drive, installation directory) has 1500 bytes free of the 2000 the package "
       "needs"},
      {"installation drive full",
       {Drive("C:\\", {"system drive"}, 5000), Drive("D:\\", {"installation directory"}, 10)},
       "D:\\New",
       "",
       "warning",
       "D:\\ (installation directory) has 10 bytes free of the 1000"},
      {"drive that cannot be asked",
       {Drive("C:\\", {"system drive"}, 5000),
        Drive("Q:\\", {"installation directory"}, std::nullopt, 3)},
       "Q:\\New",
       "",
       "not checked: Q:\\ cannot be asked (error 3)",
       nullptr},
      {"no installation directory",
       {Drive("C:\\", {"system drive"}, 5000)},
       "",
       "neither config.xml nor the package's setAid.ini names one",
       "not checked: the installation directory's drive: neither config.xml",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Json check = daxcheck::SpaceVerdict(1000, c.drives, c.directory, c.whyNoDirectory);
    EXPECT_THAT(check["status"].get<std::string>(), StartsWith(c.status));
    if (c.warning) {
      EXPECT_THAT(check["warning"].get<std::string>(), HasSubstr(c.warning));
    } else {
      EXPECT_EQ(check["warning"], nullptr);
    }
    ASSERT_EQ(check["drives"].size(), c.drives.size());
  }
}

// Clock -------------------------------------------------------------------------------------

FILETIME At(ULONGLONG ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

TEST(Clock, IsJudgedAgainstTheSignersValidity) {
  const daxcheck::Validity validity{At(1000), At(2000)};
  struct Case {
    ULONGLONG now;
    ClockFit fit;
    const char* status;
    const char* warning;
  };
  const Case cases[] = {
      {1500, ClockFit::kWithin, "ok", nullptr},
      {1000, ClockFit::kWithin, "ok", nullptr},
      {2000, ClockFit::kWithin, "ok", nullptr},
      {999, ClockFit::kBeforeValidity, "warning", "before the signer certificate's validity"},
      {2001, ClockFit::kAfterValidity, "warning", "past the end of the signer certificate's"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    EXPECT_EQ(daxcheck::ClockAgainstValidity(At(c.now), validity.notBefore, validity.notAfter),
              c.fit);
    const Json check = daxcheck::ClockVerdict(At(c.now), validity, "");
    EXPECT_EQ(check["status"], c.status);
    if (c.warning) {
      EXPECT_THAT(check["warning"].get<std::string>(), HasSubstr(c.warning));
    } else {
      EXPECT_EQ(check["warning"], nullptr);
    }
  }
  const Json unsigned_ =
      daxcheck::ClockVerdict(At(1500), std::nullopt, "setup.exe carries no signer certificate");
  EXPECT_EQ(unsigned_["status"], "not checked: setup.exe carries no signer certificate");
  EXPECT_EQ(unsigned_["signer_valid_to"], nullptr);
}

TEST(Clock, TimesAreWrittenInUtc) {
  SYSTEMTIME time = {};
  time.wYear = 2026;
  time.wMonth = 12;
  time.wDay = 11;
  time.wHour = 2;
  time.wMinute = 34;
  time.wSecond = 17;
  FILETIME file = {};
  ASSERT_TRUE(::SystemTimeToFileTime(&time, &file));
  EXPECT_EQ(daxcheck::UtcText(file), "2026-12-11T02:34:17Z");
}

// setAid.ini --------------------------------------------------------------------------------

TEST(InstallDirectory, IsReadFromTheSectionSetupReads) {
  const std::pair<const char*, const char*> cases[] = {
      {"[CUSTOM_DAX_CONFIG]\r\nDestinationDirectory=D:\\New\r\n", "D:\\New"},
      {"[custom_dax_config]\r\n  destinationdirectory = \"C:\\Quoted Dir\" \r\n", "C:\\Quoted Dir"},
      {"[Other]\r\nDestinationDirectory=X:\\no\r\n[CUSTOM_DAX_CONFIG]\r\nKeep=1\r\n", ""},
      {"[CUSTOM_DAX_CONFIG]\nReducedSize=1\nDestinationDirectory=E:\\unix ends\n", "E:\\unix ends"},
      {"DestinationDirectory=F:\\outside any section\r\n", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(daxcheck::IniValue(c.first, "CUSTOM_DAX_CONFIG", "DestinationDirectory"), c.second)
        << c.first;
  }
}

// Restart pending, set and cleared for real --------------------------------------------------

constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kServicing[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending";
constexpr char kUpdate[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired";

void SetRenames(const std::string& list) {
  platform::UniqueRegKey key;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(
      ::RegSetValueExA(key.get(), "PendingFileRenameOperations", 0, REG_MULTI_SZ,
                       reinterpret_cast<const BYTE*>(list.data()), static_cast<DWORD>(list.size())),
      ERROR_SUCCESS);
}

void ClearRenames() {
  ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kSessionManager, "PendingFileRenameOperations");
}

void MakeKey(const char* path) {
  platform::UniqueRegKey key;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_READ | KEY_WOW64_64KEY,
                              nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
}

void DeleteKey(const char* path) {
  ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
}

class RestartPending : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    ClearRenames();
    DeleteKey(kServicing);
    DeleteKey(kUpdate);
  }
  static std::vector<Json> Present(const Json& check) {
    std::vector<Json> present;
    for (const auto& indicator : check["indicators"]) present.push_back(indicator["present"]);
    return present;
  }
};

TEST_F(RestartPending, EachIndicatorWarnsAndClearingItEndsTheWarning) {
  Json check = daxcheck::RestartPendingCheck();
  EXPECT_EQ(check["status"], "ok");
  EXPECT_EQ(Present(check), (std::vector<Json>{false, false, false}));

  // An empty list renames nothing.
  SetRenames(std::string("\0\0", 2));
  EXPECT_EQ(daxcheck::RestartPendingCheck()["status"], "ok");

  SetRenames(std::string("\\??\\C:\\old.dll\0\0", 16));
  check = daxcheck::RestartPendingCheck();
  EXPECT_EQ(check["status"], "warning");
  EXPECT_EQ(check["warning"],
            "a restart is pending (PendingFileRenameOperations): setup may fail, or end asking "
            "for a restart before the client works");
  EXPECT_EQ(Present(check), (std::vector<Json>{true, false, false}));

  MakeKey(kServicing);
  MakeKey(kUpdate);
  check = daxcheck::RestartPendingCheck();
  EXPECT_EQ(Present(check), (std::vector<Json>{true, true, true}));
  EXPECT_THAT(check["warning"].get<std::string>(),
              HasSubstr("(PendingFileRenameOperations, Component Based Servicing RebootPending, "
                        "Windows Update RebootRequired)"));

  ClearRenames();
  DeleteKey(kServicing);
  check = daxcheck::RestartPendingCheck();
  EXPECT_EQ(Present(check), (std::vector<Json>{false, false, true}));
  EXPECT_EQ(check["status"], "warning");

  DeleteKey(kUpdate);
  EXPECT_EQ(daxcheck::RestartPendingCheck()["status"], "ok");
}

// Windows Installer's mutex ------------------------------------------------------------------

constexpr char kMutex[] = "DaxcheckTest_MSIExecute";

// Holds a mutex of `descriptor` on another thread while it lives.
class HeldMutex {
 public:
  explicit HeldMutex(const std::string& descriptor)
      : mutex_(testing_support::CreateWithDescriptor(testing_support::Kind::kMutex, kMutex,
                                                     descriptor)),
        held_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        done_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    thread_ = std::thread([this] {
      ::WaitForSingleObject(mutex_.get(), INFINITE);
      ::SetEvent(held_.get());
      ::WaitForSingleObject(done_.get(), INFINITE);
      ::ReleaseMutex(mutex_.get());
    });
    ::WaitForSingleObject(held_.get(), 10000);
  }
  ~HeldMutex() {
    ::SetEvent(done_.get());
    thread_.join();
  }

 private:
  platform::UniqueKernelHandle mutex_;
  platform::UniqueKernelHandle held_;
  platform::UniqueKernelHandle done_;
  std::thread thread_;
};

TEST(WindowsInstaller, BusyOrAnotherAccountsMutexWarns) {
  Json check = daxcheck::InstallerCheck(kMutex);
  EXPECT_EQ(check["status"], "ok");
  EXPECT_EQ(check["state"], "free");
  {
    HeldMutex held(testing_support::OwnAccountDescriptor());
    check = daxcheck::InstallerCheck(kMutex);
    EXPECT_EQ(check["status"], "warning");
    EXPECT_EQ(check["state"], "busy");
    EXPECT_THAT(check["warning"].get<std::string>(),
                HasSubstr("the run waits up to 10 minutes for it, and a setup started while it "
                          "runs fails with 1618"));
  }
  {
    HeldMutex held(testing_support::kUsersOwnedOpen);
    check = daxcheck::InstallerCheck(kMutex);
    EXPECT_EQ(check["status"], "warning");
    EXPECT_EQ(check["state"], "made by another account");
    EXPECT_EQ(check["owner"], "owner S-1-5-32-545");
    EXPECT_THAT(check["warning"].get<std::string>(), HasSubstr("the run does not wait for it"));
  }
  EXPECT_EQ(daxcheck::InstallerCheck(kMutex)["state"], "free");
}

// The report ---------------------------------------------------------------------------------

// A whole machine part of a package folder under this system: every check says what it found.
TEST(MachineReport, EveryCheckHasAStatus) {
  char temp[MAX_PATH] = {};
  ASSERT_GT(::GetTempPathA(MAX_PATH, temp), 0u);
  const std::string folder = std::string(temp) + "daxcheck machine test";
  ::CreateDirectoryA(folder.c_str(), nullptr);
  const Json machine = daxcheck::MachinePart(
      folder, "[CUSTOM_DAX_CONFIG]\r\nDestinationDirectory=C:\\Program Files\\Quorvex\r\n");
  ::RemoveDirectoryA(folder.c_str());

  for (const char* name :
       {"restart_pending", "windows_installer", "platform", "free_space", "clock"}) {
    ASSERT_TRUE(machine.contains(name)) << name;
    EXPECT_TRUE(machine[name]["status"].is_string()) << name;
  }
  EXPECT_EQ(machine["platform"]["status"], "not checked: the package holds no .msi");
  EXPECT_EQ(machine["platform"]["machine"], "x64");
  EXPECT_EQ(machine["clock"]["status"], "not checked: setup.exe cannot be opened");
  EXPECT_EQ(machine["free_space"]["install_directory"], "C:\\Program Files\\Quorvex");
  EXPECT_EQ(machine["free_space"]["drives"][0]["for"], "system drive, installation directory");
  EXPECT_TRUE(machine["warnings"].is_array());
}

// Each warning is in the JSON's list and in the text, under the machine part after the verdict.
TEST(MachineReport, TextAndJsonShowEachWarning) {
  Json report;
  report["folder"] = "C:\\pkg";
  report["gates"] = Json::array();
  report["verdict"] = daxcheck::VerdictOf(report["gates"]);
  Json machine;
  Json restart;
  restart["status"] = "warning";
  restart["warning"] = "a restart is pending (PendingFileRenameOperations)";
  machine["restart_pending"] = restart;
  Json installer;
  installer["status"] = "warning";
  installer["warning"] = "Windows Installer is running another installation";
  machine["windows_installer"] = installer;
  Json clock;
  clock["status"] = "not checked: setup.exe carries no signer certificate";
  clock["warning"] = nullptr;
  machine["clock"] = clock;
  machine["warnings"] = {"restart_pending: a restart is pending (PendingFileRenameOperations)",
                         "windows_installer: Windows Installer is running another installation"};
  report["machine"] = machine;

  const std::string text = daxcheck::RenderText(report);

  const size_t verdict = text.find("8 verdict: setup would run");
  const size_t part = text.find("\nmachine: 2 warnings\n");
  ASSERT_NE(verdict, std::string::npos) << text;
  ASSERT_NE(part, std::string::npos) << text;
  EXPECT_LT(verdict, part);
  EXPECT_THAT(text, HasSubstr("  restart_pending:\n    status: warning\n    warning: a restart is "
                              "pending (PendingFileRenameOperations)\n"));
  EXPECT_THAT(text, HasSubstr("    warning: Windows Installer is running another installation\n"));
  EXPECT_THAT(text,
              HasSubstr("    status: not checked: setup.exe carries no signer certificate\n"));
  EXPECT_THAT(text, HasSubstr("  warnings:\n    - restart_pending: a restart is pending"));

  report["machine"]["warnings"] = Json::array();
  EXPECT_THAT(daxcheck::RenderText(report), HasSubstr("\nmachine: no warnings\n"));
}

}  // namespace
