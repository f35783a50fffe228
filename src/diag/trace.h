// Event-trace provider of the process: registered for the whole life of the process entry.
//
// A trace controller switches trace points on by flag bits and a level; each point that fires
// sends one compact message identified by a message GUID and a message number. The format texts
// live in the tracing tool chain's format files, not here.
#pragma once

#include <windows.h>
// after windows.h
#include <evntrace.h>
#include <wmistr.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace diag {

// {fd7a03bb-c60d-421d-bc3a-b41d39f2786b}
extern const GUID kTraceControlGuid;

// The provider control block; the process has exactly one.
struct TraceControlBlock {
  TraceControlBlock* next;
  TRACEHANDLE registrationHandle;
  TRACEHANDLE loggerHandle;
  UCHAR level;
  ULONG flags;
  ULONG options;
};

enum TraceLevel : UCHAR {
  kTraceLevelError = 2,
  kTraceLevelWarning = 3,
  kTraceLevelInformation = 4,
  kTraceLevelVerbose = 5,
};

// Flag bit 1 carries nearly every point; bit 2 the few about slow calls.
enum TraceFlag : ULONG {
  kTraceFlagGeneral = 1,
  kTraceFlagTiming = 2,
};

// Sequence number, component GUID, time stamp and system information.
constexpr ULONG kTraceMessageFlags = 0x2B;

void RegisterTraceProvider();
void UnregisterTraceProvider();

// Called by the tracing system on one of its threads.
ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize,
                                  PVOID buffer);

// The process's control block, and whether the provider list holds it (registered window).
TraceControlBlock& TraceProviderBlock() noexcept;
bool TraceProviderListEmpty() noexcept;

// One argument of a trace message: an address and a length in bytes. A wide string is sent with
// its terminator; a missing one as "NULL" and an empty one as "<NULL>", so that a consumer can
// tell the two apart.
class TraceArg {
 public:
  static TraceArg Text(const wchar_t* text) noexcept;
  static TraceArg Number(std::int32_t value) noexcept;

  const void* data() const noexcept { return text_ ? static_cast<const void*>(text_) : &number_; }
  std::size_t size() const noexcept { return size_; }

 private:
  TraceArg() = default;
  const wchar_t* text_ = nullptr;
  std::int32_t number_ = 0;
  std::size_t size_ = 0;
};

// True when a point with this flag bit and minimum level would fire now.
bool TraceEnabled(ULONG flag, UCHAR level) noexcept;

// A trace point: sends the message when TraceEnabled(flag, level). At most three arguments.
void TracePoint(ULONG flag, UCHAR level, const GUID& messageGuid, USHORT messageNumber,
                std::initializer_list<TraceArg> args = {}) noexcept;

// The calls through which the provider reaches the tracing system. Tests replace them to see
// what would be sent (Wine's tracing functions are stubs).
struct TraceArgument {
  const void* data;
  std::size_t size;
};
struct TraceSystem {
  TRACEHANDLE (*getLoggerHandle)(PVOID buffer);
  UCHAR (*getEnableLevel)(TRACEHANDLE logger);
  ULONG (*getEnableFlags)(TRACEHANDLE logger);
  ULONG(*traceMessage)
  (TRACEHANDLE logger, ULONG messageFlags, const GUID& messageGuid, USHORT messageNumber,
   const TraceArgument* args, std::size_t count);
};
// Installs `system` and returns the one it replaces.
TraceSystem SetTraceSystemForTesting(const TraceSystem& system) noexcept;

}  // namespace diag
