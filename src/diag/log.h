// The log file daxinst.log beside the executable, and the one log object behind IDebugLog.
//
// Every log statement goes through LogLine, which does nothing (the text is not even put
// together) unless a log has been opened and is switched on. The switch starts off in shipped
// builds; diagnostic builds link a log object that starts switched on.
#pragma once

#include <atomic>
#include <string>
#include <type_traits>

#include "diag/outputstr.h"

namespace diag {

class IDebugLog {
 public:
  virtual ~IDebugLog() = default;
  virtual void Enable() = 0;
  virtual void Disable() = 0;
  virtual bool IsEnabled() const = 0;
  // Writes one entry; the caller supplies the line end.
  virtual void Write(const char* text) = 0;
};

class CDaxDbgOutputDebugLog final : public IDebugLog {
 public:
  constexpr explicit CDaxDbgOutputDebugLog(bool enabled) noexcept : enabled_(enabled) {}
  void Enable() override { enabled_ = true; }
  void Disable() override { enabled_ = false; }
  bool IsEnabled() const override { return enabled_; }
  void Write(const char* text) override;

 private:
  std::atomic<bool> enabled_;
};

// The process's single log object. Defined by diag_log_on or diag_log_off, whichever the
// executable links, so that its initial switch is fixed before main runs.
extern CDaxDbgOutputDebugLog g_daxDebugLog;

// How the open of daxinst.log went. A log that is refused or fails to open is used all the same:
// its text is lost.
enum class LogFileOpen {
  kOpened,
  kNoPath,        // the executable's path could not be had
  kFailed,        // the file could not be opened (error in `error`)
  kLinked,        // the file has more than one name: writing it would write another file
  kReparsePoint,  // the name leads elsewhere (a symbolic link or a junction)
};
struct LogFileOpening {
  LogFileOpen result = LogFileOpen::kNoPath;
  std::string path;
  unsigned long links = 0;  // the file's link count, where it was read
  unsigned long error = 0;  // the last error of a failed open
};

// Opens (creating, appending to or starting afresh) daxinst.log beside the executable and makes
// the log object current. Called once by the process entry. The file is opened by name once, and
// every later step (the check, the restart, the writes) works on that one handle.
LogFileOpening OpenLogFile();
// Detaches the file: later log statements still run but nothing reaches the file.
void CloseLogFile();

// "diagnostic" where the log starts switched on, "shipped" where it starts off: the build kind as
// the version resource tells it.
const char* BuildKind() noexcept;

// The current log, or nullptr before OpenLogFile.
IDebugLog* CurrentLog() noexcept;

// Size from which an existing log is started afresh instead of appended to.
constexpr long kLogRestartSize = 16384;

namespace detail {

inline void AppendPiece(outputstr& line, const char* text) { line.append(text); }
inline void AppendPiece(outputstr& line, const std::string& text) {
  line.append(text.c_str(), text.size());
}
void AppendSigned(outputstr& line, long long value);
void AppendUnsigned(outputstr& line, unsigned long long value);

template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
void AppendPiece(outputstr& line, T value) {
  if constexpr (std::is_signed_v<T>) {
    AppendSigned(line, value);
  } else {
    AppendUnsigned(line, value);
  }
}

}  // namespace detail

// One log line: the pieces in order, then a line end. Numbers are written in decimal, signed or
// unsigned as their type is.
template <typename... Pieces>
void LogLine(const Pieces&... pieces) {
  IDebugLog* log = CurrentLog();
  if (!log || !log->IsEnabled()) return;
  outputstr line;
  (detail::AppendPiece(line, pieces), ...);
  line += "\n";
  log->Write(line.c_str());
}

}  // namespace diag
