// What a release engineer checks of the shipped file before it goes out.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "platform/unique_handle.h"

namespace {

using ::testing::HasSubstr;

std::string ShippedExecutable() {
  // The build puts daxinst.exe at the top of the build folder, two levels above this test.
  char full[MAX_PATH] = {};
  const std::string relative = testing_support::ExecutableDirectory() + "\\..\\..\\daxinst.exe";
  ::GetFullPathNameA(relative.c_str(), MAX_PATH, full, nullptr);
  return full;
}

class ExecutableImage : public ::testing::TestWithParam<const char*> {
 protected:
  std::string Path() const {
    const std::string name = GetParam();
    return name == "daxinst.exe" ? ShippedExecutable()
                                 : testing_support::ExecutableDirectory() + "\\" + name;
  }
};

template <typename T>
const T* At(const std::string& image, size_t offset) {
  if (offset + sizeof(T) > image.size()) return nullptr;
  return reinterpret_cast<const T*>(image.data() + offset);
}

TEST_P(ExecutableImage, IsA64BitWindowedSelfContainedProgram) {
  const auto image = testing_support::ReadFileBytes(Path());
  ASSERT_TRUE(image) << Path();
  const auto* dos = At<IMAGE_DOS_HEADER>(*image, 0);
  ASSERT_TRUE(dos);
  ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
  const auto* nt = At<IMAGE_NT_HEADERS64>(*image, static_cast<size_t>(dos->e_lfanew));
  ASSERT_TRUE(nt);
  ASSERT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC) << "PE32+";
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

