#include "sharedlib/trust_trace.h"

#include <cstdint>

#include "diag/trace.h"

namespace sharedlib {

void TraceTrustFailure(USHORT message, const wchar_t* path, DWORD error) {
  diag::TracePoint(
      diag::kTraceFlagGeneral, diag::kTraceLevelError, kVerifyTrustMessages, message,
      {diag::TraceArg::Text(path), diag::TraceArg::Number(static_cast<std::int32_t>(error))});
}

void TraceIfSlow(USHORT message, const wchar_t* path, ULONGLONG elapsedMs) {
  if (elapsedMs < kSlowCallMs) return;
  diag::TracePoint(
      diag::kTraceFlagTiming, diag::kTraceLevelWarning, kVerifyTrustMessages, message,
      {diag::TraceArg::Text(path), diag::TraceArg::Number(static_cast<std::int32_t>(elapsedMs))});
}

}  // namespace sharedlib
