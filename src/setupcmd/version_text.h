// Version texts as Windows Installer hands them over, taken apart into numbers. Free of any
// Windows type so that the same code runs in the native fuzz build.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace setupcmd {

// One signed number per dot-separated component of a version text.
using VersionNumbers = std::vector<std::int32_t>;

// Splits a version text at its dots; strtol rules for each component (saturated to 32 bits), an
// empty component counts as 0 and a trailing dot adds nothing. A component ends at a NUL.
VersionNumbers ParseVersionText(std::string_view versionText);

// Compares over the components of `first` only, a component that `second` lacks counting as 0:
// negative when `first` is lower there, positive when higher, 0 when equal over them.
int CompareVersionsOver(const VersionNumbers& first, const VersionNumbers& second);

}  // namespace setupcmd
