#include "config/option_parser.h"

#include <new>
#include <utility>

#include "diag/log.h"

namespace config {

namespace {

// Everything of the attribute word but the read-only bit; the bits above the low 16 go too.
constexpr DWORD kWritableAttributesMask = 0xFFFE;

}  // namespace

bool OptionWriterSystem::WriteProfileString(const char* section, const char* key, const char* value,
                                            const char* iniPath) {
  return ::WritePrivateProfileStringA(section, key, value, iniPath) != FALSE;
}

WORD OptionWriterSystem::ProcessorArchitecture() {
  SYSTEM_INFO info = {};
  ::GetSystemInfo(&info);
  return info.wProcessorArchitecture;
}

bool OptionWriterSystem::ReadProfileSection(const char* section, const char* iniPath,
                                            std::string& lines) {
  // The answer is cut two characters short of a buffer that is too small.
  for (DWORD size = 32u << 10; size <= (64u << 20); size *= 2) {
    std::string buffer(size, '\0');
    const DWORD length = ::GetPrivateProfileSectionA(section, &buffer[0], size, iniPath);
    if (length + 2 < size) {
      lines.assign(buffer.data(), length);
      return true;
    }
  }
  return false;
}

bool OptionWriterSystem::WriteProfileSection(const char* section, const std::string& lines,
                                             const char* iniPath) {
  if (lines.empty())
    return ::WritePrivateProfileStringA(section, nullptr, nullptr, iniPath) != FALSE;
  const std::string terminated = lines + '\0';  // the list ends in two NULs
  return ::WritePrivateProfileSectionA(section, terminated.c_str(), iniPath) != FALSE;
}

OptionWriterSystem& DefaultOptionWriterSystem() {
  static OptionWriterSystem system;
  return system;
}

COptionParser::COptionParser(const std::string& packageDir, std::shared_ptr<ConfigXmlRun> run,
                             OptionWriterSystem& writerSystem)
    : system(writerSystem) {
  // Without a folder the profile functions would write a setAid.ini in the Windows folder.
  if (packageDir.empty()) {
    diag::LogLine("COptionParser::COptionParser", " - no package directory given");
    return;
  }
  iniPath = packageDir + (packageDir.back() == '\\' ? "" : "\\") + "setAid.ini";
  // The package may arrive read-only (copied from a medium); setup reads what is merged here.
  // The attribute is left cleared: setup itself may still have to write the file.
  const DWORD attributes = ::GetFileAttributesA(iniPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    ::SetFileAttributesA(iniPath.c_str(), attributes & kWritableAttributesMask);
  }
  configParser.reset(new (std::nothrow) CConfigXMLParser(packageDir.c_str(), std::move(run)));
}

COptionParser::~COptionParser() = default;

bool COptionParser::shouldUpdate() {
  if (iniPath.empty()) return false;
  if (!configParser) {
    diag::LogLine("COptionParser::shouldUpdate", " - error allocating CConfigXMLParser object");
    return false;
  }
  return true;
}

bool COptionParser::writeValue(const char* section, const char* key, const char* value) {
  return system.WriteProfileString(section, key, value, iniPath.c_str());
}

}  // namespace config
