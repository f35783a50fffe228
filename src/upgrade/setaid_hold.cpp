#include "upgrade/setaid_hold.h"

#include "contract/event_report.h"
#include "platform/text_conversion.h"

namespace upgrade {

HeldSetAid HoldSetAid(const std::string& packageDirectory) {
  HeldSetAid setAid;
  setAid.path = packageDirectory + "\\setAid.ini";
  // Strict: a byte that the code page lacks must not name another file.
  const std::wstring widePath = platform::WidenToNulStrict(setAid.path.c_str());
  if (widePath.empty()) {
    setAid.error = ERROR_NO_UNICODE_TRANSLATION;
    return setAid;
  }
  // Data access, not only attributes: the system applies the sharing rules to an open only when
  // it reads, writes or deletes, and only then is a rename kept out.
  setAid.handle.reset(::CreateFileW(widePath.c_str(),
                                    FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!setAid.handle) {
    setAid.error = ::GetLastError();
    switch (setAid.error) {
      case ERROR_FILE_NOT_FOUND:
        setAid.check = SetAidCheck::kAbsent;
        break;
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION:
        setAid.check = SetAidCheck::kInUse;
        break;
      default:
        setAid.check = SetAidCheck::kNotOpened;
        break;
    }
    return setAid;
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!::GetFileInformationByHandle(setAid.handle.get(), &information)) {
    setAid.error = ::GetLastError();
    setAid.handle.reset();
    return setAid;
  }
  setAid.links = information.nNumberOfLinks;
  if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    setAid.check = SetAidCheck::kReparsePoint;
  } else if (information.nNumberOfLinks > 1) {
    setAid.check = SetAidCheck::kLinked;
  } else {
    setAid.check = SetAidCheck::kHeld;
    return setAid;
  }
  setAid.handle.reset();
  return setAid;
}

SetAidUse UseOf(const HeldSetAid& setAid) {
  switch (setAid.check) {
    case SetAidCheck::kHeld:
    case SetAidCheck::kAbsent:
      return SetAidUse::kMerge;
    case SetAidCheck::kInUse:
      return SetAidUse::kLeaveAsItIs;
    default:
      return SetAidUse::kDoNotRunSetup;
  }
}

void RecordSetAidNotMerged(const HeldSetAid& setAid) {
  if (setAid.check == SetAidCheck::kInUse) {
    contract::RecordEvent(contract::EventKind::kWarning, contract::EventId::kSetAidInUse,
                          "DaxInst: " + setAid.path +
                              " is held open by another program and is not written. Setup runs "
                              "with it as it is");
    return;
  }
  std::string why;
  switch (setAid.check) {
    case SetAidCheck::kLinked:
      why =
          "it has " + std::to_string(setAid.links) + " links, so another name of it lies elsewhere";
      break;
    case SetAidCheck::kReparsePoint:
      why = "it is a reparse point that leads elsewhere";
      break;
    default:
      why = "it cannot be opened and held (error " + std::to_string(setAid.error) + ")";
      break;
  }
  contract::RecordEvent(contract::EventKind::kError, contract::EventId::kSetAidRefused,
                        "DaxInst: " + setAid.path + " is not written and setup is not run: " + why);
}

}  // namespace upgrade
