// Owning wrappers for Win32 handles and COM interfaces: one template, one traits type per kind of
// handle, so that every kind spells out its own invalid value and its own close function.
#pragma once

#include <windows.h>

#include <msi.h>
#include <oleauto.h>
#include <wincrypt.h>
#include <winsvc.h>

#include <utility>

namespace platform {

template <typename Traits>
class UniqueHandle {
 public:
  using pointer = typename Traits::pointer;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(pointer value) noexcept : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  pointer get() const noexcept { return value_; }
  bool is_valid() const noexcept { return value_ != Traits::invalid(); }
  explicit operator bool() const noexcept { return is_valid(); }
  // For the kinds whose handle is a pointer to an object, such as a COM interface.
  pointer operator->() const noexcept { return value_; }

  void reset(pointer value = Traits::invalid()) noexcept {
    if (is_valid()) Traits::close(value_);
    value_ = value;
  }

  [[nodiscard]] pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }

  // For out-parameters of Win32 calls; drops whatever was held.
  pointer* put() noexcept {
    reset();
    return &value_;
  }

 private:
  pointer value_ = Traits::invalid();
};

struct KernelHandleTraits {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CloseHandle(h); }
};

// CreateFile and the snapshot functions fail with INVALID_HANDLE_VALUE, not NULL.
struct FileHandleTraits {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(pointer h) noexcept { ::CloseHandle(h); }
};

struct RegKeyTraits {
  using pointer = HKEY;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::RegCloseKey(h); }
};

struct ServiceHandleTraits {
  using pointer = SC_HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CloseServiceHandle(h); }
};

struct LibraryTraits {
  using pointer = HMODULE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::FreeLibrary(h); }
};

struct CertStoreTraits {
  using pointer = HCERTSTORE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CertCloseStore(h, 0); }
};

// A certificate context holds a reference of its own, apart from the store it came from.
struct CertContextTraits {
  using pointer = PCCERT_CONTEXT;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CertFreeCertificateContext(h); }
};

struct CryptProviderTraits {
  using pointer = HCRYPTPROV;
  static pointer invalid() noexcept { return 0; }
  static void close(pointer h) noexcept { ::CryptReleaseContext(h, 0); }
};

struct EventSourceTraits {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::DeregisterEventSource(h); }
};

struct LocalMemoryTraits {
  using pointer = HLOCAL;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::LocalFree(h); }
};

struct FindHandleTraits {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(pointer h) noexcept { ::FindClose(h); }
};

// Windows Installer handles are numbers, 0 when absent. Closing needs msi.dll, so only code that
// uses these links it.
struct MsiHandleTraits {
  using pointer = MSIHANDLE;
  static pointer invalid() noexcept { return 0; }
  static void close(pointer h) noexcept { ::MsiCloseHandle(h); }
};

// The argument vector of CommandLineToArgvW, one allocation.
struct ArgumentVectorTraits {
  using pointer = LPWSTR*;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::LocalFree(h); }
};

// Releasing needs oleaut32.dll, so only code that uses these links it.
struct BstrTraits {
  using pointer = BSTR;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::SysFreeString(h); }
};

// One reference to a COM interface.
template <typename Interface>
struct ComInterfaceTraits {
  using pointer = Interface*;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { h->Release(); }
};

using UniqueFindHandle = UniqueHandle<FindHandleTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueServiceHandle = UniqueHandle<ServiceHandleTraits>;
using UniqueLibrary = UniqueHandle<LibraryTraits>;
using UniqueCertStore = UniqueHandle<CertStoreTraits>;
using UniqueCertContext = UniqueHandle<CertContextTraits>;
using UniqueCryptProvider = UniqueHandle<CryptProviderTraits>;
using UniqueEventSource = UniqueHandle<EventSourceTraits>;
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits>;
using UniqueMsiHandle = UniqueHandle<MsiHandleTraits>;
using UniqueArgumentVector = UniqueHandle<ArgumentVectorTraits>;
using UniqueBstr = UniqueHandle<BstrTraits>;
template <typename Interface>
using ComPtr = UniqueHandle<ComInterfaceTraits<Interface>>;

}  // namespace platform
