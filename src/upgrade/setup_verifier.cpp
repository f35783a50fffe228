#include "upgrade/setup_verifier.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "contract/product_registry.h"
#include "diag/trace.h"
#include "platform/file_identity.h"
#include "platform/last_error.h"
#include "platform/registry.h"
#include "sharedlib/isolation.h"
#include "sharedlib/trust_identity.h"

namespace upgrade {

namespace {

// Messages of the setup trust check; the format files give their texts.
// {6D3A9F1E-C84B-4B27-9E05-A1F2B7C64D83}
const GUID kSetupVerifierMessages = {
    0x6d3a9f1e, 0xc84b, 0x4b27, {0x9e, 0x05, 0xa1, 0xf2, 0xb7, 0xc6, 0x4d, 0x83}};
enum : USHORT {
  kMsgReport = 1,          // report text
  kMsgSettingsFailed = 2,  // HRESULT
  kMsgSiloRebaseFailed = 3,
};

const wchar_t kEnhancedAesProvider[] = L"Microsoft Enhanced RSA and AES Cryptographic Provider";
const wchar_t kEnhancedAesPrototypeProvider[] =
    L"Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)";

VerifyTrustFactory g_factory = sharedlib::CreateVerifyTrust;

// Formats a report, sends it to the event trace and to the hook.
void Report(const SetupVerifier& verifier, const wchar_t* format, ...) {
  wchar_t text[1024] = {};
  va_list args;
  va_start(args, format);
  // The Microsoft form reads %s as wide text with every compiler and run-time library.
  ::_vsnwprintf(text, sizeof(text) / sizeof(text[0]) - 1, format, args);
  va_end(args);
  diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelError, kSetupVerifierMessages,
                   kMsgReport, {diag::TraceArg::Text(text)});
  if (verifier.errorReportHook) verifier.errorReportHook(text);
}

platform::UniqueCertStore OpenMachineStore(const wchar_t* name) {
  return platform::UniqueCertStore(
      ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, name));
}

// Writes a store's changes through to the registry and closes it. Closing alone is what makes
// a change last on Windows; Wine keeps the machine's system stores open inside the process and
// writes them only on a commit.
void CommitAndClose(platform::UniqueCertStore& store) {
  if (!store) return;
  ::CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
  store.reset();
}

// Removes a copy of the publisher's intermediate certificate from the trusted roots.
HRESULT RemoveStaleCopy() {
  if (sharedlib::StaleCopySerial().empty()) return S_OK;
  platform::UniqueCertStore root = OpenMachineStore(L"ROOT");
  if (!root) return platform::HResultFromLastError();
  platform::UniqueCertContext copy = FindStaleCopy(root.get());
  // Deleting frees the context it is given, even when it fails.
  if (copy && !::CertDeleteCertificateFromStore(copy.release())) {
    const HRESULT error = platform::HResultFromLastError();
    if (error != CRYPT_E_NOT_FOUND) return error;
  }
  CommitAndClose(root);
  return S_OK;
}

// Adds the bundle's self-signed certificates to the trusted roots and the others to the
// intermediate authorities.
HRESULT InstallBundle() {
  HRESULT opened = S_OK;
  platform::UniqueCertStore bundle = OpenCertificateBundle(opened);
  if (!bundle) return opened;
  platform::UniqueCertStore root = OpenMachineStore(L"ROOT");
  if (!root) return platform::HResultFromLastError();
  platform::UniqueCertStore ca = OpenMachineStore(L"CA");
  if (!ca) return platform::HResultFromLastError();

  HRESULT result = S_OK;
  // Each step of the walk frees the context it is given and answers the next one.
  platform::UniqueCertContext current;
  for (;;) {
    current.reset(::CertEnumCertificatesInStore(bundle.get(), current.release()));
    if (!current) break;
    const bool toRoot = std::wcscmp(BundleTargetStore(current.get()), L"ROOT") == 0;
    if (!::CertAddCertificateContextToStore(toRoot ? root.get() : ca.get(), current.get(),
                                            CERT_STORE_ADD_NEW, nullptr)) {
      const HRESULT error = platform::HResultFromLastError();
      if (error != CRYPT_E_EXISTS) {
        result = error;
        break;
      }
    }
  }
  current.reset();
  CommitAndClose(root);
  CommitAndClose(ca);
  return result;
}

void UpdateCertificates(SetupVerifier& verifier) {
  if (!verifier.certificateUpdateEnabled || verifier.certificatesUpdated) return;
  const HRESULT removed = RemoveStaleCopy();
  if (FAILED(removed)) {
    Report(verifier, L"Failed to delete certificate. HRESULT: 0x%08X",
           static_cast<unsigned>(removed));
  }
  verifier.certificatesUpdated = true;
  const HRESULT installed = InstallBundle();
  if (FAILED(installed)) {
    Report(verifier, L"Failed to install certificate. HRESULT: 0x%08X",
           static_cast<unsigned>(installed));
  }
}

