// The judgements of the machine part of the report, on numbers and texts the caller reads: the
// package's platform against the machine's, free space against the package's size, the clock
// against the signer certificate's validity, and the installation directory setup gets.
#pragma once

#include <windows.h>

#include <string>

namespace daxcheck {

enum class Platform { kUnknown, kIntel, kX64, kArm64, kIntel64, kArm };

// "Intel", "x64", "Arm64", "Intel64", "Arm", "unknown".
const char* PlatformName(Platform platform);

// The platform of a package's summary-information template ("x64;1033", "Intel;1033,1031",
// ";1033"). A template without a platform is a 32-bit package for every platform, as Windows
// Installer takes it. Unknown, with `error` set, for a text that is not a template or names a
// platform Windows Installer does not know.
Platform PlatformOfTemplate(const std::string& templateText, std::string& error);

// The machine's platform from IsWow64Process2's native machine (IMAGE_FILE_MACHINE_*), or from
// GetNativeSystemInfo's processor architecture (PROCESSOR_ARCHITECTURE_*).
Platform PlatformOfImageMachine(USHORT machine);
Platform PlatformOfProcessorArchitecture(WORD architecture);

enum class PlatformFit {
  kRuns,
  kEmulatedOnly,  // only where the system emulates it: an x64 package on Arm64 (Windows 11)
  kDoesNotRun,    // Windows Installer refuses the package on this machine
  kUnknown,
};
PlatformFit FitOnMachine(Platform package, Platform machine);

// Whether `freeBytes` hold `neededBytes`.
bool EnoughSpace(ULONGLONG freeBytes, ULONGLONG neededBytes);

// The root whose free space a path's files take, "C:\" or "\\server\share\"; empty for a path
// that names neither (a relative path, an unexpanded "%ProgramFiles%\...").
std::string DriveRoot(const std::string& path);

enum class ClockFit { kWithin, kBeforeValidity, kAfterValidity };
ClockFit ClockAgainstValidity(const FILETIME& now, const FILETIME& notBefore,
                              const FILETIME& notAfter);

// The value of `key` in `section` of INI text, compared without case as the profile functions
// compare, with the quotes around it removed as they remove them; empty when it is not there.
std::string IniValue(const std::string& text, const std::string& section, const std::string& key);

// "2026-12-11T02:34:17Z".
std::string UtcText(const FILETIME& time);

}  // namespace daxcheck
