#include "config/option_parser.h"

#include <new>

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

OptionWriterSystem& DefaultOptionWriterSystem() {
  static OptionWriterSystem system;
  return system;
}

COptionParser::COptionParser(const std::string& packageDir, OptionWriterSystem& writerSystem)
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
  configParser.reset(new (std::nothrow) CConfigXMLParser(packageDir.c_str()));
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
