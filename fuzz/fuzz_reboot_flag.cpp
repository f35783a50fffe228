// ReadRebootFlagNumber: the number formatted stream input reads from a reboot flag's text.
#include <climits>
#include <locale>
#include <optional>
#include <string>

#include "config/reboot_option_text.h"
#include "fuzz_support.h"

namespace {

// What stream input should read, worked out independently: white space of the classic locale
// skipped, an optional sign, then decimal digits up to the first other character.
std::optional<int> Expected(const std::wstring& text) {
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale::classic());
  size_t i = 0;
  while (i < text.size() && ctype.is(std::ctype_base::space, text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  const size_t digitsStart = i;
  // Held just above the int range once it is left, so that long texts cannot overflow here.
  const long long ceiling = static_cast<long long>(INT_MAX) + 2;
  long long value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > ceiling) value = ceiling;
  }
  if (i == digitsStart) return std::nullopt;
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring text = fuzz::Utf16Units(data, size);
  const std::optional<int> number = config::ReadRebootFlagNumber(text);
  FUZZ_CHECK(number == Expected(text));
  // A number that was read is read again from its own decimal form.
  if (number) FUZZ_CHECK(config::ReadRebootFlagNumber(std::to_wstring(*number)) == number);
  return 0;
}
