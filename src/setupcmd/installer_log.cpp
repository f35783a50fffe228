#include "setupcmd/installer_log.h"

#include <sddl.h>

#include <atomic>
#include <cstdio>

#include "platform/owner_check.h"
#include "platform/security_attributes.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"

namespace setupcmd {

namespace {

// Owned by Administrators, so that its owner is one the rest of the system trusts in every
// build (an object made without an owner in its descriptor gets none under Wine); protected, so
// that nothing of C:\Windows\TEMP's rights for users is inherited.
constexpr wchar_t kPrivateFolderDescriptor[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr int kFolderAttempts = 16;

std::atomic<unsigned> g_folderCounter{0};

// Hard to guess: the clock's finest count, the process and a count of this process's folders.
std::string UniqueFolderName() {
  LARGE_INTEGER counter = {};
  ::QueryPerformanceCounter(&counter);
  char name[96];
  std::snprintf(name, sizeof(name), "DaxInstLog-%08lx-%016llx-%u",
                static_cast<unsigned long>(::GetCurrentProcessId()),
                static_cast<unsigned long long>(counter.QuadPart) ^ ::GetTickCount64(),
                g_folderCounter.fetch_add(1));
  return name;
}

}  // namespace

InstallerLogCheck JudgeInstallerLog(const InstallerLogFacts& facts) {
  InstallerLogCheck check;
  check.error = facts.openError;
  if (facts.openError != ERROR_SUCCESS) {
    check.place = facts.openError == ERROR_FILE_NOT_FOUND || facts.openError == ERROR_PATH_NOT_FOUND
                      ? InstallerLogPlace::kAbsent
                      : InstallerLogPlace::kNotOpened;
    return check;
  }
  check.links = facts.links;
  check.owner = facts.ownerSid;
  if (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    check.place = InstallerLogPlace::kReparsePoint;
  } else if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) || !facts.diskFile) {
    check.place = InstallerLogPlace::kFolder;
  } else if (facts.links > 1) {
    check.place = InstallerLogPlace::kLinked;
  } else {
    PSID owner = nullptr;
    bool trusted = false;
    if (!facts.ownerSid.empty() && ::ConvertStringSidToSidA(facts.ownerSid.c_str(), &owner)) {
      platform::UniqueLocalMemory ownerMemory(owner);
      trusted = platform::IsTrustedOwner(owner, platform::OwnerRule::kFile);
    }
    check.place = trusted ? InstallerLogPlace::kTrustedFile : InstallerLogPlace::kUntrustedOwner;
  }
  return check;
}

InstallerLogCheck CheckInstallerLogPath(const std::string& path) {
  InstallerLogFacts facts;
  const std::wstring widePath = platform::WidenToNulStrict(path.c_str());
  if (widePath.empty()) {
    facts.openError = ERROR_NO_UNICODE_TRANSLATION;
    return JudgeInstallerLog(facts);
  }
  // Read and write data: a holder that keeps writers out makes this open fail, as it would make
  // Windows Installer's. The open changes nothing; the name is not followed.
  platform::UniqueFileHandle opened(::CreateFileW(
      widePath.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_READ_DATA | FILE_WRITE_DATA,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!opened || !::GetFileInformationByHandle(opened.get(), &information)) {
    facts.openError = ::GetLastError();
    return JudgeInstallerLog(facts);
  }
  facts.attributes = information.dwFileAttributes;
  facts.links = information.nNumberOfLinks;
  facts.diskFile = ::GetFileType(opened.get()) == FILE_TYPE_DISK;
  if (const auto owner =
          platform::ReadOwner(opened.get(), SE_FILE_OBJECT, platform::OwnerRule::kFile)) {
    facts.ownerSid = owner->sid;
  }
  return JudgeInstallerLog(facts);
}

std::string DescribeInstallerLogPlace(const InstallerLogCheck& check) {
  switch (check.place) {
    case InstallerLogPlace::kAbsent:
      return "nothing is there";
    case InstallerLogPlace::kTrustedFile:
      return "a plain file of " + check.owner;
    case InstallerLogPlace::kFolder:
      return "a folder is there";
    case InstallerLogPlace::kReparsePoint:
      return "a reparse point is there";
    case InstallerLogPlace::kLinked:
      return "a file with " + std::to_string(check.links) + " links is there";
    case InstallerLogPlace::kUntrustedOwner:
      return "a file of " + (check.owner.empty() ? std::string("no owner") : check.owner) +
             " is there";
    case InstallerLogPlace::kNotOpened:
      break;
  }
  return "something is there that cannot be opened (error " + std::to_string(check.error) + ")";
}

bool CreatePrivateLogFolder(const std::string& parent, std::string& logPath) {
  platform::SddlAttributes attributes;
  if (!attributes.Build(kPrivateFolderDescriptor)) return false;
  for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
    const std::string folder = parent + "\\" + UniqueFolderName();
    const std::wstring wideFolder = platform::WidenToNulStrict(folder.c_str());
    if (wideFolder.empty()) {
      ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return false;
    }
    // A name that someone made first is never used: only a folder made here is.
    if (::CreateDirectoryW(wideFolder.c_str(), attributes.get())) {
      logPath = folder + "\\INSTALL.LOG";
      return true;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

}  // namespace setupcmd
