// The trust check of the staged setup program. Before its first verification the verifier
// brings the machine's certificate stores up to date from the certificate bundle embedded in
// the program (resource "ROOTC" 1); the file trust verifier then judges the file, and a file
// that passes stays open, shared for reading only, until the verifier is destroyed, so that it
// cannot be replaced between the verdict and the setup run.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <functional>
#include <vector>

#include "platform/unique_handle.h"
#include "sharedlib/trust_settings.h"
#include "sharedlib/trust_verifier.h"

namespace upgrade {

// Receives each report text of a verifier.
using ErrorReportHook = std::function<void(const wchar_t* text)>;

struct SetupVerifier {
  platform::UniqueCryptProvider cryptoProvider;
  platform::ComPtr<sharedlib::IvnTrustSettings> settings;
  bool certificateUpdateEnabled = true;
  bool certificatesUpdated = false;
  ErrorReportHook errorReportHook;
  std::vector<platform::UniqueFileHandle> keptFiles;
};

// Never fails: a missing provider context or settings object is only reported or traced.
SetupVerifier* CreateSetupVerifier(ErrorReportHook hook = {});

// 0 when trusted (the file is then kept open); TRUST_E_SUBJECT_NOT_TRUSTED; E_FAIL when the
// trust verifier cannot be initialised; an HRESULT made from the Win32 error when the file
// cannot be opened, E_FAIL when the open failed without saying why. Never 0 for a failure.
LONG VerifySetupFile(SetupVerifier* verifier, const wchar_t* path);

// The same for a file that the caller holds open for reading (as the setup launcher holds
// setup.exe): the file is judged through `file`, so the verdict is about what that handle holds,
// and `path` is only the name the verdict goes by. The verifier keeps a handle of its own to the
// same open file, never one found again by its name.
LONG VerifySetupFile(SetupVerifier* verifier, const wchar_t* path, HANDLE file);

// Releases everything; the kept files are closed here.
void DestroySetupVerifier(SetupVerifier* verifier);

// The certificate bundle embedded in this program, opened as an in-memory store; empty, with
// `error` set, when the resource is missing or cannot be read.
platform::UniqueCertStore OpenCertificateBundle(HRESULT& error);

// The copy of the publisher's intermediate certificate (the stale serial) among the certificates
// of `store`, which the certificate update removes from the trusted roots; none when the store
// holds none or no serial is configured.
platform::UniqueCertContext FindStaleCopy(HCERTSTORE store);

// The machine store that the certificate update puts a bundle certificate into: "ROOT" for a
// self-signed one, "CA" for every other.
const wchar_t* BundleTargetStore(PCCERT_CONTEXT certificate);

// How verifiers make their file trust verifier. Tests install a factory to produce a component
// that cannot be initialised or cannot judge a held file; returns the factory it replaces.
using VerifyTrustFactory = HRESULT (*)(sharedlib::IvnVerifyTrust** instance);
VerifyTrustFactory SetVerifyTrustFactoryForTesting(VerifyTrustFactory factory);

}  // namespace upgrade
