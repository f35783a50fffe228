// IsBracedGuid: the form of a silo name.
#include <cwctype>
#include <string>

#include "fuzz_support.h"
#include "sharedlib/isolation_text.h"

using sharedlib::IsBracedGuid;

namespace {

bool IsDashPosition(size_t i) { return i == 9 || i == 14 || i == 19 || i == 24; }

std::wstring BracedGuidFrom(const std::uint8_t* data, std::size_t size, bool upper) {
  static const wchar_t kHex[] = L"0123456789abcdef0123456789ABCDEF";
  std::wstring text = L"{";
  size_t nibble = 0;
  for (size_t i = 1; i < 37; ++i) {
    if (IsDashPosition(i)) {
      text += L'-';
      continue;
    }
    const std::uint8_t byte = size ? data[(nibble / 2) % size] : 0;
    const unsigned value = nibble % 2 ? byte & 0xF : byte >> 4;
    text += kHex[value + (upper ? 16 : 0)];
    ++nibble;
  }
  return text + L"}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The function takes a C string: the text ends at its first NUL.
  std::wstring text = fuzz::Utf16Units(data, size);
  text.resize(std::char_traits<wchar_t>::length(text.c_str()));
  const bool braced = IsBracedGuid(text.c_str());

  FUZZ_CHECK(!braced || (text.size() == 38 && text.front() == L'{' && text.back() == L'}'));
  if (braced) {
    // Letter case does not matter; any position changed to a character it cannot hold, or one
    // character more or less, does.
    std::wstring swapped = text;
    for (wchar_t& c : swapped) {
      c = std::iswupper(c) ? static_cast<wchar_t>(std::towlower(c))
                           : static_cast<wchar_t>(std::towupper(c));
    }
    FUZZ_CHECK(IsBracedGuid(swapped.c_str()));
    for (size_t i = 0; i < text.size(); ++i) {
      std::wstring broken = text;
      broken[i] = i == 0 || i == 37 || IsDashPosition(i) ? L'0' : L'g';
      FUZZ_CHECK(!IsBracedGuid(broken.c_str()));
    }
    FUZZ_CHECK(!IsBracedGuid((text + L"0").c_str()));
    FUZZ_CHECK(!IsBracedGuid(text.substr(0, 37).c_str()));
  }
  // Whatever the bytes, a GUID written out from them in either letter case is accepted.
  FUZZ_CHECK(IsBracedGuid(BracedGuidFrom(data, size, false).c_str()));
  FUZZ_CHECK(IsBracedGuid(BracedGuidFrom(data, size, true).c_str()));
  FUZZ_CHECK(!IsBracedGuid(nullptr));
  return 0;
}
