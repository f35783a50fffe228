#include "platform/registry.h"

#include <vector>

#include "platform/unique_handle.h"

namespace platform {

namespace {

template <typename Char>
LSTATUS QueryValue(HKEY key, const Char* name, DWORD* type, BYTE* data, DWORD* size);

template <>
LSTATUS QueryValue<char>(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size) {
  return ::RegQueryValueExA(key, name, nullptr, type, data, size);
}

template <>
LSTATUS QueryValue<wchar_t>(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
  return ::RegQueryValueExW(key, name, nullptr, type, data, size);
}

template <typename Char>
bool ReadDword(HKEY key, const Char* valueName, DWORD& value) {
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (QueryValue(key, valueName, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(data)) {
    return false;
  }
  value = data;
  return true;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// The value's bytes into a buffer that keeps one zero character past them. A limited read has
// one try; an unlimited one grows its buffer when the value grows between the size query and the
// read, a few times at most, so that a value rewritten without pause cannot hold the reader.
constexpr int kUnlimitedReadTries = 4;
template <typename Char>
bool ReadTextBytes(HKEY key, const Char* valueName, const TextValueLimits& limits,
                   std::vector<Char>& buffer, DWORD& type, DWORD& size) {
  size = limits.maxBytes;
  if (size == 0 && QueryValue(key, valueName, &type, nullptr, &size) != ERROR_SUCCESS) {
    return false;
  }
  for (int attempt = 0; attempt < kUnlimitedReadTries; ++attempt) {
    buffer.assign(size / sizeof(Char) + 2, Char());
    DWORD room = limits.maxBytes != 0 ? limits.maxBytes
                                      : static_cast<DWORD>((buffer.size() - 1) * sizeof(Char));
    const LSTATUS status =
        QueryValue(key, valueName, &type, reinterpret_cast<BYTE*>(buffer.data()), &room);
    if (status == ERROR_SUCCESS) {
      size = room;
      return true;
    }
    if (status != ERROR_MORE_DATA || limits.maxBytes != 0) return false;
    size = room;
  }
  return false;
}

template <typename Char>
bool ReadText(HKEY key, const Char* valueName, const TextValueLimits& limits,
              std::basic_string<Char>& value) {
  std::vector<Char> buffer;
  DWORD type = 0;
  DWORD size = 0;
  if (!ReadTextBytes(key, valueName, limits, buffer, type, size)) return false;
  if (limits.stringTypesOnly && !IsStringType(type)) return false;
  if (limits.wholeCharactersOnly && size % sizeof(Char) != 0) return false;
  buffer[size / sizeof(Char)] = Char();
  value = buffer.data();
  return true;
}

}  // namespace

bool ReadRegistryDword(HKEY root, const char* subKey, const char* valueName, REGSAM view,
                       DWORD& value) {
  UniqueRegKey key;
  if (::RegOpenKeyExA(root, subKey, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return false;
  return ReadDword(key.get(), valueName, value);
}

bool ReadRegistryDword(HKEY key, const char* valueName, DWORD& value) {
  return ReadDword(key, valueName, value);
}

bool ReadRegistryDword(HKEY key, const wchar_t* valueName, DWORD& value) {
  return ReadDword(key, valueName, value);
}

bool ReadRegistryText(HKEY key, const char* valueName, const TextValueLimits& limits,
                      std::string& value) {
  return ReadText(key, valueName, limits, value);
}

bool ReadRegistryText(HKEY key, const wchar_t* valueName, const TextValueLimits& limits,
                      std::wstring& value) {
  return ReadText(key, valueName, limits, value);
}

int WriteRegistryDword(HKEY root, const char* subKey, const char* valueName, DWORD value,
                       REGSAM view) {
  UniqueRegKey key;
  if (::RegCreateKeyExA(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | view,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return 1;
  }
  return ::RegSetValueExA(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS
             ? 0
             : 1;
}

int DeleteRegistryValue(HKEY root, const char* subKey, const char* valueName, REGSAM view) {
  UniqueRegKey key;
  if (::RegOpenKeyExA(root, subKey, 0, KEY_ALL_ACCESS | view, key.put()) != ERROR_SUCCESS) {
    return 1;
  }
  return DeleteOpenKeyValue(key.get(), valueName) == ERROR_SUCCESS ? 0 : 1;
}

LONG DeleteOpenKeyValue(HKEY key, const char* valueName) {
  return ::RegDeleteValueA(key, valueName);
}

}  // namespace platform
