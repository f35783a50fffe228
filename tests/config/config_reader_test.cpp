#include <winsock2.h>

#include <gtest/gtest.h>

#include <comdef.h>

#include <cstring>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/config_fixture.h"
#include "config/config_xml_parser.h"
#include "diag/log.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using config::CConfigXMLParser;
using config_testing::ClearRegistry;
using config_testing::DeleteTree;
using config_testing::Document;
using config_testing::kHive;
using config_testing::kProductKey;
using config_testing::kSilo;
using config_testing::MapKey;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

using config_testing::LogPath;

constexpr char kTag[] = "CConfigXMLParser::CConfigXMLParser";

// The test executable's silo and its log, set up before any case runs.
class ReaderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    WriteFileBytes(IniPath(), "[isolation]\r\nsilo=" + std::string(kSilo) + "\r\n");
    ClearRegistry();
    diag::OpenLogFile();
  }
  void TearDown() override {
    ClearRegistry();
    testing_support::DeleteFileIfPresent(IniPath());
  }

 private:
  static std::string IniPath() { return testing_support::ExecutableDirectory() + "\\isolate.ini"; }
};

[[maybe_unused]] const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new ReaderEnvironment);

// A package folder with its setAid.ini, two configuration folders (the installation path of
// older clients and the expanded %TRVCONFIGDIR% of newer ones), and the product key in the
// 32-bit view, which is where the reader looks while the client's service is not installed.
class ConfigReaderTest : public ::testing::Test {
 protected:
  ConfigReaderTest() : package_("pkg"), installDir_("install_dir"), expandedDir_("expanded_dir") {}

  void SetUp() override {
    ClearRegistry();
    SetProduct("ProductVersion", "11.0");
    SetProduct("dax_install_path", installDir_.path());
    testing_support::SetRegistryString(HKEY_LOCAL_MACHINE, MapKey().c_str(), "trvconfigdir",
                                       expandedDir_.path(), KEY_WOW64_32KEY);
    WriteSetAid("");
  }
  void TearDown() override { ClearRegistry(); }

  static void SetProduct(const char* name, const std::string& value,
                         REGSAM view = KEY_WOW64_32KEY) {
    testing_support::SetRegistryString(HKEY_LOCAL_MACHINE, kProductKey, name, value, view);
  }
  static void DeleteProduct(const char* name) {
    platform::UniqueRegKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                        key.put()) == ERROR_SUCCESS) {
      ::RegDeleteValueA(key.get(), name);
    }
  }

  void WriteSetAid(const std::string& predefined, const std::string& luConfig = "") {
    WriteFileBytes(package_.path() + "\\setAid.ini",
                   "[PREDEFINED_DAX_CONFIG]\r\n" + predefined + "[LU_CONFIG]\r\n" + luConfig);
  }
  void WriteConfig(const std::string& xml) { WriteConfigIn(installDir_.path(), xml); }
  static void WriteConfigIn(const std::string& folder, const std::string& xml) {
    WriteFileBytes(folder + "\\config.xml", xml);
  }

  std::unique_ptr<CConfigXMLParser> Reader() const {
    return std::make_unique<CConfigXMLParser>(package_.path().c_str());
  }

  // The reader's log lines written since the case began.
  std::vector<std::string> ReaderLog() const {
    std::vector<std::string> lines;
    const auto all = testing_support::LogMessages(LogPath());
    for (size_t i = logMark_; i < all.size(); ++i) {
      if (all[i].rfind(kTag, 0) == 0) lines.push_back(all[i].substr(sizeof(kTag) - 1));
    }
    return lines;
  }

  TempFolder package_;
  TempFolder installDir_;
  TempFolder expandedDir_;
  size_t logMark_ = testing_support::LogMessages(LogPath()).size();
};

std::string Package(const std::string& attributes, const std::string& marker) {
  return "<ClientPackage " + attributes + "><InstallationOption Marker=\"" + marker +
         "\"/></ClientPackage>";
}

struct VersionCase {
  const char* version;
  const char* marker;  // which folder's config.xml is read
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << '"' << c.version << '"'; }

class ConfigDirectoryTest : public ConfigReaderTest,
                            public ::testing::WithParamInterface<VersionCase> {};

