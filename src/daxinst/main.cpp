#include <windows.h>

#include "platform/library_search.h"
#include "service/process_entry.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Before anything else loads a library by name: the package folder is not to be searched.
  platform::RestrictLibrarySearch();
  return service::ProcessEntry();
}
