// Private namespaces for a system that has none (Wine 8): each "namespace" is a named directory
// object in the session's object directory, so that "alias\name" reaches objects in it exactly
// as it would in a private namespace, and it goes when its last handle closes. The boundary's
// SIDs and the namespace's descriptor are kept for the test to look at, and whether the caller is
// inside the boundary is the test's to say.
#pragma once

#include <windows.h>

#include <winternl.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "platform/private_namespace.h"
#include "platform/unique_handle.h"
#include "support/named_object_support.h"

namespace testing_support {

class FakePrivateNamespaces final : public platform::PrivateNamespaceCalls {
 public:
  struct Boundary {
    std::wstring name;
    std::vector<std::string> sids;
  };

  FakePrivateNamespaces() { previous_ = platform::UsePrivateNamespaceCallsForTesting(this); }
  ~FakePrivateNamespaces() override { platform::UsePrivateNamespaceCallsForTesting(previous_); }
  FakePrivateNamespaces(const FakePrivateNamespaces&) = delete;
  FakePrivateNamespaces& operator=(const FakePrivateNamespaces&) = delete;

  bool available = true;
  // The caller's token holds every SID of the boundary; false: creating and opening fail with
  // ERROR_ACCESS_DENIED, as for a standard user.
  bool callerInBoundary = true;

  // What the calls saw.
  std::vector<std::string> boundarySids;  // of the last boundary a namespace was asked with
  std::string namespaceOwner;             // of the last namespace created
  std::vector<Ace> namespaceAces;
  int creates = 0;
  int opens = 0;
  int liveBoundaries = 0;

  bool Available() override { return available; }

  HANDLE CreateBoundaryDescriptor(const wchar_t* name) override {
    ++liveBoundaries;
    return new Boundary{name, {}};
  }

  // Moves the descriptor, as the system's may: the caller must use the new handle.
  bool AddSidToBoundaryDescriptor(HANDLE* boundary, PSID sid) override {
    auto* old = static_cast<Boundary*>(*boundary);
    auto* moved = new Boundary(*old);
    LPSTR text = nullptr;
    if (!::ConvertSidToStringSidA(sid, &text)) return false;
    moved->sids.push_back(text);
    ::LocalFree(text);
    delete old;
    *boundary = moved;
    return true;
  }

  void DeleteBoundaryDescriptor(HANDLE boundary) override {
    --liveBoundaries;
    delete static_cast<Boundary*>(boundary);
  }

  HANDLE CreatePrivateNamespace(SECURITY_ATTRIBUTES* attributes, HANDLE boundary,
                                const wchar_t* alias) override {
    ++creates;
    if (!Enter(boundary)) return nullptr;
    HANDLE made = Directory(L"NtCreateDirectoryObject", alias,
                            attributes ? attributes->lpSecurityDescriptor : nullptr);
    if (made) {
      // As the system keeps it.
      const ObjectSecurity security = ReadSecurity(made);
      namespaceOwner = security.owner;
      namespaceAces = security.aces;
    }
    return made;
  }

  HANDLE OpenPrivateNamespace(HANDLE boundary, const wchar_t* alias) override {
    ++opens;
    if (!Enter(boundary)) return nullptr;
    return Directory(L"NtOpenDirectoryObject", alias, nullptr);
  }

  void ClosePrivateNamespace(HANDLE privateNamespace) override { ::CloseHandle(privateNamespace); }

 private:
  bool Enter(HANDLE boundary) {
    boundarySids = static_cast<Boundary*>(boundary)->sids;
    if (callerInBoundary) return true;
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }

  static HANDLE Directory(const wchar_t* call, const wchar_t* alias, void* descriptor) {
    using DirectoryFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
    using ToErrorFn = ULONG(NTAPI*)(NTSTATUS);
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const std::string narrow(call, call + wcslen(call));
    auto directory = reinterpret_cast<DirectoryFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, narrow.c_str())));
    auto toError = reinterpret_cast<ToErrorFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    std::wstring path =
        L"\\Sessions\\" + std::to_wstring(session) + L"\\BaseNamedObjects\\" + alias;
    UNICODE_STRING name;
    name.Buffer = &path[0];
    name.Length = static_cast<USHORT>(path.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES objectAttributes = {};
    objectAttributes.Length = sizeof objectAttributes;
    objectAttributes.ObjectName = &name;
    objectAttributes.Attributes = 0x40;  // OBJ_CASE_INSENSITIVE
    objectAttributes.SecurityDescriptor = descriptor;
    HANDLE handle = nullptr;
    const NTSTATUS status =
        directory(&handle, 0xf000f /* DIRECTORY_ALL_ACCESS */, &objectAttributes);
    if (status == 0) return handle;
    // STATUS_OBJECT_NAME_COLLISION becomes ERROR_ALREADY_EXISTS, as CreatePrivateNamespace's.
    ::SetLastError(toError(status));
    return nullptr;
  }

  platform::PrivateNamespaceCalls* previous_ = nullptr;
};

}  // namespace testing_support
