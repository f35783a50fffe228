#include "daxcheck/machine_checks.h"

#include <cctype>
#include <cstdio>

namespace daxcheck {

namespace {

bool SameWithoutCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

ULONGLONG Ticks(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

const char* PlatformName(Platform platform) {
  switch (platform) {
    case Platform::kIntel:
      return "Intel";
    case Platform::kX64:
      return "x64";
    case Platform::kArm64:
      return "Arm64";
    case Platform::kIntel64:
      return "Intel64";
    case Platform::kArm:
      return "Arm";
    case Platform::kUnknown:
      break;
  }
  return "unknown";
}

Platform PlatformOfTemplate(const std::string& templateText, std::string& error) {
  const size_t separator = templateText.find(';');
  if (separator == std::string::npos) {
    error = "the template \"" + templateText + "\" has no ';' between platform and languages";
    return Platform::kUnknown;
  }
  const std::string languages = templateText.substr(separator + 1);
  for (char c : languages) {
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != ',') {
      error = "the template \"" + templateText + "\" lists languages that are not numbers";
      return Platform::kUnknown;
    }
  }
  const std::string platform = templateText.substr(0, separator);
  if (platform.empty() || SameWithoutCase(platform, "Intel")) return Platform::kIntel;
  // "AMD64" is the name older installers give the x64 platform.
  if (SameWithoutCase(platform, "x64") || SameWithoutCase(platform, "AMD64")) return Platform::kX64;
  if (SameWithoutCase(platform, "Arm64")) return Platform::kArm64;
  if (SameWithoutCase(platform, "Intel64")) return Platform::kIntel64;
  if (SameWithoutCase(platform, "Arm")) return Platform::kArm;
  error = "the template \"" + templateText + "\" names a platform Windows Installer does not know";
  return Platform::kUnknown;
}

Platform PlatformOfImageMachine(USHORT machine) {
  switch (machine) {
    case 0x014c:  // IMAGE_FILE_MACHINE_I386
      return Platform::kIntel;
    case 0x8664:  // IMAGE_FILE_MACHINE_AMD64
      return Platform::kX64;
    case 0xAA64:  // IMAGE_FILE_MACHINE_ARM64
      return Platform::kArm64;
    case 0x0200:  // IMAGE_FILE_MACHINE_IA64
      return Platform::kIntel64;
    case 0x01c4:  // IMAGE_FILE_MACHINE_ARMNT
      return Platform::kArm;
    default:
      return Platform::kUnknown;
  }
}

Platform PlatformOfProcessorArchitecture(WORD architecture) {
  switch (architecture) {
    case 0:  // PROCESSOR_ARCHITECTURE_INTEL
      return Platform::kIntel;
    case 9:  // PROCESSOR_ARCHITECTURE_AMD64
      return Platform::kX64;
    case 12:  // PROCESSOR_ARCHITECTURE_ARM64
      return Platform::kArm64;
    case 6:  // PROCESSOR_ARCHITECTURE_IA64
      return Platform::kIntel64;
    case 5:  // PROCESSOR_ARCHITECTURE_ARM
      return Platform::kArm;
    default:
      return Platform::kUnknown;
  }
}

PlatformFit FitOnMachine(Platform package, Platform machine) {
  if (package == Platform::kUnknown || machine == Platform::kUnknown) return PlatformFit::kUnknown;
  if (package == machine) return PlatformFit::kRuns;
  switch (package) {
    case Platform::kIntel:
      // 32-bit packages install through the 32-bit subsystem of every 64-bit Windows but Arm's.
      return machine == Platform::kArm ? PlatformFit::kDoesNotRun : PlatformFit::kRuns;
    case Platform::kX64:
      return machine == Platform::kArm64 ? PlatformFit::kEmulatedOnly : PlatformFit::kDoesNotRun;
    default:
      return PlatformFit::kDoesNotRun;
  }
}

bool EnoughSpace(ULONGLONG freeBytes, ULONGLONG neededBytes) { return freeBytes >= neededBytes; }

std::string DriveRoot(const std::string& path) {
  if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
      path[2] == '\\') {
    return path.substr(0, 3);
  }
  if (path.size() > 2 && path[0] == '\\' && path[1] == '\\' && path[2] != '?' && path[2] != '.') {
    const size_t server = path.find('\\', 2);
    if (server == std::string::npos || server == 2) return {};
    const size_t share = path.find('\\', server + 1);
    if (share == server + 1) return {};
    return share == std::string::npos ? path + "\\" : path.substr(0, share + 1);
  }
  return {};
}

ClockFit ClockAgainstValidity(const FILETIME& now, const FILETIME& notBefore,
                              const FILETIME& notAfter) {
  if (Ticks(now) < Ticks(notBefore)) return ClockFit::kBeforeValidity;
  if (Ticks(now) > Ticks(notAfter)) return ClockFit::kAfterValidity;
  return ClockFit::kWithin;
}

std::string IniValue(const std::string& text, const std::string& section, const std::string& key) {
  bool inSection = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trimmed(text.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line[0] == '[') {
      const size_t close = line.find(']');
      inSection = close != std::string::npos &&
                  SameWithoutCase(Trimmed(line.substr(1, close - 1)), section);
      continue;
    }
    const size_t equals = line.find('=');
    if (!inSection || equals == std::string::npos) continue;
    if (!SameWithoutCase(Trimmed(line.substr(0, equals)), key)) continue;
    std::string value = Trimmed(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

std::string UtcText(const FILETIME& time) {
  SYSTEMTIME utc = {};
  if (!::FileTimeToSystemTime(&time, &utc)) return "-";
  char text[32];
  std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth,
                utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
  return text;
}

}  // namespace daxcheck
