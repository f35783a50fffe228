// What a release engineer checks of the shipped file before it goes out.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
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
  const std::vector<std::string> allowed = {
      "advapi32.dll", "kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll",
      "ole32.dll",    "oleaut32.dll", "msi.dll",    "crypt32.dll", "wintrust.dll",
      "shlwapi.dll",  "version.dll",  "ntdll.dll"};
  for (const std::string& name : names) {
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), name), allowed.end()) << "imports " << name;
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
  EXPECT_THAT(std::string(text, size), HasSubstr("requestedExecutionLevel level=\"asInvoker\""));

  DWORD handle = 0;
  const DWORD versionSize = ::GetFileVersionInfoSizeA(Path().c_str(), &handle);
  ASSERT_GT(versionSize, 0u);
  std::vector<char> version(versionSize);
  ASSERT_TRUE(::GetFileVersionInfoA(Path().c_str(), 0, versionSize, version.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(::VerQueryValueA(version.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
}

INSTANTIATE_TEST_SUITE_P(Variants, ExecutableImage,
                         ::testing::Values("daxinst.exe", e2e::kLogOnVariant, e2e::kLogOffVariant));

}  // namespace
