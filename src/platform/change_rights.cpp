#include "platform/change_rights.h"

#include <aclapi.h>

#include "platform/owner_check.h"
#include "platform/unique_handle.h"

namespace platform {

namespace {

// The layout of the object ACEs' optional members (winnt.h).
constexpr DWORD kObjectTypePresent = 0x1;
constexpr DWORD kInheritedObjectTypePresent = 0x2;

struct AceView {
  bool allows = false;
  bool denies = false;
  ACCESS_MASK mask = 0;
  PSID sid = nullptr;
};

// The parts of one ACE that an access check uses. A conditional deny (a callback ACE) may not
// apply, so it is not counted on; a conditional allow may, so it is.
AceView ViewAce(const ACE_HEADER* header) {
  AceView view;
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
      const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
      view.allows = true;
      view.mask = ace->Mask;
      view.sid = const_cast<DWORD*>(&ace->SidStart);
      break;
    }
    case ACCESS_DENIED_ACE_TYPE: {
      const auto* ace = reinterpret_cast<const ACCESS_DENIED_ACE*>(header);
      view.denies = true;
      view.mask = ace->Mask;
      view.sid = const_cast<DWORD*>(&ace->SidStart);
      break;
    }
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
      const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
      const auto* bytes = reinterpret_cast<const unsigned char*>(&ace->ObjectType);
      if (ace->Flags & kObjectTypePresent) bytes += sizeof(GUID);
      if (ace->Flags & kInheritedObjectTypePresent) bytes += sizeof(GUID);
      view.allows = true;
      view.mask = ace->Mask;
      view.sid = const_cast<unsigned char*>(bytes);
      break;
    }
    default:
      break;
  }
  if (view.sid && !::IsValidSid(view.sid)) view.sid = nullptr;
  if (view.sid) {
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    ::MapGenericMask(&view.mask, &mapping);
  }
  return view;
}

bool Is(PSID sid, WELL_KNOWN_SID_TYPE type) { return ::IsWellKnownSid(sid, type) != FALSE; }

// SIDs that no token holds: CREATOR OWNER and CREATOR GROUP only mean something when an ACE is
// inherited. OWNER RIGHTS stands for the owner, which must be a trusted one anyway.
bool MatchesNoOtherAccount(PSID sid) {
  return Is(sid, WinCreatorOwnerSid) || Is(sid, WinCreatorGroupSid) ||
         Is(sid, WinCreatorOwnerRightsSid) || IsTrustedOwner(sid, OwnerRule::kFile);
}

template <typename Visit>
void ForEachEffectiveAce(const ACL* dacl, Visit visit) {
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* raw = nullptr;
    if (!::GetAce(const_cast<ACL*>(dacl), index, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    // An inherit-only ACE gives its rights to children, not to this object.
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    const AceView view = ViewAce(header);
    if (view.sid) visit(view);
  }
}

// The rights that an access check grants a token holding `sid` and Everyone: in ACE order, each
// right is decided by the first ACE of either SID that names it.
ACCESS_MASK GrantedTo(const ACL* dacl, PSID sid) {
  ACCESS_MASK granted = 0;
  ACCESS_MASK denied = 0;
  ForEachEffectiveAce(dacl, [&](const AceView& ace) {
    if (!::EqualSid(ace.sid, sid) && !Is(ace.sid, WinWorldSid)) return;
    if (ace.denies) denied |= ace.mask & ~granted;
    if (ace.allows) granted |= ace.mask & ~denied;
  });
  return granted;
}

PathRights Unreadable(DWORD error) {
  PathRights result;
  result.verdict = PathRights::Verdict::kUnreadable;
  result.error = error;
  return result;
}

}  // namespace

bool FindForeignRight(const ACL* dacl, ACCESS_MASK watched, ForeignRight& found) {
  if (!dacl) {
    found.sid = "S-1-1-0";
    found.rights = watched;
    return true;
  }
  bool any = false;
  ForEachEffectiveAce(dacl, [&](const AceView& ace) {
    if (any || !ace.allows || MatchesNoOtherAccount(ace.sid)) return;
    const ACCESS_MASK rights = GrantedTo(dacl, ace.sid) & watched;
    if (rights == 0) return;
    found.sid = SidText(ace.sid);
    found.rights = rights;
    any = true;
  });
  return any;
}

