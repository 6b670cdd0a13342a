// Managed policy from the registry: HKLM for the machine scope, read in the
// 64-bit view (where Group Policy writes, also for the 32-bit build on 64-bit
// Windows), HKCU for the user scope.
#pragma once

#include "policy/managed_policy.h"

namespace ventrix {

class RegistryPolicySource final : public PolicySource {
public:
    bool readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) override;
    bool readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) override;
};

}  // namespace ventrix
