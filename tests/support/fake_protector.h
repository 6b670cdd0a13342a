// A stand-in for the user-bound protection service. Like the real one, its
// output is opaque, differs on every call, unprotects only for the same user
// and refuses damaged input. Failures can be switched on for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "policy/config_file.h"

namespace ventrix::testing {

class FakeProtector final : public DataProtector {
public:
    explicit FakeProtector(std::string user = "alice") : user_(std::move(user)) {}

    bool protect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) override;
    bool unprotect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) override;

    // Failure switches: every call, or only the Nth call (1-based, counted from
    // construction). 0 turns the per-call switch off.
    void failEveryProtect(bool on) { failAllProtect_ = on; }
    void failEveryUnprotect(bool on) { failAllUnprotect_ = on; }
    void failProtectCall(unsigned n) { failProtectAt_ = n; }
    void failUnprotectCall(unsigned n) { failUnprotectAt_ = n; }

    unsigned protectCalls() const { return protectCalls_; }
    unsigned unprotectCalls() const { return unprotectCalls_; }

private:
    std::string user_;
    std::uint32_t nonce_ = 0x9E3779B9u;
    bool failAllProtect_ = false;
    bool failAllUnprotect_ = false;
    unsigned failProtectAt_ = 0;
    unsigned failUnprotectAt_ = 0;
    unsigned protectCalls_ = 0;
    unsigned unprotectCalls_ = 0;
};

}  // namespace ventrix::testing
