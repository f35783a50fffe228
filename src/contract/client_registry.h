// The client key: where the run and the rest of the client meet in the registry, the view it
// lives in, and the values of a run.
#pragma once

#include <windows.h>

namespace contract {

// Below HKEY_LOCAL_MACHINE.
constexpr char kClientKeyPath[] = "SOFTWARE\\Quorvex\\Tarvane\\DAX\\Ombrel\\Ombrel";
// The client's own service, whose presence chooses the registry views.
constexpr char kClientServiceName[] = "daxService";

// The registry view of the client key: 64-bit when the client's service is installed, 32-bit
// otherwise. Chosen anew at every access.
REGSAM ClientRegistryView();

// Values of the client key.
constexpr char kLaunchSetupValue[] = "LaunchSetup";
constexpr char kSetupStatusValue[] = "DaxSetupStatus";
constexpr char kInstResultValue[] = "DaxInstResult";
constexpr DWORD kSetupStatusPending = 1;
constexpr DWORD kSetupStatusFinished = 2;

// A value of the client key in the client view. Reads leave `value` untouched and answer false
// when the value is missing or not a REG_DWORD; a failed write or delete is ignored, the run goes
// on without it.
bool ReadClientDword(const char* valueName, DWORD& value);
void WriteClientDword(const char* valueName, DWORD value);
void DeleteClientValue(const char* valueName);

}  // namespace contract
