// Named kernel objects beside which the program runs, and which other accounts may have made
// first: the name under which a process reaches a service's object, a descriptor that names its
// owner for every object the program creates, and whether an object found under a name is the
// program's own.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "platform/unique_handle.h"

namespace platform {

// The name under which a process of session `ownSession` reaches the object that a service of
// session `servicesSession` creates under `plain`. A plain name lives in its creator's session;
// services run in session 0 on Windows, whose plain names are the global ones, so a desktop
// process needs "Global\" to reach them. Where services run in the desktop's session (Wine) the
// plain name is the service's. A name that already says where it lives is kept.
std::string NameInServicesNamespace(const std::string& plain, DWORD ownSession,
                                    DWORD servicesSession);

// The session of a running service's process, or 0 (where Windows runs every service) when no
// running service can be asked.
DWORD ServicesSessionId();

// NameInServicesNamespace for this process (the sessions are read at the first call).
std::string ServiceObjectName(const char* plain);

// The SID of the account this process runs as, in string form; nullopt when it cannot be read.
std::optional<std::string> ProcessUserSidText();

// A security descriptor for an object the program creates: the process's own account as its
// owner, so that the object shows whose it is (Wine gives an object created without an owner in
// its descriptor no owner at all), and the DACL `dacl`, in SDDL ("D:P(A;;...;;;SY)...").
class ObjectDescriptor {
 public:
  ObjectDescriptor() = default;
  // False when the process's account or the descriptor cannot be had; Attributes() is then null.
  bool Build(const std::string& dacl);
  // Points into this object: valid while it lives and is not built again.
  SECURITY_ATTRIBUTES* Attributes() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  UniqueLocalMemory descriptor_;
  SECURITY_ATTRIBUTES attributes_ = {};
};

enum class ObjectKind { kMutex, kEvent };

// What a name held when the program created or opened an object under it.
enum class Found {
  kAbsent,   // nothing (only when opening)
  kCreated,  // the program created the object
  kOwn,      // an object whose owner is SYSTEM, the Administrators or the program's account
  kForeign,  // an object of another owner, or one the program cannot open at all
};

struct NamedObject {
  UniqueKernelHandle handle;  // for kCreated and kOwn only
  Found found = Found::kAbsent;
  std::string owner;                // the SID of an existing object's owner, when it could be read
  DWORD openError = ERROR_SUCCESS;  // why the name could not be opened (then no handle)
};

// Creates the object (a mutex not initially owned unless `initialOwner`, or a manual-reset event
// that is not set), or opens the one of that name. An existing object counts as the program's own
// only when its owner passes the kernel-object owner rule; otherwise, and when the name exists
// but cannot be opened (access denied, an object of another kind), its handle is dropped.
NamedObject CreateNamedObject(ObjectKind kind, const std::string& name,
                              SECURITY_ATTRIBUTES* attributes, bool initialOwner = false);

// Opens the existing object of that name with `access` (and READ_CONTROL, to read its owner),
// never creating one: kAbsent, kOwn or kForeign.
NamedObject OpenNamedObject(ObjectKind kind, const std::string& name, DWORD access);

// "the mutex" or "the event", for the texts that name an object.
const char* ObjectKindText(ObjectKind kind);

// What a foreign object showed, for the record: "owner S-1-5-32-545", "no owner", or
// "owner unknown, cannot be opened: error 5".
std::string ForeignOwnerText(const NamedObject& object);

}  // namespace platform
