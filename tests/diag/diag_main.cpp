#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "diag/log.h"
#include "diag_main.h"

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kWriteLogLinesArgument) == 0) {
    diag::OpenLogFile();
    if (HANDLE ready = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, kLogWriterReadyEvent)) {
      ::SetEvent(ready);
      ::CloseHandle(ready);
    }
    const int lines = std::atoi(argv[2]);
    for (int i = 0; i < lines; ++i) diag::LogLine("other ", i);
    diag::CloseLogFile();
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
