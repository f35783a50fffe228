// The service's runtime contract with the Service Control Manager: dispatcher, service entry,
// control handler, status reports, event-log errors, and the security attributes of the
// service-control-object mutex.
#pragma once

#include <windows.h>

namespace service {

extern SERVICE_STATUS serviceStatus;

void DoNTService();
void WINAPI service_main(DWORD argc, LPSTR* argv);
void WINAPI ServiceControlHandler(DWORD control);
bool ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint);
void ReportErrorEvent(const char* text);

// Security attributes for named objects. The descriptor carries a present but empty DACL, which
// lets every user open the object: the rest of the client must reach it from any account.
class CDACL {
 public:
  CDACL() = default;
  CDACL(const CDACL&) = delete;
  CDACL& operator=(const CDACL&) = delete;
  virtual ~CDACL();
  virtual bool Create();
  virtual void Release();

  SECURITY_ATTRIBUTES* Attributes() const noexcept { return attributes_; }

 protected:
  PACL acl_ = nullptr;
  SECURITY_ATTRIBUTES* attributes_ = nullptr;
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  PSID everyoneSid_ = nullptr;
};

class CEveryoneDACL : public CDACL {
 public:
  ~CEveryoneDACL() override;
};

}  // namespace service
