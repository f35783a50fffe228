// 4 Trust
#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <cwchar>
#include <memory>
#include <optional>
#include <vector>

#include "daxcheck/certificate_text.h"
#include "daxcheck/chain_analysis.h"
#include "daxcheck/gates.h"
#include "setupcmd/package_msi.h"
#include "sharedlib/signer_certificate.h"
#include "sharedlib/signer_checks.h"
#include "sharedlib/trust_identity.h"
#include "sharedlib/trust_verifier.h"
#include "sharedlib/wintrust_call.h"
#include "upgrade/setup_launcher.h"
#include "upgrade/setup_verifier.h"

namespace daxcheck {

namespace {

// What the run's certificate update would change, read without changing it.
Json PlannedCertificateUpdate(HCERTSTORE bundle, HRESULT bundleError) {
  Json update;
  platform::UniqueCertStore root = OpenMachineStoreReadOnly(L"ROOT");
  platform::UniqueCertStore ca = OpenMachineStoreReadOnly(L"CA");
  update["removes_intermediate_copy_from_root"] =
      static_cast<bool>(upgrade::FindStaleCopy(root.get()));
  Json adds = Json::array();
  if (!bundle) {
    update["bundle_error"] = Hex8(static_cast<unsigned>(bundleError));
  } else {
    PCCERT_CONTEXT current = nullptr;
    while ((current = ::CertEnumCertificatesInStore(bundle, current)) != nullptr) {
      const wchar_t* target = upgrade::BundleTargetStore(current);
      const bool toRoot = std::wcscmp(target, L"ROOT") == 0;
      Json entry;
      entry["subject"] = CertificateName(current);
      entry["thumbprint"] = Thumbprint(current);
      entry["store"] = Utf8(std::wstring(target));
      entry["already_there"] = StoreHolds(toRoot ? root.get() : ca.get(), current);
      adds.push_back(entry);
    }
  }
  update["bundle_certificates"] = adds;
  return update;
}

// The run's own verifier, with the run's certificate update switched off: the check must not
// bring the bundle into the machine's stores, so its verdict is the one the machine gives before
// that, and the chain tells the rest. Its reports are gathered in `reports`.
upgrade::SetupVerifier* CheckingVerifier(const std::shared_ptr<std::vector<std::string>>& reports) {
  upgrade::SetupVerifier* verifier = upgrade::CreateSetupVerifier(
      [reports](const wchar_t* text) { reports->push_back(Utf8(std::wstring(text))); });
  verifier->certificateUpdateEnabled = false;
  return verifier;
}

// The signer's identity attribute by attribute, as the run reads and compares them, and the
// answer of the run's checks at the level the run asks for.
Json SignerReport(PCCERT_CONTEXT certificate, ULONG& answer) {
  const sharedlib::PublisherIdentity& expected = sharedlib::ExpectedPublisher();
  Json identity = Json::array();
  for (const sharedlib::IdentityAttribute& attribute : sharedlib::kIdentityAttributes) {
    std::wstring value;
    sharedlib::ReadSubjectAttribute(certificate, attribute.oid, value);
    const std::string found = Utf8(value);
    const std::string wanted = Utf8(expected.*attribute.expected);
    identity.push_back({{"attribute", attribute.shortName},
                        {"found", found},
                        {"expected", wanted},
                        {"matches", found == wanted}});
  }
  Json signer;
  signer["subject"] = CertificateName(certificate);
  signer["thumbprint"] = Thumbprint(certificate);
  signer["identity"] = identity;
  answer = sharedlib::CheckSignerCertificate(certificate, sharedlib::kTrustLevelPublisher);
  signer["check_answer"] = answer;
  signer["passes"] = answer == sharedlib::kTrustTrusted;
  return signer;
}

// Wine's WinTrust accepts a chain that ends in an unknown root; Windows does not.
void WarnOfUnknownRoot(Json& gate) {
  const Json& chain = gate["chain"];
  if (!chain.is_object() || !chain.contains("status") || chain["ends_in_bundle_root"].get<bool>()) {
    return;
  }
  for (const auto& fault : chain["status"]) {
    if (fault == "untrusted root") {
      gate["warning"] =
          "the chain ends in a root that neither the machine nor the agent's bundle "
          "trusts: this system's WinTrust accepted it, Windows refuses such a chain";
    }
  }
}

// The gate's status from the machine's verdict before the run's certificate update; where the
// chain lacks only the bundle's root, the update is what makes it trusted.
// Only WinTrust's own answer tells an untrusted root from a tampered file, a truncated download or
// a broken time stamp: the run's verdict says "not trusted" for all of them, and the chain of the
// signer's certificate is whole in every one. Wine's WinTrust answers 0 for an unknown root.
void JudgeTrust(Json& gate, LONG verdict, std::optional<LONG> winTrust, bool hasSigner,
                bool signerPasses, bool rootOnlyFault) {
  const bool rootIsAllWinTrustLacks =
      winTrust && (*winTrust == 0 || *winTrust == CERT_E_UNTRUSTEDROOT);
  const bool trustedOnceRooted = rootOnlyFault && signerPasses && rootIsAllWinTrustLacks &&
                                 (verdict == 0 || verdict == TRUST_E_SUBJECT_NOT_TRUSTED);
  if (trustedOnceRooted) {
    gate["status"] = "trusted once the agent installs its root";
  } else if (verdict == 0) {
    gate["status"] = "trusted";
    WarnOfUnknownRoot(gate);
  } else {
    gate["status"] = "not trusted";
    std::string why = "setup.exe is not trusted";
    if (!hasSigner) {
      why += ": it carries no embedded signature";
    } else if (!signerPasses) {
      why += ": its signer is not the expected publisher";
    } else {
      why += " (verdict " + Hex8(static_cast<unsigned>(verdict));
      if (winTrust) why += ", WinTrust " + Hex8(static_cast<unsigned>(*winTrust));
      why += ")";
    }
    Stop(gate, why);
  }
}

// The run judges the package's .msi right after setup.exe, with the same verifier and publisher,
// through the file it then holds until setup has ended.
void JudgePackageMsi(Json& gate, upgrade::SetupVerifier* verifier, const std::string& folder) {
  const setupcmd::HeldPackageMsi msi = setupcmd::FindAndHoldPackageMsi(folder);
  Json report = Json::object();
  Json names = Json::array();
  for (const std::string& name : msi.names) names.push_back(Utf8(name));
  report["files"] = names;
  report["path"] = msi.path.empty() ? Json(nullptr) : Json(Utf8(msi.path));
  report["verdict"] = nullptr;
  std::string why;
  switch (msi.found) {
    case setupcmd::HeldPackageMsi::Found::kNone:
      report["status"] = "no .msi: not checked";
      break;
    case setupcmd::HeldPackageMsi::Found::kSeveral:
      report["status"] = "not checked";
      why = "the package holds more than one .msi file";
      break;
    case setupcmd::HeldPackageMsi::Found::kNotHeld:
      report["status"] = "not checked";
      why = "the .msi cannot be opened shared for reading";
      break;
    case setupcmd::HeldPackageMsi::Found::kOne: {
      const LONG verdict =
          upgrade::VerifySetupFile(verifier, msi.widePath.c_str(), msi.handle.get());
      report["verdict"] = Hex8(static_cast<unsigned>(verdict));
      report["status"] = verdict == 0 ? "trusted" : "not trusted";
      if (verdict != 0)
        why = "the .msi is not trusted (verdict " + Hex8(static_cast<unsigned>(verdict)) + ")";
      break;
    }
  }
  gate["msi"] = report;
  if (why.empty()) return;
  if (gate["status"] == "trusted" || gate["status"] == "trusted once the agent installs its root") {
    gate["status"] = "not trusted";
  }
  Stop(gate, why);
}

}  // namespace

TrustGateResult TrustGate(const std::string& folder) {
  TrustGateResult result;
  Json& gate = result.gate;
  gate = Gate(4, "trust");

  upgrade::HeldSetupFile setup = upgrade::OpenSetupFile(folder);
  gate["setup_path"] = Utf8(setup.path);
  // The run makes its verifier only once it holds setup.exe; so does the check. Its settings
  // object re-bases the silo exactly as in the run, which the configuration gate then sees.
  const auto reports = std::make_shared<std::vector<std::string>>();
  result.verifier.reset(CheckingVerifier(reports));

  HRESULT bundleError = S_OK;
  platform::UniqueCertStore bundle = upgrade::OpenCertificateBundle(bundleError);
  gate["certificate_update"] = PlannedCertificateUpdate(bundle.get(), bundleError);

  if (!setup.handle) {
    gate["verdict"] = nullptr;
    gate["status"] = "not checked";
    Stop(gate, "setup.exe cannot be opened shared for reading", RunStep::kSetupFile);
    return result;
  }
  sharedlib::ForgetLastVerifyResult();
  const LONG verdict =
      upgrade::VerifySetupFile(result.verifier.get(), setup.widePath.c_str(), setup.handle.get());
  const std::optional<LONG> winTrust = sharedlib::LastVerifyResult();
  gate["verdict"] = Hex8(static_cast<unsigned>(verdict));
  gate["wintrust_answer"] = winTrust ? Json(Hex8(static_cast<unsigned>(*winTrust))) : Json(nullptr);
  gate["reports"] = *reports;

  // The signer as the run's checks find it in the embedded signature, against the identity this
  // build expects; and its chain, built with the bundle as an extra store of the chain engine.
  const sharedlib::ObjectSigner signer =
      sharedlib::ReadObjectSigner(setup.widePath, sharedlib::SignedObject::kEmbeddedSignature);
  ULONG signerAnswer = sharedlib::kTrustNoSignature;
  bool rootOnlyFault = false;
  if (signer.certificate) {
    gate["signer"] = SignerReport(signer.certificate.get(), signerAnswer);
    ChainAnalysis chain = AnalyseChain(signer.certificate.get(), signer.store.get(), bundle.get());
    gate["chain"] = chain.report;
    rootOnlyFault = chain.onlyFaultIsTheAgentsRoot;
  } else {
    gate["signer"] = nullptr;
    gate["chain"] = nullptr;
  }
  JudgeTrust(gate, verdict, winTrust, static_cast<bool>(signer.certificate),
             signerAnswer == sharedlib::kTrustTrusted, rootOnlyFault);
  JudgePackageMsi(gate, result.verifier.get(), folder);
  return result;
}

}  // namespace daxcheck
