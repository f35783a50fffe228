// The benchmark's baseline: the least a one-shot service can do for the same job. It starts
// setup.exe beside itself, waits for it, reports stopped and deletes its own registration.
// Everything daxinst.exe does beyond this is the agent's overhead.
#include <windows.h>

#include <string>

#include "platform/unique_handle.h"

namespace {

char g_serviceName[] = "DaxBenchBaseline";
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;

void Report(DWORD state) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  ::SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI ControlHandler(DWORD, DWORD, void*, void*) { return NO_ERROR; }

void RunSetup() {
  char path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  std::string setup = path;
  setup = setup.substr(0, setup.find_last_of('\\')) + "\\setup.exe";
  std::string commandLine = "\"" + setup + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessA(setup.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &process)) {
    return;
  }
  platform::UniqueKernelHandle processHandle(process.hProcess);
  platform::UniqueKernelHandle threadHandle(process.hThread);
  ::WaitForSingleObject(processHandle.get(), INFINITE);
}

void WINAPI ServiceMain(DWORD, char**) {
  g_statusHandle = ::RegisterServiceCtrlHandlerExA(g_serviceName, ControlHandler, nullptr);
  if (!g_statusHandle) return;
  Report(SERVICE_RUNNING);
  RunSetup();
  Report(SERVICE_STOPPED);
}

void DeleteOwnRegistration() {
  platform::UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return;
  platform::UniqueServiceHandle service(::OpenServiceA(manager.get(), g_serviceName, DELETE));
  if (service) ::DeleteService(service.get());
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const SERVICE_TABLE_ENTRYA table[] = {{g_serviceName, ServiceMain}, {nullptr, nullptr}};
  ::StartServiceCtrlDispatcherA(table);
  DeleteOwnRegistration();
  return 0;
}
