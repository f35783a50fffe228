// vnVerifyTrust: the shared library's judge of files. Given a path and a trust level it answers
// whether the file carries a valid Authenticode signature whose signer certificate belongs to
// the expected publisher.
#pragma once

#include <windows.h>
// after windows.h
#include <unknwn.h>
#include <wincrypt.h>

#include "sharedlib/trust_path.h"

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

// The further not-trusted answers of the certificate checks. The checks of this library answer
// kTrustNotTrusted instead, but a caller reads these four as it reads that one: as a verdict.
constexpr ULONG kTrustFurtherNotTrustedAnswers[] = {11, 13, 14, 18};

// Whether an answer is a verdict on the file, trusted or not, rather than a request that could
// not be judged.
constexpr bool IsTrustVerdict(ULONG answer) {
  if (answer == kTrustTrusted || answer == kTrustNotTrusted) return true;
  for (ULONG notTrusted : kTrustFurtherNotTrustedAnswers) {
    if (answer == notTrusted) return true;
  }
  return false;
}

// Levels of a request: what the signer certificate must show once WinTrust has accepted the
// signature. Every level needs the code-signing usage, or else a certificate without a usage list
// (good for every use) that carries the publisher's name.
enum TrustLevel : ULONG {
  kTrustLevelSigned = 1,            // nothing more, as level 2
  kTrustLevelCodeSigning = 2,       // nothing more
  kTrustLevelPublisher = 3,         // the publisher's six identity attributes
  kTrustLevelOrganisation = 4,      // the publisher's organisational unit and organisation
  kTrustLevelFurtherPublisher = 5,  // a further identity, of which this product configures none
};

// The argument of Initialise: the one mode this product asks for.
constexpr ULONG kTrustInitialiseStandard = 1;

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
// WinTrust is given for the file; it is neither rewritten nor opened. Only kTrustLevelPublisher
// (3) is answered: it alone judges a file by its own embedded signature, where the other levels
// may fall back to the system catalogs, which this form does not search.
// Reached from an instance through QueryInterface; the instance must be initialised.
struct IvnVerifyHeldFile : public IUnknown {
  virtual ULONG STDMETHODCALLTYPE VerifyHeldFile(const wchar_t* path, HANDLE file, ULONG level) = 0;
};

// Creates an instance with one reference.
HRESULT CreateVerifyTrust(IvnVerifyTrust** instance);

}  // namespace sharedlib
