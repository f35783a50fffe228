#include "upgrade/run_objects.h"

#include <cctype>
#include <optional>
#include <utility>

#include "contract/event_report.h"
#include "contract/named_objects.h"
#include "contract/service_names.h"
#include "diag/log.h"

namespace upgrade {

using contract::EventId;
using contract::EventKind;
using contract::RecordEvent;
using platform::Found;
using platform::NamedObject;
using platform::ObjectKind;

namespace {

// Access masks, spelt out: Wine keeps generic rights in a new object's DACL as given.
constexpr char kMutexAll[] = "0x1f0001";     // MUTEX_ALL_ACCESS
constexpr char kEventAll[] = "0x1f0003";     // EVENT_ALL_ACCESS
constexpr char kDirectoryAll[] = "0xf000f";  // DIRECTORY_ALL_ACCESS
constexpr char kWaitAndRead[] = "0x120001";  // SYNCHRONIZE | READ_CONTROL | MUTANT_QUERY_STATE

std::string SystemAndAdministrators(const char* rights) {
  return std::string("(A;;") + rights + ";;;SY)(A;;" + rights + ";;;BA)";
}

std::string ObjectName(const char* plain) { return platform::ServiceObjectName(plain); }

// "DaxInst: The mutex "name" was made by another account (owner ...): <what the run does>."
std::string ForeignText(const char* tag, ObjectKind kind, const std::string& name,
                        const NamedObject& object, const char* consequence) {
  std::string what = platform::ObjectKindText(kind);
  what[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(what[0])));
  return std::string(tag) + " " + what + " \"" + name + "\" was made by another account (" +
         platform::ForeignOwnerText(object) + "): " + consequence + ".";
}

// Another account's object, or a name the program may not open or that names an object of
// another kind. Any other failure is the program's own (no memory, no handles left).
bool MadeByAnother(const NamedObject& object) {
  return object.found == Found::kForeign &&
         (object.openError == ERROR_SUCCESS || object.openError == ERROR_ACCESS_DENIED ||
          object.openError == ERROR_INVALID_HANDLE);
}

void RecordForeign(EventId id, const char* tag, ObjectKind kind, const std::string& name,
                   const NamedObject& object, const char* consequence) {
  RecordEvent(EventKind::kWarning, id, ForeignText(tag, kind, name, object, consequence));
}

// Creates one of the run's objects with its descriptor; another account's is recorded.
CreatedObject CreateWithDescriptor(platform::ObjectDescriptor& descriptor, ObjectKind kind,
                                   const char* plain, EventId id, const char* consequence) {
  CreatedObject created;
  const std::string name = ObjectName(plain);
  NamedObject object = platform::CreateNamedObject(kind, name, descriptor.Attributes());
  if (MadeByAnother(object)) {
    RecordForeign(id, "DaxInst:", kind, name, object, consequence);
    return created;
  }
  if (!object.handle) created.failure = CreatedObject::Failure::kCreation;
  created.handle = std::move(object.handle);
  return created;
}

CreatedObject CreateRunObject(RunObject which, ObjectKind kind, const char* plain, EventId id,
                              const char* consequence) {
  platform::ObjectDescriptor descriptor;
  if (!descriptor.Build(RunObjectDacl(which))) {
    CreatedObject failed;
    failed.failure = CreatedObject::Failure::kDescriptor;
    return failed;
  }
  return CreateWithDescriptor(descriptor, kind, plain, id, consequence);
}

// Opens an existing object of the run to set it; another account's is recorded and left alone.
platform::UniqueKernelHandle OpenToSet(ObjectKind kind, const char* plain, EventId id,
                                       const char* consequence) {
  const std::string name = ObjectName(plain);
  NamedObject object = platform::OpenNamedObject(kind, name, EVENT_MODIFY_STATE);
  if (MadeByAnother(object)) {
    RecordForeign(id, "DaxInst:", kind, name, object, consequence);
  }
  return std::move(object.handle);
}

std::optional<DWORD> AgentServiceState() {
  platform::UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return std::nullopt;
  platform::UniqueServiceHandle service(
      ::OpenServiceA(manager.get(), contract::kServiceName, SERVICE_QUERY_STATUS));
  if (!service) return std::nullopt;
  SERVICE_STATUS status = {};
  if (!::QueryServiceStatus(service.get(), &status)) return std::nullopt;
  return status.dwCurrentState;
}

}  // namespace

std::string RunObjectDacl(RunObject object) {
  switch (object) {
    case RunObject::kRunGuard:
    case RunObject::kServiceCtrlMutex:
    case RunObject::kNotifyPass:
      // The rest of the client, in any account, watches these: it may wait on them and read
      // them, never change who may.
      return "D:P" + SystemAndAdministrators(kMutexAll) + "(A;;" + kWaitAndRead + ";;;WD)";
    case RunObject::kPrivateRunGuard:
      return "D:P" + SystemAndAdministrators(kMutexAll);
    case RunObject::kRunGuardNamespace:
      return "D:P" + SystemAndAdministrators(kDirectoryAll);
    case RunObject::kStopEvent:
    case RunObject::kStoppedEvent:
      return "D:P" + SystemAndAdministrators(kEventAll);
  }
  return "D:P";
}

