// The named objects of a run: the descriptor each one the program creates gets, what the run
// does when another account made one first, and how the verbs and daxcheck.exe tell whether a
// run is in progress.
//
// A service's plain names live in the global namespace, where creating a mutex or an event needs
// no privilege: any user can make one of these names first. An existing object is the run's own
// only when its owner is SYSTEM, the Administrators or the program's account; anything else, or
// a name the program cannot open, is recorded (Application log and log line) and the run goes on
// as if the object were not there.
#pragma once

#include <windows.h>

#include <string>

#include "platform/named_object.h"
#include "platform/private_namespace.h"
#include "platform/unique_handle.h"

namespace upgrade {

enum class RunObject {
  kRunGuard,           // "DaxInstall_exist", which the rest of the client watches
  kPrivateRunGuard,    // the same name in the run guard's private namespace
  kRunGuardNamespace,  // that namespace
  kStopEvent,
  kStoppedEvent,
  kServiceCtrlMutex,
  kNotifyPass,
};

// The DACL, in SDDL, of each object the program creates (its owner is the process's account).
std::string RunObjectDacl(RunObject object);

// The private run guard as the run and the checks name it.
platform::PrivateGuard MakePrivateRunGuard();

enum class GuardOutcome { kTaken, kAnotherRun, kFailed };

// Step 5 of a run: takes the private guard where the system has private namespaces and creates
// the public one. kAnotherRun when either is already held by a run (a public guard of the
// program's own account counts as one); a public guard of another account is recorded and left
// alone. kFailed when a descriptor cannot be built.
GuardOutcome TakeRunGuards(platform::PrivateGuard& privateGuard,
                           platform::UniqueKernelHandle& publicGuard);

// An object the run creates: its handle, or none when another account made it first (recorded)
// or it could not be created for another reason (`failure`).
struct CreatedObject {
  enum class Failure { kNone, kDescriptor, kCreation };
  platform::UniqueKernelHandle handle;
  Failure failure = Failure::kNone;
};

// Step 7: the stop event. Another account's cannot ask this run to stop.
CreatedObject CreateStopEvent();
// Step 11: "FenmarkServiceCtrlObjMutex", open to every user for waiting, to nobody but SYSTEM
// and the Administrators for changing: `descriptor` is built from RunObjectDacl(kServiceCtrlMutex).
CreatedObject CreateServiceCtrlMutex(platform::ObjectDescriptor& descriptor);
// The stop routine's stopped event, which the run's end sequence sets.
CreatedObject CreateStoppedEvent();
// The stop routine's handle on the run's stop event, to set it; none when there is no stop event
// or another account made it (recorded).
platform::UniqueKernelHandle OpenStopEventToSet();
// The end sequence's handle on the stopped event, to set it; none when nobody waits or another
// account made it (recorded).
platform::UniqueKernelHandle OpenStoppedEventToSet();
// The notify mutex while setup runs, initially owned: kCreated, kOwn (it existed) or kForeign
// (recorded; setup runs all the same).
platform::NamedObject CreateNotifyPassMutex();

// Whether a run is in progress, as a verb or daxcheck.exe sees it: the Service Control Manager's
// state of the service, the private guard, and the public guard under the name the service uses.
struct RunLook {
  bool serviceActive = false;  // the service exists and is not stopped
  DWORD serviceState = 0;      // 0: not installed or unknown
  platform::PrivateGuard::State privateGuard = platform::PrivateGuard::State::kUnavailable;
  std::string publicName;
  platform::NamedObject publicGuard;

  bool InProgress() const {
    return serviceActive || privateGuard == platform::PrivateGuard::State::kHeld ||
           publicGuard.found == platform::Found::kOwn;
  }
};
RunLook LookForARun();

// For -install, -start and -debug: whether a run is in progress. A public guard of another
// account is recorded under the verb's tag and does not count.
bool RunInProgressForVerb(const char* tag);

}  // namespace upgrade
