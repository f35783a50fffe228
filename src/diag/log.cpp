#include "diag/log.h"

#include <windows.h>

#include <share.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

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

// A log that has grown to the restart size is started afresh so it stays small; a log that does
// not exist yet is created. A log that exists but cannot be read (another program holds it open
// without letting others read) is appended to: starting it afresh would wipe lines nobody could
// even look at first.
bool ShouldAppend(const std::string& logPath) {
  FILE* probe = _fsopen(logPath.c_str(), "rb", _SH_DENYNO);
  if (!probe) return ::GetFileAttributesA(logPath.c_str()) != INVALID_FILE_ATTRIBUTES;
  std::fseek(probe, 0, SEEK_END);
  const long size = std::ftell(probe);
  std::fclose(probe);
  return size >= 0 && size < kLogRestartSize;
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
  std::lock_guard<std::mutex> lock(g_fileLock);
  if (!g_logFile) return;
  EntryLock entryLock(g_logFile.get());
  DWORD written = 0;
  ::WriteFile(g_logFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

IDebugLog* CurrentLog() noexcept { return g_currentLog.load(); }

void OpenLogFile() {
  std::string modulePath;
  if (!platform::GetOwnModulePath(modulePath)) return;
  const std::string logPath = LogPathFor(modulePath);

  if (!ShouldAppend(logPath)) {
    // Started afresh: emptied (or created) before the append-only handle is opened.
    platform::UniqueFileHandle truncate(
        ::CreateFileA(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  {
    // A log that fails to open is used all the same: its text is simply lost.
    std::lock_guard<std::mutex> lock(g_fileLock);
    // Read access only so that the entry lock can be taken; without write access every write
    // appends.
    g_logFile.reset(::CreateFileA(logPath.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  g_currentLog.exchange(&g_daxDebugLog);

  const std::time_t seconds = std::time(nullptr);
  char clock[128] = {};
  if (const std::tm* local = std::localtime(&seconds)) {
    std::strftime(clock, sizeof(clock), "%H:%M:%S", local);
  }
  LogLine("====== DaxInst starts at ", clock, "======");
}

void CloseLogFile() {
  std::lock_guard<std::mutex> lock(g_fileLock);
  g_logFile.reset();
}

}  // namespace diag
