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
// otherwise. While a run has fixed it (ClientViewForRun) every access uses the run's view;
// otherwise it is chosen anew at every access.
REGSAM ClientRegistryView();

// Fixes the client view for one run, from its start to the end of its end sequence. A setup that
// installs or removes "daxService" would otherwise split the run's values over the two views: a
// counter and a pending status left for good in the old one, a result deleted in one and written
// in the other. One run at a time in a process; not copyable.
class ClientViewForRun {
 public:
  ClientViewForRun();
  ~ClientViewForRun();
  ClientViewForRun(const ClientViewForRun&) = delete;
  ClientViewForRun& operator=(const ClientViewForRun&) = delete;
  REGSAM view() const { return view_; }

 private:
  REGSAM view_;
};

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
// The removal of the service ends every run of the package, whichever view that run chose.
void DeleteClientValueInBothViews(const char* valueName);

}  // namespace contract
