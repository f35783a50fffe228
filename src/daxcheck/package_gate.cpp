// 1 Package
#include <windows.h>

#include "daxcheck/file_version.h"
#include "daxcheck/gates.h"
#include "platform/unique_handle.h"
#include "upgrade/setup_launcher.h"

namespace daxcheck {

namespace {

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The .msi files of the folder, in the order the file search gives them.
Json MsiFiles(const std::string& folder) {
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
  return msi;
}

}  // namespace

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
  files[".msi"] = MsiFiles(folder);
  gate["files"] = files;

  if (!daxinst["present"].get<bool>()) {
    Stop(gate, "daxinst.exe is not in the package folder: -install would register nothing");
  }
  if (!setup.handle) {
    Stop(gate,
         setupFile["present"].get<bool>()
             ? "setup.exe cannot be opened shared for reading: the run does not move ahead"
             : "setup.exe is missing: the run does not move ahead",
         RunStep::kSetupFile);
  }
  return gate;
}

}  // namespace daxcheck
