// ParseVersionText and CompareVersionsOver: the version gate's view of Windows Installer texts.
#include <algorithm>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "setupcmd/version_text.h"

using setupcmd::CompareVersionsOver;
using setupcmd::ParseVersionText;
using setupcmd::VersionNumbers;

namespace {

std::string Format(const VersionNumbers& version) {
  std::string text;
  for (size_t i = 0; i < version.size(); ++i) {
    if (i > 0) text += '.';
    text += std::to_string(version[i]);
  }
  return text;
}

int Sign(int value) { return (value > 0) - (value < 0); }

void CheckOne(std::string_view text, const VersionNumbers& version) {
  // One number per dot, and one for a last piece that is not empty.
  const size_t dots = static_cast<size_t>(std::count(text.begin(), text.end(), '.'));
  const size_t lastDot = text.rfind('.');
  const bool tail = lastDot == std::string_view::npos ? !text.empty() : lastDot + 1 < text.size();
  FUZZ_CHECK(version.size() == dots + (tail ? 1 : 0));

  // The numbers written back as a version text read as the same numbers.
  FUZZ_CHECK(ParseVersionText(Format(version)) == version);

  // A piece of nine digits or fewer is read exactly.
  size_t start = 0;
  for (size_t index = 0; index < version.size(); ++index) {
    const size_t dot = text.find('.', start);
    const std::string_view piece =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (!piece.empty() && piece.size() <= 9 &&
        std::all_of(piece.begin(), piece.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      FUZZ_CHECK(version[index] == std::stoi(std::string(piece)));
    }
    start = dot + 1;
  }
  FUZZ_CHECK(CompareVersionsOver(version, version) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = fuzz::Bytes(data, size);
  // An optional line break separates an installed version from a package version.
  const size_t split = input.find('\n');
  const std::string_view installed = std::string_view(input).substr(0, split);
  const std::string_view package =
      split == std::string::npos ? std::string_view() : std::string_view(input).substr(split + 1);

  const VersionNumbers a = ParseVersionText(installed);
  const VersionNumbers b = ParseVersionText(package);
  CheckOne(installed, a);
  CheckOne(package, b);

  // Over the same number of components the comparison is antisymmetric.
  const int ab = CompareVersionsOver(a, b);
  if (a.size() == b.size()) FUZZ_CHECK(Sign(ab) == -Sign(CompareVersionsOver(b, a)));
  // A version that only adds components is not lower over the shorter one's.
  VersionNumbers longer = a;
  longer.insert(longer.end(), b.begin(), b.end());
  FUZZ_CHECK(CompareVersionsOver(a, longer) == 0);
  return 0;
}
