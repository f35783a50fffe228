#include "sharedlib/isolation.h"

#include <shlwapi.h>

#include <atomic>
#include <new>
#include <optional>

#include "platform/unique_handle.h"

namespace sharedlib {

namespace {

constexpr wchar_t kIsolateIniName[] = L"isolate.ini";
constexpr wchar_t kIsolationSection[] = L"isolation";
// isolate.ini is a few lines; anything this large is not one.
constexpr LONGLONG kIsolateIniMaxBytes = 1 << 20;

struct IsolationContext {
  std::wstring siloName;
  std::wstring siloRegistryRoot;
};

// Process-wide: built once under the lock, then only read (the one base replacement also runs
// under the lock, so readers copy under it too).
SRWLOCK g_lock = SRWLOCK_INIT;
IsolationContext g_context;
std::atomic<bool> g_initialised{false};
std::atomic<bool> g_baseReplaced{false};

class ExclusiveLock {
 public:
  ExclusiveLock() { ::AcquireSRWLockExclusive(&g_lock); }
  ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&g_lock); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;
};

// Whole file as wide text; false when it cannot be read.
bool ReadWideText(const wchar_t* path, std::wstring& text) {
  platform::UniqueFileHandle file(::CreateFileW(path, GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > kIsolateIniMaxBytes) return false;
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!bytes.empty() &&
      !::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
    return false;
  }
  bytes.resize(read);
  text = DecodeIsolateIni(bytes);
  return true;
}

size_t CopyOut(const std::wstring& value, wchar_t* out, size_t outChars) {
  if (!out || outChars == 0) return 0;
  const size_t length = value.size() < outChars - 1 ? value.size() : outChars - 1;
  value.copy(out, length);
  out[length] = L'\0';
  return length;
}

// The program whose folder the isolation context is found from, when it is not this one.
std::wstring g_anchor;

// Looks for isolate.ini in every folder above `module`, the drive root included, but not in a
// bare UNC server name. 0 and the file's path, or a Win32 code.
DWORD FindIsolateIni(HMODULE module, std::wstring& iniPath) {
  wchar_t path[MAX_PATH + 1] = {};
  DWORD length = 0;
  if (!g_anchor.empty() && module == ::GetModuleHandleW(nullptr)) {
    if (g_anchor.size() >= MAX_PATH) return ERROR_INSUFFICIENT_BUFFER;
    length = static_cast<DWORD>(g_anchor.copy(path, MAX_PATH));
  } else {
    length = ::GetModuleFileNameW(module, path, MAX_PATH);
  }
  if (length == 0) return ::GetLastError();
  if (length >= MAX_PATH) return ERROR_INSUFFICIENT_BUFFER;
  while (::PathRemoveFileSpecW(path)) {
    if (::PathIsUNCServerW(path)) break;
    std::wstring candidate = path;
    if (!candidate.empty() && candidate.back() != L'\\') candidate += L'\\';
    candidate += kIsolateIniName;
    const DWORD attributes = ::GetFileAttributesW(candidate.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      iniPath = candidate;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

}  // namespace

void SetIsolationAnchor(const std::wstring& executablePath) { g_anchor = executablePath; }

void TraceFailure(const wchar_t* where, const std::wstring& what) {
  std::wstring line = L"vnShared: ";
  line += where;
  line += L": ";
  line += what;
  line += L"\n";
  ::OutputDebugStringW(line.c_str());
}

size_t ReadIsolateIni(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue,
                      wchar_t* out, size_t outChars, const wchar_t* path) {
  const std::wstring fallback = defaultValue ? defaultValue : L"";
  if (!section || !key || !path) return CopyOut(fallback, out, outChars);
  try {
    std::wstring text;
    if (!ReadWideText(path, text)) return CopyOut(fallback, out, outChars);

    const std::optional<std::wstring> value = FindIsolateIniValue(text, section, key);
    return CopyOut(value ? *value : fallback, out, outChars);
  } catch (const std::bad_alloc&) {
    TraceFailure(L"ReadIsolateIni", L"out of memory");
    return CopyOut(fallback, out, outChars);
  }
}

DWORD GetSiloName(HMODULE module, wchar_t* out, size_t outChars) {
  if (!module || !out || outChars < 38) return ERROR_INVALID_PARAMETER;
  std::wstring iniPath;
  const DWORD found = FindIsolateIni(module, iniPath);
  if (found != ERROR_SUCCESS) return found;
  const size_t length =
      ReadIsolateIni(kIsolationSection, L"silo", L"", out, outChars, iniPath.c_str());
  if (length >= outChars - 1) return ERROR_INSUFFICIENT_BUFFER;
  if (!IsBracedGuid(out)) {
    out[0] = L'\0';
    return ERROR_INVALID_DATA;
  }
  return ERROR_SUCCESS;
}

DWORD CIsolation::GetRegistryHive(HMODULE module, wchar_t* out, size_t outChars) {
  if (!module || !out || outChars < kRegistryHiveChars) return ERROR_INVALID_PARAMETER;
  std::wstring iniPath;
  const DWORD found = FindIsolateIni(module, iniPath);
  if (found == ERROR_FILE_NOT_FOUND) {
    CopyOut(kDefaultRegistryHive, out, outChars);
    return ERROR_SUCCESS;
  }
  if (found != ERROR_SUCCESS) return found;
  const size_t length = ReadIsolateIni(kIsolationSection, L"reghive", kDefaultRegistryHive, out,
                                       outChars, iniPath.c_str());
  if (length >= outChars - 1) return ERROR_INSUFFICIENT_BUFFER;

  // Only a test of the key: a hive that is not there yet, or not readable, is still the hive.
  platform::UniqueRegKey key;
  const LONG opened =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, out, 0, KEY_READ | KEY_WOW64_32KEY, key.put());
  if (opened == ERROR_ACCESS_DENIED) {
    ::OutputDebugStringW(
        L"CIsolation::GetRegistryHive(): RegOpenKeyEx() returned ERROR_ACCESS_DENIED");
  } else if (opened == ERROR_FILE_NOT_FOUND) {
    ::OutputDebugStringW(
        L"CIsolation::GetRegistryHive(): RegOpenKeyEx() returned ERROR_FILE_NOT_FOUND");
  } else if (opened != ERROR_SUCCESS) {
    out[0] = L'\0';
  }
  return out[0] == L'\0' ? ERROR_INVALID_DATA : ERROR_SUCCESS;
}

bool InitIsolation(const wchar_t* silo) {
  if (g_initialised.load()) return true;
  ExclusiveLock lock;
  if (g_initialised.load()) return true;
  try {
    const HMODULE self = ::GetModuleHandleW(nullptr);
    std::wstring siloName;
    if (silo) {
      siloName = silo;
    } else {
      wchar_t buffer[kSiloNameChars] = {};
      const DWORD result = GetSiloName(self, buffer, kSiloNameChars);
      if (result != ERROR_SUCCESS) {
        TraceFailure(L"InitIsolation", L"no silo name, error " + std::to_wstring(result));
        return false;
      }
      siloName = buffer;
    }
    if (!IsBracedGuid(siloName.c_str())) {
      TraceFailure(L"InitIsolation", L"silo is not a braced GUID: " + siloName);
      return false;
    }
    wchar_t hive[kRegistryHiveChars] = {};
    const DWORD result = CIsolation::GetRegistryHive(self, hive, kRegistryHiveChars);
    if (result != ERROR_SUCCESS) {
      TraceFailure(L"InitIsolation", L"no registry hive, error " + std::to_wstring(result));
      return false;
    }
    IsolationContext context;
    context.siloName = siloName;
    context.siloRegistryRoot = std::wstring(hive) + L"\\" + siloName;
    g_context = std::move(context);
    g_initialised.store(true);
    return true;
  } catch (const std::bad_alloc&) {
    TraceFailure(L"InitIsolation", L"out of memory");
    return false;
  }
}

bool SetSiloRegistryBase(const wchar_t* base) {
  if (!InitIsolation()) {
    TraceFailure(L"SetSiloRegistryBase", L"no isolation context");
    return false;
  }
  if (g_baseReplaced.load()) return true;
  ExclusiveLock lock;
  if (g_baseReplaced.load()) return true;
  try {
    std::wstring hive;
    if (base) {
      hive = base;
    } else {
      wchar_t buffer[kRegistryHiveChars] = {};
      const DWORD result =
          CIsolation::GetRegistryHive(::GetModuleHandleW(nullptr), buffer, kRegistryHiveChars);
      if (result != ERROR_SUCCESS) {
        TraceFailure(L"SetSiloRegistryBase", L"no registry hive, error " + std::to_wstring(result));
        return false;
      }
      hive = buffer;
    }
    g_context.siloRegistryRoot = hive + L"\\" + g_context.siloName;
    g_baseReplaced.store(true);
    return true;
  } catch (const std::bad_alloc&) {
    TraceFailure(L"SetSiloRegistryBase", L"out of memory");
    return false;
  }
}

std::wstring GetSiloRegistryRoot() {
  if (!InitIsolation()) {
    TraceFailure(L"GetSiloRegistryRoot", L"no isolation context");
    return std::wstring();
  }
  ExclusiveLock lock;
  return g_context.siloRegistryRoot;
}

std::wstring GetContextSiloName() {
  if (!InitIsolation()) {
    TraceFailure(L"GetContextSiloName", L"no isolation context");
    return std::wstring();
  }
  ExclusiveLock lock;
  return g_context.siloName;
}

}  // namespace sharedlib
