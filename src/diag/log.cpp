#include "diag/log.h"

#include <windows.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "diag/run_notes.h"
#include "platform/module_path.h"
#include "platform/unique_handle.h"

namespace diag {
namespace {

std::atomic<IDebugLog*> g_currentLog{nullptr};

// Each entry is one WriteFile on a handle that may only append: the system then puts it at the end
// of the file in one step, so the -start command, the service and its -uninstall child can all
// write the same log without overwriting each other's lines. The service thread may close the log
// while the control handler thread still writes; the lock keeps a write off a closed handle.
std::mutex g_fileLock;
platform::UniqueFileHandle g_logFile;

// Appending is one step on Windows, but not on every system that runs this program (Wine moves to
// the end and writes as two steps). Every writer of the log therefore also holds a byte-range lock
// far past any real end of the file while it appends. The wait is bounded: a writer that cannot
// get the lock in time writes all the same rather than block its caller.
class EntryLock {
 public:
  explicit EntryLock(HANDLE file) : file_(file) {
    range_.Offset = 0xFFFFFFF0u;
    range_.OffsetHigh = 0x7FFFFFFFu;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      if (::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &range_)) {
        locked_ = true;
        return;
      }
      if (::GetLastError() != ERROR_LOCK_VIOLATION && ::GetLastError() != ERROR_IO_PENDING) return;
      ::Sleep(1);
    }
  }
  ~EntryLock() {
    if (locked_) ::UnlockFileEx(file_, 0, 1, 0, &range_);
  }
  EntryLock(const EntryLock&) = delete;
  EntryLock& operator=(const EntryLock&) = delete;

 private:
  static constexpr int kAttempts = 2000;
  HANDLE file_;
  OVERLAPPED range_ = {};
  bool locked_ = false;
};

// Puts the caller's last error back when a log entry is done. A line often stands between a
// failure and the code that reports its error (the event-log entry after a dispatcher that could
// not connect, the last error of a failed start's status dump); the entry's own calls, its range
// lock above all, which fails while another writer holds it, must not replace that error.
class CallersLastError {
 public:
  CallersLastError() noexcept : error_(::GetLastError()) {}
  ~CallersLastError() { ::SetLastError(error_); }
  CallersLastError(const CallersLastError&) = delete;
  CallersLastError& operator=(const CallersLastError&) = delete;

 private:
  DWORD error_;
};

std::string LogPathFor(const std::string& modulePath) {
  const auto cut = modulePath.find_last_of('\\');
  if (cut == std::string::npos) return "c:\\daxinst.log";
  char buffer[300];
  std::snprintf(buffer, sizeof(buffer), "%s\\daxinst.log", modulePath.substr(0, cut).c_str());
  return buffer;
}

// Read access only so that the entry lock can be taken; without write access every write
// appends.
constexpr DWORD kAppendAccess = FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE;

// The one open of the log by name. The name is not followed when it is a reparse point (a
// symbolic link or a junction would make LocalSystem create or write a file elsewhere), and the
// handle may also write at any offset and cut the file, so that the restart below needs no second
// open by name: between two opens the name could be made to lead to another file.
HANDLE OpenLogByName(const std::string& logPath) {
  return ::CreateFileA(logPath.c_str(), kAppendAccess | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A log that has grown to the restart size is started afresh so it stays small. A log that
// another program holds open without sharing it does not open at all, and keeps its lines.
bool Restart(HANDLE file) {
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file, &size)) return false;
  if (size.QuadPart < kLogRestartSize) return true;
  return ::SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
         ::SetEndOfFile(file);
}

// Opens, checks and, at the restart size, empties the log; on success `appendOnly` holds the
// handle every entry is written through.
LogFileOpening OpenChecked(const std::string& logPath, platform::UniqueFileHandle& appendOnly) {
  LogFileOpening opening;
  opening.path = logPath;
  platform::UniqueFileHandle file(OpenLogByName(logPath));
  if (!file) {
    opening.result = LogFileOpen::kFailed;
    opening.error = ::GetLastError();
    return opening;
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!::GetFileInformationByHandle(file.get(), &information)) {
    opening.result = LogFileOpen::kFailed;
    opening.error = ::GetLastError();
    return opening;
  }
  opening.links = information.nNumberOfLinks;
  // Another name of the same file lies elsewhere: appending here would write that file.
  if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    opening.result = LogFileOpen::kReparsePoint;
    return opening;
  }
  if (information.nNumberOfLinks > 1) {
    opening.result = LogFileOpen::kLinked;
    return opening;
  }
  HANDLE reduced = nullptr;
  // Entries go through a copy of the handle that may only append: the system then puts each one
  // at the end of the file in one step, whoever else writes the log.
  if (!Restart(file.get()) ||
      !::DuplicateHandle(::GetCurrentProcess(), file.get(), ::GetCurrentProcess(), &reduced,
                         kAppendAccess, FALSE, 0)) {
    opening.result = LogFileOpen::kFailed;
    opening.error = ::GetLastError();
    return opening;
  }
  appendOnly.reset(reduced);
  opening.result = LogFileOpen::kOpened;
  return opening;
}

}  // namespace

namespace detail {

void AppendSigned(outputstr& line, long long value) {
  char digits[32];
  std::snprintf(digits, sizeof(digits), "%lld", value);
  line.append(digits);
}

void AppendUnsigned(outputstr& line, unsigned long long value) {
  char digits[32];
  std::snprintf(digits, sizeof(digits), "%llu", value);
  line.append(digits);
}

}  // namespace detail

void CDaxDbgOutputDebugLog::Write(const char* text) {
  const CallersLastError callersLastError;
  const std::string entry = text ? text : "";
  if (entry.empty()) return;
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char stamp[128];
  std::snprintf(stamp, sizeof(stamp), "%02d/%02d %02d:%02d:%02d.%03d ", now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  // A Windows text file: every line end reaches the disk as CR LF.
  std::string bytes = stamp;
  bytes.reserve(bytes.size() + entry.size() + 8);
  for (const char c : entry) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  // The run's record carries its lines too: the log file itself lives in the package folder,
  // which the staging program deletes.
  NoteLogLine(stamp + entry);
  std::lock_guard<std::mutex> lock(g_fileLock);
  if (!g_logFile) return;
  EntryLock entryLock(g_logFile.get());
  DWORD written = 0;
  ::WriteFile(g_logFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

IDebugLog* CurrentLog() noexcept { return g_currentLog.load(); }

LogFileOpening OpenLogFile() {
  std::string modulePath;
  if (!platform::GetOwnModulePath(modulePath)) return LogFileOpening();
  const std::string logPath = LogPathFor(modulePath);

  platform::UniqueFileHandle appendOnly;
  const LogFileOpening opening = OpenChecked(logPath, appendOnly);
  {
    // A log that fails to open is used all the same: its text is simply lost.
    std::lock_guard<std::mutex> lock(g_fileLock);
    g_logFile = std::move(appendOnly);
  }
  g_currentLog.exchange(&g_daxDebugLog);

  const std::time_t seconds = std::time(nullptr);
  char clock[128] = {};
  if (const std::tm* local = std::localtime(&seconds)) {
    std::strftime(clock, sizeof(clock), "%H:%M:%S", local);
  }
  LogLine("====== DaxInst starts at ", clock, "======");
  return opening;
}

void CloseLogFile() {
  std::lock_guard<std::mutex> lock(g_fileLock);
  g_logFile.reset();
}

}  // namespace diag
