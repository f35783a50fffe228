// Libraries planted in the package folder under the names of system libraries that daxinst.exe
// loads: msi.dll, wintrust.dll and crypt32.dll, which it calls itself, and urlmon.dll, which
// MSXML loads for it. The package folder is filled by another program and daxinst.exe runs from it
// as LocalSystem, so none of them may reach a daxinst.exe process: not -install, not -start, not
// the service, not its -uninstall child. Wine searches the program's own folder first for these
// libraries only when told to, so the test tells it to, as Windows always does.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "e2e/e2e_support.h"
#include "e2e/staged_package.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using ::testing::Contains;
using testing_support::Dump;
using testing_support::ExecutableDirectory;

// The libraries a test may plant, which Wine then looks for in the program's folder first.
constexpr const char* kPlantable[] = {"msi", "wintrust", "crypt32", "urlmon"};
constexpr char kPackageMsi[] = "package_p_13.0.1.msi";
constexpr DWORD kRunWait = 90000;

// Wine's per-program library load order, read by every process named daxinst.exe when it starts:
// also by the service's, which the Service Control Manager starts outside the test's environment.
constexpr char kProgramKey[] = "Software\\Wine\\AppDefaults\\daxinst.exe";
constexpr char kOverridesKey[] = "Software\\Wine\\AppDefaults\\daxinst.exe\\DllOverrides";

constexpr char kConfigBody[] =
    "<ClientPackage Checksum=\"C0FFEE\">"
    "<InstallationOption InstallationDirectory=\"D:\\New\" UserInterfaceLevel=\"Unattended\"/>"
    "<EnabledClientFeatures><F FeatureName=\"Core\"/></EnabledClientFeatures>"
    "</ClientPackage>";

// What a planted library left: "<library>.loaded-by.<executable>.<process number>".
struct Marker {
  std::string library;
  std::string process;
};

std::vector<Marker> Markers(const std::string& folder) {
  static const std::string kTag = ".loaded-by.";
  std::vector<Marker> markers;
  WIN32_FIND_DATAA entry;
  platform::UniqueFindHandle find(::FindFirstFileA((folder + "\\*" + kTag + "*").c_str(), &entry));
  if (!find) return markers;
  do {
    const std::string name = entry.cFileName;
    const size_t tag = name.find(kTag);
    const size_t number = name.rfind('.');
    if (tag == std::string::npos || number <= tag + kTag.size()) continue;
    markers.push_back(
        {name.substr(0, tag), name.substr(tag + kTag.size(), number - tag - kTag.size())});
  } while (::FindNextFileA(find.get(), &entry));
  return markers;
}

std::string Describe(const std::vector<Marker>& markers) {
  std::string text;
  for (const auto& marker : markers) text += "  " + marker.library + " in " + marker.process + "\n";
  return text.empty() ? "  (none)\n" : text;
}

void Plant(const std::string& folder, const std::vector<std::string>& libraries) {
  for (const std::string& library : libraries) {
    const std::string file = library + ".dll";
    ASSERT_TRUE(testing_support::CopyFileTo(ExecutableDirectory() + "\\planted\\" + file,
                                            folder + "\\" + file))
        << "could not plant " << file << " in " << folder;
  }
}

