#include "service/run_operations.h"

#include "service/process_entry.h"
#include "service/service_control.h"
#include "service/service_runtime.h"
#include "upgrade/setup_launcher.h"
#include "upgrade/setup_result.h"

namespace service {

namespace {

class SystemOperations final : public upgrade::RunOperations {
 public:
  bool ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint) override {
    return service::ReportServiceStatus(state, win32ExitCode, waitHint);
  }
  int RunDaxSetup(const std::string& packageDirectory, DWORD daxPid) override {
    return upgrade::RunDaxSetup(packageDirectory, daxPid, debugMode);
  }
  int DaxSetupResult() override { return upgrade::DaxSetupResult(debugMode); }
  void MarkRegistrationSpent() override {
    if (!debugMode) MarkAgentServiceSpent();
  }
};

}  // namespace

upgrade::RunOperations& ServiceRunOperations() {
  static SystemOperations operations;
  return operations;
}

}  // namespace service
