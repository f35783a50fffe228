// Whether a service is installed, asked of the Service Control Manager.
#pragma once

namespace platform {

// True when the named service can be opened for status query.
bool IsServiceInstalled(const char* serviceName);

}  // namespace platform
