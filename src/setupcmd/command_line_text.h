// The pieces of the setup command line that are pure text work on what Setup.ini and config.xml
// hold. Free of any Windows type so that the same code runs in the native fuzz build.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace setupcmd {

// Used when neither config.xml nor Setup.ini names a log switch.
constexpr char kDefaultLogSwitch[] = "/l*v \"%TEMP%\\INSTALL.LOG\"";

// The value of an environment variable by name; empty when it is not set or not usable.
using VariableLookup = std::function<std::string(const std::string& name)>;

// The UI switch for a UserInterfaceLevel text: "/qf", "/qb!-" or "/qn". Letter case of a to z is
// ignored; nothing is trimmed.
std::string UiSwitchFor(std::string_view level);

// The first switch that begins with /l or /L, with its one argument (up to the next blank, or
// a double-quoted argument with its quotes); empty when there is none.
std::string FindLogSwitch(std::string_view source);

// The switch made ready to sit inside the quoted /v argument: double quotes escaped with a
// backslash and %NAME% references replaced by `lookup`'s value. A "%" without a closing one
// takes the rest of the text as the name and ends the switch.
std::string RewriteForQuotedArgument(std::string_view logSwitch, const VariableLookup& lookup);

// "IDCENABLE=0", "IDCENABLE=1" or empty: what the first "IDCENABLE" of a Setup.ini CmdLine asks
// for, with blanks around "=" allowed and any value other than 0 or 1 dropped.
std::string IdcEnablePropertyIn(std::string_view cmdLine);

}  // namespace setupcmd
