#include "diag/log.h"

#include <windows.h>

#include <share.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "platform/module_path.h"

namespace diag {
namespace {

std::atomic<IDebugLog*> g_currentLog{nullptr};

// Never opened: text sent here before the log is opened or after it is closed is lost.
std::ostream& UnopenedStream() {
  static std::ofstream unopened;
  return unopened;
}

// The service thread may close the file while the control handler thread still logs; the lock
// keeps a line from being written into a stream that is being destroyed.
std::mutex g_streamLock;
std::ostream* g_logStream = nullptr;
std::unique_ptr<std::ofstream> g_fileStream;

std::ostream& LogStream() { return g_logStream ? *g_logStream : UnopenedStream(); }

std::string LogPathFor(const std::string& modulePath) {
  const auto cut = modulePath.find_last_of('\\');
  if (cut == std::string::npos) return "c:\\daxinst.log";
  char buffer[300];
  std::snprintf(buffer, sizeof(buffer), "%s\\daxinst.log", modulePath.substr(0, cut).c_str());
  return buffer;
}

// A log that has grown to the restart size is started afresh so it stays small; a log that
// cannot be read (usually: it does not exist yet) is created.
bool ShouldAppend(const std::string& logPath) {
  FILE* probe = _fsopen(logPath.c_str(), "rb", _SH_DENYNO);
  if (!probe) return false;
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
  const std::string entry = text ? text : "";
  if (entry.empty()) return;
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char stamp[128];
  std::snprintf(stamp, sizeof(stamp), "%02d/%02d %02d:%02d:%02d.%03d ", now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  std::lock_guard<std::mutex> lock(g_streamLock);
  std::ostream& stream = LogStream();
  stream << stamp << entry;
  stream.flush();
}

IDebugLog* CurrentLog() noexcept { return g_currentLog.load(); }

void OpenLogFile() {
  std::string modulePath;
  if (!platform::GetOwnModulePath(modulePath)) return;
  const std::string logPath = LogPathFor(modulePath);

  const auto mode = ShouldAppend(logPath) ? std::ios::out | std::ios::app : std::ios::out;
  {
    // A stream that fails to open is kept all the same: its text is simply lost.
    std::lock_guard<std::mutex> lock(g_streamLock);
    g_fileStream = std::make_unique<std::ofstream>(logPath, mode);
    g_logStream = g_fileStream.get();
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
  std::lock_guard<std::mutex> lock(g_streamLock);
  if (!g_fileStream) return;
  g_logStream = nullptr;
  g_fileStream->flush();
  g_fileStream->close();
  g_fileStream.reset();
}

}  // namespace diag
