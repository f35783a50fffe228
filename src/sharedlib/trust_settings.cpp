#include "sharedlib/trust_settings.h"

#include <atomic>
#include <new>
#include <string>

#include "platform/last_error.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"

namespace sharedlib {

const IID IID_IvnTrustSettings = {
    0xe41a7c3d, 0x96b2, 0x4d05, {0x8f, 0x1e, 0x3b, 0x5c, 0x27, 0xa9, 0xd6, 0x10}};

namespace {

// 0 when the policy is missing or not a REG_DWORD.
DWORD ReadPolicy(HKEY key, const wchar_t* name) {
  DWORD value = 0;
  platform::ReadRegistryDword(key, name, value);
  return value;
}

class CTrustSettings final : public IvnTrustSettings {
 public:
  CTrustSettings(ULONG policy, ULONG alternate) : policy_(policy), alternate_(alternate) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IvnTrustSettings)) {
      *object = static_cast<IvnTrustSettings*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  ULONG STDMETHODCALLTYPE TrustPolicy() override { return policy_; }
  ULONG STDMETHODCALLTYPE AlternateTrustPolicy() override { return alternate_; }

 private:
  ~CTrustSettings() = default;
  std::atomic<ULONG> references_{1};
  ULONG policy_;
  ULONG alternate_;
};

}  // namespace

HRESULT CreateTrustSettings(const wchar_t* siloRegistryRoot, IvnTrustSettings** settings) {
  if (!settings) return E_POINTER;
  *settings = nullptr;
  if (!siloRegistryRoot || !*siloRegistryRoot) return E_INVALIDARG;
  const std::wstring path = std::wstring(siloRegistryRoot) + L"\\Varnel\\vnVerifyTrust";
  platform::UniqueRegKey key;
  const LONG opened =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, key.put());
  if (opened != ERROR_SUCCESS) return platform::HResultFromError(static_cast<DWORD>(opened));
  *settings = new (std::nothrow) CTrustSettings(ReadPolicy(key.get(), L"TrustPolicy"),
                                                ReadPolicy(key.get(), L"AlternateTrustPolicy"));
  return *settings ? S_OK : E_OUTOFMEMORY;
}

}  // namespace sharedlib
