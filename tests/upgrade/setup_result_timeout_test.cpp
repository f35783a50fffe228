// The real polling time, end to end: about two minutes, so it has a test executable of its own.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "contract/client_registry.h"
#include "contract/setup_result_key.h"
#include "diag/log.h"
#include "support/fresh_log.h"
#include "support/test_support.h"
#include "upgrade/controller.h"
#include "upgrade/setup_result.h"

namespace upgrade {
namespace {

using RegOpenKeyExAFunction = LONG(WINAPI*)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);

RegOpenKeyExAFunction g_realOpen = nullptr;
std::atomic<int> g_resultKeyOpens{0};

LONG WINAPI CountingOpen(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY key) {
  if (root == HKEY_CLASSES_ROOT && subKey &&
      std::strcmp(subKey, contract::kSetupResultKeyPath) == 0) {
    ++g_resultKeyOpens;
  }
  return g_realOpen(root, subKey, options, access, key);
}

// Every read of the setup result key opens the key: this executable's import of RegOpenKeyExA
// points at a counting wrapper while the object lives, so that the reads are counted exactly
// with the real pauses between them, and not guessed from the time they took.
class CountedResultKeyReads {
 public:
  CountedResultKeyReads() {
    HMODULE advapi = ::GetModuleHandleA("advapi32.dll");
    if (!advapi) return;
    g_realOpen = reinterpret_cast<RegOpenKeyExAFunction>(
        reinterpret_cast<void*>(::GetProcAddress(advapi, "RegOpenKeyExA")));
    if (!g_realOpen) return;
    slot_ = ImportSlot(reinterpret_cast<ULONG_PTR>(g_realOpen));
    if (slot_) Point(reinterpret_cast<ULONG_PTR>(&CountingOpen));
  }
  ~CountedResultKeyReads() {
    if (slot_) Point(reinterpret_cast<ULONG_PTR>(g_realOpen));
  }
  CountedResultKeyReads(const CountedResultKeyReads&) = delete;
  CountedResultKeyReads& operator=(const CountedResultKeyReads&) = delete;

  bool installed() const { return slot_ != nullptr; }
  int reads() const { return g_resultKeyOpens.load(); }

 private:
  // The import address table entry of this executable that holds `function`.
  static ULONG_PTR* ImportSlot(ULONG_PTR function) {
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return nullptr;
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         module->Name != 0; ++module) {
      for (auto* entry = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
           entry->u1.Function != 0; ++entry) {
        if (entry->u1.Function == function) return &entry->u1.Function;
      }
    }
    return nullptr;
  }

  void Point(ULONG_PTR target) {
    DWORD protection = 0;
    if (!::VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection)) {
      ADD_FAILURE() << "the import entry cannot be written: " << ::GetLastError();
      return;
    }
    *slot_ = target;
    ::VirtualProtect(slot_, sizeof *slot_, protection, &protection);
  }

  ULONG_PTR* slot_ = nullptr;
};

TEST(SetupResultTimeout, GivesUpAfterExactly120ReadsASecondApart) {
  testing_support::RunRegistryGuard registry;
  testing_support::StartFreshLog();
  CountedResultKeyReads counted;
  ASSERT_TRUE(counted.installed()) << "RegOpenKeyExA is not imported by this executable";

  const ULONGLONG started = ::GetTickCount64();
  EXPECT_EQ(DaxSetupResult(false), kSetupNoResult);
  const ULONGLONG elapsed = ::GetTickCount64() - started;

  EXPECT_EQ(counted.reads(), 120);
  // Each failed read is followed by a pause of a second.
  EXPECT_GE(elapsed, 119500u);
  EXPECT_LT(elapsed, 180000u);
  EXPECT_THAT(
      testing_support::LogMessages(testing_support::LogPath()),
      ::testing::ElementsAre(::testing::StartsWith("====== DaxInst starts at "),
                             "<DaxSetupResult>Try to read DaxSetupResult for 3 minutes. Failed.",
                             "<DaxSetupResult>ERR to read DaxSetupResult."));
  DWORD recorded = 0;
  EXPECT_FALSE(contract::ReadClientDword(contract::kInstResultValue, recorded));
}

}  // namespace
}  // namespace upgrade
