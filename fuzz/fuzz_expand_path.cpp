// SubstituteVariables: ExpandPath's loop over %NAME% references, with the expansion map held in
// memory instead of the registry.
//
// Input: the text to expand on the first line, then one "name=value" line per map entry.
#include <algorithm>
#include <cwctype>
#include <map>
#include <string>

#include "fuzz_support.h"
#include "sharedlib/path_expansion_text.h"

using sharedlib::CleanUpBackslashes;
using sharedlib::ExpansionFailure;
using sharedlib::SubstituteVariables;

namespace {

constexpr size_t kMaxEntries = 32;

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return text;
}

std::wstring CleanedUp(std::wstring text) {
  CleanUpBackslashes(text);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring input = fuzz::Latin1(fuzz::Bytes(data, size));
  size_t lineEnd = input.find(L'\n');
  const std::wstring text = input.substr(0, lineEnd);

  // Registry value names match without regard to case, as the map's names do here.
  std::map<std::wstring, std::wstring> map;
  while (lineEnd != std::wstring::npos && map.size() < kMaxEntries) {
    const size_t start = lineEnd + 1;
    lineEnd = input.find(L'\n', start);
    const std::wstring line = input.substr(start, lineEnd - start);
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos || equals == 0) continue;
    map.emplace(Lower(line.substr(0, equals)), line.substr(equals + 1));
  }

  size_t resolved = 0;
  size_t asked = 0;
  const sharedlib::VariableResolver resolve = [&](const std::wstring& name, std::wstring& value) {
    ++asked;
    FUZZ_CHECK(!name.empty() && name == Lower(name));
    const auto found = map.find(name);
    if (found == map.end()) return false;
    ++resolved;
    value = found->second;
    return true;
  };

  std::wstring out = L"left as it was";
  ExpansionFailure failure;
  const int result = SubstituteVariables(text, resolve, out, failure);

  FUZZ_CHECK(result == 0 || result == 1);
  FUZZ_CHECK((result == 1) == (failure.kind == ExpansionFailure::kNone));
  if (text.size() < 3) {
    FUZZ_CHECK(result == 1 && out == text && asked == 0);
    return 0;
  }
  // Each name is expanded at most once per call: the loop asks for every name of the map at
  // most once, and once more for the name it stops on.
  FUZZ_CHECK(asked <= map.size() + 1);
  FUZZ_CHECK(resolved <= asked);
  // The backslash clean-up leaves no doubled backslash but a leading pair, and is idempotent.
  FUZZ_CHECK(out.find(L"\\\\", 1) == std::wstring::npos);
  FUZZ_CHECK(CleanedUp(out) == out);
  // Values that refer to other names many times cannot make the text grow without bound.
  FUZZ_CHECK(out.size() <= std::max(text.size(), sharedlib::kMaxExpandedChars));
  if (result == 1) {
    // Success leaves no reference behind; a text without any is only cleaned up.
    FUZZ_CHECK(out.find(L'%') == std::wstring::npos);
    if (text.find(L'%') == std::wstring::npos) FUZZ_CHECK(out == CleanedUp(text));
  } else {
    // Failure hands back the input text.
    FUZZ_CHECK(out == CleanedUp(text));
    if (failure.kind == ExpansionFailure::kUnknownVariable ||
        failure.kind == ExpansionFailure::kExpandedTwice) {
      FUZZ_CHECK(failure.reference.size() >= 3 && failure.reference.front() == L'%' &&
                 failure.reference.back() == L'%');
    }
  }
  return 0;
}
