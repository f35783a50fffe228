// The named kernel objects through which the run and the rest of the client see each other.
#pragma once

namespace contract {

// Held by a run for its whole length; a second run, -install and -start stop when it exists.
constexpr char kRunGuardMutexName[] = "DaxInstall_exist";
// The guard that decides whether a run is in progress: the run guard's name in a private
// namespace of this alias, whose boundary holds the Administrators SID.
constexpr wchar_t kRunGuardNamespace[] = L"QuorvexDaxInstall";
constexpr wchar_t kPrivateRunGuardName[] = L"DaxInstall_exist";
// Set to ask a run to stop; the run sets the stopped event when it has ended.
constexpr char kStopEventName[] = "StopDaxInstServiceEvent";
constexpr char kStoppedEventName[] = "DaxInstServiceStoppedEvent";
// Held by a run for the rest of the client, open to every user.
constexpr char kServiceCtrlMutexName[] = "FenmarkServiceCtrlObjMutex";
// Held while setup runs.
constexpr char kNotifyPassMutexName[] = "Global\\TRVAutoUpgradeNotifyPass";

}  // namespace contract
