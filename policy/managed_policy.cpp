#include "policy/managed_policy.h"

#include <algorithm>
#include <utility>

#include "policy/policy_tables.h"

namespace ventrix {
namespace {

// A REG_SZ value's text: up to its first NUL (the terminator, when stored).
bool stringOf(const RegistryData& data, std::string& out) {
    if (data.type != RegSz) return false;
    const auto end = std::find(data.bytes.begin(), data.bytes.end(), std::uint8_t{0});
    out.assign(data.bytes.begin(), end);
    return true;
}

bool dwordOf(const RegistryData& data, std::uint32_t& out) {
    if (data.type != RegDword || data.bytes.size() != 4) return false;
    out = std::uint32_t(data.bytes[0]) | std::uint32_t(data.bytes[1]) << 8 | std::uint32_t(data.bytes[2]) << 16 |
          std::uint32_t(data.bytes[3]) << 24;
    return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

// List entries are named 1, 2, ... (the templates' numbering); their number, or 0.
std::uint32_t entryNumber(const std::string& name) {
    if (name.empty() || name.size() > 9 || name[0] == '0') return 0;
    std::uint32_t n = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return n;
}

class Reader {
public:
    Reader(PolicySource& source, EffectivePolicy& policy) : source_(source), policy_(policy) {}

    enum class Outcome { InForce, NotSet, Malformed, Unreadable };

    // The first scope (machine, then user) whose value is well formed wins;
    // a failed read before that leaves the value undecided.
    template <typename Parse>
    Outcome scalar(const ManagedValue& value, Parse parse) {
        for (PolicyScope scope : {PolicyScope::Machine, PolicyScope::User}) {
            RegistryData data;
            const PolicyRead read = source_.readValue(scope, value.key, value.name, data);
            if (read == PolicyRead::Failed) return Outcome::Unreadable;
            if (read == PolicyRead::Absent) continue;
            switch (parse(data)) {
            case Outcome::InForce: return Outcome::InForce;
            case Outcome::Malformed: policy_.malformed.push_back({scope, value.name}); continue;
            default: continue;
            }
        }
        return Outcome::NotSet;
    }

    Outcome list(const ManagedValue& value, std::vector<ManagedMedium>& media) {
        for (PolicyScope scope : {PolicyScope::Machine, PolicyScope::User}) {
            std::vector<NamedRegistryData> entries;
            const PolicyRead read = source_.readValues(scope, value.key, entries);
            if (read == PolicyRead::Failed) return Outcome::Unreadable;
            if (read == PolicyRead::Absent) continue;
            std::vector<std::pair<std::uint32_t, ManagedMedium>> numbered;
            for (const NamedRegistryData& entry : entries) {
                const std::uint32_t number = entryNumber(entry.name);
                std::string text;
                ManagedMedium medium;
                if (number == 0 || !stringOf(entry.data, text) || !parseManagedMedium(text, medium, &media == &policy_.trustedMedia)) {
                    policy_.malformed.push_back({scope, std::string(value.name) + "\\" + entry.name});
                    continue;
                }
                numbered.emplace_back(number, std::move(medium));
            }
            if (numbered.empty()) continue;
            std::sort(numbered.begin(), numbered.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
            for (auto& [number, medium] : numbered) media.push_back(std::move(medium));
            return Outcome::InForce;
        }
        return Outcome::NotSet;
    }

private:
    PolicySource& source_;
    EffectivePolicy& policy_;
};

bool listed(const std::vector<ManagedMedium>& media, std::uint32_t serial, std::string_view label) {
    return std::any_of(media.begin(), media.end(), [&](const ManagedMedium& m) {
        return m.serial == serial && labelsEqual(m.label, label);
    });
}

// The two switches differ only in what they set.
template <typename Policy>
auto& switchOf(Policy& policy, const ManagedValue& value) {
    return std::string_view(value.name) == "ReadOnlyAllDrives" ? policy.readOnlyAllDrives : policy.lockAllDrives;
}

// The two lists differ only in where their media go.
template <typename Policy>
auto& listOf(Policy& policy, const ManagedValue& value) {
    return std::string_view(value.name) == "TrustedMedia" ? policy.trustedMedia : policy.lockedMedia;
}

}  // namespace

bool parseManagedMedium(std::string_view text, ManagedMedium& out, bool readOnlyAllowed) {
    // A trusted medium let through read-only says so last.
    constexpr std::string_view ReadOnlySuffix = "|readonly";
    bool readOnly = false;
    if (readOnlyAllowed && text.size() > ReadOnlySuffix.size() &&
        sameWord(text.substr(text.size() - ReadOnlySuffix.size() + 1), ReadOnlySuffix.substr(1)) &&
        text[text.size() - ReadOnlySuffix.size()] == '|') {
        text.remove_suffix(ReadOnlySuffix.size());
        readOnly = true;
    }
    const std::size_t typeAt = text.rfind('|');
    if (typeAt == std::string_view::npos || typeAt == 0) return false;
    const std::size_t serialAt = text.rfind('|', typeAt - 1);
    if (serialAt == std::string_view::npos) return false;
    const std::string_view type = text.substr(typeAt + 1);
    const std::string_view serial = text.substr(serialAt + 1, typeAt - serialAt - 1);
    ManagedMedium medium;
    medium.label.assign(text.substr(0, serialAt));
    if (medium.label.size() > MaxLabelLength || serial.empty() || serial.size() > 8) return false;
    for (char c : serial) {
        const char l = lower(c);
        int digit;
        if (l >= '0' && l <= '9') digit = l - '0';
        else if (l >= 'a' && l <= 'f') digit = l - 'a' + 10;
        else return false;
        medium.serial = medium.serial << 4 | static_cast<std::uint32_t>(digit);
    }
    if (sameWord(type, "removable")) medium.driveType = ManagedRemovable;
    else if (sameWord(type, "cdrom")) medium.driveType = ManagedCdrom;
    else return false;
    medium.readOnly = readOnly;
    out = std::move(medium);
    return true;
}

EffectivePolicy readManagedPolicy(PolicySource& source, const EffectivePolicy& before) {
    using Outcome = Reader::Outcome;
    EffectivePolicy policy;
    Reader reader(source, policy);
    source.beginRead();
    for (const ManagedValue& value : ManagedValues) {
        Outcome outcome = Outcome::NotSet;
        switch (value.kind) {
        case ManagedKind::Verifier:
            outcome = reader.scalar(value, [&](const RegistryData& data) {
                std::string text;
                PasswordVerifier verifier;
                if (!stringOf(data, text) || !parseVerifier(text, verifier)) return Outcome::Malformed;
                policy.verifier = std::move(verifier);
                return Outcome::InForce;
            });
            if (outcome == Outcome::Unreadable) policy.verifier = before.verifier;
            break;
        case ManagedKind::Switch:
            outcome = reader.scalar(value, [&](const RegistryData& data) {
                std::uint32_t n = 0;
                if (!dwordOf(data, n) || n > 1) return Outcome::Malformed;
                switchOf(policy, value) = n == 1;
                return n == 1 ? Outcome::InForce : Outcome::NotSet;
            });
            if (outcome == Outcome::Unreadable) switchOf(policy, value) = switchOf(before, value);
            break;
        case ManagedKind::MediaList:
            outcome = reader.list(value, listOf(policy, value));
            if (outcome == Outcome::Unreadable) listOf(policy, value) = listOf(before, value);
            break;
        case ManagedKind::Minutes:
            outcome = reader.scalar(value, [&](const RegistryData& data) {
                std::uint32_t n = 0;
                if (!dwordOf(data, n) || n > MaxUnlockMinutes) return Outcome::Malformed;
                policy.unlockMinutes = n;
                return Outcome::InForce;
            });
            if (outcome == Outcome::Unreadable) policy.unlockMinutes = before.unlockMinutes;
            break;
        }
        if (outcome == Outcome::Unreadable) {
            policy.unreadable.emplace_back(value.name);
            if (std::find(before.inForce.begin(), before.inForce.end(), value.name) != before.inForce.end())
                policy.inForce.emplace_back(value.name);
        } else if (outcome == Outcome::InForce) {
            policy.inForce.emplace_back(value.name);
        }
    }
    source.endRead();
    return policy;
}

bool EffectivePolicy::sameEffectAs(const EffectivePolicy& other) const {
    return verifier == other.verifier && lockAllDrives == other.lockAllDrives && lockedMedia == other.lockedMedia &&
           trustedMedia == other.trustedMedia && unlockMinutes == other.unlockMinutes &&
           readOnlyAllDrives == other.readOnlyAllDrives;
}

bool EffectivePolicy::sameDrivesAs(const EffectivePolicy& other) const {
    return lockAllDrives == other.lockAllDrives && lockedMedia == other.lockedMedia &&
           trustedMedia == other.trustedMedia && readOnlyAllDrives == other.readOnlyAllDrives;
}

bool EffectivePolicy::listsTrusted(std::uint32_t serial, std::string_view label) const {
    return listed(trustedMedia, serial, label);
}

}  // namespace ventrix
