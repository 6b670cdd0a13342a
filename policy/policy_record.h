// One whole reading of a policy source, kept and answered again later without
// it. The per-user program reads the registry on a thread of its own, where a
// wait on Group Policy's critical sections holds up nothing else, and its
// window decides on the copy.
#pragma once

#include <string>
#include <vector>

#include "policy/managed_policy.h"

namespace ventrix {

class PolicyRecord final : public PolicySource {
public:
    // Reads `live` as readManagedPolicy reads it, inside one beginRead and
    // endRead, and keeps every answer in place of those kept before.
    void take(PolicySource& live);
    // True once a reading has been taken.
    bool taken() const { return taken_; }

    // The answers of the reading taken; a question it never asked is unanswered (Failed).
    PolicyRead readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) override;
    PolicyRead readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) override;

private:
    class Recorder;
    struct Value {
        PolicyScope scope;
        std::string key;
        std::string name;
        PolicyRead read;
        RegistryData data;
    };
    struct Values {
        PolicyScope scope;
        std::string key;
        PolicyRead read;
        std::vector<NamedRegistryData> data;
    };
    std::vector<Value> values_;
    std::vector<Values> lists_;
    bool taken_ = false;
};

}  // namespace ventrix
