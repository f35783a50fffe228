// The pieces of the setup command line that are pure text work on what Setup.ini and config.xml
// hold. Free of any Windows type so that the same code runs in the native fuzz build.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace setupcmd {

// Used when neither config.xml nor Setup.ini names a log switch.
constexpr char kDefaultLogSwitch[] = "/l*v \"%TEMP%\\INSTALL.LOG\"";
// The file that the default log switch names.
constexpr char kDefaultLogFile[] = "%TEMP%\\INSTALL.LOG";

// The value of an environment variable by name; empty when it is not set or not usable.
using VariableLookup = std::function<std::string(const std::string& name)>;

// Whether a byte of ANSI text is the first of a two-byte character. In the double-byte code pages
// the second byte may be 0x5C, which is a backslash only when it stands alone.
using LeadBytePredicate = bool (*)(unsigned char byte);

// Single-byte code pages and UTF-8: no byte takes the next one with it.
bool NoLeadBytes(unsigned char byte);

// Whether one character of ANSI text beyond ASCII (one byte, or a lead byte and its second)
// stands for a character that a splitter of command lines may take for white space, as U+00A0
// in code page 1252 or U+3000 in 932 are.
using BlankCharacterPredicate = bool (*)(std::string_view character);

// No character beyond ASCII is a blank: for callers that know of no code page.
bool NoWideBlanks(std::string_view character);

// Unicode's white space beyond ASCII, and the zero-width characters that some splitters skip
// as such.
bool IsUnicodeBlank(char32_t character);

// The longest file name a log switch may hand Windows Installer: what fits in a path.
constexpr size_t kMaxLogFileNameCharacters = 259;

// Where a log switch has to be set aside: each of these lets the text of the switch end the /v
// argument early, or hands Windows Installer more (or fewer) arguments than the switch and its
// file name.
enum class LogSwitchFault {
  kNone,
  kNoFileName,              // Windows Installer would take the next property as the file
  kControlCharacter,        // a tab or line end splits the installer's arguments
  kStrayQuote,              // a quote other than the two around the file name
  kBlankOutsideQuotes,      // an unquoted file name with a blank is two arguments
  kTrailingBackslash,       // a backslash before the closing quote escapes it
  kIncompleteCharacter,     // a lead byte that takes a quote, a blank or nothing with it
  kWideBlankOutsideQuotes,  // an unquoted name with a character a splitter may take for a blank
  kBlankName,               // quotes around blanks only: the installer takes the next argument
  kSwitchLikeName,          // a name beginning with "/" or "-" reads as the next option
  kNameTooLong,             // longer than a path can be: the line grows, and no log is written
};

// A few words for the log: why the switch was set aside.
const char* DescribeLogSwitchFault(LogSwitchFault fault);

// Who may answer setup's dialogs: nobody (the service's run, hidden, as LocalSystem) or the
// person at the desktop who confirmed debug mode.
enum class SetupAudience { kNobody, kPersonAtDesktop };

// The UI switch for a UserInterfaceLevel text: "/qf", "/qb!-" or "/qn". Letter case of a to z is
// ignored; nothing is trimmed. "Normal" gives the full UI, which waits for clicks, only where a
// person can give them; for nobody it gives the basic UI that never waits for input.
std::string UiSwitchFor(std::string_view level, SetupAudience audience = SetupAudience::kNobody);

// The first switch that begins with /l or /L, with its one argument (up to the next blank, or
// a double-quoted argument with its quotes); empty when there is none.
std::string FindLogSwitch(std::string_view source);

// %NAME% references replaced by `lookup`'s value. A "%" without a closing one takes the rest of
// the text as the name and ends the text.
std::string ExpandVariables(std::string_view text, const VariableLookup& lookup);

// Whether an expanded switch ("/l..." then a blank and its file name) can sit inside the quoted
// /v argument and reach Windows Installer as exactly two arguments. Characters are judged, not
// bytes; `isBlank` (null: NoWideBlanks) judges the characters beyond ASCII.
LogSwitchFault CheckLogSwitch(std::string_view logSwitch, LeadBytePredicate isLeadByte,
                              BlankCharacterPredicate isBlank = nullptr);

// Every double quote as a backslash and the quote, the backslashes just before it doubled, so
// that the C runtime's rules give the text back unchanged inside the quoted /v argument.
std::string EscapeForQuotedArgument(std::string_view text, LeadBytePredicate isLeadByte);

// The log switch for the /v argument, escaped, from the first of these that passes
// CheckLogSwitch after its variables are expanded: `configFileName` (empty: none), the first
// log switch of `setupCmdLine`, the default switch. Each one set aside is reported to `warn` as
// a line beginning "WARNING:". Empty when even the default is set aside.
std::string ChooseLogSwitch(const std::string& configFileName, std::string_view setupCmdLine,
                            const VariableLookup& lookup, LeadBytePredicate isLeadByte,
                            const std::function<void(const std::string&)>& warn,
                            BlankCharacterPredicate isBlank = nullptr);

// "IDCENABLE=0", "IDCENABLE=1" or empty: what the first "IDCENABLE" of a Setup.ini CmdLine asks
// for, with blanks around "=" allowed and any value other than 0 or 1 dropped.
std::string IdcEnablePropertyIn(std::string_view cmdLine);

// The fixed end of every command line: DAXPID with `daxPidText` as its value (left out when the
// text is empty), the reboot suppression and deployment mark, and the quote that closes the /v
// argument.
std::string CommandLineEnd(std::string_view daxPidText);

// The whole setup.exe command line: the quoted program, /w /s and the quoted /v argument with
// the UI switch, the log switch and IDCENABLE when not empty, then CommandLineEnd with DAXPID
// when it is not 0.
std::string AssembleCommandLine(std::string_view packageDir, std::string_view uiSwitch,
                                std::string_view logSwitch, std::string_view idcEnable,
                                std::uint32_t daxPid);

}  // namespace setupcmd
