#include "sharedlib/trust_identity.h"

#include <cwctype>

#include "sharedlib/signing_config.h"

namespace sharedlib {

namespace {

std::wstring Trim(const std::wstring& text) {
  const auto first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  const auto last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// CertNameToStrW quotes a value that holds a separator or starts or ends with a blank.
std::wstring QuotedValue(const std::wstring& value) {
  const bool needsQuotes = value.empty() || value.front() == L' ' || value.back() == L' ' ||
                           value.find_first_of(L",+=\"\n<>#;") != std::wstring::npos;
  if (!needsQuotes) return value;
  std::wstring quoted = L"\"";
  for (wchar_t c : value) {
    if (c == L'"') quoted += L'"';
    quoted += c;
  }
  quoted += L'"';
  return quoted;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool PublisherIdentity::complete() const {
  return !commonName.empty() && !organisationalUnit.empty() && !organisation.empty() &&
         !locality.empty() && !state.empty() && !country.empty();
}

bool ParsePublisherIdentity(const std::wstring& text, PublisherIdentity& identity) {
  PublisherIdentity parsed;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L';', start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring part = text.substr(start, end - start);
    start = end + 1;
    if (Trim(part).empty()) continue;
    const size_t equals = part.find(L'=');
    if (equals == std::wstring::npos) return false;
    const std::wstring key = Upper(Trim(part.substr(0, equals)));
    const std::wstring value = Trim(part.substr(equals + 1));
    std::wstring* field = nullptr;
    if (key == L"CN")
      field = &parsed.commonName;
    else if (key == L"OU")
      field = &parsed.organisationalUnit;
    else if (key == L"O")
      field = &parsed.organisation;
    else if (key == L"L")
      field = &parsed.locality;
    else if (key == L"ST" || key == L"S")
      field = &parsed.state;
    else if (key == L"C")
      field = &parsed.country;
    if (!field || !field->empty() || value.empty()) return false;
    *field = value;
  }
  identity = parsed;
  return true;
}

const PublisherIdentity& ExpectedPublisher() {
  static const PublisherIdentity identity = [] {
    PublisherIdentity parsed;
    if (!ParsePublisherIdentity(DAXINST_PUBLISHER_TEXT, parsed)) parsed = PublisherIdentity{};
    return parsed;
  }();
  return identity;
}

std::wstring PublisherNameText(const PublisherIdentity& identity) {
  return L"CN=" + QuotedValue(identity.commonName) + L", OU=" +
         QuotedValue(identity.organisationalUnit) + L", O=" + QuotedValue(identity.organisation) +
         L", L=" + QuotedValue(identity.locality) + L", S=" + QuotedValue(identity.state) +
         L", C=" + QuotedValue(identity.country);
}

std::vector<BYTE> SerialBlobFromHex(const char* hex) {
  std::vector<BYTE> bigEndian;
  if (!hex) return {};
  for (const char* p = hex; *p; p += 2) {
    const int high = HexDigit(p[0]);
    const int low = p[1] ? HexDigit(p[1]) : -1;
    if (high < 0 || low < 0) return {};
    bigEndian.push_back(static_cast<BYTE>(high * 16 + low));
  }
  return std::vector<BYTE>(bigEndian.rbegin(), bigEndian.rend());
}

const std::vector<BYTE>& StaleCopySerial() {
  static const std::vector<BYTE> serial = SerialBlobFromHex(DAXINST_STALE_SERIAL_TEXT);
  return serial;
}

}  // namespace sharedlib
