// How the reboot options of config.xml become setAid.ini text: the flags read as numbers and the
// texts escaped. Free of any Windows type so that the same code runs in the native fuzz build.
#pragma once

#include <optional>
#include <string>

namespace config {

// Backslash, double quote and the control characters \a \b \f \n \r \t \v as two-character
// escapes; the backslash first, so that only the backslashes already in the text are doubled.
std::wstring EscapeRebootText(std::wstring text);

// The integer that formatted stream input reads from the start of `text` (leading white space
// skipped, reading stops at the first character that cannot continue it), or nothing when there
// is no leading number or it is outside the int range.
std::optional<int> ReadRebootFlagNumber(const std::wstring& text);

}  // namespace config
