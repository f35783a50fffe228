#include "upgrade/setup_launcher.h"

#include <comdef.h>

#include <cstdio>
#include <memory>
#include <string>

#include "config/feature_opt_parser.h"
#include "config/install_opt_parser.h"
#include "config/reboot_opt_parser.h"
#include "diag/log.h"
#include "platform/unique_handle.h"
#include "service/process_entry.h"
#include "setupcmd/command_line_generator.h"
#include "upgrade/setup_verifier.h"

namespace upgrade {

using diag::LogLine;

namespace {

constexpr char kNotifyPassMutexName[] = "Global\\TRVAutoUpgradeNotifyPass";

std::string Hex4(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04x", value);
  return text;
}

// The path in UTF-16 through the given ANSI code page; empty when it cannot be converted.
std::wstring Widen(const std::string& text, UINT codePage) {
  if (text.empty()) return {};
  const int length =
      ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.c_str(), -1, &wide[0], length);
  wide.resize(static_cast<size_t>(length) - 1);
  return wide;
}

struct VerifierDeleter {
  void operator()(SetupVerifier* verifier) const { DestroySetupVerifier(verifier); }
};
using UniqueSetupVerifier = std::unique_ptr<SetupVerifier, VerifierDeleter>;

}  // namespace

namespace detail {

std::uint32_t RunOptionWriter(const char* kind, const std::function<std::uint32_t()>& write) {
  try {
    return write();
  } catch (const _com_error& error) {
    // A reader that cannot be used costs this writer only: the run goes on with the next one.
    const auto code = static_cast<std::uint32_t>(error.Error());
    LogLine("ERROR: reading config.xml for the ", kind, " options failed - HRESULT 0x", Hex4(code));
    return code;
  }
}

}  // namespace detail

namespace {

// Builds one writer into `writer` (kept alive by the caller) and merges its options, reporting
// a failure with the writer's result.
template <typename Writer>
void MergeOptions(std::unique_ptr<Writer>& writer, const std::string& packageDirectory,
                  const char* kind, const char* what) {
  const std::uint32_t result = detail::RunOptionWriter(kind, [&] {
    writer = std::make_unique<Writer>(packageDirectory);
    return writer->propigateOptions();
  });
  if (result != 0) {
    LogLine("ERROR: Unable to update ", packageDirectory, "\\setAid.ini with ", what,
            " from config.xml - 0x", Hex4(result));
  }
}

}  // namespace

int RunDaxSetup(const std::string& packageDirectory, DWORD daxPid) {
  const std::string setupPath = packageDirectory + "\\setup.exe";
  LogLine("Setup path = ", setupPath);

  // The handle denies writers and deleters until setup has ended, so the program that was
  // verified is the program that runs.
  platform::UniqueFileHandle readShared;
  const std::wstring wideSetupPath = Widen(setupPath, CP_ACP);
  if (setupPath.size() < MAX_PATH && !wideSetupPath.empty()) {
    readShared.reset(::CreateFileW(wideSetupPath.c_str(), FILE_GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
  }
  if (!readShared) {
    LogLine(
        "Failed to open a read-shared handle of setup.exe file. Cannot move ahead with install");
    return 0;
  }

  UniqueSetupVerifier verifier(CreateSetupVerifier());
  const std::wstring verifyPath = Widen(setupPath, CP_THREAD_ACP);
  if (!verifier || VerifySetupFile(verifier.get(), verifyPath.c_str()) < 0) {
    LogLine("Trust verification for setup.exe failed");
    return 0;
  }

  {
    // All three writers live until the last one has run, as one merge of config.xml.
    std::unique_ptr<config::CInstallOptParser> install;
    std::unique_ptr<config::CRebootOptParser> reboot;
    std::unique_ptr<config::CFeatureOptParser> feature;
    MergeOptions(install, packageDirectory, "install", "install options");
    MergeOptions(reboot, packageDirectory, "reboot", "reboot options");
    MergeOptions(feature, packageDirectory, "feature", "Feature options");
    feature.reset();
    reboot.reset();
    install.reset();
  }

  std::unique_ptr<setupcmd::CommandLineGenerator> generator;
  char commandLine[setupcmd::kCommandLineBufferSize] = {};
  int generated = setupcmd::kCommandLineNotStored;
  try {
    generator = std::make_unique<setupcmd::CommandLineGenerator>(packageDirectory);
    generator->includeLogSwitch = true;
    generator->daxPid = daxPid;
    generated = generator->GenerateCommandLine(commandLine);
  } catch (const _com_error& error) {
    // Without a complete command line setup must not start.
    LogLine("ERROR: building the setup command line failed - HRESULT 0x",
            Hex4(static_cast<std::uint32_t>(error.Error())));
    generated = setupcmd::kCommandLineNotStored;
  }
  if (generated != setupcmd::kCommandLineReady) return generated;

  platform::UniqueKernelHandle notifyPass(::CreateMutexA(nullptr, TRUE, kNotifyPassMutexName));
  const DWORD mutexError = ::GetLastError();
  if (!notifyPass) {
    LogLine("Create mutex. Failed..");
  } else if (mutexError == ERROR_ALREADY_EXISTS) {
    LogLine("Create Mutex. Failed (ALREADY_EXISTS) ");
  } else {
    LogLine("Successfully created new mutex");
  }

  const int result = service::RunProcess(setupPath.c_str(), commandLine, true);
  // Closed without a release: the system abandons it with the handle.
  notifyPass.reset();
  return result;
}

}  // namespace upgrade
