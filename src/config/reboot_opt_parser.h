// Copies the reboot options of the selected config.xml package entry into the CUSTOM_DAX_CONFIG
// section of setAid.ini: four flags (0 or 1 in config.xml, "false" or "true" in setAid.ini) and
// eleven texts written with C-style backslash escapes.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "config/option_parser.h"

namespace config {

class CRebootOptParser : public COptionParser {
 public:
  explicit CRebootOptParser(const std::string& packageDir,
                            OptionWriterSystem& writerSystem = DefaultOptionWriterSystem());
  // Answering from the run's one reading of config.xml.
  CRebootOptParser(const std::string& packageDir, std::shared_ptr<ConfigXmlRun> run,
                   OptionWriterSystem& writerSystem = DefaultOptionWriterSystem());

  // kOptionsMerged; kNoConfigReader; otherwise the code of the last failure met:
  // kInvalidOptionValue for a flag other than 0 or 1, kOptionWriteFailed for a failed write.
  // A failure does not stop the remaining options.
  std::uint32_t propigateOptions() override;

  // Backslash, double quote and the control characters \a \b \f \n \r \t \v as two-character
  // escapes; the backslash first, so that only the backslashes already in the text are doubled.
  static std::wstring escapeOptionValue(std::wstring text);
  // The integer that formatted stream input reads from the start of `text` (leading white space
  // skipped, reading stops at the first character that cannot continue it), or nothing.
  static std::optional<int> readFlagNumber(const std::wstring& text);

 private:
  std::string section;
  // RebootOptions attribute -> setAid.ini key; all flags are written before all texts.
  std::map<std::string, std::string> flagOptions;
  std::map<std::string, std::string> valueOptions;
};

}  // namespace config
