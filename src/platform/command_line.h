// The process's own command line taken apart into arguments.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The arguments of `line` as CommandLineToArgvW gives them: the program up to the next quote when
// it starts with one, else up to a blank or tab, with no escapes; then arguments separated by
// blanks and tabs outside quotes, where 2n backslashes before a quote are n backslashes and the
// quote opens or closes quoted text, 2n+1 are n and a literal quote, other backslashes are plain,
// and inside quoted text "" is a literal quote. Done here rather than by CommandLineToArgvW
// because that one call would load shell32, and with it the window manager, into every verb and
// into the -uninstall child that ends each run.
std::vector<std::wstring> SplitCommandLine(const wchar_t* line);

}  // namespace platform
