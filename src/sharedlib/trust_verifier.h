// vnVerifyTrust: the shared library's judge of files. Given a path and a trust level it answers
// whether the file carries a valid Authenticode signature whose signer certificate belongs to
// the expected publisher.
#pragma once

#include <windows.h>
// after windows.h
#include <unknwn.h>
#include <wincrypt.h>

#include <string>

namespace sharedlib {

// Answers of a verification request.
enum TrustAnswer : ULONG {
  kTrustTrusted = 1,
  kTrustNoFile = 2,
  kTrustNotTrusted = 3,
  kTrustNoSignature = 4,
  kTrustInvalidArguments = 5,
  kTrustOutOfMemory = 6,
  kTrustRevocationIncomplete = 15,
  kTrustBadTimeStamp = 20,
};

// The answer of Initialise when the instance is ready.
constexpr ULONG kTrustReady = 1;

// {7C0E5D4B-2A19-4F63-8B7E-96D1C3A04F28}
extern const IID IID_IvnVerifyTrust;
// {5B9E112F-80C3-42A0-A3ED-41DA9EE55FDE}
extern const IID IID_IvnVerifyTrustConfig;
// {C047B31F-A760-4AAA-B5DD-68CA58645519}
extern const IID IID_IvnVerifyHeldFile;

// The operations keep their slots whatever compiler builds a caller, so the forms of VerifyFile
// carry distinct names instead of overloads (compilers order overloaded slots differently).
struct IvnVerifyTrust : public IUnknown {
  virtual ULONG STDMETHODCALLTYPE Initialise(ULONG mode) = 0;
  // Forgets every verdict the process-wide cache holds.
  virtual ULONG STDMETHODCALLTYPE FlushVerdictCache() = 0;
  virtual ULONG STDMETHODCALLTYPE VerifyFile(const wchar_t* path, ULONG level) = 0;
  virtual ULONG STDMETHODCALLTYPE VerifyFileA(const char* path, ULONG level) = 0;
  virtual ULONG STDMETHODCALLTYPE VerifyFileEx(const wchar_t* path, ULONG level,
                                               ULONG catalogHashOption, BYTE* outFlag,
                                               ULONG driverMode) = 0;
  virtual ULONG STDMETHODCALLTYPE VerifyFileExA(const char* path, ULONG level,
                                                ULONG catalogHashOption, BYTE* outFlag,
                                                ULONG driverMode) = 0;
};

// The instance's options. SetOption switches the lookup of verdicts that an external hash
// provider stores (on at creation).
struct IvnVerifyTrustConfig : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetOption(ULONG externalVerdictLookup) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetVerdictCache(ULONG enabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetRevocationMode(ULONG wholeChain) = 0;
};

// Judges a file that its caller holds open, through that handle: the answer is about the file the
// handle holds, whatever the path names by the time it is asked. The path is only the name that
// WinTrust is given for the file; it is neither rewritten nor opened. Only level 3 is answered:
// it alone judges a file by its own embedded signature, where the other levels may fall back to
// the system catalogs, which this form does not search.
// Reached from an instance through QueryInterface; the instance must be initialised.
struct IvnVerifyHeldFile : public IUnknown {
  virtual ULONG STDMETHODCALLTYPE VerifyHeldFile(const wchar_t* path, HANDLE file, ULONG level) = 0;
};

// The checks a signer certificate must pass at `level` (usage, then identity or organisation),
// as every request makes them once WinTrust has accepted the signature: 1 when it passes.
ULONG CheckSignerCertificate(PCCERT_CONTEXT certificate, ULONG level);

// Creates an instance with one reference.
HRESULT CreateVerifyTrust(IvnVerifyTrust** instance);

// Turns a path in the system's device form ("\Device\HarddiskVolumeN\..." or "\??\...") into
// its drive-letter form and expands environment references.
std::wstring NormaliseTrustPath(const std::wstring& path);

}  // namespace sharedlib
