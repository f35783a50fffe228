#include "daxcheck/check.h"

#include <windows.h>
// after windows.h
#include <comdef.h>
#include <wincrypt.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/config_xml_parser.h"
#include "contract/client_registry.h"
#include "contract/named_objects.h"
#include "contract/product_registry.h"
#include "contract/service_names.h"
#include "contract/setup_result_key.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "setupcmd/command_line_generator.h"
#include "sharedlib/isolation.h"
#include "sharedlib/trust_identity.h"
#include "sharedlib/trust_verifier.h"
#include "upgrade/controller.h"
#include "upgrade/setup_launcher.h"
#include "upgrade/setup_verifier.h"

namespace daxcheck {

using Json = nlohmann::ordered_json;

namespace {

// Text of the system code page, or of UTF-16, as the UTF-8 that JSON holds.
std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), &text[0], size,
                          nullptr, nullptr);
  }
  return text;
}
std::string Utf8(const std::string& ansi) { return Utf8(platform::WidenCountedLenient(ansi)); }

Json OptionalDword(bool found, DWORD value) { return found ? Json(value) : Json(nullptr); }

std::string Hex8(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The version resource of a program, "a.b.c.d", or empty. Read as data, without version.dll:
// a program in a folder another program fills should not import a library that folder could
// hold.
std::string FileVersion(const std::string& path) {
  HMODULE image = ::LoadLibraryExA(path.c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!image) return {};
  std::string text;
  HRSRC resource = ::FindResourceA(image, MAKEINTRESOURCEA(VS_VERSION_INFO), RT_VERSION);
  HGLOBAL loaded = resource ? ::LoadResource(image, resource) : nullptr;
  const auto* data = static_cast<const BYTE*>(loaded ? ::LockResource(loaded) : nullptr);
  const DWORD size = resource ? ::SizeofResource(image, resource) : 0;
  // The fixed part follows the "VS_VERSION_INFO" header, found by its signature on a 4-byte
  // boundary.
  for (DWORD offset = 0; data && offset + sizeof(VS_FIXEDFILEINFO) <= size; offset += 4) {
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, data + offset, sizeof(info));
    if (info.dwSignature != VS_FFI_SIGNATURE) continue;
    char version[64];
    std::snprintf(version, sizeof(version), "%u.%u.%u.%u",
                  static_cast<unsigned>(HIWORD(info.dwFileVersionMS)),
                  static_cast<unsigned>(LOWORD(info.dwFileVersionMS)),
                  static_cast<unsigned>(HIWORD(info.dwFileVersionLS)),
                  static_cast<unsigned>(LOWORD(info.dwFileVersionLS)));
    text = version;
    break;
  }
  ::FreeLibrary(image);
  return text;
}

std::optional<std::string> ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Json Gate(int number, const char* name) {
  Json gate;
  gate["number"] = number;
  gate["name"] = name;
  gate["passes"] = true;
  gate["stops_because"] = nullptr;
  return gate;
}

void Stop(Json& gate, const std::string& reason) {
  if (!gate["passes"].get<bool>()) return;  // the first reason stands
  gate["passes"] = false;
  gate["stops_because"] = reason;
}

// ---------------------------------------------------------------------------------------------
// 1 Package

Json PackageGate(const std::string& folder) {
  Json gate = Gate(1, "package");
  gate["folder"] = Utf8(folder);
  Json files = Json::object();

  const std::string agent = folder + "\\daxinst.exe";
  Json daxinst;
  daxinst["present"] = FileExists(agent);
  daxinst["version"] = daxinst["present"].get<bool>() ? Json(FileVersion(agent)) : Json(nullptr);
  files["daxinst.exe"] = daxinst;

  upgrade::HeldSetupFile setup = upgrade::OpenSetupFile(folder);
  Json setupFile;
  setupFile["present"] = FileExists(setup.path);
  setupFile["opens_read_shared"] = static_cast<bool>(setup.handle);
  files["setup.exe"] = setupFile;

  for (const char* name : {"setAid.ini", "Setup.ini"}) {
    Json file;
    file["present"] = FileExists(folder + "\\" + name);
    files[name] = file;
  }
  Json msi;
  msi["present"] = false;
  Json all = Json::array();
  WIN32_FIND_DATAA match = {};
  platform::UniqueFindHandle search(::FindFirstFileA((folder + "\\*.msi").c_str(), &match));
  if (search) {
    do {
      all.push_back(Utf8(std::string(match.cFileName)));
    } while (::FindNextFileA(search.get(), &match));
  }
  msi["present"] = !all.empty();
  msi["files"] = all;
  files[".msi"] = msi;
  gate["files"] = files;

  if (!daxinst["present"].get<bool>()) {
    Stop(gate, "daxinst.exe is not in the package folder: -install would register nothing");
  }
  if (!setup.handle) {
    Stop(gate, setupFile["present"].get<bool>()
                   ? "setup.exe cannot be opened shared for reading: the run does not move ahead"
                   : "setup.exe is missing: the run does not move ahead");
  }
  return gate;
}