void AcquireProvider(SetupVerifier& verifier) {
  HCRYPTPROV provider = 0;
  const wchar_t* name = kEnhancedAesProvider;
  BOOL acquired =
      ::CryptAcquireContextW(&provider, nullptr, name, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
  if (!acquired && static_cast<HRESULT>(::GetLastError()) == NTE_KEYSET_NOT_DEF) {
    name = kEnhancedAesPrototypeProvider;
    acquired = ::CryptAcquireContextW(&provider, nullptr, name, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
  }
  if (!acquired && static_cast<HRESULT>(::GetLastError()) == NTE_BAD_KEYSET) {
    acquired = ::CryptAcquireContextW(&provider, nullptr, name, PROV_RSA_AES,
                                      CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET);
  }
  if (!acquired) {
    Report(verifier, L"Failed to acquire crypto context. Last error: %d",
           static_cast<int>(::GetLastError()));
    return;
  }
  verifier.cryptoProvider.reset(provider);
}

// The silo that the product key names, or empty when it names none.
std::wstring ReadSilo() {
  platform::UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, contract::kSiloKeyPath, 0, KEY_READ | KEY_WOW64_32KEY,
                      key.put()) != ERROR_SUCCESS) {
    return {};
  }
  // At most 260 characters.
  platform::TextValueLimits limits;
  limits.maxBytes = 260 * sizeof(wchar_t);
  limits.stringTypesOnly = true;
  std::wstring silo;
  if (!platform::ReadRegistryText(key.get(), L"silo", limits, silo)) return {};
  return silo;
}

// The settings object lives below the silo's registry root, re-based on the product key when
// that key names a silo.
void CreateSettings(SetupVerifier& verifier) {
  const std::wstring silo = ReadSilo();
  if (!silo.empty() && !sharedlib::SetSiloRegistryBase(contract::kSiloKeyPath)) {
    diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelWarning, kSetupVerifierMessages,
                     kMsgSiloRebaseFailed, {diag::TraceArg::Text(silo.c_str())});
    return;
  }
  const std::wstring siloRoot = sharedlib::GetSiloRegistryRoot();
  sharedlib::IvnTrustSettings* settings = nullptr;
  const HRESULT created = sharedlib::CreateTrustSettings(siloRoot.c_str(), &settings);
  if (SUCCEEDED(created)) {
    verifier.settings.reset(settings);
  } else {
    diag::TracePoint(diag::kTraceFlagGeneral, diag::kTraceLevelWarning, kSetupVerifierMessages,
                     kMsgSettingsFailed, {diag::TraceArg::Number(static_cast<int>(created))});
  }
}

}  // namespace

platform::UniqueCertStore OpenCertificateBundle(HRESULT& error) {
  error = S_OK;
  HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), L"ROOTC");
  if (!resource) {
    error = platform::HResultFromLastError();
    return {};
  }
  HGLOBAL loaded = ::LoadResource(module, resource);
  const DWORD size = ::SizeofResource(module, resource);
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (!data || size == 0) {
    error = platform::HResultFromLastError();
    return {};
  }
  CRYPT_DATA_BLOB blob = {size, static_cast<BYTE*>(const_cast<void*>(data))};
  HCERTSTORE rawBundle = nullptr;
  if (!::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_ALL,
                          CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, &rawBundle,
                          nullptr, nullptr)) {
    error = platform::HResultFromLastError();
    return {};
  }
  return platform::UniqueCertStore(rawBundle);
}

const wchar_t* BundleTargetStore(PCCERT_CONTEXT certificate) {
  const bool selfSigned = ::CertCompareCertificateName(
      X509_ASN_ENCODING, &certificate->pCertInfo->Issuer, &certificate->pCertInfo->Subject);
  return selfSigned ? L"ROOT" : L"CA";
}

platform::UniqueCertContext FindStaleCopy(HCERTSTORE store) {
  platform::UniqueCertContext current;
  const std::vector<BYTE>& serial = sharedlib::StaleCopySerial();
  if (!store || serial.empty()) return current;
  CRYPT_INTEGER_BLOB wanted = {static_cast<DWORD>(serial.size()), const_cast<BYTE*>(serial.data())};
  // Each step of the walk frees the context it is given and answers the next one.
  for (;;) {
    current.reset(::CertEnumCertificatesInStore(store, current.release()));
    if (!current || ::CertCompareIntegerBlob(&current->pCertInfo->SerialNumber, &wanted)) break;
  }
  return current;
}

