// The machine part
#include "daxcheck/machine.h"

#include <windows.h>
// After windows.h.
#include <msi.h>
#include <msiquery.h>
#include <wincrypt.h>

#include <string>
#include <utility>

#include "platform/unique_handle.h"
#include "setupcmd/package_msi.h"
#include "sharedlib/signer_certificate.h"
#include "upgrade/installer_wait.h"
#include "upgrade/setup_launcher.h"

namespace daxcheck {

namespace {

constexpr char kOk[] = "ok";
constexpr char kWarning[] = "warning";

Json Check() {
  Json check;
  check["status"] = kOk;
  check["warning"] = nullptr;
  return check;
}

void Warn(Json& check, const std::string& text) {
  check["status"] = kWarning;
  check["warning"] = text;
}

void NotChecked(Json& check, const std::string& why) { check["status"] = "not checked: " + why; }

// Restart pending ---------------------------------------------------------------------------

struct Indicator {
  const char* name;
  const char* key;    // below HKEY_LOCAL_MACHINE
  const char* value;  // null: the key's presence is the indicator
};

constexpr Indicator kRestartIndicators[] = {
    {"PendingFileRenameOperations", "SYSTEM\\CurrentControlSet\\Control\\Session Manager",
     "PendingFileRenameOperations"},
    {"Component Based Servicing RebootPending",
     "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending",
     nullptr},
    {"Windows Update RebootRequired",
     "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired",
     nullptr},
};

// True or false, or none with `error` set when it cannot be read.
std::optional<bool> IndicatorPresent(const Indicator& indicator, LONG& error) {
  platform::UniqueRegKey key;
  error = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, indicator.key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                          key.put());
  if (error == ERROR_FILE_NOT_FOUND) return false;
  if (error != ERROR_SUCCESS) return std::nullopt;
  if (!indicator.value) return true;
  DWORD type = 0;
  DWORD size = 0;
  error = ::RegQueryValueExA(key.get(), indicator.value, nullptr, &type, nullptr, &size);
  if (error == ERROR_FILE_NOT_FOUND) return false;
  if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) return std::nullopt;
  error = ERROR_SUCCESS;
  // An empty list (its terminating NULs alone) renames nothing.
  return size > 2;
}

// Package folder -----------------------------------------------------------------------------

