#include "diag/log.h"

namespace diag {
CDaxDbgOutputDebugLog g_daxDebugLog{false};
const char* BuildKind() noexcept { return "shipped"; }
}  // namespace diag
