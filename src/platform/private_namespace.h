// A mutex in a private object namespace whose boundary holds the Administrators SID.
//
// Only a process whose token holds the Administrators group (LocalSystem's does) can create or
// open such a namespace, so no standard user can create the mutex first, hold it, or give it a
// DACL that locks the program out: a guard that a standard user can neither fake nor block. The
// namespace calls exist from Windows Vista on and are looked up at run time; Wine 8 has none, and
// a test puts its own calls in through the seam below.
#pragma once

#include <windows.h>

#include <string>

#include "platform/unique_handle.h"

namespace platform {

// The namespace calls of kernel32.dll, or a test's stand-in for them.
class PrivateNamespaceCalls {
 public:
  virtual ~PrivateNamespaceCalls() = default;
  // False where the system lacks the calls; none of the others is then used.
  virtual bool Available() = 0;
  virtual HANDLE CreateBoundaryDescriptor(const wchar_t* name) = 0;
  virtual bool AddSidToBoundaryDescriptor(HANDLE* boundary, PSID sid) = 0;
  virtual void DeleteBoundaryDescriptor(HANDLE boundary) = 0;
  virtual HANDLE CreatePrivateNamespace(SECURITY_ATTRIBUTES* attributes, HANDLE boundary,
                                        const wchar_t* alias) = 0;
  virtual HANDLE OpenPrivateNamespace(HANDLE boundary, const wchar_t* alias) = 0;
  virtual void ClosePrivateNamespace(HANDLE privateNamespace) = 0;
};

// Puts calls in for the whole process and returns the ones it replaces (null: the system's).
// Handles made through one set of calls must be closed before another is put in.
PrivateNamespaceCalls* UsePrivateNamespaceCallsForTesting(PrivateNamespaceCalls* calls);
PrivateNamespaceCalls& CurrentPrivateNamespaceCalls();

struct BoundaryDescriptorTraits {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept {
    CurrentPrivateNamespaceCalls().DeleteBoundaryDescriptor(h);
  }
};
struct PrivateNamespaceTraits {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { CurrentPrivateNamespaceCalls().ClosePrivateNamespace(h); }
};
using UniqueBoundaryDescriptor = UniqueHandle<BoundaryDescriptorTraits>;
using UniquePrivateNamespace = UniqueHandle<PrivateNamespaceTraits>;

class PrivateGuard {
 public:
  // The namespace `alias` (also the boundary's name) and the mutex `mutexName` in it.
  PrivateGuard(std::wstring alias, std::wstring mutexName);
  PrivateGuard(const PrivateGuard&) = delete;
  PrivateGuard& operator=(const PrivateGuard&) = delete;

  enum class State {
    kUnavailable,  // the system has no private namespaces
    kRefused,      // the namespace can neither be created nor opened (error() says why)
    kTaken,        // this guard holds the mutex
    kHeld,         // another process holds it
    kFree,         // nobody holds it (Probe only)
  };

  // For a run: creates the namespace, or opens it where another run has made it, and creates
  // the mutex in it, with these descriptors. kTaken, kHeld, kRefused or kUnavailable.
  State Take(SECURITY_ATTRIBUTES* namespaceAttributes, SECURITY_ATTRIBUTES* mutexAttributes);
  // For a check: whether a run holds the mutex, creating nothing (a namespace that only a check
  // had made would go with the check's handle, and the run that opened it with it).
  // kFree, kHeld, kRefused or kUnavailable.
  State Probe();
  // Lets go of the mutex and the namespace.
  void Release();

  DWORD error() const { return error_; }
  // The mutex's full name, "alias\name".
  std::wstring MutexPath() const { return alias_ + L"\\" + mutexName_; }

 private:
  bool MakeBoundary();

  std::wstring alias_;
  std::wstring mutexName_;
  DWORD error_ = ERROR_SUCCESS;
  // Closed in the reverse order: the mutex, then the namespace, then the boundary.
  UniqueBoundaryDescriptor boundary_;
  UniquePrivateNamespace namespace_;
  UniqueKernelHandle mutex_;
};

}  // namespace platform
