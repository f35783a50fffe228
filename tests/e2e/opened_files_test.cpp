// Files that the run opens by name, planted or swapped by whoever may write the package folder:
// daxinst.log and setAid.ini as hard links to files elsewhere, and daxinst.exe renamed while setup
// runs with another program put in its place. LocalSystem must neither write the files the links
// lead to nor start the other program as the service's -uninstall child. No related product is
// installed, so the version gate lets the package through without msiexec. The setAid.ini case
// gets no setup result and waits out the two-minute polling time, so its suite is named Slow...
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/staged_package.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using testing_support::Dump;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

constexpr char kPackageMsi[] = "package_o_13.0.1.msi";

constexpr char kConfigBody[] =
    "<ClientPackage Checksum=\"C0FFEE\">"
    "<InstallationOption InstallationDirectory=\"D:\\New\" UserInterfaceLevel=\"Unattended\"/>"
    "<EnabledClientFeatures><F FeatureName=\"Core\"/></EnabledClientFeatures>"
    "</ClientPackage>";

// What the file a link leads to holds: it must hold the same after the run.
constexpr char kElsewhere[] =
    "[Protected]\r\nOwner=another program\r\nThis file is not the run's to write.\r\n";

class OpenedFilesTest : public e2e::WholeRunTest {
 protected:
  OpenedFilesTest() : WholeRunTest("opened", kConfigBody, nullptr) {}

  void Stage(const std::string& control = e2e::kSucceedingSetup) {
    e2e::PackageContents contents;
    contents.folder = "opened pkg";
    contents.msi = kPackageMsi;
    contents.setupControl = control;
    WholeRunTest::Stage(contents);
  }

