#include "sharedlib/isolation_text.h"

#include <cstdlib>
#include <cwchar>
#include <vector>

namespace sharedlib {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring Trim(const std::wstring& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Letter case folded as the default C locale does it: only A to Z.
wchar_t FoldCase(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

// True when `line` from `offset` on begins with `prefix`, letter case ignored.
bool BeginsWithNoCase(const std::wstring& line, size_t offset, const wchar_t* prefix) {
  const size_t length = std::wcslen(prefix);
  if (line.size() < offset + length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (FoldCase(line[offset + i]) != FoldCase(prefix[i])) return false;
  }
  return true;
}

}  // namespace

bool IsBracedGuid(const wchar_t* text) {
  if (!text || std::wcslen(text) != 38) return false;
  if (text[0] != L'{' || text[37] != L'}') return false;
  for (size_t i = 1; i < 37; ++i) {
    const wchar_t c = text[i];
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (c != L'-') return false;
    } else if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') ||
                 (c >= L'A' && c <= L'F'))) {
      return false;
    }
  }
  return true;
}

std::wstring DecodeIsolateIni(const std::string& bytes) {
  std::wstring text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return text;
  }
  // A stray byte that the conversion refuses must not cost the whole file.
  std::vector<wchar_t> wide(bytes.size() + 1, L'\0');
  const size_t converted = std::mbstowcs(wide.data(), bytes.c_str(), wide.size());
  if (converted != static_cast<size_t>(-1)) {
    text.assign(wide.data(), converted);
  } else {
    for (char c : bytes) {
      if (c == '\0') break;
      text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
  }
  return text;
}

std::optional<std::wstring> FindIsolateIniValue(const std::wstring& text, const wchar_t* section,
                                                const wchar_t* key) {
  if (!section || !key) return std::nullopt;
  bool inSection = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    line = Trim(line);
    if (line.empty() || line[0] == L';' || line[0] == L'#') continue;
    if (!inSection) {
      inSection = line[0] == L'[' && BeginsWithNoCase(line, 1, section);
      continue;
    }
    if (!BeginsWithNoCase(line, 0, key)) continue;
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos) return std::nullopt;
    return Trim(line.substr(equals + 1));
  }
  return std::nullopt;
}

}  // namespace sharedlib