PathRights JudgeDescriptor(PSECURITY_DESCRIPTOR descriptor, PathRole role) {
  PathRights result;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) owner = nullptr;
  if (!IsTrustedOwner(owner, OwnerRule::kFile)) {
    result.verdict = PathRights::Verdict::kForeignOwner;
    if (owner) result.sid = SidText(owner);
    return result;
  }
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    return Unreadable(::GetLastError());
  }
  ForeignRight foreign;
  if (FindForeignRight(present ? dacl : nullptr, ChangeRightsOf(role), foreign)) {
    result.verdict = PathRights::Verdict::kForeignRight;
    result.sid = foreign.sid;
    result.rights = foreign.rights;
    return result;
  }
  result.verdict = PathRights::Verdict::kPasses;
  return result;
}

PathRights CheckPathRights(const std::wstring& path, PathRole role) {
  // Shared in every way, so that the check never keeps the run's own opens out; a reparse point
  // is read as itself, not as what it leads to.
  UniqueFileHandle handle(::CreateFileW(
      path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) {
    const DWORD error = ::GetLastError();
    PathRights result = Unreadable(error);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      result.verdict = PathRights::Verdict::kMissing;
    }
    return result;
  }

  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  const DWORD status = ::GetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, nullptr, nullptr, &rawDescriptor);
  if (status != ERROR_SUCCESS) return Unreadable(status);
  UniqueLocalMemory descriptor(rawDescriptor);
  return JudgeDescriptor(rawDescriptor, role);
}

std::string RightNames(ACCESS_MASK rights, PathRole role) {
  const bool folder = role != PathRole::kFile;
  const struct {
    ACCESS_MASK right;
    const char* fileName;
    const char* folderName;
  } kNames[] = {
      {FILE_WRITE_DATA, "FILE_WRITE_DATA", "FILE_ADD_FILE"},
      {FILE_APPEND_DATA, "FILE_APPEND_DATA", "FILE_ADD_SUBDIRECTORY"},
      {FILE_WRITE_EA, "FILE_WRITE_EA", "FILE_WRITE_EA"},
      {FILE_DELETE_CHILD, "FILE_DELETE_CHILD", "FILE_DELETE_CHILD"},
      {FILE_WRITE_ATTRIBUTES, "FILE_WRITE_ATTRIBUTES", "FILE_WRITE_ATTRIBUTES"},
      {DELETE, "DELETE", "DELETE"},
      {WRITE_DAC, "WRITE_DAC", "WRITE_DAC"},
      {WRITE_OWNER, "WRITE_OWNER", "WRITE_OWNER"},
  };
  std::string text;
  for (const auto& name : kNames) {
    if (!(rights & name.right)) continue;
    if (!text.empty()) text += "|";
    text += folder ? name.folderName : name.fileName;
  }
  return text;
}

std::vector<std::wstring> AncestorsOf(const std::wstring& path) {
  // The root: "C:\", or "\\server\share\" (also behind "\\?\" and "\\?\UNC\").
  std::wstring::size_type root = 0;
  std::wstring::size_type start = 0;
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    start = 8;
  } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
    start = 4;
  } else if (path.compare(0, 2, L"\\\\") == 0) {
    start = 2;
  }
  if (start != 4 && start != 0) {
    const auto server = path.find(L'\\', start);
    const auto share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    root = share == std::wstring::npos ? path.size() : share + 1;
  } else {
    root = path.size() >= start + 3 && path[start + 1] == L':' && path[start + 2] == L'\\'
               ? start + 3
               : path.size();
  }
  std::vector<std::wstring> ancestors;
  std::wstring current = path;
  while (current.size() > root && current.back() == L'\\') current.pop_back();
  while (current.size() > root) {
    const auto separator = current.find_last_of(L'\\');
    if (separator == std::wstring::npos || separator + 1 < root) break;
    if (separator + 1 == root) {
      current.erase(root);
    } else {
      current.erase(separator);
    }
    ancestors.push_back(current);
  }
  return ancestors;
}

}  // namespace platform
