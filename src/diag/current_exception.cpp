#include "diag/current_exception.h"

#include <windows.h>

#include <cstdio>
#include <exception>

#if defined(_MSC_VER) && __has_include(<atlexcept.h>)
#include <atlexcept.h>
#define DAXINST_HAVE_ATL_EXCEPTION 1
#endif

#include "diag/log.h"

namespace diag {

void LogCurrentException() noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& exception) {
      LogLine("Exception thrown in service_main: ", exception.what());
#ifdef DAXINST_HAVE_ATL_EXCEPTION
    } catch (const ATL::CAtlException& exception) {
      char code[32];
      std::snprintf(code, sizeof(code), "%ld", static_cast<long>(static_cast<HRESULT>(exception)));
      LogLine("Atl exception thrown in service_main. HRESULT:", code);
#endif
    } catch (...) {
      // Anything else would end the process on the service thread, before the removal.
      LogLine("Exception thrown in service_main: unknown exception");
    }
  } catch (...) {
    // The log could not put the line together: it is lost, and the caller goes on to its end.
  }
}

}  // namespace diag
