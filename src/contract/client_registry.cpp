#include "contract/client_registry.h"

#include <atomic>

#include "platform/registry.h"
#include "platform/service_presence.h"

namespace contract {

namespace {

// 0 while no run has fixed the view.
std::atomic<REGSAM> g_runView{0};

REGSAM ViewFromTheClientService() {
  return platform::IsServiceInstalled(kClientServiceName) ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

}  // namespace

REGSAM ClientRegistryView() {
  const REGSAM pinned = g_runView.load();
  return pinned ? pinned : ViewFromTheClientService();
}

ClientViewForRun::ClientViewForRun() : view_(ViewFromTheClientService()) { g_runView = view_; }

ClientViewForRun::~ClientViewForRun() { g_runView = 0; }

bool ReadClientDword(const char* valueName, DWORD& value) {
  return platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kClientKeyPath, valueName,
                                     ClientRegistryView(), value);
}

void WriteClientDword(const char* valueName, DWORD value) {
  platform::WriteRegistryDword(HKEY_LOCAL_MACHINE, kClientKeyPath, valueName, value,
                               ClientRegistryView());
}

void DeleteClientValue(const char* valueName) {
  platform::DeleteRegistryValue(HKEY_LOCAL_MACHINE, kClientKeyPath, valueName,
                                ClientRegistryView());
}

void DeleteClientValueInBothViews(const char* valueName) {
  for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    platform::DeleteRegistryValue(HKEY_LOCAL_MACHINE, kClientKeyPath, valueName, view);
  }
}

}  // namespace contract
