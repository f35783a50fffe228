// DecodeIsolateIni and FindIsolateIniValue: isolate.ini from its bytes to the silo and hive.
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "sharedlib/isolation_text.h"

using sharedlib::DecodeIsolateIni;
using sharedlib::FindIsolateIniValue;

namespace {

std::string Utf16File(const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return bytes;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

void CheckValue(const std::wstring& text, const std::optional<std::wstring>& value,
                const wchar_t* key, const wchar_t* upperKey) {
  // Names match without regard to letter case.
  FUZZ_CHECK(FindIsolateIniValue(text, L"ISOLATION", upperKey) == value);
  if (!value) return;
  // A value is trimmed, on one line, and a piece of the text.
  FUZZ_CHECK(value->find(L'\n') == std::wstring::npos);
  if (!value->empty()) {
    FUZZ_CHECK(!IsBlank(value->front()) && !IsBlank(value->back()));
    FUZZ_CHECK(text.find(*value) != std::wstring::npos);
  }
  // Written alone into a fresh file, the value reads back unchanged.
  const std::wstring fresh = L"[isolation]\r\n" + std::wstring(key) + L"=" + *value + L"\r\n";
  FUZZ_CHECK(FindIsolateIniValue(fresh, L"isolation", key) == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes = fuzz::Bytes(data, size);
  const std::wstring text = DecodeIsolateIni(bytes);

  // At most one character per byte, or per two bytes after a byte-order mark.
  const bool bom = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
  if (bom) {
    FUZZ_CHECK(text.size() == (size - 2) / 2);
  } else {
    FUZZ_CHECK(text.size() <= size);
  }
  // The same text stored as UTF-16 decodes to itself.
  FUZZ_CHECK(DecodeIsolateIni(Utf16File(text)) == text);

  const std::optional<std::wstring> silo = FindIsolateIniValue(text, L"isolation", L"silo");
  const std::optional<std::wstring> hive = FindIsolateIniValue(text, L"isolation", L"reghive");
  CheckValue(text, silo, L"silo", L"SILO");
  CheckValue(text, hive, L"reghive", L"REGHIVE");
  // Without a key name there is nothing to find.
  FUZZ_CHECK(!FindIsolateIniValue(text, L"isolation", nullptr));
  return 0;
}
