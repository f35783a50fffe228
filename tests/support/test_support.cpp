#include "support/test_support.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/unique_handle.h"

namespace testing_support {

std::string ExecutablePath() {
  char buffer[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return buffer;
}

std::string ExecutableDirectory() {
  const std::string path = ExecutablePath();
  return path.substr(0, path.find_last_of('\\'));
}

std::string ScratchDirectory() {
  char buffer[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableA("DAXINST_TEST_WORK_DIR", buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return ExecutableDirectory();
  std::string directory(buffer, length);
  while (!directory.empty() && directory.back() == '\\') directory.pop_back();
  return directory;
}

std::string LogPath() { return ExecutableDirectory() + "\\daxinst.log"; }

std::string FixtureMsi(const std::string& name) { return ExecutableDirectory() + "\\msi\\" + name; }

std::optional<DWORD> RunMsiexec(const char* action, const std::string& msiPath) {
  return RunAndWait("msiexec.exe " + std::string(action) + " \"" + msiPath + "\" /qn", 180000);
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    ADD_FAILURE() << "cannot open " << path << " for writing";
    return;
  }
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (out.fail()) ADD_FAILURE() << "cannot write " << bytes.size() << " bytes to " << path;
}

std::string Dump(const std::vector<std::string>& lines) {
  constexpr size_t kLongest = 300;
  std::string text;
  for (const auto& line : lines) {
    text += "  [" + line.substr(0, kLongest) + (line.size() > kLongest ? "...]\n" : "]\n");
  }
  return text;
}

bool Has(const std::vector<std::string>& lines, const std::string& wanted) {
  return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& wanted) {
  auto at = lines.begin();
  for (const auto& line : wanted) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) {
      return ::testing::AssertionFailure() << "missing, or out of order: [" << line << "]\nlog:\n"
                                           << Dump(lines);
    }
    ++at;
  }
  return ::testing::AssertionSuccess();
}

void DeleteFileIfPresent(const std::string& path) {
  ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileA(path.c_str());
}

bool HasValidStamp(const std::string& line) {
  // MM/DD HH:MM:SS.mmm followed by one blank.
  static const char kShape[] = "99/99 99:99:99.999 ";
  if (line.size() < sizeof(kShape) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
    const char want = kShape[i];
    const char have = line[i];
    if (want == '9' ? !std::isdigit(static_cast<unsigned char>(have)) : have != want) return false;
  }
  return true;
}

namespace {

std::vector<std::string> ReadLogMessages(const std::string& logPath, bool keepEmptyLines) {
  std::vector<std::string> messages;
  const auto content = ReadFileBytes(logPath);
  if (!content) return messages;
  std::istringstream in(*content);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      if (keepEmptyLines) messages.emplace_back();
      continue;
    }
    messages.push_back(HasValidStamp(line) ? line.substr(19) : "!NOSTAMP!" + line);
  }
  return messages;
}

}  // namespace

std::vector<std::string> LogMessages(const std::string& logPath) {
  return ReadLogMessages(logPath, false);
}

std::vector<std::string> LogMessagesWithEmptyLines(const std::string& logPath) {
  return ReadLogMessages(logPath, true);
}

ClientServiceForTest::ClientServiceForTest() {
  Remove();
  platform::UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return;
  platform::UniqueServiceHandle created(::CreateServiceA(
      manager.get(), kClientServiceName, kClientServiceName, SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      "C:\\windows\\system32\\notepad.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
  created_ = created.is_valid();
}

ClientServiceForTest::~ClientServiceForTest() { Remove(); }

void ClientServiceForTest::Remove() {
  platform::UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return;
  platform::UniqueServiceHandle existing(::OpenServiceA(manager.get(), kClientServiceName, DELETE));
  if (existing) ::DeleteService(existing.get());
}

std::optional<DWORD> ClientValue(const char* name, REGSAM view) {
  return ReadDword(HKEY_LOCAL_MACHINE, kClientKey, name, view);
}

std::optional<DWORD> SetupResult() {
  return ReadDword(HKEY_CLASSES_ROOT, kSetupResultKey, "Default");
}

void ExpectDeletedValue(HKEY key, const char* keyName, const char* name) {
  const LONG deleted = ::RegDeleteValueA(key, name);
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
    ADD_FAILURE() << "cannot delete " << keyName << "\\" << name << ": error " << deleted;
  }
}

RunRegistryGuard::RunRegistryGuard() { Clear(); }
RunRegistryGuard::~RunRegistryGuard() { Clear(); }

void RunRegistryGuard::Clear() {
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    platform::UniqueRegKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClientKey, 0, KEY_ALL_ACCESS | view, key.put()) ==
        ERROR_SUCCESS) {
      for (const char* name : {"LaunchSetup", "DaxSetupStatus", "DaxInstResult"}) {
        ExpectDeletedValue(key.get(), kClientKey, name);
      }
    }
  }
  platform::UniqueRegKey result;
  if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, kSetupResultKey, 0, KEY_ALL_ACCESS, result.put()) ==
      ERROR_SUCCESS) {
    ExpectDeletedValue(result.get(), kSetupResultKey, "Default");
  }
}

