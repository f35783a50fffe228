// IdcEnablePropertyIn: the IDCENABLE property found in Setup.ini's CmdLine.
#include <string>

#include "fuzz_support.h"
#include "setupcmd/command_line_text.h"

using setupcmd::IdcEnablePropertyIn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string cmdLine = fuzz::Bytes(data, size);
  const std::string property = IdcEnablePropertyIn(cmdLine);

  FUZZ_CHECK(property.empty() || property == "IDCENABLE=0" || property == "IDCENABLE=1");
  const size_t at = cmdLine.find("IDCENABLE");
  if (at == std::string::npos) FUZZ_CHECK(property.empty());
  // The normalised property reads as itself.
  FUZZ_CHECK(IdcEnablePropertyIn(property) == property);
  if (!property.empty()) {
    // Only the first occurrence and what directly follows it decide: text added at the end
    // changes nothing, and the value's digit is in the text after the name.
    FUZZ_CHECK(IdcEnablePropertyIn(cmdLine + " IDCENABLE=1 IDCENABLE=0 x") == property);
    FUZZ_CHECK(cmdLine.find(property.back(), at + 9) != std::string::npos);
  }
  // A name inside a longer word still counts, so a prefix does not change the answer.
  FUZZ_CHECK(IdcEnablePropertyIn("x" + cmdLine) == property);
  return 0;
}
