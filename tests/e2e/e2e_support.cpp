#include "e2e/e2e_support.h"

#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace e2e {

PackageFolder::PackageFolder(const std::string& name, const char* variant) : folder_(name) {
  EXPECT_TRUE(testing_support::CopyFileTo(testing_support::ExecutableDirectory() + "\\" + variant,
                                          executable()))
      << "could not stage " << executable();
}

std::optional<DWORD> PackageFolder::Run(const std::string& arguments, DWORD timeoutMs) const {
  std::string commandLine = "\"" + executable() + "\"";
  if (!arguments.empty()) commandLine += " " + arguments;
  return testing_support::RunAndWait(commandLine, timeoutMs, path().c_str());
}

bool PackageFolder::WaitForMessage(const std::string& message, DWORD timeoutMs) const {
  const DWORD start = ::GetTickCount();
  do {
    const auto messages = Messages();
    if (std::find(messages.begin(), messages.end(), message) != messages.end()) return true;
    ::Sleep(100);
  } while (::GetTickCount() - start < timeoutMs);
  return false;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs, DWORD interval) {
  const ULONGLONG end = ::GetTickCount64() + timeoutMs;
  while (!done()) {
    if (::GetTickCount64() >= end) return false;
    ::Sleep(interval);
  }
  return true;
}

platform::UniqueServiceHandle OpenDaxinst(DWORD access) {
  platform::UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  return platform::UniqueServiceHandle(::OpenServiceA(manager.get(), "Daxinst", access));
}

bool ServiceExists() { return OpenDaxinst(SERVICE_QUERY_STATUS).is_valid(); }

void RemoveDaxinst() {
  if (platform::UniqueServiceHandle service = OpenDaxinst()) {
    SERVICE_STATUS status = {};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    ::DeleteService(service.get());
  }
  EXPECT_TRUE(WaitUntil([] { return !ServiceExists(); }, 60000)) << "service Daxinst still exists";
}

int CountProcessesNamed(const char* name) {
  platform::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = ::Process32First(snapshot.get(), &entry); more;
       more = ::Process32Next(snapshot.get(), &entry)) {
    if (_stricmp(entry.szExeFile, name) == 0) ++count;
  }
  return count;
}

std::vector<std::string> RunOpening(const std::string& packageDirectory) {
  return {"<ServiceStart>To begin the service",
          "<ServiceStart>Set up pending",
          "<ServiceStart>If already running",
          "<ServiceStart>To create event",
          "<ServiceStart>To create mutex",
          "<ServiceStart>To wait for stop event",
          "DaxInst: Storage Path=" + packageDirectory};
}

std::vector<std::string> RunClosing() {
  return {"DaxInst: Stopping Daxinst ...", "================= End ==================="};
}

}  // namespace e2e