// ---------------------------------------------------------------------------------------------
// 2 Run state

std::string ServiceState(const char* name, bool& installed) {
  installed = false;
  platform::UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return "unknown";
  platform::UniqueServiceHandle service(::OpenServiceA(manager.get(), name, SERVICE_QUERY_STATUS));
  if (!service) return "not installed";
  installed = true;
  SERVICE_STATUS status = {};
  if (!::QueryServiceStatus(service.get(), &status)) return "unknown";
  switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    case SERVICE_RUNNING:
      return "running";
    default:
      return "other";
  }
}

// Whether a run holds the run guard: asked by opening the mutex, never by creating it, so that
// the check leaves no object behind and takes nothing from a run that starts meanwhile.
bool RunGuardHeld() {
  platform::UniqueKernelHandle guard(
      ::OpenMutexA(SYNCHRONIZE, FALSE, contract::kRunGuardMutexName));
  return guard || ::GetLastError() == ERROR_ACCESS_DENIED;
}

const char* PathName(upgrade::RunPath path) {
  switch (path) {
    case upgrade::RunPath::kFirstTime:
      return "first time";
    case upgrade::RunPath::kCounted:
      return "counted, with setup";
    case upgrade::RunPath::kAlreadySucceeded:
      return "already done";
    case upgrade::RunPath::kFailedBefore:
      return "counted, without setup";
  }
  return "unknown";
}

Json RunStateGate() {
  Json gate = Gate(2, "run_state");
  gate["client_key"] = std::string("HKLM\\") + contract::kClientKeyPath;
  gate["client_view"] = (contract::ClientRegistryView() & KEY_WOW64_64KEY) ? "64-bit" : "32-bit";
  DWORD launchSetup = 0, status = 0, result = 0, setupResult = 0;
  const bool launchFound = contract::ReadClientDword(contract::kLaunchSetupValue, launchSetup);
  const bool statusFound = contract::ReadClientDword(contract::kSetupStatusValue, status);
  const bool resultFound = contract::ReadClientDword(contract::kInstResultValue, result);
  const bool setupResultFound = contract::ReadSetupResult(setupResult);
  Json values;
  values["LaunchSetup"] = OptionalDword(launchFound, launchSetup);
  values["DaxSetupStatus"] = OptionalDword(statusFound, status);
  values["DaxInstResult"] = OptionalDword(resultFound, result);
  gate["client_values"] = values;
  gate["setup_result_key"] = std::string("HKCR\\") + contract::kSetupResultKeyPath;
  gate["setup_result"] = OptionalDword(setupResultFound, setupResult);

  bool installed = false;
  Json serviceJson;
  serviceJson["name"] = contract::kServiceName;
  serviceJson["state"] = ServiceState(contract::kServiceName, installed);
  serviceJson["installed"] = installed;
  gate["service"] = serviceJson;
  const bool guardHeld = RunGuardHeld();
  gate["run_guard"] = {{"name", contract::kRunGuardMutexName}, {"held", guardHeld}};

  // -install over an existing service deletes "LaunchSetup": the run that follows is a first
  // run whatever the value says now.
  const bool launchSeen = launchFound && !installed;
  const upgrade::RunPath path = upgrade::ChooseRunPath(launchSeen, launchSetup, setupResult);
  gate["path"] = PathName(path);
  gate["launch_setup_deleted_by_install"] = launchFound && installed;
  gate["path_runs_setup"] = upgrade::RunPathRunsSetup(path);

  // On a path with setup the run first deletes the code left from before; one it cannot delete
  // keeps setup from running.
  bool earlierCodeStays = false;
  if (upgrade::RunPathRunsSetup(path) && setupResultFound) {
    platform::UniqueRegKey key;
    const LONG opened = contract::OpenSetupResultForDeleting(key);
    earlierCodeStays = opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND;
    gate["earlier_setup_result_deletable"] = !earlierCodeStays;
  }

  if (guardHeld) {
    Stop(gate, std::string("the run guard \"") + contract::kRunGuardMutexName +
                   "\" is held: -install and -start refuse, and a run would stop at once");
  }
  if (path == upgrade::RunPath::kAlreadySucceeded) {
    Stop(gate,
         "the setup result holds 99: setup already succeeded for this package, the run "
         "ends as succeeded without setup");
  } else if (path == upgrade::RunPath::kFailedBefore) {
    Stop(gate,
         "LaunchSetup shows setup was run for this package before: the run ends as "
         "failed without setup");
  }
  if (earlierCodeStays) {
    Stop(gate, "the setup result left from before cannot be deleted: the run does not start setup");
  }
  return gate;
}