  // Only system libraries may be imported: a MinGW runtime DLL would not be there on a client.
  platform::UniqueLibrary module(
      ::LoadLibraryExA(Path().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
  ASSERT_TRUE(module);
  auto* base = reinterpret_cast<const BYTE*>(module.get());
  const auto* loadedDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* loadedNt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + loadedDos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      loadedNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(imports.VirtualAddress, 0u);
  std::vector<std::string> names;
  for (const auto* entry =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       entry->Name != 0; ++entry) {
    std::string name = reinterpret_cast<const char*>(base + entry->Name);
    for (char& ch : name) ch = static_cast<char>(::tolower(static_cast<unsigned char>(ch)));
    names.push_back(name);
  }
  // Known DLLs only (Windows 7's list): the loader takes them from the system folder, never from
  // the package folder the program runs from. Every other library is delay-loaded, which GNU ld
  // leaves out of the data directories; that it is loaded only when used shows by behaviour
  // (VerbRun below).
  const std::vector<std::string> knownDlls = {"advapi32.dll", "kernel32.dll", "msvcrt.dll",
                                              "shell32.dll",  "user32.dll",   "ole32.dll",
                                              "oleaut32.dll", "shlwapi.dll",  "ntdll.dll"};
  for (const std::string& name : names) {
    EXPECT_NE(std::find(knownDlls.begin(), knownDlls.end(), name), knownDlls.end())
        << "imports " << name << ", which the loader would look for in the package folder first";
  }
}

TEST_P(ExecutableImage, CarriesItsManifestDescriptionAndVersion) {
  platform::UniqueLibrary module(::LoadLibraryExA(
      Path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_TRUE(module) << Path();

  char description[256] = {};
  ASSERT_GT(::LoadStringA(module.get(), 115, description, sizeof(description)), 0);
  EXPECT_STREQ(description, "Automatically updates Quorvex client security software.");

  HRSRC manifest = ::FindResourceA(module.get(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(manifest, nullptr);
  const DWORD size = ::SizeofResource(module.get(), manifest);
  const char* text =
      static_cast<const char*>(::LockResource(::LoadResource(module.get(), manifest)));
  ASSERT_NE(text, nullptr);
  const std::string manifestText(text, size);
  EXPECT_THAT(manifestText, HasSubstr("requestedExecutionLevel level=\"asInvoker\""));
  // The version is written once, in project(VERSION); the manifest's identity and the version
  // resource are made from it and cannot drift apart.
  EXPECT_THAT(manifestText, HasSubstr("version=\"" DAXINST_EXPECTED_VERSION "\""));

  DWORD handle = 0;
  const DWORD versionSize = ::GetFileVersionInfoSizeA(Path().c_str(), &handle);
  ASSERT_GT(versionSize, 0u);
  std::vector<char> version(versionSize);
  ASSERT_TRUE(::GetFileVersionInfoA(Path().c_str(), 0, versionSize, version.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(::VerQueryValueA(version.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  unsigned parts[4] = {};
  ASSERT_EQ(std::sscanf(DAXINST_EXPECTED_VERSION, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2],
                        &parts[3]),
            4);
  EXPECT_EQ(fixed->dwFileVersionMS, (parts[0] << 16) | parts[1]);
  EXPECT_EQ(fixed->dwFileVersionLS, (parts[2] << 16) | parts[3]);
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  for (const char* name : {"FileVersion", "ProductVersion"}) {
    char* value = nullptr;
    UINT length = 0;
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    ASSERT_TRUE(
        ::VerQueryValueA(version.data(), key.c_str(), reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, DAXINST_EXPECTED_VERSION) << name;
  }
}

// A build that is not for release says so where people and tools look: a diagnostic build (log
// switched on) and a build that embeds the generated test root carry VS_FF_SPECIALBUILD, a
// SpecialBuild text, and a file description that ends in " (diagnostic)", " (test signing)" or
// both, test signing last.
TEST_P(ExecutableImage, SaysInItsVersionResourceWhetherItIsForRelease) {
  const std::string variant = GetParam();
  const bool diagnostic =
      variant == "daxinst.exe" ? DAXINST_SHIPPED_IS_DIAGNOSTIC != 0 : variant == e2e::kLogOnVariant;
  const bool testSigning = DAXINST_EMBEDS_TEST_ROOT != 0;
  std::string description = "Quorvex Auto-upgrade Agent";
  if (diagnostic) description += " (diagnostic)";
  if (testSigning) description += " (test signing)";

  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(Path().c_str(), &handle);
  ASSERT_GT(size, 0u) << Path();
  std::vector<char> version(size);
  ASSERT_TRUE(::GetFileVersionInfoA(Path().c_str(), 0, size, version.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(::VerQueryValueA(version.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
  ASSERT_GE(fixedSize, sizeof(VS_FIXEDFILEINFO));
  EXPECT_NE(fixed->dwFileFlagsMask & VS_FF_SPECIALBUILD, 0u);
  EXPECT_EQ((fixed->dwFileFlags & VS_FF_SPECIALBUILD) != 0, diagnostic || testSigning)
      << "file flags " << fixed->dwFileFlags;

  const auto text = [&](const char* name) -> std::optional<std::string> {
    char* value = nullptr;
    UINT length = 0;
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (!::VerQueryValueA(version.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
        !value) {
      return std::nullopt;
    }
    return std::string(value);
  };
  EXPECT_EQ(text("FileDescription"), description);
  const auto special = text("SpecialBuild");
  if (!diagnostic && !testSigning) {
    EXPECT_FALSE(special.has_value()) << *special;
  } else {
    ASSERT_TRUE(special.has_value()) << "no SpecialBuild text";
    EXPECT_EQ(special->find("Diagnostic") != std::string::npos, diagnostic) << *special;
    EXPECT_EQ(special->find("Test signing") != std::string::npos, testSigning) << *special;
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ExecutableImage,
                         ::testing::Values("daxinst.exe", e2e::kLogOnVariant, e2e::kLogOffVariant));

// The base name, in lower case, of a library the debuggee reports loading.
std::string LoadedLibraryName(HANDLE process, const LOAD_DLL_DEBUG_INFO& load) {
  std::string name;
  if (load.hFile) {
    char path[MAX_PATH * 2] = {};
    const DWORD length = ::GetFinalPathNameByHandleA(load.hFile, path, sizeof(path), 0);
    if (length > 0 && length < sizeof(path)) name = path;
  }
  if (name.empty() && load.lpImageName) {
    // A pointer, in the debuggee, to the name; either may be missing.
    void* remote = nullptr;
    SIZE_T read = 0;
    if (::ReadProcessMemory(process, load.lpImageName, &remote, sizeof(remote), &read) && remote) {
      if (load.fUnicode) {
        wchar_t wide[MAX_PATH] = {};
        ::ReadProcessMemory(process, remote, wide, sizeof(wide) - sizeof(wchar_t), &read);
        char narrow[MAX_PATH * 2] = {};
        ::WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof(narrow), nullptr, nullptr);
        name = narrow;
      } else {
        char narrow[MAX_PATH] = {};
        ::ReadProcessMemory(process, remote, narrow, sizeof(narrow) - 1, &read);
        name = narrow;
      }
    }
  }
  const size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  for (char& ch : name) ch = static_cast<char>(::tolower(static_cast<unsigned char>(ch)));
  return name;
}

// Every library a process loads from its start to its end, as a debugger hears of them. Empty
// names stand for libraries whose name could not be read.
std::vector<std::string> LibrariesLoadedBy(std::string commandLine, const std::string& folder) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  if (!::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                        nullptr, folder.c_str(), &startup, &started)) {
    ADD_FAILURE() << "could not start " << commandLine << " under a debugger";
    return {};
  }
  platform::UniqueKernelHandle process(started.hProcess);
  platform::UniqueKernelHandle thread(started.hThread);
  std::vector<std::string> names;
  for (;;) {
    DEBUG_EVENT event = {};
    if (!::WaitForDebugEvent(&event, 60000)) {
      ADD_FAILURE() << commandLine << " did not end";
      ::TerminateProcess(process.get(), 1);
      break;
    }
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) ::CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        names.push_back(LoadedLibraryName(process.get(), event.u.LoadDll));
        if (event.u.LoadDll.hFile) ::CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXCEPTION_DEBUG_EVENT:
        // The loader's breakpoint is the debugger's; anything else is the program's own.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      default:
        break;
    }
    ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
  }
  return names;
}

// A verb loads none of the libraries it does not call: those outside Windows' known DLLs, and the
// window manager, COM and the shell, which only debug mode, config.xml and the run's paths use.
// The faults this pins: msi, wintrust and crypt32 were imported directly, so every run of
// daxinst.exe (the -uninstall child too) loaded them before its first line; and user32, ole32,
// oleaut32, shell32 and shlwapi were imported directly, or shell32 was loaded to split the
// command line, which brings user32 and gdi32 with it.
class VerbRun : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { e2e::RemoveDaxinst(); }
  testing_support::RunRegistryGuard registry_;
};

TEST_P(VerbRun, LoadsNoDelayLoadedLibrary) {
  e2e::PackageFolder package("pkg verb libraries", e2e::kLogOnVariant);
  const auto loaded =
      LibrariesLoadedBy("\"" + package.executable() + "\" " + GetParam(), package.path());

  EXPECT_THAT(loaded, ::testing::Contains("kernel32.dll")) << "the debugger heard of no library";
  for (const char* delayed : {"msi.dll", "wintrust.dll", "crypt32.dll", "user32.dll", "gdi32.dll",
                              "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll"}) {
    EXPECT_THAT(loaded, ::testing::Not(::testing::Contains(delayed)));
  }
  EXPECT_THAT(package.Messages(), ::testing::Contains("command line has been handled"));
}

// Without a service installed: an unknown argument, a stop and the removal (the service's own
// -uninstall child is the same run).
INSTANTIATE_TEST_SUITE_P(Verbs, VerbRun, ::testing::Values("-bogus", "-stop", "-uninstall"));

}  // namespace
