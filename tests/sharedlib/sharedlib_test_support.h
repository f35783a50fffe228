// Shared by the isolation and path expansion tests: the silo that this test executable lives
// in, its expansion map, and fresh processes for the cases that need a context of their own.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace sharedlib_test {

// The silo of the isolate.ini written beside the test executable before any test runs. That
// file names no hive, so the default hive applies.
constexpr wchar_t kTestSilo[] = L"{9A1C2E44-5B6D-4F70-8A9B-0C1D2E3F4A5B}";
constexpr wchar_t kDefaultHive[] = L"Software\\Quorvex\\Isolation";
// The expansion map of that silo, in the 32-bit registry view.
std::wstring ExpansionMapKey();

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// UTF-16 LE bytes with the byte-order mark.
std::string Utf16File(const std::wstring& text);

// A folder below the user's TEMP folder, where no isolate.ini lies above.
class TempTree {
 public:
  explicit TempTree(const std::string& name);
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;
  const std::string& path() const { return path_; }
  // Creates the folders of `relative` below the tree and answers the full path.
  std::string MakeFolder(const std::string& relative) const;

 private:
  std::string path_;
};

// Sets one value of the expansion map, creating the key.
void SetMapValue(const wchar_t* name, DWORD type, const void* data, DWORD size);
void SetMapString(const wchar_t* name, const std::wstring& value);
// Removes the silo's registry tree (and the hive key when it is left empty).
void RemoveSiloKeys(const std::wstring& hive, const wchar_t* silo);

// Runs a copy of this test executable placed in `folder`, with the FreshProcess case named
// `scenario` only. The exit code, or nullopt when it did not run.
std::optional<DWORD> RunFreshProcess(const std::string& folder, const std::string& scenario);
// The scenario this process was started for, or empty in an ordinary run.
std::string FreshScenario();

}  // namespace sharedlib_test
