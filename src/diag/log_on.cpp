#include "diag/log.h"

namespace diag {
CDaxDbgOutputDebugLog g_daxDebugLog{true};
const char* BuildKind() noexcept { return "diagnostic"; }
}  // namespace diag
