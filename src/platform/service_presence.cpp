#include "platform/service_presence.h"

#include <windows.h>

#include <string>

#include "platform/unique_handle.h"

namespace platform {

bool IsServiceInstalled(const char* serviceName) {
  // Loaded by full path from the system directory so that no advapi32.dll planted in the
  // package folder is picked up.
  char systemDirectory[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryA(systemDirectory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::string libraryPath = std::string(systemDirectory) + "\\advapi32.dll";
  UniqueLibrary advapi(::LoadLibraryA(libraryPath.c_str()));
  if (!advapi) return false;

  using OpenSCManagerFn = SC_HANDLE(WINAPI*)(LPCSTR, LPCSTR, DWORD);
  using OpenServiceFn = SC_HANDLE(WINAPI*)(SC_HANDLE, LPCSTR, DWORD);
  using QueryServiceStatusFn = BOOL(WINAPI*)(SC_HANDLE, LPSERVICE_STATUS);
  using CloseServiceHandleFn = BOOL(WINAPI*)(SC_HANDLE);
  auto lookUp = [&advapi](const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(advapi.get(), name));
  };
  auto openManager = reinterpret_cast<OpenSCManagerFn>(lookUp("OpenSCManagerA"));
  auto openService = reinterpret_cast<OpenServiceFn>(lookUp("OpenServiceA"));
  auto queryStatus = reinterpret_cast<QueryServiceStatusFn>(lookUp("QueryServiceStatus"));
  auto closeHandle = reinterpret_cast<CloseServiceHandleFn>(lookUp("CloseServiceHandle"));
  if (!openManager || !openService || !queryStatus || !closeHandle) return false;

  // advapi32.dll is linked by this program too, so the loaded module is the one the handles'
  // owner closes them with.
  UniqueServiceHandle manager(openManager(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  UniqueServiceHandle service(openService(manager.get(), serviceName, SERVICE_QUERY_STATUS));
  return service.is_valid();
}

}  // namespace platform