TEST_P(ConfigDirectoryTest, ChosenByProductVersion) {
  SetProduct("ProductVersion", GetParam().version);
  WriteConfigIn(installDir_.path(), Document(Package("", "install")));
  WriteConfigIn(expandedDir_.path(), Document(Package("", "expanded")));
  EXPECT_EQ(Reader()->getInstallOption("Marker"),
            std::wstring(GetParam().marker, GetParam().marker + std::strlen(GetParam().marker)));
  EXPECT_TRUE(ReaderLog().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Versions, ConfigDirectoryTest,
    ::testing::Values(VersionCase{"12.0.5", "install"}, VersionCase{"11.0", "install"},
                      VersionCase{"12.1.671", "expanded"}, VersionCase{"14.0", "expanded"},
                      VersionCase{"+12.+1", "expanded"}, VersionCase{"0.65537", "install"},
                      // A minor number that does not fit 16 bits is still above 12.1: wrapped
                      // it would read 12.0. A negative minor number is below 12.1, however its
                      // bits look; a major number past 16 bits is above 12, not 12 again.
                      VersionCase{"12.65536", "expanded"}, VersionCase{"12.65537", "expanded"},
                      VersionCase{"12.-1", "install"}, VersionCase{"-1.5", "install"},
                      VersionCase{"65548.0", "expanded"}, VersionCase{"11.65537", "install"}));

TEST_F(ConfigReaderTest, FolderEndingInBackslashGetsNoSecondOne) {
  SetProduct("dax_install_path", installDir_.path() + "\\");
  WriteConfig(Document(Package("", "install")));
  EXPECT_EQ(Reader()->getInstallOption("Marker"), L"install");

  SetProduct("ProductVersion", "12.1");
  testing_support::SetRegistryString(HKEY_LOCAL_MACHINE, MapKey().c_str(), "trvconfigdir",
                                     expandedDir_.path() + "\\", KEY_WOW64_32KEY);
  WriteConfigIn(expandedDir_.path(), Document(Package("", "expanded")));
  EXPECT_EQ(Reader()->getInstallOption("Marker"), L"expanded");
}

struct FailureCase {
  const char* label;
  const char* version;  // nullptr: no ProductVersion
  bool installPath;
  bool expansion;
  const char* logLine;
};

constexpr char kUnparsable[] = " - Unable to parse value 'ProductVersion'";

class ConfigDirectoryFailureTest : public ConfigReaderTest,
                                   public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ConfigDirectoryFailureTest, LogsAndReadsNothing) {
  const FailureCase& c = GetParam();
  WriteConfigIn(installDir_.path(), Document(Package("", "install")));
  WriteConfigIn(expandedDir_.path(), Document(Package("", "expanded")));
  // A config.xml in the current folder must not be picked up in place of a missing folder.
  WriteConfigIn(testing_support::ExecutableDirectory(), Document(Package("", "current")));
  ::SetCurrentDirectoryA(testing_support::ExecutableDirectory().c_str());
  if (c.version) {
    SetProduct("ProductVersion", c.version);
  } else {
    DeleteProduct("ProductVersion");
  }
  if (!c.installPath) DeleteProduct("dax_install_path");
  if (!c.expansion) DeleteTree(kHive, kSilo, KEY_WOW64_32KEY);

  const auto reader = Reader();
  EXPECT_EQ(reader->getInstallOption("Marker"), L"");
  EXPECT_EQ(ReaderLog(), std::vector<std::string>{c.logLine});
  testing_support::DeleteFileIfPresent(testing_support::ExecutableDirectory() + "\\config.xml");
}

