#include "sharedlib_test_support.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace sharedlib_test {

namespace {

constexpr char kScenarioVariable[] = "DAXINST_FRESH_SCENARIO";

// Gives this executable its silo before the first test asks for it.
class IsolationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!FreshScenario().empty()) return;  // a fresh process brings its own isolate.ini
    testing_support::WriteFileBytes(IniPath(), Utf16File(L"; the test executable's silo\r\n"
                                                         L"[Isolation]\r\n"
                                                         L"silo = " +
                                                         std::wstring(kTestSilo) + L"\r\n"));
    RemoveSiloKeys(kDefaultHive, kTestSilo);
  }
  void TearDown() override {
    if (!FreshScenario().empty()) return;
    RemoveSiloKeys(kDefaultHive, kTestSilo);
    testing_support::DeleteFileIfPresent(IniPath());
  }

 private:
  static std::string IniPath() { return testing_support::ExecutableDirectory() + "\\isolate.ini"; }
};

[[maybe_unused]] const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new IsolationEnvironment);

}  // namespace

std::wstring ExpansionMapKey() {
  return std::wstring(kDefaultHive) + L"\\" + kTestSilo + L"\\Varnel\\PathExpansionMap";
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], size,
                        nullptr, nullptr);
  return narrow;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size =
      ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

std::string Utf16File(const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return bytes;
}

TempTree::TempTree(const std::string& name) {
  char temp[MAX_PATH] = {};
  ::GetTempPathA(MAX_PATH, temp);
  path_ = std::string(temp) + name;
  testing_support::RemoveTree(path_);
  if (!::CreateDirectoryA(path_.c_str(), nullptr)) {
    const DWORD error = ::GetLastError();
    ADD_FAILURE() << "cannot make the folder " << path_ << ": error " << error;
  }
}

TempTree::~TempTree() { testing_support::RemoveTree(path_); }

std::string TempTree::MakeFolder(const std::string& relative) const {
  std::string folder = path_;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('\\', start);
    if (end == std::string::npos) end = relative.size();
    folder += "\\" + relative.substr(start, end - start);
    if (!::CreateDirectoryA(folder.c_str(), nullptr)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_ALREADY_EXISTS) {
        ADD_FAILURE() << "cannot make the folder " << folder << ": error " << error;
      }
    }
    start = end + 1;
  }
  return folder;
}

void SetMapValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
  platform::UniqueRegKey key;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ExpansionMapKey().c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
}

void SetMapString(const wchar_t* name, const std::wstring& value) {
  SetMapValue(name, REG_SZ, value.c_str(),
              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

namespace {

// Removes a key the tests may have created, but only when nothing else lives in it.
void DeleteKeyIfEmpty(const wchar_t* path, REGSAM view) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
    return;
  }
  DWORD subKeys = 0;
  DWORD values = 0;
  if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
      subKeys == 0 && values == 0) {
    key.reset();
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, view, 0);
  }
}

}  // namespace

void RemoveSiloKeys(const std::wstring& hive, const wchar_t* silo) {
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    platform::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, hive.c_str(), 0, KEY_ALL_ACCESS | view, key.put()) ==
        ERROR_SUCCESS) {
      ::RegDeleteTreeW(key.get(), silo);
      key.reset();
      ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, hive.c_str(), view, 0);  // only when left empty
    }
    DeleteKeyIfEmpty(L"Software\\Quorvex", view);
  }
}

std::optional<DWORD> RunFreshProcess(const std::string& folder, const std::string& scenario) {
  const std::string copy = folder + "\\sharedlib_fresh.exe";
  if (!testing_support::CopyFileTo(testing_support::ExecutablePath(), copy)) return std::nullopt;
  ::SetEnvironmentVariableA(kScenarioVariable, scenario.c_str());
  const std::string report = folder + "\\fresh.xml";
  const auto exitCode =
      testing_support::RunAndWait("\"" + copy + "\" --gtest_color=no --gtest_output=xml:" + report +
                                  " --gtest_filter=FreshProcess." + scenario);
  ::SetEnvironmentVariableA(kScenarioVariable, nullptr);
  // A scenario that skipped itself (it did not see its name) proves nothing.
  const auto xml = testing_support::ReadFileBytes(report);
  if (exitCode && (!xml || xml->find("result=\"completed\"") == std::string::npos)) {
    return 0xFFFFu;
  }
  return exitCode;
}

std::string FreshScenario() {
  char value[64] = {};
  const DWORD length = ::GetEnvironmentVariableA(kScenarioVariable, value, sizeof(value));
  return length > 0 && length < sizeof(value) ? value : "";
}

}  // namespace sharedlib_test