bool KeyExists(const char* path) {
  platform::UniqueRegKey key;
  return ::RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// For as long as it lives, Wine loads the planted names in a daxinst.exe process as Windows loads
// a library that is not a known DLL: from the program's own folder first, the system's copy only
// when there is none. The keys it made are removed again, and only those.
class WindowsLikeLibrarySearch {
 public:
  WindowsLikeLibrarySearch()
      : madeProgramKey_(!KeyExists(kProgramKey)), madeOverridesKey_(!KeyExists(kOverridesKey)) {
    platform::UniqueRegKey key;
    EXPECT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, kOverridesKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    static const char kOrder[] = "native,builtin";
    for (const char* library : kPlantable) {
      EXPECT_EQ(::RegSetValueExA(key.get(), library, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(kOrder), sizeof(kOrder)),
                ERROR_SUCCESS);
    }
  }

  ~WindowsLikeLibrarySearch() {
    {
      platform::UniqueRegKey key;
      if (::RegOpenKeyExA(HKEY_CURRENT_USER, kOverridesKey, 0, KEY_ALL_ACCESS, key.put()) ==
          ERROR_SUCCESS) {
        for (const char* library : kPlantable) ::RegDeleteValueA(key.get(), library);
      }
    }
    if (madeOverridesKey_) ::RegDeleteKeyA(HKEY_CURRENT_USER, kOverridesKey);
    if (madeProgramKey_) ::RegDeleteKeyA(HKEY_CURRENT_USER, kProgramKey);
  }

  WindowsLikeLibrarySearch(const WindowsLikeLibrarySearch&) = delete;
  WindowsLikeLibrarySearch& operator=(const WindowsLikeLibrarySearch&) = delete;

 private:
  bool madeProgramKey_;
  bool madeOverridesKey_;
};

struct PlantedCase {
  const char* name;
  std::vector<std::string> libraries;  // planted beside every daxinst.exe
};

void PrintTo(const PlantedCase& c, std::ostream* out) { *out << c.name; }

// No list of features the client does not allow: the run merges config.xml's one feature.
class PlantedLibraryTest : public e2e::WholeRunTest,
                           public ::testing::WithParamInterface<PlantedCase> {
 protected:
  PlantedLibraryTest() : WholeRunTest("planted", kConfigBody, nullptr) {}
};

// The fault this pins: msi.dll, wintrust.dll and crypt32.dll were in daxinst.exe's import table,
// so the loader took a copy planted beside it before WinMain ran; and the search of the libraries
// loaded later (urlmon.dll, which MSXML loads) began in the package folder too.
TEST_P(PlantedLibraryTest, WholeUpgradeSucceedsWithoutLoadingALibraryFromThePackageFolder) {
  const std::vector<std::string>& planted = GetParam().libraries;
  WindowsLikeLibrarySearch search;

  // The planting works: a program named daxinst.exe that loads these names as the loader resolves
  // imports gets the planted copies, and each leaves its marker.
  {
    testing_support::TempFolder probe("planted probe");
    ASSERT_TRUE(testing_support::CopyFileTo(ExecutableDirectory() + "\\planted_search_probe.exe",
                                            probe.path() + "\\daxinst.exe"));
    Plant(probe.path(), planted);
    std::string commandLine = "\"" + probe.path() + "\\daxinst.exe\"";
    for (const std::string& library : planted) commandLine += " " + library + ".dll";
    EXPECT_EQ(testing_support::RunAndWait(commandLine, kRunWait, probe.path().c_str()), 0u);
    const auto markers = Markers(probe.path());
    for (const std::string& library : planted) {
      const std::string file = library + ".dll";
      bool found = false;
      for (const auto& marker : markers) {
        found = found || (_stricmp(marker.library.c_str(), file.c_str()) == 0 &&
                          _stricmp(marker.process.c_str(), "daxinst.exe") == 0);
      }
      EXPECT_TRUE(found) << "the planted " << file << " was not loaded by the probe; markers:\n"
                         << Describe(markers);
    }
    ASSERT_FALSE(::testing::Test::HasFailure()) << "the planting does not work: nothing to show";
  }

  e2e::PackageContents contents;
  contents.folder = "planted pkg";
  contents.msi = kPackageMsi;
  Stage(contents);
  e2e::StagedPackage& package = *package_;
  Plant(package.path(), planted);
  Plant(starter_.path(), planted);

  const e2e::StagedRunResult run = package.InstallStartAndWait(starter_, kRunWait);

  for (const std::string& folder : {package.path(), starter_.path()}) {
    const auto markers = Markers(folder);
    for (const auto& marker : markers) {
      EXPECT_NE(_stricmp(marker.process.c_str(), "daxinst.exe"), 0)
          << "a daxinst.exe process loaded the planted " << marker.library << " from " << folder;
    }
    // Other programs of the package (setup.exe) search their own folder as they like; that risk
    // is setup's own.
    std::printf("markers in %s:\n%s", folder.c_str(), Describe(markers).c_str());
  }

  ASSERT_TRUE(e2e::RanToTheEnd(run, package));
  EXPECT_GE(run.processes.size(), 2u) << "the service process and its -uninstall child";
  for (const auto& process : run.processes) {
    EXPECT_EQ(process.exitCode, 0u) << "daxinst.exe process " << process.processId;
  }
  EXPECT_THAT(package.FirstRunLines(), Contains("DaxInst: Auto-upgrade succeeded."))
      << Dump(package.Messages());
  EXPECT_TRUE(package.SetupCommandLine().has_value()) << "setup did not run";
  // config.xml reached setAid.ini, so MSXML was loaded and read it.
  EXPECT_THAT(testing_support::ReadFileBytes(package.SetAidPath()).value_or(""),
              ::testing::HasSubstr("DestinationDirectory=D:\\New"));
}

INSTANTIATE_TEST_SUITE_P(
    Planted, PlantedLibraryTest,
    ::testing::Values(PlantedCase{"AllFour", {"msi", "wintrust", "crypt32", "urlmon"}},
                      // Alone, so that the run gets as far as MSXML whatever the imports do.
                      PlantedCase{"UrlmonOnly", {"urlmon"}}),
    [](const ::testing::TestParamInfo<PlantedCase>& info) { return info.param.name; });

}  // namespace
