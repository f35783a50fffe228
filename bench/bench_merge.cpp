// Scale of the merge: the three option writers and the setup command line generator, as one
// setup run uses them, on config.xml files of 1, 100, 1,000 and 10,000 ClientPackage entries
// whose matching entry comes last, with 10 and 1,000 enabled features in it. Every other entry
// carries install and reboot options and 10 features of its own.
//
//   bench_merge.exe [--runs N] [--warmup N]
//
// Prints the per-size figures, then the table rows (see bench_support.h).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "config/feature_opt_parser.h"
#include "config/install_opt_parser.h"
#include "config/reboot_opt_parser.h"
#include "platform/unique_handle.h"
#include "setupcmd/command_line_generator.h"

namespace {

constexpr char kRoot[] = "C:\\daxbench";
constexpr char kProductKey[] = "SOFTWARE\\Quorvex\\Tarvane\\DAX";
constexpr char kMatching[] = "BENCHMATCH";
constexpr char kSetAid[] =
    "[PREDEFINED_DAX_CONFIG]\r\nPackageChecksum=BENCHMATCH\r\nAppType=105\r\n"
    "[CUSTOM_DAX_CONFIG]\r\nDestinationDirectory=C:\\Program Files\\Quorvex\r\n"
    "AutoReboot=false\r\n[FEATURE_SELECTION]\r\nAntiVirus=1\r\n";
constexpr char kSetupIni[] = "[Startup]\r\nCmdLine=/qb IDCENABLE=1\r\n";

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_merge: %s (error %lu)\n", what.c_str(), ::GetLastError());
  std::exit(1);
}

void SetProductValue(const char* name, const std::string* data) {
  platform::UniqueRegKey key;
  if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0,
                        KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
    Fail("cannot open the product key");
  }
  if (!data) {
    ::RegDeleteValueA(key.get(), name);
    return;
  }
  ::RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data->c_str()),
                   static_cast<DWORD>(data->size() + 1));
}

void AppendEntry(std::string& xml, const std::string& checksum, int features) {
  xml += "<ClientPackage Checksum=\"" + checksum + "\">\r\n";
  xml +=
      "<InstallationOption InstallationDirectory=\"C:\\Quorvex\\Client\" "
      "UserInterfaceLevel=\"Unattended\" InstallationLogFileName=\"C:\\logs\\upgrade.log\"/>\r\n";
  xml += "<RebootOptions AutoReboot=\"1\"/>\r\n<EnabledClientFeatures>\r\n";
  char name[64];
  for (int i = 0; i < features; ++i) {
    std::snprintf(name, sizeof(name), "<F FeatureName=\"Feature%04d\"/>\r\n", i);
    xml += name;
  }
  xml += "</EnabledClientFeatures>\r\n</ClientPackage>\r\n";
}

std::string ConfigXml(int entries, int features) {
  std::string xml = "<?xml version=\"1.0\"?>\r\n<Deployment>\r\n";
  char checksum[32];
  for (int i = 1; i < entries; ++i) {
    std::snprintf(checksum, sizeof(checksum), "OTHER%05d", i);
    AppendEntry(xml, checksum, 10);
  }
  AppendEntry(xml, kMatching, features);
  return xml + "</Deployment>\r\n";
}

// What one setup run does with config.xml. False when the merge did not take the matching entry.
bool MergeOnce(const std::string& package, int features) {
  bool merged = true;
  // A run reads config.xml once, and every reader answers from that reading.
  const std::shared_ptr<config::ConfigXmlRun> run = config::ConfigXmlRun::Read();
  {
    config::CInstallOptParser install(package, run);
    merged &= install.propigateOptions() == config::kOptionsMerged;
  }
  {
    config::CRebootOptParser reboot(package, run);
    merged &= reboot.propigateOptions() == config::kOptionsMerged;
  }
  {
    config::CFeatureOptParser feature(package, run);
    merged &= feature.propigateOptions() == config::kOptionsMerged;
  }
  std::vector<char> commandLine(setupcmd::kCommandLineBufferSize, '\0');
  setupcmd::CommandLineGenerator generator(package);
  generator.configRun = run;
  merged &= generator.GenerateCommandLine(commandLine.data()) == setupcmd::kCommandLineReady;
  merged &= std::strstr(commandLine.data(), "/qb!-") != nullptr;
  char lastFeature[32];
  std::snprintf(lastFeature, sizeof(lastFeature), "Feature%04d", features - 1);
  char value[8] = {};
  ::GetPrivateProfileStringA("FEATURE_SELECTION", lastFeature, "", value, sizeof(value),
                             (package + "\\setAid.ini").c_str());
  return merged && std::strcmp(value, "1") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  int warmups = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--warmup") == 0) warmups = std::max(0, std::atoi(argv[i + 1]));
  }
  const std::string root = std::string(kRoot) + "\\merge";
  const std::string package = root + "\\package";
  const std::string configDir = root + "\\config";
  ::CreateDirectoryA(kRoot, nullptr);
  ::CreateDirectoryA(root.c_str(), nullptr);
  ::CreateDirectoryA(package.c_str(), nullptr);
  ::CreateDirectoryA(configDir.c_str(), nullptr);
  if (!bench::WriteText(package + "\\Setup.ini", kSetupIni)) Fail("Setup.ini");
  // A client older than 12.1 keeps config.xml in its installation folder.
  const std::string version = "11.0";
  SetProductValue("ProductVersion", &version);
  SetProductValue("dax_install_path", &configDir);

  const int sizes[] = {1, 100, 1000, 10000};
  const int featureCounts[] = {10, 1000};
  bool broken = false;
  for (const int features : featureCounts) {
    bench::Summary previous;
    for (const int entries : sizes) {
      const std::string xml = ConfigXml(entries, features);
      if (!bench::WriteText(configDir + "\\config.xml", xml)) Fail("config.xml");
      std::vector<double> times;
      for (int i = 0; i < warmups + runs; ++i) {
        if (!bench::WriteText(package + "\\setAid.ini", kSetAid)) Fail("setAid.ini");
        const LONGLONG started = bench::Counter();
        const bool merged = MergeOnce(package, features);
        const double ms = bench::CounterMs(bench::Counter() - started);
        if (!merged) {
          std::fprintf(stderr, "bench_merge: %d entries, %d features: the merge went wrong\n",
                       entries, features);
          broken = true;
        }
        if (i >= warmups) times.push_back(ms);
      }
      const bench::Summary summary = bench::Summarise(times);
      std::printf("merge %5d entries %4d features (%7zu bytes): %s\n", entries, features,
                  xml.size(), bench::Show(summary, 1, "ms").c_str());
      std::fflush(stdout);

      char figure[96];
      std::snprintf(figure, sizeof(figure), "Merge, %d entries, %d features", entries, features);
      std::string growth = "-";
      std::string target = "-";
      std::string verdict = "-";
      if (previous.count) {
        const double factor = summary.median / previous.median;
        growth = bench::Ratio(summary.median, previous.median) + " per 10x";
        target = "<= ~10x per 10x";
        verdict = factor <= 10.0 ? "met" : "MISSED";
      }
      if (entries == 10000 && features == 1000) {
        target += ", < 2000 ms";
        verdict = (verdict != "MISSED" && summary.median < 2000.0) ? "met" : "MISSED";
      }
      bench::Row(figure, bench::Show(summary, 1, "ms"), "-", growth, target, verdict);
      previous = summary;
    }
  }
  SetProductValue("ProductVersion", nullptr);
  SetProductValue("dax_install_path", nullptr);
  return broken ? 1 : 0;
}
