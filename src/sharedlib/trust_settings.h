// The optional settings object of the trust verifier: the trust policy values that the
// installed client keeps below its silo's registry root.
#pragma once

#include <windows.h>
// after windows.h
#include <unknwn.h>

namespace sharedlib {

// {E41A7C3D-96B2-4D05-8F1E-3B5C27A9D610}
extern const IID IID_IvnTrustSettings;

struct IvnTrustSettings : public IUnknown {
  virtual ULONG STDMETHODCALLTYPE TrustPolicy() = 0;
  virtual ULONG STDMETHODCALLTYPE AlternateTrustPolicy() = 0;
};

// Reads "TrustPolicy" and "AlternateTrustPolicy" (DWORD, 0 when absent) from
// HKEY_LOCAL_MACHINE\<siloRegistryRoot>\Varnel\vnVerifyTrust in the 32-bit view. Fails with
// E_INVALIDARG without a root, and with the Win32 error when the key cannot be opened.
HRESULT CreateTrustSettings(const wchar_t* siloRegistryRoot, IvnTrustSettings** settings);

}  // namespace sharedlib