  // Puts a file with kElsewhere outside the package and makes `name` another name of it; the
  // file is read-only, as a file the run has no business with may be.
  std::string PlantHardLink(const std::string& name) {
    const std::string target = elsewhere_.path() + "\\protected.ini";
    WriteFileBytes(target, kElsewhere);
    EXPECT_TRUE(::SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
    ::DeleteFileA(name.c_str());
    EXPECT_TRUE(::CreateHardLinkA(name.c_str(), target.c_str(), nullptr))
        << name << ": error " << ::GetLastError();
    return target;
  }

  void ExpectUntouched(const std::string& target) {
    EXPECT_EQ(ReadFileBytes(target), std::string(kElsewhere));
    const DWORD attributes = ::GetFileAttributesA(target.c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_READONLY) << "the read-only bit was cleared";
  }

  void TearDown() override {
    for (const char* file : {"protected.ini"}) {
      const std::string path = elsewhere_.path() + "\\" + file;
      ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    WholeRunTest::TearDown();
  }

  testing_support::TempFolder elsewhere_{"opened elsewhere"};
};

// The fault this pins: every daxinst.exe process opened the log by name (three times, and at the
// restart size with CREATE_ALWAYS), so a log planted as a hard link made LocalSystem append to the
// file it leads to. Now the log is refused; its text is lost and the run goes on.
TEST_F(OpenedFilesTest, LogPlantedAsAHardLinkLeavesTheOtherFileAloneAndTheRunSucceeds) {
  Stage();
  const std::string target = PlantHardLink(package_->folder().log());

  const e2e::StagedRunResult run =
      package_->InstallStartAndWait(starter_, e2e::kRunWait, {}, e2e::RunEnd::kRemoved);

  ExpectUntouched(target);
  EXPECT_TRUE(e2e::RanToTheEnd(run, *package_));
  EXPECT_EQ(package_->SetupStarts(), 1u) << "setup did not run once";
  e2e::ExpectSucceeded();
}

// The fault this pins: the merge cleared the read-only bit of setAid.ini and rewrote it by name
// through the profile functions, so a hard link there made LocalSystem rewrite another file as a
// profile. Now setAid.ini is not written and setup is not run.
class SlowOpenedFilesTest : public OpenedFilesTest {};

TEST_F(SlowOpenedFilesTest, SetAidPlantedAsAHardLinkIsNotWrittenAndSetupDoesNotRun) {
  Stage();
  const std::string target = PlantHardLink(package_->SetAidPath());

  const e2e::StagedRunResult run = package_->InstallStartAndWait(starter_, e2e::kPollingRunWait);

  ExpectUntouched(target);
  ASSERT_TRUE(e2e::RanToTheEnd(run, *package_));
  EXPECT_EQ(package_->SetupStarts(), 0u) << "setup ran";
  const auto lines = package_->FirstRunLines();
  EXPECT_THAT(lines, Contains("DaxInst: " + package_->SetAidPath() +
                              " is not written and setup is not run: it has 2 links, so another "
                              "name of it lies elsewhere"))
      << Dump(package_->Messages());
  EXPECT_THAT(lines, Contains("DaxInst: Auto-upgrade failed.")) << Dump(package_->Messages());
}

// The fault this pins: after the run the service started its -uninstall child by name, as
// LocalSystem, so a daxinst.exe renamed while setup ran and another program put in its place was
// started instead. Now the service holds its own file without delete sharing from its start, so
// the rename fails, and a child whose image is another file would be ended before it ran.
TEST_F(OpenedFilesTest, DaxinstReplacedWhileSetupRunsIsNeverStarted) {
  Stage("[setup]\r\ncode=0\r\nreplacedaxinst=1\r\n");

  const e2e::StagedRunResult run = package_->InstallStartAndWait(starter_, e2e::kRunWait);

  const std::string impostorMarker = package_->File("impostor-ran.txt");
  EXPECT_FALSE(ReadFileBytes(impostorMarker).has_value())
      << "the program put in daxinst.exe's place ran: "
      << ReadFileBytes(impostorMarker).value_or("");
  // What the stand-in setup managed; the rename is expected to fail while the service holds its
  // file.
  std::printf("setup-replace.txt: %s\n",
              ReadFileBytes(package_->File("setup-replace.txt")).value_or("(none)").c_str());
  EXPECT_EQ(package_->SetupStarts(), 1u);
  EXPECT_TRUE(e2e::RanToTheEnd(run, *package_));
  EXPECT_THAT(package_->Messages(), Contains("<mfn_UnInstall> End.")) << Dump(package_->Messages());
  e2e::ExpectSucceeded();
}

// The fault this pins: -install took the package folder from GetModuleFileNameA, whose
// conversion best-fits, and registered the service with that narrow path: a folder named with a
// fullwidth letter became the folder with the plain letter, which another program may fill. Now
// the wide path is converted once without best fit, and a path whose narrow form names another
// folder is not registered at all.
TEST_F(OpenedFilesTest, InstallFromAFolderWithoutAnExactNarrowNameRegistersNothing) {
  const std::wstring parent(elsewhere_.path().begin(), elsewhere_.path().end());
  const std::wstring folder = parent + L"\\pkg\uff21";
  const std::wstring executable = folder + L"\\daxinst.exe";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  const std::string variant = testing_support::ExecutableDirectory() + "\\" + e2e::kLogOnVariant;
  ASSERT_TRUE(
      ::CopyFileW(std::wstring(variant.begin(), variant.end()).c_str(), executable.c_str(), FALSE));

  std::wstring commandLine = L"\"" + executable + L"\" -install";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(::CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                               nullptr, folder.c_str(), &startup, &process));
  platform::UniqueKernelHandle processHandle(process.hProcess);
  platform::UniqueKernelHandle threadHandle(process.hThread);
  ASSERT_EQ(::WaitForSingleObject(processHandle.get(), e2e::kVerbWait),
            static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD exitCode = 1;
  ASSERT_TRUE(::GetExitCodeProcess(processHandle.get(), &exitCode));

  EXPECT_EQ(exitCode, 0u);
  std::string registered;
  if (platform::UniqueServiceHandle service = e2e::OpenDaxinst(SERVICE_QUERY_CONFIG)) {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
      registered = platform::NarrowCountedToUtf8(config->lpBinaryPathName);
    }
    ADD_FAILURE() << "a service was registered: " << registered;
  }
  ::DeleteFileW(executable.c_str());
  ::DeleteFileW((folder + L"\\daxinst.log").c_str());
  ::RemoveDirectoryW(folder.c_str());
}

}  // namespace
