#include "platform/owner_check.h"

#include <sddl.h>

#include <vector>

#include "platform/unique_handle.h"

namespace platform {

namespace {

// NT SERVICE\TrustedInstaller: S-1-5-80 followed by the hash of the service's name.
constexpr char kTrustedInstallerSid[] =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return ::IsWellKnownSid(sid, type) != FALSE;
}

bool IsTrustedInstaller(PSID sid) {
  PSID rawTrustedInstaller = nullptr;
  if (!::ConvertStringSidToSidA(kTrustedInstallerSid, &rawTrustedInstaller)) return false;
  UniqueLocalMemory trustedInstaller(rawTrustedInstaller);
  return ::EqualSid(sid, rawTrustedInstaller) != FALSE;
}

bool IsProcessUser(PSID sid) {
  HANDLE rawToken = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return false;
  UniqueKernelHandle token(rawToken);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<unsigned char> buffer(size);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return false;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  return ::EqualSid(sid, user->User.Sid) != FALSE;
}

}  // namespace

bool IsTrustedOwner(PSID sid, OwnerRule rule) {
  if (!sid || !::IsValidSid(sid)) return false;
  if (IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid)) {
    return true;
  }
  if (rule == OwnerRule::kFile && IsTrustedInstaller(sid)) return true;
  return IsProcessUser(sid);
}

std::optional<ObjectOwner> ReadOwner(HANDLE object, SE_OBJECT_TYPE type, OwnerRule rule) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  const DWORD status = ::GetSecurityInfo(object, type, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                         nullptr, nullptr, &rawDescriptor);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(status);
    return std::nullopt;
  }
  UniqueLocalMemory descriptor(rawDescriptor);
  if (!owner) {
    ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return std::nullopt;
  }
  return ObjectOwner{SidText(owner), IsTrustedOwner(owner, rule)};
}

std::string SidText(PSID sid) {
  LPSTR text = nullptr;
  if (!sid || !::ConvertSidToStringSidA(sid, &text)) return "(unreadable SID)";
  UniqueLocalMemory owned(text);
  return text;
}

}  // namespace platform
