#include "setupcmd/package_msi.h"

#include <cstring>

#include "diag/log.h"
#include "platform/file_identity.h"
#include "platform/text_conversion.h"

namespace setupcmd {

namespace {

// Compared on the long name only: "*.msi" would also match a "x.msix" through its short name.
bool EndsInMsi(const char* name) {
  const size_t length = std::strlen(name);
  return length > 4 && _stricmp(name + length - 4, ".msi") == 0;
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
  return joined;
}

}  // namespace

HeldPackageMsi FindAndHoldPackageMsi(const std::string& packageDirectory) {
  HeldPackageMsi msi;
  const bool endsInSeparator = !packageDirectory.empty() && packageDirectory.back() == '\\';
  const std::string folder =
      endsInSeparator ? packageDirectory.substr(0, packageDirectory.size() - 1) : packageDirectory;
  WIN32_FIND_DATAA match = {};
  platform::UniqueFindHandle search(::FindFirstFileA((folder + "\\*").c_str(), &match));
  if (search) {
    do {
      if (match.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      if (EndsInMsi(match.cFileName)) msi.names.push_back(match.cFileName);
    } while (::FindNextFileA(search.get(), &match));
  }
  if (msi.names.empty()) return msi;
  if (msi.names.size() > 1) {
    msi.found = HeldPackageMsi::Found::kSeveral;
    return msi;
  }
  msi.path = folder + "\\" + msi.names.front();
  // Strict: a byte that the code page lacks fails the open rather than naming another file.
  msi.widePath = platform::WidenToNulStrict(msi.path.c_str());
  if (msi.path.size() < MAX_PATH && !msi.widePath.empty()) {
    msi.handle = platform::OpenReadShared(msi.widePath.c_str());
  }
  if (!msi.handle) {
    msi.error = msi.widePath.empty() || msi.path.size() >= MAX_PATH
                    ? static_cast<DWORD>(ERROR_INVALID_NAME)
                    : ::GetLastError();
    msi.found = HeldPackageMsi::Found::kNotHeld;
    return msi;
  }
  msi.found = HeldPackageMsi::Found::kOne;
  return msi;
}

std::string PackageMsiRefusal(const HeldPackageMsi& msi) {
  switch (msi.found) {
    case HeldPackageMsi::Found::kNone:
    case HeldPackageMsi::Found::kOne:
      return std::string();
    case HeldPackageMsi::Found::kSeveral:
      return "ERROR: the package holds more than one .msi file (" + JoinNames(msi.names) +
             "). Setup is not run";
    case HeldPackageMsi::Found::kNotHeld:
      return "ERROR: the package's " + msi.names.front() +
             " cannot be opened shared for reading (error " + std::to_string(msi.error) +
             "). Setup is not run";
  }
  return "ERROR: the package's .msi cannot be judged. Setup is not run";
}

bool StillNamesHeldFile(const HeldPackageMsi& msi) {
  if (!msi.handle || msi.widePath.empty()) return false;
  platform::UniqueFileHandle named(::CreateFileW(
      msi.widePath.c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
  platform::FileIdentity held;
  platform::FileIdentity current;
  return named && platform::FileIdentityOf(msi.handle.get(), held) &&
         platform::FileIdentityOf(named.get(), current) && held == current;
}

}  // namespace setupcmd
