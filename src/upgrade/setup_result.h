#pragma once

namespace upgrade {

// Waits for the setup code that setup leaves in the registry, records it for the rest of the
// client and answers kSetupSucceeded, kSetupFailed or kSetupNoResult.
int DaxSetupResult();

}  // namespace upgrade
