#include <windows.h>

#include "service/process_entry.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return service::ProcessEntry(); }
