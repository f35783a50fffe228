#include "daxcheck/scratch_folder.h"

#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <vector>

#include "platform/unique_handle.h"

namespace daxcheck {

namespace {

// Whether this process's token counts as a member of Administrators (elevated, on Windows).
bool IsAdministrator() {
  BYTE sid[SECURITY_MAX_SID_SIZE] = {};
  DWORD size = sizeof(sid);
  BOOL member = FALSE;
  return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         ::CheckTokenMembership(nullptr, sid, &member) && member;
}

// The user of this process's token as SDDL text ("S-1-5-..."), or empty.
std::string OwnUserSid() {
  platform::UniqueKernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<BYTE> buffer(size);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
  char* text = nullptr;
  if (!::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    return {};
  }
  platform::UniqueLocalMemory owned(text);
  return text;
}

// SYSTEM and Administrators only, protected from what the temporary folder passes on: a program
// of the same user that is not elevated can neither swap the copy for a link while the elevated
// check writes it nor change it to falsify the prediction. A check that is not elevated gets its
// own account as well, or it could not use its folder (it then has nothing to gain from it).
std::string ScratchFolderSddl() {
  std::string sddl = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  if (!IsAdministrator()) {
    const std::string user = OwnUserSid();
    if (!user.empty()) sddl += "(A;OICI;FA;;;" + user + ")";
  }
  return sddl;
}

}  // namespace

ScratchFolder::ScratchFolder() {
  char base[MAX_PATH] = {};
  const DWORD length = ::GetTempPathA(MAX_PATH, base);
  if (length == 0 || length >= MAX_PATH) return;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(
          ScratchFolderSddl().c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return;
  }
  platform::UniqueLocalMemory ownedDescriptor(descriptor);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    char name[64];
    std::snprintf(name, sizeof(name), "daxcheck-%lu-%lu-%d", ::GetCurrentProcessId(),
                  ::GetTickCount(), attempt);
    const std::string candidate = std::string(base) + name;
    // A name that exists already (made by someone else first) is never used.
    if (::CreateDirectoryA(candidate.c_str(), &attributes)) path_ = candidate;
  }
}

ScratchFolder::~ScratchFolder() {
  if (path_.empty()) return;
  WIN32_FIND_DATAA match = {};
  platform::UniqueFindHandle search(::FindFirstFileA((path_ + "\\*").c_str(), &match));
  if (search) {
    do {
      const std::string file = path_ + "\\" + match.cFileName;
      if (!(match.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(file.c_str());
      }
    } while (::FindNextFileA(search.get(), &match));
  }
  search.reset();
  ::RemoveDirectoryA(path_.c_str());
}

}  // namespace daxcheck