SetupVerifier* CreateSetupVerifier(ErrorReportHook hook) {
  auto* verifier = new SetupVerifier();
  verifier->errorReportHook = std::move(hook);
  AcquireProvider(*verifier);
  CreateSettings(*verifier);
  return verifier;
}

LONG VerifySetupFile(SetupVerifier* verifier, const wchar_t* path) {
  if (!verifier) return E_INVALIDARG;
  UpdateCertificates(*verifier);
  const wchar_t* name = path ? path : L"";
  platform::UniqueFileHandle file = platform::OpenReadShared(name);
  if (!file) {
    const DWORD error = ::GetLastError();
    Report(*verifier, L"Could not open file %s. Last error: %d", name, static_cast<int>(error));
    // Never 0, the answer for a trusted file.
    return platform::HResultFromError(error);
  }
  return VerifySetupFile(verifier, path, file.get());
}

LONG VerifySetupFile(SetupVerifier* verifier, const wchar_t* path, HANDLE file) {
  if (!verifier) return E_INVALIDARG;
  UpdateCertificates(*verifier);
  const wchar_t* name = path ? path : L"";

  // The verifier's own hold on the file is the caller's file object, not another open by name.
  HANDLE rawKept = nullptr;
  if (file == INVALID_HANDLE_VALUE || !file ||
      !::DuplicateHandle(::GetCurrentProcess(), file, ::GetCurrentProcess(), &rawKept, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    const DWORD error = file == INVALID_HANDLE_VALUE || !file
                            ? static_cast<DWORD>(ERROR_INVALID_HANDLE)
                            : ::GetLastError();
    Report(*verifier, L"Could not open file %s. Last error: %d", name, static_cast<int>(error));
    return platform::HResultFromError(error);
  }
  platform::UniqueFileHandle kept(rawKept);

  sharedlib::IvnVerifyTrust* rawInstance = nullptr;
  const HRESULT created = g_factory(&rawInstance);
  platform::ComPtr<sharedlib::IvnVerifyTrust> instance(SUCCEEDED(created) ? rawInstance : nullptr);
  if (!instance) {
    Report(*verifier, L"Failed to create vnVerifyTrust. Error: %d", static_cast<int>(created));
    return E_FAIL;
  }
  if (!verifier->settings) {
    platform::ComPtr<sharedlib::IvnVerifyTrustConfig> config;
    if (SUCCEEDED(instance->QueryInterface(sharedlib::IID_IvnVerifyTrustConfig,
                                           reinterpret_cast<void**>(config.put()))) &&
        config) {
      config->SetOption(0);
    }
  }

  const ULONG ready = instance->Initialise(sharedlib::kTrustInitialiseStandard);
  if (ready != sharedlib::kTrustReady) {
    Report(*verifier, L"Failed to create vnVerifyTrust. Error: %d", static_cast<int>(ready));
    return E_FAIL;
  }
  sharedlib::IvnVerifyHeldFile* rawHeld = nullptr;
  const HRESULT found = instance->QueryInterface(sharedlib::IID_IvnVerifyHeldFile,
                                                 reinterpret_cast<void**>(&rawHeld));
  platform::ComPtr<sharedlib::IvnVerifyHeldFile> held(SUCCEEDED(found) ? rawHeld : nullptr);
  if (!held) {
    // A component that can judge files only by their names cannot judge this one.
    Report(*verifier, L"Failed to create vnVerifyTrust. Error: %d",
           static_cast<int>(FAILED(found) ? found : E_NOINTERFACE));
    return E_FAIL;
  }
  const ULONG answer = held->VerifyHeldFile(name, kept.get(), sharedlib::kTrustLevelPublisher);
  if (answer != sharedlib::kTrustTrusted) {
    Report(*verifier, L"File %s is not trusted. VerifyFile result: %d", name,
           static_cast<int>(answer));
    return TRUST_E_SUBJECT_NOT_TRUSTED;
  }
  verifier->keptFiles.push_back(std::move(kept));
  return 0;
}

void DestroySetupVerifier(SetupVerifier* verifier) {
  if (!verifier) return;
  verifier->cryptoProvider.reset();
  verifier->keptFiles.clear();
  verifier->settings.reset();
  delete verifier;
}

VerifyTrustFactory SetVerifyTrustFactoryForTesting(VerifyTrustFactory factory) {
  const VerifyTrustFactory previous = g_factory;
  g_factory = factory ? factory : sharedlib::CreateVerifyTrust;
  return previous;
}

}  // namespace upgrade
