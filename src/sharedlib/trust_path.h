// The forms in which a path reaches the file trust verifier, and the one form it judges.
#pragma once

#include <string>

namespace sharedlib {

// Turns a path in the system's device form ("\Device\HarddiskVolumeN\..." or "\??\...") into
// its drive-letter form and expands environment references.
std::wstring NormaliseTrustPath(const std::wstring& path);

}  // namespace sharedlib
