// The signer's certificate chain as the machine builds it before the run's certificate update,
// with the agent's bundle offered as extra certificates: which faults it has, and whether the
// only one is the bundle's root that the update would install.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include "daxcheck/report_text.h"

namespace daxcheck {

struct ChainAnalysis {
  Json report;
  // The chain ends in the bundle's self-signed root and lacks nothing but trust in it.
  bool onlyFaultIsTheAgentsRoot = false;
};

// `signatureStore` holds the certificates the signature carries; `bundle` may be null. Nothing
// is added to the machine's stores.
ChainAnalysis AnalyseChain(PCCERT_CONTEXT signer, HCERTSTORE signatureStore, HCERTSTORE bundle);

}  // namespace daxcheck
