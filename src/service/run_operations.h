// The run's operations as the service provides them: the status reports of service_runtime, the
// setup launcher, and the setup result told to the user in debug mode.
#pragma once

#include "upgrade/controller.h"

namespace service {

upgrade::RunOperations& ServiceRunOperations();

}  // namespace service
