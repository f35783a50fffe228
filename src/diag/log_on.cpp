#include "diag/log.h"

namespace diag {
CDaxDbgOutputDebugLog g_daxDebugLog{true};
}
