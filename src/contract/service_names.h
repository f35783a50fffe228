// The names of this program's own one-shot service.
#pragma once

namespace contract {

constexpr char kServiceName[] = "Daxinst";
constexpr char kServiceDisplayName[] = "Quorvex Auto-upgrade Agent";

}  // namespace contract
