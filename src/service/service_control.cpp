#include "service/service_control.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "diag/log.h"
#include "platform/unique_handle.h"
#include "service/process_entry.h"

namespace service {

using diag::LogLine;

const char* LastErrorText() {
  static char buffer[256];
  char* message = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      nullptr, ::GetLastError(), LANG_NEUTRAL, reinterpret_cast<char*>(&message), 0, nullptr);
  platform::UniqueLocalMemory owned(message);
  if (length == 0 || !message || length + 14 > sizeof(buffer)) {
    buffer[0] = '\0';
    return buffer;
  }
  // The system's text ends in a line break.
  message[length >= 2 ? length - 2 : 0] = '\0';
  std::snprintf(buffer, sizeof(buffer), "%s (0x%lx)", message, ::GetLastError());
  return buffer;
}

bool IsServiceInstalled(const char* serviceName) {
  // Loaded by full path from the system directory so that no advapi32.dll planted in the
  // package folder is picked up.
  char systemDirectory[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryA(systemDirectory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::string libraryPath = std::string(systemDirectory) + "\\advapi32.dll";
  platform::UniqueLibrary advapi(::LoadLibraryA(libraryPath.c_str()));
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

  SC_HANDLE manager = openManager(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  bool installed = false;
  if (SC_HANDLE serviceHandle = openService(manager, serviceName, SERVICE_QUERY_STATUS)) {
    closeHandle(serviceHandle);
    installed = true;
  }
  closeHandle(manager);
  return installed;
}

int DeleteRegistryValue(HKEY root, const char* subKey, const char* valueName, REGSAM view) {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExA(root, subKey, 0, KEY_ALL_ACCESS | view, key.put()) != ERROR_SUCCESS) {
    return 1;
  }
  return ::RegDeleteValueA(key.get(), valueName) == ERROR_SUCCESS ? 0 : 1;
}

int WriteRegistryDword(HKEY root, const char* subKey, const char* valueName, DWORD value,
                       REGSAM view) {
  platform::UniqueRegKey key;
  if (::RegCreateKeyExA(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | view,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return 1;
  }
  return ::RegSetValueExA(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS
             ? 0
             : 1;
}

REGSAM ClientRegistryView() {
  return IsServiceInstalled(kClientServiceName) ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

// Placeholders until service installation and control are built.
void mfn_Install() { LogLine("<mfn_Install> Begin."); }
void mfn_UnInstall() {
  LogLine("<mfn_UnInstall> Begin.");
  DeleteRegistryValue(HKEY_LOCAL_MACHINE, kClientKeyPath, "LaunchSetup", ClientRegistryView());
  LogLine("<mfn_UnInstall> End.");
}
void mfn_StartService() { LogLine("<mfn_StartService> Begin."); }
void mfn_StopService() {}
void CreateAgentService() {}
void ReconfigureAgentService() {}
void RemoveAgentService() {}
void StopAgentService() {}
void StartStatus() {}

}  // namespace service