INSTANTIATE_TEST_SUITE_P(
    Registry, ConfigDirectoryFailureTest,
    ::testing::Values(FailureCase{"NoVersion", nullptr, true, true,
                                  " - Unable to read value 'ProductVersion'"},
                      // Fault: a value that was read but is no version was reported as unreadable.
                      FailureCase{"OnePiece", "12", true, true, kUnparsable},
                      FailureCase{"Letters", "12.x", true, true, kUnparsable},
                      FailureCase{"EmptyPiece", "12..1", true, true, kUnparsable},
                      FailureCase{"Empty", "", true, true, kUnparsable},
                      FailureCase{"Overflow", "99999999999.1", true, true, kUnparsable},
                      FailureCase{"NoInstallPath", "12.0", false, true,
                                  " - Unable to read value 'dax_install_path'"},
                      FailureCase{"NoExpansion", "12.1", true, false,
                                  " - Unable to expand TRVCONFIGDIR path expansion variable"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigReaderTest, ProductKeyOnlyInTheOtherViewIsNotFound) {
  ClearRegistry();
  SetProduct("ProductVersion", "11.0", KEY_WOW64_64KEY);
  SetProduct("dax_install_path", installDir_.path(), KEY_WOW64_64KEY);
  WriteConfig(Document(Package("", "install")));
  // The key itself may exist in the 32-bit view for other values: take it away for this case.
  DeleteTree("SOFTWARE\\Quorvex\\Tarvane", "DAX", KEY_WOW64_32KEY);
  EXPECT_EQ(Reader()->getInstallOption("Marker"), L"");
  EXPECT_EQ(ReaderLog(), std::vector<std::string>{
                             " - Unable to open registry key'SOFTWARE\\Quorvex\\Tarvane\\DAX'"});
}

// With the client's service installed the reader uses the default (64-bit) view.
TEST_F(ConfigReaderTest, ClientServiceSelectsTheDefaultView) {
  platform::UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  platform::UniqueServiceHandle service(::CreateServiceA(
      manager.get(), "daxService", "daxService", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, "C:\\windows\\system32\\notepad.exe", nullptr,
      nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(service) << ::GetLastError();
  struct Remove {
    SC_HANDLE handle;
    ~Remove() { ::DeleteService(handle); }
  } remove{service.get()};

  SetProduct("ProductVersion", "11.0", KEY_WOW64_64KEY);
  SetProduct("dax_install_path", expandedDir_.path(), KEY_WOW64_64KEY);
  WriteConfigIn(installDir_.path(), Document(Package("", "32-bit view")));
  WriteConfigIn(expandedDir_.path(), Document(Package("", "64-bit view")));
  EXPECT_EQ(Reader()->getInstallOption("Marker"), L"64-bit view");
}

struct SelectionCase {
  const char* label;
  std::string predefined;           // PREDEFINED_DAX_CONFIG lines of setAid.ini
  std::string luConfig;             // LU_CONFIG lines
  std::string packages;             // the entries of config.xml
  const wchar_t* selected;          // Marker of the entry expected, empty for none
  config::PackageSelection::By by;  // how daxcheck.exe is told it was chosen
  int position;                     // and where it stands among the entries
};

using By = config::PackageSelection::By;

const std::string kWin64Pkg = "PackageChecksum=AB12\r\nAppType=105\r\nPlatformType=WIN64BIT\r\n";

void PrintTo(const SelectionCase& c, std::ostream* out) { *out << c.label; }

class PackageSelectionTest : public ConfigReaderTest,
                             public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(PackageSelectionTest, SelectsTheRightEntry) {
  const SelectionCase& c = GetParam();
  WriteSetAid(c.predefined, c.luConfig);
  WriteConfig(Document(c.packages));
  EXPECT_EQ(Reader()->getInstallOption("Marker"), c.selected);
}

// The account daxcheck.exe gives of the choice is the choice the answers come from.
TEST_P(PackageSelectionTest, DescribesTheSameChoice) {
  const SelectionCase& c = GetParam();
  WriteSetAid(c.predefined, c.luConfig);
  WriteConfig(Document(c.packages));
  const auto reader = Reader();
  const config::PackageSelection selection = reader->describeSelection();
  EXPECT_EQ(selection.by, c.by);
  EXPECT_EQ(selection.position, c.position);
  EXPECT_EQ(reader->getInstallOption("Marker"), c.selected) << "the description moved the cursor";
}

const std::string kAttributeMatch = "Product=\"Client Win64\" Type=\"105.1\" Language=\"en_us\"";

INSTANTIATE_TEST_SUITE_P(
    Entries, PackageSelectionTest,
    ::testing::Values(
        SelectionCase{
            "ChecksumWinsOverEarlierAttributeMatch", kWin64Pkg, "",
            Package(kAttributeMatch, "attributes") + Package("Checksum=\"AB12\"", "checksum"),
            L"checksum", By::kChecksum, 2},
        SelectionCase{"ChecksumIgnoresCase", kWin64Pkg, "",
                      Package("Checksum=\"xx\"", "other") + Package("Checksum=\"ab12\"", "lower"),
                      L"lower", By::kChecksum, 2},
        SelectionCase{"FirstAttributeMatchInDocumentOrder", kWin64Pkg, "",
                      Package("Checksum=\"FF\" " + kAttributeMatch, "first") +
                          Package("Checksum=\"EE\" " + kAttributeMatch, "second"),
                      L"first", By::kAttributes, 1},
        SelectionCase{"EmptyChecksumMatchesEntryWithout",
                      "AppType=999\r\nPlatformType=WIN64BIT\r\n", "",
                      Package("Checksum=\"AB12\" " + kAttributeMatch, "with") +
                          Package("Product=\"x\"", "without"),
                      L"without", By::kChecksum, 2},
        SelectionCase{
            "TypeWithDotOne", kWin64Pkg, "",
            Package("Checksum=\"1\" Product=\"Client Win64\" Type=\"105.10\" Language=\"en_us\"",
                    "ten") +
                Package(
                    "Checksum=\"2\" Product=\"Client Win64\" Type=\"105.1 \" Language=\"en_us\"",
                    "blank") +
                Package("Checksum=\"3\" Product=\"Client Win64\" Type=\"105\" Language=\"en_us\"",
                        "bare") +
                Package("Checksum=\"4\" Product=\"Client Win64\" Type=\"105.1\" Language=\"en_us\"",
                        "one"),
            L"one", By::kAttributes, 4},
        SelectionCase{
            "MarkerNeedsItsBlank",
            "PackageChecksum=AB12\r\nAppType=105\r\nPlatformType=win64bit\r\n", "",
            Package("Checksum=\"1\" Product=\"ClientWin64\" Type=\"105.1\" Language=\"en_us\"",
                    "glued") +
                Package("Checksum=\"2\" Product=\"Client WIN64\" Type=\"105.1\" Language=\"en_us\"",
                        "upper"),
            L"upper", By::kAttributes, 2},
        SelectionCase{
            "Win32Marker", "PackageChecksum=AB12\r\nAppType=105\r\nPlatformType=Win32Bit\r\n", "",
            Package("Checksum=\"1\" " + kAttributeMatch, "64") +
                Package(
                    "Checksum=\"2\" Product=\"Client Win32 Ed\" Type=\"105.1\" Language=\"en_us\"",
                    "32"),
            L"32", By::kAttributes, 2},
        SelectionCase{"DefaultLanguageIgnoresCase", kWin64Pkg, "",
                      Package("Checksum=\"1\" Product=\"Client Win64\" Type=\"105.1\" "
                              "Language=\"de_de\"",
                              "german") +
                          Package("Checksum=\"2\" Product=\"Client Win64\" Type=\"105.1\" "
                                  "Language=\"EN_US\"",
                                  "english"),
                      L"english", By::kAttributes, 2},
        SelectionCase{"LanguageFromSetAid", kWin64Pkg, "Language=de_DE\r\n",
                      Package("Checksum=\"1\" " + kAttributeMatch, "english") +
                          Package("Checksum=\"2\" Product=\"Client Win64\" Type=\"105.1\" "
                                  "Language=\"DE_de\"",
                                  "german"),
                      L"german", By::kAttributes, 2},
        SelectionCase{"AbsentAttributesNeverMatch", kWin64Pkg, "", Package("", "bare"), L"",
                      By::kNone, 0},
        SelectionCase{"NoPlatformNoAttributeMatch", "PackageChecksum=AB12\r\nAppType=105\r\n", "",
                      Package("Checksum=\"1\" " + kAttributeMatch, "x"), L"", By::kNone, 0},
        SelectionCase{"ElementNamesAreCaseSensitive", kWin64Pkg, "",
                      "<clientpackage Checksum=\"AB12\"><InstallationOption Marker=\"lower\"/>"
                      "</clientpackage>",
                      L"", By::kNone, 0},
        SelectionCase{"AnySiblingAfterTheFirstIsACandidate", kWin64Pkg, "",
                      Package("Checksum=\"1\"", "first") +
                          "<Other Checksum=\"AB12\"><InstallationOption Marker=\"other\"/></Other>",
                      L"other", By::kChecksum, 2},
        SelectionCase{"CommentsBetweenEntriesAreSkipped", "AppType=105\r\n", "",
                      "<!-- packages -->" + Package("Checksum=\"1\"", "first") +
                          "<!-- more --><?pi x?>" + Package("", "second"),
                      L"second", By::kChecksum, 2},
        SelectionCase{"NamespacePrefixIgnored", kWin64Pkg, "",
                      "<q:ClientPackage xmlns:q=\"urn:q\" Checksum=\"AB12\"><q:InstallationOption"
                      " Marker=\"prefixed\"/></q:ClientPackage>",
                      L"prefixed", By::kChecksum, 1}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigReaderTest, InvalidPlatformIsLogged) {
  WriteSetAid("AppType=105\r\nPlatformType=ARM64\r\n");
  WriteConfig(Document(Package(kAttributeMatch + " Checksum=\"1\"", "x")));
  EXPECT_EQ(Reader()->getInstallOption("Marker"), L"");
  EXPECT_EQ(ReaderLog(), std::vector<std::string>{" Found invalid platform string in setAid.ini"});
}

TEST_F(ConfigReaderTest, OptionsOfTheSelectedPackage) {
  WriteSetAid(kWin64Pkg);
  WriteConfig(Document(
      "<ClientPackage Checksum=\"00\"><InstallationOption UserInterfaceLevel=\"wrong\"/>"
      "<RebootOptions AutoReboot=\"0\"/></ClientPackage>"
      "<ClientPackage Checksum=\"AB12\">\r\n"
      "  <InstallationOption UserInterfaceLevel=\"Unattended\" KeepAllDataOnUpgrade=\"\"/>\r\n"
      "  <RebootOptions AutoReboot=\"1\" PromptMessage=\"Caf\xC3\xA9 &amp; more\"/>\r\n"
      "</ClientPackage>"));
  const auto reader = Reader();
  EXPECT_EQ(reader->getInstallOption("UserInterfaceLevel"), L"Unattended");
  EXPECT_EQ(reader->getInstallOption("KeepAllDataOnUpgrade"), L"");
  EXPECT_EQ(reader->getInstallOption("InstallationDirectory"), L"");
  EXPECT_EQ(reader->getInstallOption("AutoReboot"), L"");
  EXPECT_EQ(reader->getRebootOption("AutoReboot"), L"1");
  EXPECT_EQ(reader->getRebootOption("PromptMessage"), L"Caf\x00E9 & more");
  EXPECT_EQ(reader->getRebootOption("UserInterfaceLevel"), L"");
  // Asking again selects afresh and answers the same.
  EXPECT_EQ(reader->getInstallOption("UserInterfaceLevel"), L"Unattended");
  EXPECT_TRUE(reader->getEnabledFeatures().empty());
}

TEST_F(ConfigReaderTest, FeaturesInDocumentOrder) {
  WriteSetAid(kWin64Pkg);
  WriteConfig(
      Document("<ClientPackage Checksum=\"AB12\"><EnabledClientFeatures>\r\n"
               "  <Feature FeatureName=\"Firewall\"/>\r\n  <Feature/>\r\n"
               "  <!-- switched off: <Feature FeatureName=\"Old\"/> -->\r\n"
               "  <Other FeatureName=\"Antivirus\"/>\r\n"
               "</EnabledClientFeatures></ClientPackage>"));
  // The comment reads as a feature without a name.
  EXPECT_EQ(Reader()->getEnabledFeatures(),
            (std::vector<std::string>{"Firewall", "", "", "Antivirus"}));
}

TEST_F(ConfigReaderTest, ThreeFeaturesWithAnEmptyName) {
  WriteSetAid(kWin64Pkg);
  WriteConfig(Document(
      "<ClientPackage Checksum=\"AB12\"><EnabledClientFeatures><F FeatureName=\"a\"/>"
      "<F FeatureName=\"\"/><F FeatureName=\"c\"/></EnabledClientFeatures></ClientPackage>"));
  EXPECT_EQ(Reader()->getEnabledFeatures(), (std::vector<std::string>{"a", "", "c"}));
}

struct BrokenFileCase {
  const char* label;
  const char* content;  // nullptr: no file at all
};

class BrokenConfigTest : public ConfigReaderTest,
                         public ::testing::WithParamInterface<BrokenFileCase> {};

TEST_P(BrokenConfigTest, EveryQueryAnswersEmptyWithoutAMessage) {
  WriteSetAid(kWin64Pkg);
  if (GetParam().content) WriteConfig(GetParam().content);
  const auto reader = Reader();
  EXPECT_EQ(reader->getInstallOption("Marker"), L"");
  EXPECT_EQ(reader->getRebootOption("AutoReboot"), L"");
  EXPECT_TRUE(reader->getEnabledFeatures().empty());
  EXPECT_TRUE(ReaderLog().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenConfigTest,
    ::testing::Values(BrokenFileCase{"Missing", nullptr}, BrokenFileCase{"Empty", ""},
                      BrokenFileCase{"Malformed",
                                     "<Deployment><ClientPackage Checksum=\"AB12\">"
                                     "<InstallationOption Marker=\"x\"/></Deployment>"},
                      BrokenFileCase{"Binary", "\x01\x02\xff\xfe\x00garbage"}),
    [](const auto& info) { return std::string(info.param.label); });

// Fault: a config.xml of tens of megabytes held the upgrade run for minutes per reader (MSXML's
// load time grows faster than the file), and the run builds five readers. A file above 16 MB is
// now refused with a line of its own before MSXML sees it; one of exactly 16 MB is still read.
TEST_F(ConfigReaderTest, ConfigLargerThanSixteenMegabytesIsRefusedWithALine) {
  WriteSetAid(kWin64Pkg);
  std::string document =
      "<?xml version=\"1.0\"?>\r\n<Deployment>" + Package("Checksum=\"AB12\"", "big");
  const std::string end = "</Deployment>";
  // Many comments of a kilobyte, not one: the parser under MSXML refuses a single node of over
  // ten megabytes on its own account.
  const std::string comment = "<!--" + std::string(1017, 'x') + "-->";
  while (document.size() + comment.size() + end.size() <= (16u << 20)) document += comment;
  document.append((16u << 20) - document.size() - end.size(), ' ');
  document += end;
  ASSERT_EQ(document.size(), 16u << 20);
  WriteConfig(document);
  EXPECT_EQ(Reader()->getInstallOption("Marker"), L"big");
  EXPECT_TRUE(ReaderLog().empty());

  WriteConfig(document + " ");
  const auto reader = Reader();
  EXPECT_EQ(reader->getInstallOption("Marker"), L"");
  EXPECT_TRUE(reader->getEnabledFeatures().empty());
  EXPECT_EQ(ReaderLog(),
            std::vector<std::string>{" - config.xml is larger than 16 MB and is not read"});
}

// Serves `body` over HTTP on the loopback interface to whoever connects, and counts them.
class LoopbackHttpServer {
 public:
  explicit LoopbackHttpServer(std::string body) : body_(std::move(body)) {
    WSADATA data = {};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::listen(listener_, 4) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port_ = ::ntohs(address.sin_port);
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackHttpServer() {
    done_ = true;
    thread_.join();
    ::closesocket(listener_);
    ::WSACleanup();
  }
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  int port() const { return port_; }
  int requests() const { return requests_; }

 private:
  void Serve() {
    while (!done_) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(listener_, &readable);
      timeval wait = {0, 50000};
      if (::select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
      const SOCKET client = ::accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) continue;
      ++requests_;
      char request[4096];
      ::recv(client, request, sizeof(request), 0);
      const std::string response = "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                                   std::to_string(body_.size()) + "\r\n\r\n" + body_;
      ::send(client, response.data(), static_cast<int>(response.size()), 0);
      ::closesocket(client);
    }
  }

  std::string body_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::atomic<int> requests_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Fault: a config.xml whose size could not be read was taken for a small one and loaded
// unchecked. MSXML loads an "http://" path from the network (the file system calls it missing),
// so a dax_install_path naming a web server made the service fetch its configuration from there,
// of any size.
TEST_F(ConfigReaderTest, ConfigFolderNamedByUrlIsNotFetched) {
  LoopbackHttpServer server(Document(Package("Checksum=\"AB12\"", "fetched")));
  ASSERT_NE(server.port(), 0);
  WriteSetAid(kWin64Pkg);
  SetProduct("dax_install_path", "http://127.0.0.1:" + std::to_string(server.port()) + "/client");

  EXPECT_EQ(Reader()->getInstallOption("Marker"), L"");

  EXPECT_EQ(server.requests(), 0);
  EXPECT_TRUE(ReaderLog().empty());
}

TEST_F(ConfigReaderTest, ConfigThatCannotBeOpenedIsNotLoaded) {
  // Wine answers a name with a wildcard with ERROR_INVALID_NAME.
  SetProduct("dax_install_path", "C:\\config*folder");
  EXPECT_EQ(Reader()->getInstallOption("Marker"), L"");
  EXPECT_EQ(ReaderLog(),
            std::vector<std::string>{" - Unable to read config.xml (error 123); it is not read"});
}

struct DocumentTypeCase {
  const char* label;
  std::string prolog;  // between the XML declaration and the document element
  std::string marker;  // the Marker attribute of the package's InstallationOption, as XML text
  const wchar_t* read;
};

void PrintTo(const DocumentTypeCase& c, std::ostream* out) { *out << c.label; }

class DocumentTypeTest : public ConfigReaderTest,
                         public ::testing::WithParamInterface<DocumentTypeCase> {};

// Fault: a document type declaration was parsed, so that its entities and default attribute
// values became the options given to setup. MSXML on Windows refuses such a file with
// ProhibitDTD; Wine's MSXML takes ProhibitDTD and parses on, and there the reader refuses it.
// Either way it is a malformed config.xml. The predefined entities and character references are
// XML itself and keep working.
TEST_P(DocumentTypeTest, DeclaredDocumentTypeMakesTheFileMalformed) {
  const DocumentTypeCase& c = GetParam();
  WriteFileBytes(installDir_.path() + "\\defaults.dtd",
                 "<!ATTLIST InstallationOption Marker CDATA \"from the external DTD\">\r\n");
  WriteSetAid(kWin64Pkg);
  std::string prolog = c.prolog;
  const size_t folder = prolog.find("{folder}");
  if (folder != std::string::npos) prolog.replace(folder, 8, installDir_.path());
  const std::string option = c.marker.empty() ? "<InstallationOption/>"
                                              : "<InstallationOption Marker=\"" + c.marker + "\"/>";
  WriteConfig("<?xml version=\"1.0\"?>\r\n" + prolog +
              "<Deployment><ClientPackage Checksum=\"AB12\">" + option +
              "</ClientPackage></Deployment>\r\n");

  EXPECT_EQ(Reader()->getInstallOption("Marker"), c.read);
  EXPECT_TRUE(ReaderLog().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, DocumentTypeTest,
    ::testing::Values(
        DocumentTypeCase{"DefaultAttributeOfTheInternalSubset",
                         "<!DOCTYPE Deployment [<!ATTLIST InstallationOption Marker CDATA "
                         "\"from the DTD\">]>\r\n",
                         "", L""},
        DocumentTypeCase{"EntityOfTheInternalSubset",
                         "<!DOCTYPE Deployment [<!ENTITY folder \"C:\\Evil\">]>\r\n", "&folder;",
                         L""},
        DocumentTypeCase{"ExternalDtd",
                         "<!DOCTYPE Deployment SYSTEM \"{folder}\\defaults.dtd\">\r\n", "given",
                         L""},
        DocumentTypeCase{"PredefinedEntitiesAndCharacterReferences", "",
                         "&quot;&amp;&lt;&gt;&apos;&#65;&#x42;", L"\"&<>'AB"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigReaderTest, EmptyPackageFolderReadsNoIdentity) {
  WriteConfig(Document(Package("", "no checksum") + Package("Checksum=\"AB12\"", "checksum")));
  CConfigXMLParser reader("");
  // No checksum read: the entry without one matches the empty checksum.
  EXPECT_EQ(reader.getInstallOption("Marker"), L"no checksum");
}

TEST_F(ConfigReaderTest, PackageFolderWithTrailingBackslash) {
  WriteSetAid(kWin64Pkg);
  WriteConfig(Document(Package("", "none") + Package("Checksum=\"AB12\"", "checksum")));
  CConfigXMLParser reader((package_.path() + "\\").c_str());
  EXPECT_EQ(reader.getInstallOption("Marker"), L"checksum");
}

// COM is the reader's own business: on a fresh thread every reader balances what it started, so
// the thread may choose its apartment afterwards.
TEST_F(ConfigReaderTest, ComInitialisationIsBalanced) {
  WriteSetAid(kWin64Pkg);
  WriteConfig(Document(Package("Checksum=\"AB12\"", "ok")));
  HRESULT afterwards = E_FAIL;
  std::wstring first, second;
  std::thread worker([&] {
    {
      const auto one = Reader();
      const auto two = Reader();  // several readers live at once on one thread
      first = one->getInstallOption("Marker");
      second = two->getInstallOption("Marker");
    }
    afterwards = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(afterwards)) ::CoUninitialize();
  });
  worker.join();
  EXPECT_EQ(first, L"ok");
  EXPECT_EQ(second, L"ok");
  EXPECT_EQ(afterwards, S_OK);
}

TEST_F(ConfigReaderTest, ComRefusedInASingleThreadedApartment) {
  WriteSetAid(kWin64Pkg);
  WriteConfig(Document(Package("Checksum=\"AB12\"", "ok")));
  std::wstring answer = L"unset";
  HRESULT afterwards = E_FAIL;
  std::thread worker([&] {
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    answer = Reader()->getInstallOption("Marker");
    // The reader did not uninitialise what it had not initialised.
    afterwards = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ::CoUninitialize();
    ::CoUninitialize();
  });
  worker.join();
  EXPECT_EQ(answer, L"");
  EXPECT_EQ(afterwards, S_FALSE);
  EXPECT_EQ(ReaderLog(), std::vector<std::string>{" - CoInitialize() failed"});
}

// --- One reading of config.xml per run ---------------------------------------------------------

// Fault: every reader found, size-checked and loaded config.xml by name on its own, so a file
// changed during the run gave each reader another document. The readers of one run now answer
// from the one reading of the run.
TEST_F(ConfigReaderTest, EveryReaderOfARunAnswersFromItsOneReading) {
  WriteSetAid(kWin64Pkg);
  WriteConfig(Document(Package("Checksum=\"AB12\"", "first")));
  const std::shared_ptr<config::ConfigXmlRun> run = config::ConfigXmlRun::Read();
  ASSERT_EQ(run->state(), config::ConfigLoad::kLoaded);
  const std::wstring before =
      CConfigXMLParser(package_.path().c_str(), run).getInstallOption("Marker");

  WriteConfig(Document(Package("Checksum=\"AB12\"", "second")));

  EXPECT_EQ(before, L"first");
  EXPECT_EQ(CConfigXMLParser(package_.path().c_str(), run).getInstallOption("Marker"), L"first");
  // A reader of its own reads the file as it is now.
  EXPECT_EQ(Reader()->getInstallOption("Marker"), L"second");
}

// The one reading is judged on the bytes read: a file over the limit is not read, whatever size
// was asked for before.
TEST_F(ConfigReaderTest, RunReadsNoFurtherThanTheLimit) {
  WriteConfig(std::string((16u << 20) + 1, ' '));
  const auto run = config::ConfigXmlRun::Read();
  EXPECT_EQ(run->state(), config::ConfigLoad::kTooLarge);
  EXPECT_TRUE(run->bytes().empty());
}

class ShortRetries {
 public:
  explicit ShortRetries(int attempts, DWORD pauseMs)
      : previous_(config::ConfigXmlRun::SetRetryPolicyForTesting({attempts, pauseMs})) {}
  ~ShortRetries() { config::ConfigXmlRun::SetRetryPolicyForTesting(previous_); }

 private:
  config::ConfigXmlRun::RetryPolicy previous_;
};

// Fault: a config.xml held open without sharing was taken for no config.xml at all, and the
// merge went on without the deployment policy. It is tried again for a bounded time, then told
// apart from a missing file.
TEST_F(ConfigReaderTest, HeldWithoutSharingIsTriedAgainThenUnreadable) {
  WriteSetAid(kWin64Pkg);
  WriteConfig(Document(Package("Checksum=\"AB12\"", "held")));
  const std::string path = installDir_.path() + "\\config.xml";
  platform::UniqueFileHandle held(
      ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  const ShortRetries retries(4, 50);
  const ULONGLONG start = ::GetTickCount64();
  const auto run = config::ConfigXmlRun::Read();
  const ULONGLONG elapsed = ::GetTickCount64() - start;

  EXPECT_EQ(run->state(), config::ConfigLoad::kUnreadable);
  EXPECT_EQ(run->error(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_GE(elapsed, 150u);  // three pauses between four tries
  EXPECT_EQ(CConfigXMLParser(package_.path().c_str(), run).getInstallOption("Marker"), L"");
  EXPECT_EQ(ReaderLog(),
            std::vector<std::string>{" - Unable to read config.xml (error 32); it is not read"});
}

TEST_F(ConfigReaderTest, ReleasedWhileTriedAgainIsRead) {
  WriteSetAid(kWin64Pkg);
  WriteConfig(Document(Package("Checksum=\"AB12\"", "released")));
  const std::string path = installDir_.path() + "\\config.xml";
  platform::UniqueFileHandle held(
      ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  std::thread releaser([&] {
    ::Sleep(200);
    held.reset();
  });
  const ShortRetries retries(100, 20);
  const auto run = config::ConfigXmlRun::Read();
  releaser.join();
  EXPECT_EQ(run->state(), config::ConfigLoad::kLoaded);
  EXPECT_EQ(CConfigXMLParser(package_.path().c_str(), run).getInstallOption("Marker"), L"released");
}

// A missing file and a folder named config.xml stay what they were: nothing to merge.
TEST_F(ConfigReaderTest, MissingConfigIsNotUnreadable) {
  EXPECT_EQ(config::ConfigXmlRun::Read()->state(), config::ConfigLoad::kMissing);
  ASSERT_TRUE(::CreateDirectoryA((installDir_.path() + "\\config.xml").c_str(), nullptr));
  EXPECT_EQ(config::ConfigXmlRun::Read()->state(), config::ConfigLoad::kMissing);
  ::RemoveDirectoryA((installDir_.path() + "\\config.xml").c_str());
}

}  // namespace