platform::PrivateGuard MakePrivateRunGuard() {
  return platform::PrivateGuard(contract::kRunGuardNamespace, contract::kPrivateRunGuardName);
}

GuardOutcome TakeRunGuards(platform::PrivateGuard& privateGuard,
                           platform::UniqueKernelHandle& publicGuard) {
  platform::ObjectDescriptor namespaceDescriptor;
  platform::ObjectDescriptor privateDescriptor;
  platform::ObjectDescriptor publicDescriptor;
  if (!namespaceDescriptor.Build(RunObjectDacl(RunObject::kRunGuardNamespace)) ||
      !privateDescriptor.Build(RunObjectDacl(RunObject::kPrivateRunGuard)) ||
      !publicDescriptor.Build(RunObjectDacl(RunObject::kRunGuard))) {
    diag::LogLine("Create security attributes failed");
    return GuardOutcome::kFailed;
  }

  switch (privateGuard.Take(namespaceDescriptor.Attributes(), privateDescriptor.Attributes())) {
    case platform::PrivateGuard::State::kHeld:
      return GuardOutcome::kAnotherRun;
    case platform::PrivateGuard::State::kRefused:
      RecordEvent(EventKind::kWarning, EventId::kPrivateRunGuardRefused,
                  "DaxInst: The private namespace of the run guard cannot be created or opened "
                  "(error " +
                      std::to_string(privateGuard.error()) + "): the run relies on \"" +
                      contract::kRunGuardMutexName + "\" alone.");
      break;
    default:
      break;
  }

  const std::string name = ObjectName(contract::kRunGuardMutexName);
  NamedObject guard =
      platform::CreateNamedObject(ObjectKind::kMutex, name, publicDescriptor.Attributes());
  switch (guard.found) {
    case Found::kCreated:
      publicGuard = std::move(guard.handle);
      return GuardOutcome::kTaken;
    case Found::kOwn:
      privateGuard.Release();
      return GuardOutcome::kAnotherRun;
    default:
      // A guard that cannot be created for a reason of the program's own leaves the run
      // unguarded by it, as it always did.
      if (!MadeByAnother(guard)) return GuardOutcome::kTaken;
      RecordForeign(EventId::kForeignRunGuard, "DaxInst:", ObjectKind::kMutex, name, guard,
                    "it is not taken for another run in progress, and the run goes on without it");
      return GuardOutcome::kTaken;
  }
}

CreatedObject CreateStopEvent() {
  return CreateRunObject(
      RunObject::kStopEvent, ObjectKind::kEvent, contract::kStopEventName,
      EventId::kForeignStopEvent,
      "it cannot ask this run to stop, and the run goes on without a stop event");
}

CreatedObject CreateServiceCtrlMutex(platform::ObjectDescriptor& descriptor) {
  return CreateWithDescriptor(descriptor, ObjectKind::kMutex, contract::kServiceCtrlMutexName,
                              EventId::kForeignServiceCtrlMutex,
                              "the run goes on without holding it");
}

CreatedObject CreateStoppedEvent() {
  return CreateRunObject(RunObject::kStoppedEvent, ObjectKind::kEvent, contract::kStoppedEventName,
                         EventId::kForeignStoppedEvent,
                         "the stop routine asks the run to stop without waiting on it");
}

platform::UniqueKernelHandle OpenStopEventToSet() {
  return OpenToSet(ObjectKind::kEvent, contract::kStopEventName, EventId::kForeignStopEvent,
                   "the stop request is not sent through it");
}

platform::UniqueKernelHandle OpenStoppedEventToSet() {
  return OpenToSet(ObjectKind::kEvent, contract::kStoppedEventName, EventId::kForeignStoppedEvent,
                   "the run does not set it");
}

NamedObject CreateNotifyPassMutex() {
  platform::ObjectDescriptor descriptor;
  NamedObject object;
  if (!descriptor.Build(RunObjectDacl(RunObject::kNotifyPass))) return object;
  object = platform::CreateNamedObject(ObjectKind::kMutex, contract::kNotifyPassMutexName,
                                       descriptor.Attributes(), true);
  if (MadeByAnother(object)) {
    RecordForeign(EventId::kForeignNotifyPassMutex, "DaxInst:", ObjectKind::kMutex,
                  contract::kNotifyPassMutexName, object, "setup runs without it being held");
  }
  return object;
}

RunLook LookForARun() {
  RunLook look;
  if (const auto state = AgentServiceState()) {
    look.serviceState = *state;
    look.serviceActive = *state != SERVICE_STOPPED;
  }
  look.privateGuard = MakePrivateRunGuard().Probe();
  look.publicName = ObjectName(contract::kRunGuardMutexName);
  look.publicGuard = platform::OpenNamedObject(ObjectKind::kMutex, look.publicName, SYNCHRONIZE);
  look.publicGuard.handle.reset();
  return look;
}

bool RunInProgressForVerb(const char* tag) {
  RunLook look = LookForARun();
  if (look.publicGuard.found == Found::kForeign) {
    RecordForeign(EventId::kForeignRunGuardAtVerb, tag, ObjectKind::kMutex, look.publicName,
                  look.publicGuard, "it is not taken for a run in progress");
  }
  return look.InProgress();
}

}  // namespace upgrade