// The bytes of the files directly in the package folder.
ULONGLONG PackageBytes(const std::string& folder) {
  ULONGLONG total = 0;
  WIN32_FIND_DATAA match = {};
  platform::UniqueFindHandle search(::FindFirstFileA((folder + "\\*").c_str(), &match));
  if (!search) return 0;
  do {
    if (match.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    total += (static_cast<ULONGLONG>(match.nFileSizeHigh) << 32) | match.nFileSizeLow;
  } while (::FindNextFileA(search.get(), &match));
  return total;
}

std::optional<std::string> ReadTemplate(const std::string& folder, std::string& whyNot) {
  const setupcmd::HeldPackageMsi msi = setupcmd::FindAndHoldPackageMsi(folder);
  switch (msi.found) {
    case setupcmd::HeldPackageMsi::Found::kNone:
      whyNot = "the package holds no .msi";
      return std::nullopt;
    case setupcmd::HeldPackageMsi::Found::kSeveral:
      whyNot = "the package holds more than one .msi";
      return std::nullopt;
    case setupcmd::HeldPackageMsi::Found::kNotHeld:
      whyNot =
          "the .msi cannot be opened shared for reading (error " + std::to_string(msi.error) + ")";
      return std::nullopt;
    case setupcmd::HeldPackageMsi::Found::kOne:
      break;
  }
  platform::UniqueMsiHandle summary;
  UINT error = ::MsiGetSummaryInformationA(0, msi.path.c_str(), 0, summary.put());
  if (error != ERROR_SUCCESS) {
    whyNot = "the .msi's summary information cannot be read (error " + std::to_string(error) + ")";
    return std::nullopt;
  }
  constexpr UINT kTemplateProperty = 7;  // PID_TEMPLATE
  char text[256] = {};
  DWORD size = sizeof(text);
  UINT type = 0;
  INT number = 0;
  FILETIME time = {};
  error = ::MsiSummaryInfoGetPropertyA(summary.get(), kTemplateProperty, &type, &number, &time,
                                       text, &size);
  if (error != ERROR_SUCCESS || type != VT_LPSTR) {
    whyNot = error == ERROR_MORE_DATA ? "the .msi's template is longer than any template"
             : error != ERROR_SUCCESS
                 ? "the .msi's template cannot be read (error " + std::to_string(error) + ")"
                 : "the .msi has no template";
    return std::nullopt;
  }
  return std::string(text, size);
}

// The machine's platform, from IsWow64Process2 where the system has it (Windows 10 1511 and
// later; it also tells Arm64), else from GetNativeSystemInfo.
Platform MachinePlatform(const char*& from) {
  using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  const auto isWow64Process2 =
      kernel ? reinterpret_cast<IsWow64Process2Function>(
                   reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process2")))
             : nullptr;
  USHORT process = 0;
  USHORT native = 0;
  if (isWow64Process2 && isWow64Process2(::GetCurrentProcess(), &process, &native)) {
    from = "IsWow64Process2";
    return PlatformOfImageMachine(native);
  }
  SYSTEM_INFO info = {};
  ::GetNativeSystemInfo(&info);
  from = "GetNativeSystemInfo";
  return PlatformOfProcessorArchitecture(info.wProcessorArchitecture);
}

// Free space ---------------------------------------------------------------------------------

void AddUse(std::vector<DriveSpace>& drives, const std::string& root, const char* use) {
  for (DriveSpace& drive : drives) {
    if (_stricmp(drive.root.c_str(), root.c_str()) == 0) {
      drive.uses.push_back(use);
      return;
    }
  }
  DriveSpace drive;
  drive.root = root;
  drive.uses.push_back(use);
  ULARGE_INTEGER available = {}, total = {}, free = {};
  if (::GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free)) {
    drive.freeBytes = free.QuadPart;
  } else {
    drive.error = ::GetLastError();
  }
  drives.push_back(std::move(drive));
}

// The installation directory setup gets, with where it comes from; empty when none is named.
std::string InstallDirectory(const std::string& folder, const std::string& predictedSetAid,
                             std::string& from) {
  constexpr char kSection[] = "CUSTOM_DAX_CONFIG";
  constexpr char kKey[] = "DestinationDirectory";
  std::string directory = IniValue(predictedSetAid, kSection, kKey);
  if (!directory.empty()) {
    from = "setAid.ini as the run merges config.xml into it";
    return directory;
  }
  platform::UniqueFileHandle file(::CreateFileA((folder + "\\setAid.ini").c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  std::string staged(64 * 1024, '\0');
  DWORD read = 0;
  if (!::ReadFile(file.get(), &staged[0], static_cast<DWORD>(staged.size()), &read, nullptr)) {
    return {};
  }
  staged.resize(read);
  directory = IniValue(staged, kSection, kKey);
  if (!directory.empty()) from = "the package's setAid.ini";
  return directory;
}

Json FreeSpaceCheck(const std::string& folder, const std::string& predictedSetAid) {
  std::vector<DriveSpace> drives;
  char windows[MAX_PATH] = {};
  const UINT length = ::GetSystemWindowsDirectoryA(windows, MAX_PATH);
  const std::string systemRoot =
      length > 0 && length < MAX_PATH ? DriveRoot(std::string(windows, length)) : std::string();
  if (!systemRoot.empty()) AddUse(drives, systemRoot, "system drive");

  std::string from;
  const std::string directory = InstallDirectory(folder, predictedSetAid, from);
  std::string whyNoDirectory;
  if (directory.empty()) {
    whyNoDirectory = "neither config.xml nor the package's setAid.ini names one";
  } else if (DriveRoot(directory).empty()) {
    whyNoDirectory = "\"" + directory + "\" names no drive";
  } else {
    AddUse(drives, DriveRoot(directory), "installation directory");
  }
  Json check = SpaceVerdict(PackageBytes(folder), drives, directory, whyNoDirectory);
  if (systemRoot.empty()) NotChecked(check, "the system drive cannot be found");
  check["install_directory_from"] = from.empty() ? Json(nullptr) : Json(from);
  return check;
}

// Clock --------------------------------------------------------------------------------------

Json ClockCheck(const std::string& folder) {
  FILETIME now = {};
  ::GetSystemTimeAsFileTime(&now);
  const upgrade::HeldSetupFile setup = upgrade::OpenSetupFile(folder);
  if (!setup.handle) return ClockVerdict(now, std::nullopt, "setup.exe cannot be opened");
  const sharedlib::ObjectSigner signer =
      sharedlib::ReadObjectSigner(setup.widePath, sharedlib::SignedObject::kEmbeddedSignature);
  if (!signer.certificate) {
    return ClockVerdict(now, std::nullopt, "setup.exe carries no signer certificate");
  }
  const CERT_INFO* info = signer.certificate.get()->pCertInfo;
  return ClockVerdict(now, Validity{info->NotBefore, info->NotAfter}, "");
}

}  // namespace

Json RestartPendingCheck() {
  Json check = Check();
  Json indicators = Json::array();
  std::string present;
  std::string unread;
  for (const Indicator& indicator : kRestartIndicators) {
    LONG error = ERROR_SUCCESS;
    const std::optional<bool> found = IndicatorPresent(indicator, error);
    Json entry;
    entry["name"] = indicator.name;
    entry["where"] = std::string("HKLM\\") + indicator.key;
    entry["present"] = found ? Json(*found) : Json(nullptr);
    if (!found) {
      entry["error"] = error;
      if (unread.empty())
        unread = indicator.name + (" cannot be read (error " + std::to_string(error) + ")");
    }
    if (found && *found) present += (present.empty() ? "" : ", ") + std::string(indicator.name);
    indicators.push_back(entry);
  }
  check["indicators"] = indicators;
  if (!present.empty()) {
    Warn(check, "a restart is pending (" + present +
                    "): setup may fail, or end asking for a restart before the client works");
  } else if (!unread.empty()) {
    NotChecked(check, unread);
  }
  return check;
}

Json InstallerCheck(const std::string& mutexName) {
  Json check = Check();
  check["mutex"] = mutexName;
  const upgrade::InstallerProbe probe = upgrade::ProbeInstaller(mutexName);
  switch (probe.state) {
    case upgrade::InstallerState::kFree:
      check["state"] = "free";
      break;
    case upgrade::InstallerState::kBusy:
      check["state"] = "busy";
      Warn(check, "Windows Installer is running another installation: the run waits up to " +
                      upgrade::WaitLimitText(upgrade::kInstallerWaitLimitMs) +
                      " for it, and a setup started while it runs fails with 1618");
      break;
    case upgrade::InstallerState::kForeign:
      check["state"] = "made by another account";
      check["owner"] = probe.owner;
      Warn(check, "the mutex was made by another account (" + probe.owner +
                      "): the run does not wait for it, and setup fails with 1618 if an "
                      "installation does hold it");
      break;
    case upgrade::InstallerState::kUnknown:
      check["state"] = nullptr;
      NotChecked(check,
                 "the mutex cannot be opened (error " + std::to_string(probe.openError) + ")");
      break;
  }
  return check;
}

Json PlatformVerdict(const std::optional<std::string>& templateText, const std::string& whyNot,
                     Platform machine, const char* machineFrom) {
  Json check = Check();
  check["template"] = templateText ? Json(Utf8(*templateText)) : Json(nullptr);
  check["package"] = nullptr;
  check["machine"] = machine == Platform::kUnknown ? Json(nullptr) : Json(PlatformName(machine));
  check["machine_from"] = machineFrom;
  if (!templateText) {
    NotChecked(check, whyNot);
    return check;
  }
  std::string error;
  const Platform package = PlatformOfTemplate(*templateText, error);
  if (package == Platform::kUnknown) {
    NotChecked(check, Utf8(error));
    return check;
  }
  check["package"] = PlatformName(package);
  switch (FitOnMachine(package, machine)) {
    case PlatformFit::kRuns:
      break;
    case PlatformFit::kEmulatedOnly:
      Warn(check, std::string("an ") + PlatformName(package) + " package installs on an " +
                      PlatformName(machine) +
                      " machine only where Windows emulates it (Windows 11): elsewhere setup "
                      "fails");
      break;
    case PlatformFit::kDoesNotRun:
      Warn(check, std::string("Windows Installer refuses an ") + PlatformName(package) +
                      " package on an " + PlatformName(machine) + " machine: setup fails");
      break;
    case PlatformFit::kUnknown:
      NotChecked(check, "the machine's platform is not known");
      break;
  }
  return check;
}

Json SpaceVerdict(ULONGLONG packageBytes, const std::vector<DriveSpace>& drives,
                  const std::string& installDirectory, const std::string& whyNoDirectory) {
  Json check = Check();
  check["package_bytes"] = packageBytes;
  check["install_directory"] =
      installDirectory.empty() ? Json(nullptr) : Json(Utf8(installDirectory));
  Json all = Json::array();
  std::string short_;
  std::string unasked;
  for (const DriveSpace& drive : drives) {
    // The system drive keeps Windows Installer's copy of the package, the installation
    // directory's drive the installed files: each use needs at least the package's size.
    const ULONGLONG needed = packageBytes * drive.uses.size();
    Json entry;
    entry["root"] = Utf8(drive.root);
    std::string uses;
    for (const std::string& use : drive.uses) uses += (uses.empty() ? "" : ", ") + use;
    entry["for"] = uses;
    entry["needed_bytes"] = needed;
    entry["free_bytes"] = drive.freeBytes ? Json(*drive.freeBytes) : Json(nullptr);
    entry["enough"] = drive.freeBytes ? Json(EnoughSpace(*drive.freeBytes, needed)) : Json(nullptr);
    if (!drive.freeBytes) {
      entry["error"] = drive.error;
      if (unasked.empty()) {
        unasked = Utf8(drive.root) + " cannot be asked (error " + std::to_string(drive.error) + ")";
      }
    } else if (!EnoughSpace(*drive.freeBytes, needed)) {
      short_ += (short_.empty() ? "" : "; ") + Utf8(drive.root) + " (" + uses + ") has " +
                std::to_string(*drive.freeBytes) + " bytes free of the " + std::to_string(needed) +
                " the package needs";
    }
    all.push_back(entry);
  }
  check["drives"] = all;
  if (!short_.empty()) {
    Warn(check, "too little free space: " + short_);
  } else if (!unasked.empty()) {
    NotChecked(check, unasked);
  } else if (!whyNoDirectory.empty()) {
    NotChecked(check, "the installation directory's drive: " + Utf8(whyNoDirectory));
  }
  return check;
}

Json ClockVerdict(const FILETIME& now, const std::optional<Validity>& signer,
                  const std::string& whyNot) {
  Json check = Check();
  check["now"] = UtcText(now);
  check["signer_valid_from"] = signer ? Json(UtcText(signer->notBefore)) : Json(nullptr);
  check["signer_valid_to"] = signer ? Json(UtcText(signer->notAfter)) : Json(nullptr);
  if (!signer) {
    NotChecked(check, whyNot);
    return check;
  }
  switch (ClockAgainstValidity(now, signer->notBefore, signer->notAfter)) {
    case ClockFit::kWithin:
      break;
    case ClockFit::kBeforeValidity:
      Warn(check, "the clock (" + UtcText(now) +
                      ") is before the signer certificate's validity begins (" +
                      UtcText(signer->notBefore) +
                      "): checks of the signature, the run's and setup's own, can fail");
      break;
    case ClockFit::kAfterValidity:
      Warn(check, "the clock (" + UtcText(now) +
                      ") is past the end of the signer certificate's "
                      "validity (" +
                      UtcText(signer->notAfter) +
                      "): a signature without a time stamp no longer verifies");
      break;
  }
  return check;
}

Json MachinePart(const std::string& folder, const std::string& predictedSetAid) {
  Json machine;
  machine["restart_pending"] = RestartPendingCheck();
  machine["windows_installer"] = InstallerCheck(upgrade::kInstallerMutexName);
  std::string whyNot;
  const std::optional<std::string> templateText = ReadTemplate(folder, whyNot);
  const char* from = "";
  const Platform platform = MachinePlatform(from);
  machine["platform"] = PlatformVerdict(templateText, whyNot, platform, from);
  machine["free_space"] = FreeSpaceCheck(folder, predictedSetAid);
  machine["clock"] = ClockCheck(folder);
  Json warnings = Json::array();
  for (const auto& item : machine.items()) {
    if (item.value()["status"] == kWarning) {
      warnings.push_back(item.key() + ": " + item.value()["warning"].get<std::string>());
    }
  }
  machine["warnings"] = warnings;
  return machine;
}

}  // namespace daxcheck
