// The pieces every gate of the report is made of: the gate's record and the texts it holds.
#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>

namespace daxcheck {

using Json = nlohmann::ordered_json;

// A gate that passes until Stop says otherwise.
Json Gate(int number, const char* name);

// Where a stop falls in the run's own order, which is not the order of the gates: the package
// gate looks at setup.exe, which the run opens only after the run state has let it go on.
enum class RunStep : int {
  kAgent = 1,      // -install finds daxinst.exe
  kRunGuard,       // -install, -start and the run take the run guard
  kPackageGround,  // the package folder and its files may be changed by nobody else
  kRunPath,        // the run's registry state decides whether setup is run at all
  kEarlierCode,    // the code left from before is deleted
  kSetupFile,      // setup.exe is opened, shared for reading
  kTrust,          // and verified
  kConfiguration,  // the option writers
  kVersion,        // the version gate
  kCommandLine,    // the command line
};

// Marks the gate as stopping setup at `step` (by default the step of the gate's own number); the
// first reason given stands.
void Stop(Json& gate, const std::string& reason);
void Stop(Json& gate, const std::string& reason, RunStep step);

// The verdict: setup would run unless a gate stops it; the gate named is the one whose stop comes
// first in the run's order (the lower gate number where two stop at the same step).
Json VerdictOf(const Json& gates);

// `text` with every control character (C0, DEL, C1, and the Unicode line and paragraph
// separators) written as an escape, so that text read from a certificate, a file or the registry
// cannot start a line of its own in the text report.
std::string Printable(const std::string& text);

// Text of UTF-16, or of the system code page, as the UTF-8 that JSON holds.
std::string Utf8(const std::wstring& wide);
std::string Utf8(const std::string& ansi);

// A value that was read, or null.
Json OptionalDword(bool found, DWORD value);

// "0x" and eight upper-case hexadecimal digits.
std::string Hex8(unsigned value);

}  // namespace daxcheck