// ---------------------------------------------------------------------------------------------
// 3 Trust

std::string CertificateName(PCCERT_CONTEXT certificate, DWORD flags = 0) {
  wchar_t buffer[512] = {};
  ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, buffer, 512);
  return Utf8(std::wstring(buffer));
}

std::string Thumbprint(PCCERT_CONTEXT certificate) {
  BYTE hash[20] = {};
  DWORD size = sizeof(hash);
  if (!::CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size)) {
    return {};
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (DWORD i = 0; i < size; ++i) {
    text += kHex[hash[i] >> 4];
    text += kHex[hash[i] & 15];
  }
  return text;
}

platform::UniqueCertStore OpenMachineStoreReadOnly(const wchar_t* name) {
  return platform::UniqueCertStore(::CertOpenStore(
      CERT_STORE_PROV_SYSTEM_W, 0, 0,
      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
      name));
}

bool StoreHolds(HCERTSTORE store, PCCERT_CONTEXT certificate) {
  if (!store) return false;
  platform::UniqueCertContext found(::CertFindCertificateInStore(
      store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr));
  return static_cast<bool>(found);
}

std::string Attribute(PCCERT_CONTEXT certificate, const char* oid) {
  wchar_t buffer[261] = {};
  const DWORD length = ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0,
                                            const_cast<char*>(oid), buffer, 261);
  return length > 1 ? Utf8(std::wstring(buffer)) : std::string();
}

Json TrustStatusNames(DWORD status) {
  static const std::pair<DWORD, const char*> kNames[] = {
      {CERT_TRUST_IS_NOT_TIME_VALID, "not time valid"},
      {CERT_TRUST_IS_REVOKED, "revoked"},
      {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "signature not valid"},
      {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, "not valid for code signing"},
      {CERT_TRUST_IS_UNTRUSTED_ROOT, "untrusted root"},
      {CERT_TRUST_REVOCATION_STATUS_UNKNOWN, "revocation status unknown"},
      {CERT_TRUST_IS_CYCLIC, "cyclic"},
      {CERT_TRUST_INVALID_EXTENSION, "invalid extension"},
      {CERT_TRUST_INVALID_POLICY_CONSTRAINTS, "invalid policy constraints"},
      {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "invalid basic constraints"},
      {CERT_TRUST_INVALID_NAME_CONSTRAINTS, "invalid name constraints"},
      {CERT_TRUST_IS_OFFLINE_REVOCATION, "revocation offline"},
      {CERT_TRUST_IS_PARTIAL_CHAIN, "partial chain"},
  };
  Json names = Json::array();
  for (const auto& name : kNames) {
    if (status & name.first) names.push_back(name.second);
  }
  if (status && names.empty()) names.push_back(Hex8(status));
  return names;
}

// The signer certificate of a file's embedded signature, with the certificates the signature
// carries; empty when the file has none.
struct EmbeddedSigner {
  platform::UniqueCertStore store;
  platform::UniqueCertContext certificate;
};

struct CryptMsgCloser {
  void operator()(void* message) const {
    if (message) ::CryptMsgClose(message);
  }
};

