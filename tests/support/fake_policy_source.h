// The managed-policy registry of both scopes, in memory.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "policy/managed_policy.h"

namespace ventrix::testing {

class FakePolicySource final : public PolicySource {
public:
    void set(PolicyScope scope, std::string key, std::string name, RegistryData data) {
        keys_[{scope, std::move(key)}][std::move(name)] = std::move(data);
    }
    // Stored with its terminating NUL, as the registry keeps a REG_SZ.
    void setString(PolicyScope scope, std::string key, std::string name, std::string_view text) {
        RegistryData data{RegSz, {text.begin(), text.end()}};
        data.bytes.push_back(0);
        set(scope, std::move(key), std::move(name), std::move(data));
    }
    void setDword(PolicyScope scope, std::string key, std::string name, std::uint32_t value) {
        set(scope, std::move(key), std::move(name),
            {RegDword,
             {std::uint8_t(value), std::uint8_t(value >> 8), std::uint8_t(value >> 16), std::uint8_t(value >> 24)}});
    }
    // A key with no values, as Group Policy may leave one behind.
    void createKey(PolicyScope scope, std::string key) { keys_[{scope, std::move(key)}]; }

    // Every read of the key fails (as while Group Policy rewrites it), until cleared.
    void failReads(PolicyScope scope, std::string key) { failing_.insert({scope, std::move(key)}); }
    void clearFailures() { failing_.clear(); }
    // Whole readings begun and not ended: the section the reading holds.
    int openReadings() const { return open_; }
    int readings() const { return readings_; }

    PolicyRead readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) override {
        if (failing_.count({scope, key})) return PolicyRead::Failed;
        const auto k = keys_.find({scope, key});
        if (k == keys_.end()) return PolicyRead::Absent;
        const auto v = k->second.find(name);
        if (v == k->second.end()) return PolicyRead::Absent;
        out = v->second;
        return PolicyRead::Found;
    }

    PolicyRead readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) override {
        if (failing_.count({scope, key})) return PolicyRead::Failed;
        const auto k = keys_.find({scope, key});
        if (k == keys_.end()) return PolicyRead::Absent;
        out.clear();
        for (const auto& [name, data] : k->second) out.push_back({name, data});
        return PolicyRead::Found;
    }

    void beginRead() override {
        ++open_;
        ++readings_;
    }
    void endRead() override { --open_; }

private:
    std::map<std::pair<PolicyScope, std::string>, std::map<std::string, RegistryData>> keys_;
    std::set<std::pair<PolicyScope, std::string>> failing_;
    int open_ = 0;
    int readings_ = 0;
};

}  // namespace ventrix::testing
