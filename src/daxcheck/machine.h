// The machine part of the report: what most often makes a setup fail after the run has let it
// start, beside the gates and outside their numbering. Every check is a warning (the run refuses
// none of them), with "status" "ok", "warning" or "not checked: <why>", never a silent pass.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "daxcheck/machine_checks.h"
#include "daxcheck/report_text.h"

namespace daxcheck {

// The whole part for the package in `folder`; `predictedSetAid` is setAid.ini as the run would
// merge it (empty when the configuration gate could not predict it).
Json MachinePart(const std::string& folder, const std::string& predictedSetAid);

// A restart pending: the pending file renames and the servicing and update "reboot required"
// keys, read from the machine's registry.
Json RestartPendingCheck();

// Whether Windows Installer runs another installation: its execution mutex `mutexName` held.
Json InstallerCheck(const std::string& mutexName);

// The package's platform (from its summary-information template, null with `whyNot` when it could
// not be read) against the machine's, as `machineFrom` read it.
Json PlatformVerdict(const std::optional<std::string>& templateText, const std::string& whyNot,
                     Platform machine, const char* machineFrom);

// The free space of the drives setup writes to against the package's size.
struct DriveSpace {
  std::string root;                    // "C:\"
  std::vector<std::string> uses;       // "system drive", "installation directory"
  std::optional<ULONGLONG> freeBytes;  // none: the drive cannot be asked
  DWORD error = ERROR_SUCCESS;         // why not
};
Json SpaceVerdict(ULONGLONG packageBytes, const std::vector<DriveSpace>& drives,
                  const std::string& installDirectory, const std::string& whyNoDirectory);

// The clock against the validity of setup.exe's signer certificate (none: `whyNot`).
struct Validity {
  FILETIME notBefore;
  FILETIME notAfter;
};
Json ClockVerdict(const FILETIME& now, const std::optional<Validity>& signer,
                  const std::string& whyNot);

}  // namespace daxcheck
