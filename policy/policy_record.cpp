#include "policy/policy_record.h"

#include <utility>

namespace ventrix {

// Passes each question on to the live source and writes the answer down.
class PolicyRecord::Recorder final : public PolicySource {
public:
    Recorder(PolicySource& live, PolicyRecord& record) : live_(live), record_(record) {}

    PolicyRead readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) override {
        const PolicyRead read = live_.readValue(scope, key, name, out);
        record_.values_.push_back({scope, key, name, read, read == PolicyRead::Found ? out : RegistryData{}});
        return read;
    }
    PolicyRead readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) override {
        const PolicyRead read = live_.readValues(scope, key, out);
        record_.lists_.push_back({scope, key, read, read == PolicyRead::Found ? out : std::vector<NamedRegistryData>{}});
        return read;
    }
    void beginRead() override { live_.beginRead(); }
    void endRead() override { live_.endRead(); }

private:
    PolicySource& live_;
    PolicyRecord& record_;
};

void PolicyRecord::take(PolicySource& live) {
    values_.clear();
    lists_.clear();
    Recorder recorder(live, *this);
    readManagedPolicy(recorder);
    taken_ = true;
}

PolicyRead PolicyRecord::readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) {
    for (const Value& value : values_) {
        if (value.scope != scope || value.key != key || value.name != name) continue;
        if (value.read == PolicyRead::Found) out = value.data;
        return value.read;
    }
    return PolicyRead::Failed;
}

PolicyRead PolicyRecord::readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) {
    for (const Values& list : lists_) {
        if (list.scope != scope || list.key != key) continue;
        if (list.read == PolicyRead::Found) out = list.data;
        return list.read;
    }
    return PolicyRead::Failed;
}

}  // namespace ventrix
