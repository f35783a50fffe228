#include "sharedlib/path_expansion_text.h"

#include <algorithm>
#include <cwctype>
#include <set>

namespace sharedlib {

namespace {

// Every occurrence of `from`, left to right, without looking into the values put in. Built anew
// rather than replaced in place, so that many occurrences cost linear time; false, with `text`
// unchanged, when the result would pass kMaxExpandedChars.
bool ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
  std::wstring result;
  size_t done = 0;
  for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, done)) {
    result.append(text, done, at - done);
    result += to;
    done = at + from.size();
    if (result.size() > kMaxExpandedChars) return false;
  }
  result.append(text, done, std::wstring::npos);
  if (result.size() > kMaxExpandedChars) return false;
  text.swap(result);
  return true;
}

}  // namespace

void CleanUpBackslashes(std::wstring& text) {
  if (text.find(L"\\\\") == std::wstring::npos) return;
  const bool unc = text.compare(0, 2, L"\\\\") == 0;
  size_t at;
  while ((at = text.find(L"\\\\")) != std::wstring::npos) text.erase(at, 1);
  if (unc) text.insert(0, 1, L'\\');
}

int SubstituteVariables(const std::wstring& text, const VariableResolver& resolve,
                        std::wstring& out, ExpansionFailure& failure) {
  failure = ExpansionFailure();
  out = text;
  std::wstring work = text;
  if (work.size() < 3) return 1;

  int result = 0;
  std::set<std::wstring> expanded;
  for (;;) {
    const size_t open = work.find(L'%');
    if (open == std::wstring::npos) {
      out = work;
      result = 1;
      break;
    }
    const size_t close = open + 1 < work.size() ? work.find(L'%', open + 1) : std::wstring::npos;
    if (close == std::wstring::npos) {
      failure.kind = ExpansionFailure::kUnpairedPercent;
      break;
    }
    const std::wstring reference = work.substr(open, close - open + 1);
    std::wstring name = reference.substr(1, reference.size() - 2);
    if (name.empty()) {
      failure.kind = ExpansionFailure::kEmptyName;
      break;
    }
    std::transform(name.begin(), name.end(), name.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    std::wstring value;
    if (!resolve || !resolve(name, value)) {
      failure = {ExpansionFailure::kUnknownVariable, reference};
      break;
    }
    if (!expanded.insert(name).second) {
      failure = {ExpansionFailure::kExpandedTwice, reference};
      break;
    }
    if (!ReplaceAll(work, reference, value)) {
      failure = {ExpansionFailure::kTooLong, reference};
      break;
    }
  }
  CleanUpBackslashes(out);
  return result;
}

}  // namespace sharedlib