std::optional<RegistryValue> ReadRegistryValue(HKEY root, const char* subKey, const char* name,
                                               REGSAM view) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(root, subKey, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  DWORD type = 0;
  DWORD size = 0;
  if (::RegQueryValueExA(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  RegistryValue value;
  value.type = type;
  value.data.resize(size);
  if (::RegQueryValueExA(key.get(), name, nullptr, &type,
                         reinterpret_cast<BYTE*>(value.data.empty() ? nullptr : &value.data[0]),
                         &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.data.resize(size);
  return value;
}

std::optional<DWORD> ReadDword(HKEY root, const char* subKey, const char* name, REGSAM view) {
  const auto value = ReadRegistryValue(root, subKey, name, view);
  if (!value || value->type != REG_DWORD || value->data.size() != sizeof(DWORD)) {
    return std::nullopt;
  }
  DWORD number = 0;
  std::memcpy(&number, value->data.data(), sizeof(number));
  return number;
}

namespace {

// Writes one value, or fails the running test with the step and the error.
void SetRegistryValue(HKEY root, const char* subKey, const char* name, DWORD type, const BYTE* data,
                      DWORD size, REGSAM view) {
  platform::UniqueRegKey key;
  const LONG created = ::RegCreateKeyExA(root, subKey, 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                         nullptr, key.put(), nullptr);
  if (created != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot open or make the key " << subKey << " for " << name << ": error "
                  << created;
    return;
  }
  const LONG written = ::RegSetValueExA(key.get(), name, 0, type, data, size);
  if (written != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot write " << subKey << "\\" << name << ": error " << written;
  }
}

}  // namespace

void SetRegistryDword(HKEY root, const char* subKey, const char* name, DWORD value, REGSAM view) {
  SetRegistryValue(root, subKey, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof(value), view);
}

LONG LeaveUndeletableDword(HKEY root, const char* subKey, const char* name, DWORD value) {
  SetRegistryDword(root, subKey, name, value);
  platform::UniqueRegKey key;
  LONG status = ::RegOpenKeyExA(root, subKey, 0, WRITE_DAC, key.put());
  if (status != ERROR_SUCCESS) return status;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof(sid);
  if (!::CreateWellKnownSid(WinWorldSid, nullptr, sid, &sidSize)) {
    return static_cast<LONG>(::GetLastError());
  }
  EXPLICIT_ACCESS_A access = {};
  access.grfAccessPermissions = KEY_READ | DELETE | WRITE_DAC;
  access.grfAccessMode = SET_ACCESS;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.ptstrName = reinterpret_cast<LPSTR>(sid);
  PACL acl = nullptr;
  status = static_cast<LONG>(::SetEntriesInAclA(1, &access, nullptr, &acl));
  if (status != ERROR_SUCCESS) return status;
  SECURITY_DESCRIPTOR descriptor;
  ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
  status = ::RegSetKeySecurity(
      key.get(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, &descriptor);
  ::LocalFree(acl);
  return status;
}

void SetRegistryString(HKEY root, const char* subKey, const char* name, const std::string& value,
                       REGSAM view) {
  SetRegistryValue(root, subKey, name, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1), view);
}

std::optional<DWORD> RunAndWait(const std::string& commandLine, DWORD timeoutMs,
                                const char* currentDirectory) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  std::string writable = commandLine;
  if (!::CreateProcessA(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr,
                        currentDirectory, &startup, &process)) {
    return std::nullopt;
  }
  platform::UniqueKernelHandle processHandle(process.hProcess);
  platform::UniqueKernelHandle threadHandle(process.hThread);
  if (::WaitForSingleObject(processHandle.get(), timeoutMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(processHandle.get(), 1);
    return std::nullopt;
  }
  DWORD exitCode = 0;
  ::GetExitCodeProcess(processHandle.get(), &exitCode);
  return exitCode;
}

TempFolder::TempFolder(const std::string& name) : path_(ScratchDirectory() + "\\" + name) {
  RemoveTree(path_);
  // The last case's folder may still hold a file that a process which has just ended kept open:
  // Wine's console host lets go of an inherited output handle a moment after its child ends.
  for (DWORD waited = 0;
       ::GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES && waited < kLeftoverWaitMs;
       waited += kLeftoverPollMs) {
    ::Sleep(kLeftoverPollMs);
    RemoveTree(path_);
  }
  // A folder that could not be made, or one left over that could not be emptied, would have the
  // case compare what it never wrote.
  if (!::CreateDirectoryA(path_.c_str(), nullptr)) {
    const DWORD error = ::GetLastError();
    ADD_FAILURE() << "cannot make the folder " << path_ << ": error " << error;
  }
}

TempFolder::~TempFolder() { RemoveTree(path_); }

SuspendedChild::SuspendedChild(const std::string& path, const std::string& arguments) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  std::string commandLine = "\"" + path + "\"";
  if (!arguments.empty()) commandLine += " " + arguments;
  if (::CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                       nullptr, nullptr, &startup, &info)) {
    process_ = info.hProcess;
    thread_ = info.hThread;
    id_ = info.dwProcessId;
  }
}

SuspendedChild::~SuspendedChild() {
  if (!process_) return;
  ::TerminateProcess(process_, 0);
  ::WaitForSingleObject(process_, 10000);
  ::CloseHandle(thread_);
  ::CloseHandle(process_);
}

std::string SystemProgram(const char* name) {
  char directory[MAX_PATH] = {};
  ::GetSystemDirectoryA(directory, MAX_PATH);
  return std::string(directory) + "\\" + name;
}

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA entry;
  platform::UniqueFindHandle find(::FindFirstFileA((path + "\\*").c_str(), &entry));
  if (find) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string child = path + "\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileIfPresent(child);
      }
    } while (::FindNextFileA(find.get(), &entry));
  }
  find.reset();
  ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::RemoveDirectoryA(path.c_str());
}

bool CopyFileTo(const std::string& from, const std::string& to) {
  return ::CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
}

void SetProtectedDacl(const std::string& path, const char* sddl) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  ASSERT_TRUE(
      ::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &raw, nullptr))
      << sddl;
  platform::UniqueLocalMemory descriptor(raw);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted));
  std::string writable = path;
  ASSERT_EQ(::SetNamedSecurityInfoA(&writable[0], SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, dacl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS))
      << path;
}

}  // namespace testing_support
