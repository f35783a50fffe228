#include "diag/trace.h"

#include <cwchar>

namespace diag {

const GUID kTraceControlGuid = {
    0xfd7a03bb, 0xc60d, 0x421d, {0xbc, 0x3a, 0xb4, 0x1d, 0x39, 0xf2, 0x78, 0x6b}};

namespace {

TRACEHANDLE RealGetLoggerHandle(PVOID buffer) { return ::GetTraceLoggerHandle(buffer); }
UCHAR RealGetEnableLevel(TRACEHANDLE logger) { return ::GetTraceEnableLevel(logger); }
ULONG RealGetEnableFlags(TRACEHANDLE logger) { return ::GetTraceEnableFlags(logger); }

// TraceMessage takes its (address, length) pairs as variable arguments ended by a null address.
ULONG RealTraceMessage(TRACEHANDLE logger, ULONG messageFlags, const GUID& messageGuid,
                       USHORT messageNumber, const TraceArgument* a, std::size_t count) {
  LPCGUID guid = &messageGuid;
  switch (count) {
    case 0:
      return ::TraceMessage(logger, messageFlags, guid, messageNumber, nullptr);
    case 1:
      return ::TraceMessage(logger, messageFlags, guid, messageNumber, a[0].data, a[0].size,
                            nullptr);
    case 2:
      return ::TraceMessage(logger, messageFlags, guid, messageNumber, a[0].data, a[0].size,
                            a[1].data, a[1].size, nullptr);
    default:
      return ::TraceMessage(logger, messageFlags, guid, messageNumber, a[0].data, a[0].size,
                            a[1].data, a[1].size, a[2].data, a[2].size, nullptr);
  }
}

TraceSystem g_system = {RealGetLoggerHandle, RealGetEnableLevel, RealGetEnableFlags,
                        RealTraceMessage};

TraceControlBlock g_block = {nullptr, 0, 0, 1, 0, 0};

// The list head points at itself while no provider is registered.
TraceControlBlock* g_listHead = reinterpret_cast<TraceControlBlock*>(&g_listHead);

bool ListIsEmpty() noexcept {
  return static_cast<void*>(g_listHead) == static_cast<void*>(&g_listHead);
}

const wchar_t kMissingText[] = L"NULL";
const wchar_t kEmptyText[] = L"<NULL>";

}  // namespace

TraceControlBlock& TraceProviderBlock() noexcept { return g_block; }
bool TraceProviderListEmpty() noexcept { return ListIsEmpty(); }

void RegisterTraceProvider() {
  g_block.next = nullptr;
  g_listHead = &g_block;
  for (TraceControlBlock* block = g_listHead; block; block = block->next) {
    TRACE_GUID_REGISTRATION registration = {&kTraceControlGuid, nullptr};
    // A process that cannot be traced still runs: the result is of no consequence.
    ::RegisterTraceGuidsA(TraceControlCallback, block, &kTraceControlGuid, 1, &registration,
                          nullptr, nullptr, &block->registrationHandle);
  }
}

void UnregisterTraceProvider() {
  if (!ListIsEmpty()) {
    for (TraceControlBlock* block = g_listHead; block; block = block->next) {
      if (block->registrationHandle != 0) {
        ::UnregisterTraceGuids(block->registrationHandle);
        block->registrationHandle = 0;
      }
    }
  }
  g_listHead = reinterpret_cast<TraceControlBlock*>(&g_listHead);
}

ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize,
                                  PVOID buffer) {
  if (bufferSize) *bufferSize = 0;
  auto* block = static_cast<TraceControlBlock*>(context);
  switch (requestCode) {
    case WMI_ENABLE_EVENTS: {
      if (!block) return ERROR_INVALID_PARAMETER;
      const TRACEHANDLE logger = g_system.getLoggerHandle(buffer);
      const UCHAR level = g_system.getEnableLevel(logger);
      const ULONG flags = g_system.getEnableFlags(logger);
      block->loggerHandle = logger;
      block->level = level;
      block->flags = flags;
      return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
      if (!block) return ERROR_INVALID_PARAMETER;
      block->loggerHandle = 0;
      block->level = 0;
      block->flags = 0;
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

TraceArg TraceArg::Text(const wchar_t* text) noexcept {
  TraceArg arg;
  if (!text) {
    arg.text_ = kMissingText;
  } else if (!*text) {
    arg.text_ = kEmptyText;
  } else {
    arg.text_ = text;
  }
  arg.size_ = (std::wcslen(arg.text_) + 1) * sizeof(wchar_t);
  return arg;
}

TraceArg TraceArg::Number(std::int32_t value) noexcept {
  TraceArg arg;
  arg.number_ = value;
  arg.size_ = sizeof(std::int32_t);
  return arg;
}

bool TraceEnabled(ULONG flag, UCHAR level) noexcept {
  return !ListIsEmpty() && (g_block.flags & flag) != 0 && g_block.level >= level;
}

void TracePoint(ULONG flag, UCHAR level, const GUID& messageGuid, USHORT messageNumber,
                std::initializer_list<TraceArg> args) noexcept {
  if (!TraceEnabled(flag, level)) return;
  TraceArgument pairs[3] = {};
  std::size_t count = 0;
  for (const TraceArg& arg : args) {
    if (count == 3) break;
    pairs[count++] = {arg.data(), arg.size()};
  }
  g_system.traceMessage(g_block.loggerHandle, kTraceMessageFlags, messageGuid, messageNumber, pairs,
                        count);
}

TraceSystem SetTraceSystemForTesting(const TraceSystem& system) noexcept {
  const TraceSystem previous = g_system;
  g_system = system;
  return previous;
}

}  // namespace diag