EmbeddedSigner ReadEmbeddedSigner(const std::wstring& path) {
  EmbeddedSigner signer;
  HCERTSTORE rawStore = nullptr;
  HCRYPTMSG rawMessage = nullptr;
  if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                          0, nullptr, nullptr, nullptr, &rawStore, &rawMessage, nullptr)) {
    return signer;
  }
  signer.store.reset(rawStore);
  std::unique_ptr<void, CryptMsgCloser> message(rawMessage);
  DWORD size = 0;
  if (!::CryptMsgGetParam(rawMessage, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) {
    return signer;
  }
  std::vector<BYTE> buffer(size);
  if (!::CryptMsgGetParam(rawMessage, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
    return signer;
  }
  const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  CERT_INFO wanted = {};
  wanted.Issuer = info->Issuer;
  wanted.SerialNumber = info->SerialNumber;
  signer.certificate.reset(::CertFindCertificateInStore(signer.store.get(),
                                                        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                        CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
  return signer;
}

// What the run's certificate update would change, read without changing it.
Json PlannedCertificateUpdate(HCERTSTORE bundle, HRESULT bundleError) {
  Json update;
  platform::UniqueCertStore root = OpenMachineStoreReadOnly(L"ROOT");
  platform::UniqueCertStore ca = OpenMachineStoreReadOnly(L"CA");
  bool stale = false;
  const std::vector<BYTE>& serial = sharedlib::StaleCopySerial();
  if (root && !serial.empty()) {
    CRYPT_INTEGER_BLOB wanted = {static_cast<DWORD>(serial.size()),
                                 const_cast<BYTE*>(serial.data())};
    PCCERT_CONTEXT current = nullptr;
    while ((current = ::CertEnumCertificatesInStore(root.get(), current)) != nullptr) {
      if (::CertCompareIntegerBlob(&current->pCertInfo->SerialNumber, &wanted)) {
        stale = true;
        ::CertFreeCertificateContext(current);
        break;
      }
    }
  }
  update["removes_intermediate_copy_from_root"] = stale;
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

struct TrustGateResult {
  Json gate;
  std::unique_ptr<upgrade::SetupVerifier, void (*)(upgrade::SetupVerifier*)> verifier{
      nullptr, upgrade::DestroySetupVerifier};
};

// Statuses that say only that nobody could be asked about revocation.
constexpr DWORD kRevocationUnknown =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

TrustGateResult TrustGate(const std::string& folder) {
  TrustGateResult result;
  Json& gate = result.gate;
  gate = Gate(3, "trust");

  upgrade::HeldSetupFile setup = upgrade::OpenSetupFile(folder);
  gate["setup_path"] = Utf8(setup.path);
  // The run makes its verifier only once it holds setup.exe; so does the check. Its settings
  // object re-bases the silo exactly as in the run, which the configuration gate then sees.
  std::vector<std::string> reports;
  result.verifier.reset(upgrade::CreateSetupVerifier(
      [&reports](const wchar_t* text) { reports.push_back(Utf8(std::wstring(text))); }));
  // The run brings the bundle into the machine's stores first; the check must not, so its
  // verdict is the one the machine gives before that, and the chain below tells the rest.
  result.verifier->certificateUpdateEnabled = false;

  HRESULT bundleError = S_OK;
  platform::UniqueCertStore bundle = upgrade::OpenCertificateBundle(bundleError);
  gate["certificate_update"] = PlannedCertificateUpdate(bundle.get(), bundleError);

  if (!setup.handle) {
    gate["verdict"] = nullptr;
    gate["status"] = "not checked";
    Stop(gate, "setup.exe cannot be opened shared for reading");
    return result;
  }
  const LONG verdict =
      upgrade::VerifySetupFile(result.verifier.get(), setup.widePath.c_str(), setup.handle.get());
  gate["verdict"] = Hex8(static_cast<unsigned>(verdict));
  gate["reports"] = reports;

  // The signer, against the identity this build expects.
  EmbeddedSigner signer = ReadEmbeddedSigner(setup.widePath);
  const sharedlib::PublisherIdentity& expected = sharedlib::ExpectedPublisher();
  ULONG signerAnswer = sharedlib::kTrustNoSignature;
  if (!signer.certificate) {
    gate["signer"] = nullptr;
  } else {
    Json signerJson;
    const std::pair<const char*, std::pair<const char*, const std::wstring*>> kFields[] = {
        {"CN", {szOID_COMMON_NAME, &expected.commonName}},
        {"OU", {szOID_ORGANIZATIONAL_UNIT_NAME, &expected.organisationalUnit}},
        {"O", {szOID_ORGANIZATION_NAME, &expected.organisation}},
        {"L", {szOID_LOCALITY_NAME, &expected.locality}},
        {"ST", {szOID_STATE_OR_PROVINCE_NAME, &expected.state}},
        {"C", {szOID_COUNTRY_NAME, &expected.country}},
    };
    Json identity = Json::array();
    for (const auto& field : kFields) {
      const std::string found = Attribute(signer.certificate.get(), field.second.first);
      const std::string wanted = Utf8(*field.second.second);
      identity.push_back({{"attribute", field.first},
                          {"found", found},
                          {"expected", wanted},
                          {"matches", found == wanted}});
    }
    signerJson["subject"] = CertificateName(signer.certificate.get());
    signerJson["thumbprint"] = Thumbprint(signer.certificate.get());
    signerJson["identity"] = identity;
    signerAnswer = sharedlib::CheckSignerCertificate(signer.certificate.get(), 3);
    signerJson["check_answer"] = signerAnswer;
    signerJson["passes"] = signerAnswer == sharedlib::kTrustTrusted;
    gate["signer"] = signerJson;
  }

  // The chain, built with the bundle as an extra store of the chain engine: nothing is added to
  // the machine's stores.
  bool rootOnlyFault = false;
  if (signer.certificate) {
    platform::UniqueCertStore extra(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
    if (extra) {
      ::CertAddStoreToCollection(extra.get(), signer.store.get(), 0, 0);
      if (bundle) ::CertAddStoreToCollection(extra.get(), bundle.get(), 0, 0);
    }
    char codeSigning[] = szOID_PKIX_KP_CODE_SIGNING;
    LPSTR usages[] = {codeSigning};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    Json chainJson;
    if (::CertGetCertificateChain(HCCE_LOCAL_MACHINE, signer.certificate.get(), nullptr,
                                  extra.get(), &para, 0, nullptr, &chain) &&
        chain && chain->cChain > 0) {
      const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
      Json elements = Json::array();
      PCCERT_CONTEXT root = nullptr;
      for (DWORD i = 0; i < simple->cElement; ++i) {
        const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i];
        elements.push_back({{"subject", CertificateName(element->pCertContext)},
                            {"thumbprint", Thumbprint(element->pCertContext)},
                            {"in_bundle", StoreHolds(bundle.get(), element->pCertContext)},
                            {"status", TrustStatusNames(element->TrustStatus.dwErrorStatus)}});
        root = element->pCertContext;
      }
      const DWORD status = chain->TrustStatus.dwErrorStatus & ~kRevocationUnknown;
      const bool selfSigned =
          root && ::CertCompareCertificateName(X509_ASN_ENCODING, &root->pCertInfo->Issuer,
                                               &root->pCertInfo->Subject);
      rootOnlyFault =
          status == CERT_TRUST_IS_UNTRUSTED_ROOT && selfSigned && StoreHolds(bundle.get(), root);
      chainJson["elements"] = elements;
      chainJson["status"] = TrustStatusNames(chain->TrustStatus.dwErrorStatus);
      chainJson["ends_in_bundle_root"] = selfSigned && StoreHolds(bundle.get(), root);
      chainJson["only_fault_is_the_agents_root"] = rootOnlyFault;
      ::CertFreeCertificateChain(chain);
    } else {
      chainJson["error"] = Hex8(static_cast<unsigned>(::GetLastError()));
    }
    gate["chain"] = chainJson;
  } else {
    gate["chain"] = nullptr;
  }

  const bool signerPasses = signerAnswer == sharedlib::kTrustTrusted;
  // The machine's verdict before the run's certificate update; where the chain lacks only the
  // bundle's root, the update is what makes it trusted.
  const bool trustedOnceRooted =
      rootOnlyFault && signerPasses && (verdict == 0 || verdict == TRUST_E_SUBJECT_NOT_TRUSTED);
  if (trustedOnceRooted) {
    gate["status"] = "trusted once the agent installs its root";
  } else if (verdict == 0) {
    gate["status"] = "trusted";
    const Json& chainJson = gate["chain"];
    if (chainJson.is_object() && chainJson.contains("status") &&
        !chainJson["ends_in_bundle_root"].get<bool>()) {
      for (const auto& fault : chainJson["status"]) {
        if (fault == "untrusted root") {
          // Wine's WinTrust accepts a chain that ends in an unknown root; Windows does not.
          gate["warning"] =
              "the chain ends in a root that neither the machine nor the agent's bundle "
              "trusts: this system's WinTrust accepted it, Windows refuses such a chain";
        }
      }
    }
  } else {
    gate["status"] = "not trusted";
    std::string why = "setup.exe is not trusted";
    if (!signer.certificate) {
      why += ": it carries no embedded signature";
    } else if (!signerPasses) {
      why += ": its signer is not the expected publisher";
    } else {
      why += " (verdict " + Hex8(static_cast<unsigned>(verdict)) + ")";
    }
    Stop(gate, why);
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// 4 Deployment configuration

using IniContents =
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

// Every section and key of an INI file as the profile functions read it.
IniContents ReadIni(const std::string& path) {
  IniContents contents;
  std::vector<char> names(65536, '\0');
  const DWORD length = ::GetPrivateProfileSectionNamesA(
      names.data(), static_cast<DWORD>(names.size()), path.c_str());
  for (const char* section = names.data(); section < names.data() + length && *section;
       section += std::strlen(section) + 1) {
    std::vector<char> body(65536, '\0');
    const DWORD size = ::GetPrivateProfileSectionA(section, body.data(),
                                                   static_cast<DWORD>(body.size()), path.c_str());
    std::vector<std::pair<std::string, std::string>> keys;
    for (const char* line = body.data(); line < body.data() + size && *line;
         line += std::strlen(line) + 1) {
      const std::string text = line;
      const size_t equals = text.find('=');
      if (equals == std::string::npos) {
        keys.emplace_back(text, std::string());
      } else {
        keys.emplace_back(text.substr(0, equals), text.substr(equals + 1));
      }
    }
    contents.emplace_back(section, keys);
  }
  return contents;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
  return text;
}

Json IniChanges(const IniContents& before, const IniContents& after) {
  // Section and key names match without regard to case, as the profile functions match them.
  std::map<std::pair<std::string, std::string>, std::string> old;
  for (const auto& section : before) {
    for (const auto& key : section.second) {
      old.emplace(std::make_pair(Lower(section.first), Lower(key.first)), key.second);
    }
  }
  Json changes = Json::array();
  std::map<std::pair<std::string, std::string>, bool> seen;
  for (const auto& section : after) {
    for (const auto& key : section.second) {
      const auto id = std::make_pair(Lower(section.first), Lower(key.first));
      seen[id] = true;
      const auto was = old.find(id);
      if (was == old.end()) {
        changes.push_back({{"change", "add"},
                           {"section", Utf8(section.first)},
                           {"key", Utf8(key.first)},
                           {"value", Utf8(key.second)}});
      } else if (was->second != key.second) {
        changes.push_back({{"change", "change"},
                           {"section", Utf8(section.first)},
                           {"key", Utf8(key.first)},
                           {"from", Utf8(was->second)},
                           {"value", Utf8(key.second)}});
      }
    }
  }
  for (const auto& section : before) {
    for (const auto& key : section.second) {
      if (seen.count(std::make_pair(Lower(section.first), Lower(key.first)))) continue;
      changes.push_back({{"change", "remove"},
                         {"section", Utf8(section.first)},
                         {"key", Utf8(key.first)},
                         {"from", Utf8(key.second)}});
    }
  }
  return changes;
}

const char* LoadName(config::ConfigLoad load) {
  switch (load) {
    case config::ConfigLoad::kLoaded:
      return "loaded";
    case config::ConfigLoad::kNoFolder:
      return "no configuration folder";
    case config::ConfigLoad::kMissing:
      return "missing";
    case config::ConfigLoad::kTooLarge:
      return "larger than 16 MB, not read";
    case config::ConfigLoad::kUnreadable:
      return "size unreadable, not read";
    case config::ConfigLoad::kNotParsed:
      return "not parsed";
    case config::ConfigLoad::kNoCom:
      return "COM not initialised";
  }
  return "unknown";
}

// A folder of its own below the temporary folder, removed with its files when it goes.
class ScratchFolder {
 public:
  ScratchFolder() {
    char base[MAX_PATH] = {};
    const DWORD length = ::GetTempPathA(MAX_PATH, base);
    if (length == 0 || length >= MAX_PATH) return;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      char name[64];
      std::snprintf(name, sizeof(name), "daxcheck-%lu-%lu-%d", ::GetCurrentProcessId(),
                    ::GetTickCount(), attempt);
      const std::string candidate = std::string(base) + name;
      if (::CreateDirectoryA(candidate.c_str(), nullptr)) path_ = candidate;
    }
  }
  ~ScratchFolder() {
    if (path_.empty()) return;
    WIN32_FIND_DATAA match = {};
    platform::UniqueFindHandle search(::FindFirstFileA((path_ + "\\*").c_str(), &match));
    if (search) {
      do {
        const std::string file = path_ + "\\" + match.cFileName;
        if (!(match.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
          ::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
          ::DeleteFileA(file.c_str());
        }
      } while (::FindNextFileA(search.get(), &match));
    }
    search.reset();
    ::RemoveDirectoryA(path_.c_str());
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Json ConfigurationGate(const std::string& folder, std::string& predictedSetAid) {
  Json gate = Gate(4, "deployment_configuration");

  const config::ConfigLocation location = config::LocateConfigXml();
  Json where;
  where["product_key"] = std::string("HKLM\\") + contract::kProductKeyPath;
  where["product_key_view"] = location.readIn32BitView ? "32-bit" : "default";
  where["product_key_opened"] = location.productKeyOpened;
  where["product_version"] =
      location.productVersion.empty() ? Json(nullptr) : Json(Utf8(location.productVersion));
  where["through"] = !location.versionParsed     ? "nothing"
                     : location.throughExpansion ? "%TRVCONFIGDIR%"
                                                 : "dax_install_path";
  Json isolation;
  const std::wstring silo = sharedlib::GetContextSiloName();
  const std::wstring root = sharedlib::GetSiloRegistryRoot();
  isolation["silo"] = silo.empty() ? Json(nullptr) : Json(Utf8(silo));
  isolation["registry_root"] = root.empty() ? Json(nullptr) : Json("HKLM\\" + Utf8(root));
  isolation["expansion_map"] =
      root.empty() ? Json(nullptr) : Json("HKLM\\" + Utf8(root) + "\\Varnel\\PathExpansionMap");
  where["isolation"] = isolation;
  where["directory"] = location.directory.empty() ? Json(nullptr) : Json(Utf8(location.directory));
  where["path"] = location.path.empty() ? Json(nullptr) : Json(Utf8(location.path));
  where["failure"] = location.failure.empty() ? Json(nullptr) : Json(location.failure.substr(3));
  gate["config_xml"] = where;

  Json selection;
  try {
    config::CConfigXMLParser reader(folder.c_str());
    selection["load"] = LoadName(reader.loadState());
    const config::PackageSelection chosen = reader.describeSelection();
    selection["package_identity"] = {{"PackageChecksum", Utf8(chosen.packageChecksum)},
                                     {"AppType", Utf8(chosen.appType)},
                                     {"platform_marker", Utf8(chosen.platformMarker)},
                                     {"Language", Utf8(chosen.packageLanguage)}};
    switch (chosen.by) {
      case config::PackageSelection::By::kNone:
        selection["selected_by"] = nullptr;
        selection["why"] = reader.loadState() == config::ConfigLoad::kLoaded
                               ? "no ClientPackage entry fits the package: nothing is merged"
                               : "config.xml is not loaded: nothing is merged";
        break;
      case config::PackageSelection::By::kChecksum:
        selection["selected_by"] = "checksum";
        selection["why"] = "its Checksum equals the package's PackageChecksum";
        break;
      case config::PackageSelection::By::kAttributes:
        selection["selected_by"] = "attributes";
        selection["why"] =
            "no entry has the package's checksum; its Product, Type and Language fit the package";
        break;
    }
    selection["position"] = chosen.position;
    if (chosen.by != config::PackageSelection::By::kNone) {
      selection["entry"] = {{"Checksum", Utf8(chosen.checksum)},
                            {"Product", Utf8(chosen.product)},
                            {"Type", Utf8(chosen.type)},
                            {"Language", Utf8(chosen.language)}};
    }
  } catch (const _com_error& error) {
    selection["load"] = "COM error " + Hex8(static_cast<unsigned>(error.Error()));
  }
  gate["client_package"] = selection;

  // The writers run on a copy: the package's setAid.ini is not touched.
  Json merge;
  ScratchFolder scratch;
  const std::string original = folder + "\\setAid.ini";
  const DWORD attributes = ::GetFileAttributesA(original.c_str());
  merge["read_only_attribute_cleared"] =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (scratch.path().empty()) {
    merge["error"] = "no temporary folder for the copy of setAid.ini";
  } else {
    const std::string copy = scratch.path() + "\\setAid.ini";
    const bool present = attributes != INVALID_FILE_ATTRIBUTES;
    if (present && !::CopyFileA(original.c_str(), copy.c_str(), TRUE)) {
      merge["error"] = "setAid.ini cannot be copied";
    } else {
      const IniContents before = ReadIni(copy);
      const upgrade::OptionMergeResults results = upgrade::MergeDeploymentOptions(scratch.path());
      merge["results"] = {
          {"install", results.install}, {"reboot", results.reboot}, {"feature", results.feature}};
      merge["changes"] = IniChanges(before, ReadIni(copy));
      predictedSetAid = ReadBytes(copy).value_or(std::string());
      merge["predicted_setaid_ini"] = Utf8(predictedSetAid);
    }
  }
  gate["option_writers"] = merge;
  return gate;
}

// ---------------------------------------------------------------------------------------------
// 5 Version gate and 6 Command line

constexpr DWORD kPlaceholderPid = 0xFFFFFFFFu;

// The command line with the placeholder where the run puts its DAXPID number. The piece sits
// just before the fixed end of the command line, so only that place is rewritten.
std::string WithPlaceholder(const std::string& commandLine) {
  const std::string tail = " DAXPID=" + std::to_string(kPlaceholderPid) +
                           " REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\"";
  if (commandLine.size() < tail.size() ||
      commandLine.compare(commandLine.size() - tail.size(), tail.size(), tail) != 0) {
    return commandLine;
  }
  return commandLine.substr(0, commandLine.size() - tail.size()) + " DAXPID=" + kDaxPidPlaceholder +
         " REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\"";
}

void VersionAndCommandLineGates(const std::string& folder, Json& versionGate, Json& commandGate) {
  versionGate = Gate(5, "version_gate");
  commandGate = Gate(6, "command_line");
  int result = setupcmd::kCommandLineNotStored;
  char buffer[setupcmd::kCommandLineBufferSize] = {};
  setupcmd::VersionGateFindings findings;
  std::map<std::string, std::string> variables;
  try {
    setupcmd::CommandLineGenerator generator(folder);
    generator.includeLogSwitch = true;
    // The longest number there is: the length check then holds for whatever number the run has.
    generator.daxPid = kPlaceholderPid;
    // The variables are this process's; the service reads its own environment (LocalSystem's),
    // so the report names every one the command line takes.
    generator.environmentLookup = [&variables](const std::string& name) {
      return variables[name] = setupcmd::ProcessEnvironmentValue(name);
    };
    result = generator.GenerateCommandLine(buffer);
    findings = generator.findings();
  } catch (const _com_error& error) {
    commandGate["error"] = "COM error " + Hex8(static_cast<unsigned>(error.Error()));
    result = setupcmd::kCommandLineNotStored;
  }

  versionGate["msi"] = Utf8(findings.packageMsiPath);
  versionGate["upgrade_code"] = Utf8(findings.upgradeCode);
  versionGate["package_version"] = Utf8(findings.packageVersion);
  Json related = Json::array();
  for (const auto& product : findings.relatedProducts) {
    related.push_back(
        {{"product_code", product.productCode},
         {"version", product.version.empty() ? Json(nullptr) : Json(Utf8(product.version))}});
  }
  versionGate["related_products"] = related;
  versionGate["installed_product"] =
      findings.installedProductFound ? Json(findings.installedProductCode) : Json(nullptr);
  versionGate["installed_version"] =
      findings.installedVersionRead ? Json(Utf8(findings.installedVersion)) : Json(nullptr);
  versionGate["result"] = result;

  const bool versionUnreadable = findings.installedProductFound && !findings.installedVersionRead;
  if (result == setupcmd::kLowerVersionRefused) {
    versionGate["answer"] = "lower version: refused";
    Stop(versionGate, "the package version " + Utf8(findings.packageVersion) +
                          " is lower than the installed version " +
                          Utf8(findings.installedVersion));
  } else if (versionUnreadable) {
    versionGate["answer"] = "installed version unreadable: refused";
    Stop(versionGate, "the installed related product's version cannot be read");
  } else if (!findings.installedProductFound) {
    versionGate["answer"] = "no related product installed: passes";
  } else {
    versionGate["answer"] = "not lower: passes";
  }

  const bool stored =
      result == setupcmd::kCommandLineReady || result == setupcmd::kLowerVersionRefused;
  commandGate["command_line"] = stored ? Json(Utf8(WithPlaceholder(buffer))) : Json(nullptr);
  commandGate["daxpid_placeholder"] = kDaxPidPlaceholder;
  Json expanded = Json::object();
  for (const auto& variable : variables) expanded[Utf8(variable.first)] = Utf8(variable.second);
  commandGate["environment_variables"] = expanded;
  commandGate["environment_note"] =
      variables.empty() ? Json(nullptr)
                        : Json(
                              "expanded from the check's environment; the service expands them "
                              "in its own (LocalSystem's), which may differ");
  commandGate["result"] = result;
  if (!stored && !versionUnreadable && !commandGate.contains("error")) {
    Stop(commandGate, "the command line needs 4096 bytes or more");
  } else if (commandGate.contains("error")) {
    Stop(commandGate, "the command line cannot be built");
  }
}

}  // namespace

bool CheckPackage(const std::string& folder, Json& report, std::string& error) {
  // With its separator, so that "C:" names the drive's root and not its current folder.
  const DWORD attributes = ::GetFileAttributesA((folder + "\\").c_str());
  if (folder.empty() || attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = "not a folder: " + folder;
    return false;
  }
  WIN32_FIND_DATAA match = {};
  platform::UniqueFindHandle search(::FindFirstFileA((folder + "\\*").c_str(), &match));
  if (!search) {
    error = "cannot read the folder " + folder;
    return false;
  }
  search.reset();

  // The shared library finds its silo above the program that runs: above daxinst.exe in the
  // package folder for the run, wherever daxcheck.exe lies for the check.
  sharedlib::SetIsolationAnchor(platform::WidenCountedLenient(folder + "\\daxinst.exe"));

  report = Json::object();
  report["program"] = "daxcheck";
  report["folder"] = Utf8(folder);
  Json gates = Json::array();
  gates.push_back(PackageGate(folder));
  gates.push_back(RunStateGate());
  TrustGateResult trust = TrustGate(folder);
  gates.push_back(trust.gate);
  std::string predictedSetAid;
  gates.push_back(ConfigurationGate(folder, predictedSetAid));
  Json versionGate;
  Json commandGate;
  VersionAndCommandLineGates(folder, versionGate, commandGate);
  gates.push_back(versionGate);
  gates.push_back(commandGate);

  Json verdict;
  verdict["setup_would_run"] = true;
  verdict["text"] = "setup would run";
  verdict["number"] = 7;
  verdict["stopped_by"] = nullptr;
  verdict["stopped_at_gate"] = nullptr;
  verdict["because"] = nullptr;
  for (const auto& gate : gates) {
    if (gate["passes"].get<bool>()) continue;
    verdict["setup_would_run"] = false;
    verdict["text"] = "setup would not run";
    verdict["stopped_by"] = gate["name"];
    verdict["stopped_at_gate"] = gate["number"];
    verdict["because"] = gate["stops_because"];
    break;
  }
  report["gates"] = gates;
  report["verdict"] = verdict;
  return true;
}

}  // namespace daxcheck
