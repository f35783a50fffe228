#include "setupcmd/version_text.h"

#include <climits>
#include <cstdlib>
#include <string>

namespace setupcmd {

namespace {

// strtol semantics, held to 32 bits whatever the width of long.
std::int32_t ParseComponent(std::string_view piece) {
  const std::string text(piece);
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

std::int32_t ComponentAt(const VersionNumbers& version, size_t index) {
  return index < version.size() ? version[index] : 0;
}

}  // namespace

VersionNumbers ParseVersionText(std::string_view versionText) {
  VersionNumbers numbers;
  size_t start = 0;
  for (size_t dot = versionText.find('.'); dot != std::string_view::npos;
       dot = versionText.find('.', start)) {
    numbers.push_back(ParseComponent(versionText.substr(start, dot - start)));
    start = dot + 1;
  }
  if (start < versionText.size()) numbers.push_back(ParseComponent(versionText.substr(start)));
  return numbers;
}

int CompareVersionsOver(const VersionNumbers& first, const VersionNumbers& second) {
  for (size_t index = 0; index < first.size(); ++index) {
    const std::int32_t mine = first[index];
    const std::int32_t theirs = ComponentAt(second, index);
    if (mine != theirs) return mine < theirs ? -1 : 1;
  }
  return 0;
}

}  // namespace setupcmd
