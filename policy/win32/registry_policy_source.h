// Managed policy from the registry: HKLM for the machine scope, read in the
// 64-bit view (where Group Policy writes, also for the 32-bit build on 64-bit
// Windows), HKCU for the user scope. A whole reading holds the system's
// critical policy sections, so Group Policy never rewrites a key under it.
#pragma once

#include <windows.h>

#include "policy/managed_policy.h"

namespace ventrix {

class RegistryPolicySource final : public PolicySource {
public:
    // machineOnly: the user scope reads as absent (a PC-wide enforcer is
    // governed by the machine's policy alone).
    explicit RegistryPolicySource(bool machineOnly = false) : machineOnly_(machineOnly) {}
    ~RegistryPolicySource() override;
    RegistryPolicySource(const RegistryPolicySource&) = delete;
    RegistryPolicySource& operator=(const RegistryPolicySource&) = delete;

    PolicyRead readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) override;
    PolicyRead readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) override;
    void beginRead() override;
    void endRead() override;

private:
    bool machineOnly_;
    HMODULE userenv_ = nullptr;
    HANDLE machineSection_ = nullptr;
    HANDLE userSection_ = nullptr;
};

}  // namespace ventrix
