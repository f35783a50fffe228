// The substitution of %NAME% references in a path, over any source of variable values. Free of
// any Windows type so that the same code runs in the native fuzz build over a map in memory.
#pragma once

#include <functional>
#include <string>

namespace sharedlib {

// The value of a variable by its lower-case name; false when no source knows the name.
using VariableResolver = std::function<bool(const std::wstring& lowerName, std::wstring& value)>;

// The longest text a replacement may produce: the longest path the wide file functions take.
// Values that refer to other names several times would otherwise double the text with every
// name, and a few hundred bytes of expansion map would exhaust memory and time.
constexpr size_t kMaxExpandedChars = 32767;

// Why a substitution failed, with the reference it failed on where there is one.
struct ExpansionFailure {
  enum Kind { kNone, kUnpairedPercent, kEmptyName, kUnknownVariable, kExpandedTwice, kTooLong };
  Kind kind = kNone;
  std::wstring reference;
};

// Replaces every %NAME% of `text` by its value, values expanded in turn, each name at most once
// per call, as long as the text stays within kMaxExpandedChars. 1 with the expansion in `out`;
// 0 with `text` in `out` and `failure` saying why. A
// text under 3 characters is returned unchanged; otherwise doubled backslashes in `out` are
// collapsed on success and failure alike.
int SubstituteVariables(const std::wstring& text, const VariableResolver& resolve,
                        std::wstring& out, ExpansionFailure& failure);

// "\\" runs collapse to one backslash; a leading pair (a UNC path) survives.
void CleanUpBackslashes(std::wstring& text);

}  // namespace sharedlib
