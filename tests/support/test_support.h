// Helpers shared by the test executables: files, the log beside the test, registry state that
// a test must leave as it found it, and child processes.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

std::string ExecutableDirectory();
std::string ExecutablePath();
// Where a test makes its folders: the CTest entry's own run folder (DAXINST_TEST_WORK_DIR, set by
// the Wine wrapper) so that entries made from one executable never share a folder, else the
// executable's folder.
std::string ScratchDirectory();

// daxinst.log beside the test executable, where the program's log lands in a unit test.
std::string LogPath();
// A .msi fixture that the build put in the "msi" folder beside the test executable.
std::string FixtureMsi(const std::string& name);
// "msiexec <action> <msiPath> /qn" (for example "/i" or "/x"), waited for up to three minutes.
std::optional<DWORD> RunMsiexec(const char* action, const std::string& msiPath);

std::optional<std::string> ReadFileBytes(const std::string& path);
// Writes the file whole, or fails the running test: a write that silently fails would leave a
// case comparing two missing files.
void WriteFileBytes(const std::string& path, const std::string& bytes);
void DeleteFileIfPresent(const std::string& path);

// Lines one per row, for a failure message. Very long lines are cut short.
std::string Dump(const std::vector<std::string>& lines);
bool Has(const std::vector<std::string>& lines, const std::string& wanted);
// `wanted` occurs in `lines` in this order (other lines may come between).
::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& wanted);

// Lines of a log file with their "MM/DD HH:MM:SS.mmm " stamps removed. A line without a valid
// stamp is kept whole, prefixed with "!NOSTAMP!", so that a format fault shows in a comparison.
std::vector<std::string> LogMessages(const std::string& logPath);
// The same, with the empty lines kept (as ""): an entry whose text ends in a line end leaves one.
std::vector<std::string> LogMessagesWithEmptyLines(const std::string& logPath);
bool HasValidStamp(const std::string& line);

// Where the client keeps the values of a run, and where setup leaves its code.
constexpr char kClientKey[] = "SOFTWARE\\Quorvex\\Tarvane\\DAX\\Ombrel\\Ombrel";
constexpr char kSetupResultKey[] = "TSSAFILE\\{DCCB9E52-6A84A746}";
// The view of the client key while the client's own service ("daxService") is not installed,
// as in every test prefix.
constexpr REGSAM kClientView = KEY_WOW64_32KEY;

// The client's own service, registered through the Service Control Manager for as long as the
// object lives (never started): with it installed the client key is in the 64-bit view. Also
// removes one that a case (a setup that installs it) left behind.
class ClientServiceForTest {
 public:
  ClientServiceForTest();
  ~ClientServiceForTest();
  ClientServiceForTest(const ClientServiceForTest&) = delete;
  ClientServiceForTest& operator=(const ClientServiceForTest&) = delete;
  bool created() const { return created_; }
  static void Remove();

 private:
  bool created_ = false;
};
constexpr char kClientServiceName[] = "daxService";

// A DWORD of the client key, in `view`.
std::optional<DWORD> ClientValue(const char* name, REGSAM view = kClientView);
// The code setup left in the setup result key.
std::optional<DWORD> SetupResult();

// The client key and the setup result key, cleared of the values a run writes (in both registry
// views) when the guard is made and again when it goes.
class RunRegistryGuard {
 public:
  RunRegistryGuard();
  ~RunRegistryGuard();
  RunRegistryGuard(const RunRegistryGuard&) = delete;
  RunRegistryGuard& operator=(const RunRegistryGuard&) = delete;

  static void Clear();
};

struct RegistryValue {
  DWORD type = REG_NONE;
  std::string data;
};
std::optional<RegistryValue> ReadRegistryValue(HKEY root, const char* subKey, const char* name,
                                               REGSAM view = 0);
// The two writers fail the running test when the key cannot be made or the value not written.
void SetRegistryDword(HKEY root, const char* subKey, const char* name, DWORD value,
                      REGSAM view = 0);
void SetRegistryString(HKEY root, const char* subKey, const char* name, const std::string& value,
                       REGSAM view = 0);
// Writes `value` and then gives the key a protected DACL that lets everyone read it, change its
// DACL and delete the key, but not set or delete its values: a value that a run cannot remove.
// Returns the error of the first step that failed, or ERROR_SUCCESS.
[[nodiscard]] LONG LeaveUndeletableDword(HKEY root, const char* subKey, const char* name,
                                         DWORD value);
std::optional<DWORD> ReadDword(HKEY root, const char* subKey, const char* name, REGSAM view = 0);
// Deletes the value `name` of the open `key` (`keyName` for the message); a value that is not
// there counts as deleted, any other failure fails the running test.
void ExpectDeletedValue(HKEY key, const char* keyName, const char* name);

// Starts a program and waits for it; the exit code, or nullopt when it could not be started or
// did not end within `timeoutMs`.
std::optional<DWORD> RunAndWait(const std::string& commandLine, DWORD timeoutMs = 60000,
                                const char* currentDirectory = nullptr);

// A folder of the scratch directory made for one test and removed with everything in it
// afterwards. Fails the running test when the folder cannot be made afresh: a leftover of that
// name that cannot be emptied within kLeftoverWaitMs.
class TempFolder {
 public:
  static constexpr DWORD kLeftoverWaitMs = 5000;
  static constexpr DWORD kLeftoverPollMs = 100;

  explicit TempFolder(const std::string& name);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A child process that exists for as long as a test needs it: created suspended, ended when
// the object goes.
class SuspendedChild {
 public:
  explicit SuspendedChild(const std::string& path, const std::string& arguments = "");
  ~SuspendedChild();
  SuspendedChild(const SuspendedChild&) = delete;
  SuspendedChild& operator=(const SuspendedChild&) = delete;
  DWORD id() const { return id_; }
  HANDLE process() const { return process_; }

 private:
  HANDLE process_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD id_ = 0;
};

// Full path of a program in the system folder.
std::string SystemProgram(const char* name);

void RemoveTree(const std::string& path);
[[nodiscard]] bool CopyFileTo(const std::string& from, const std::string& to);

// Gives the file or folder `path` the protected DACL of `sddl` ("D:P(...)"). Under Wine the DACL
// becomes the path's Unix mode: an allow of 0x1301ff for Everyone lets others write.
// Fails the test when it cannot.
void SetProtectedDacl(const std::string& path, const char* sddl);
// The DACLs the tests give package folders and files: the administrators only, as a staging
// program leaves them, and the same with Everyone allowed to change them.
constexpr char kAdministratorsOnlyDacl[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr char kEveryoneMayWriteDacl[] =
    "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301ff;;;WD)";

}  // namespace testing_support
