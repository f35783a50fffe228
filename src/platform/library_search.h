// The process's library search, narrowed to the system folder before anything is loaded by name.
#pragma once

namespace platform {

// Restricts every later search for a library by name to the system folder and takes the current
// folder out of the search. The executable's own folder is the package folder, which another
// program fills, so a library found there would run as LocalSystem. Call it first in WinMain,
// before anything loads a library by name. Answers whether the system took the restriction
// (Windows 7 has SetDefaultDllDirectories only with KB2533623); either way the libraries that
// are delay-loaded come from the system folder by full path.
bool RestrictLibrarySearch();

}  // namespace platform
