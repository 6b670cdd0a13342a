#include "tests/support/fake_protector.h"

#include <algorithm>
#include <array>

namespace ventrix::testing {
namespace {

// Blob: magic, user length, user, nonce, masked payload, checksum of all before.
constexpr std::array<std::uint8_t, 4> Magic{'F', 'K', 'P', '1'};

std::uint32_t fnv1a(const std::uint8_t* data, std::size_t size, std::uint32_t hash = 2166136261u) {
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

void putLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t getLe32(const std::uint8_t* p) {
    return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
           static_cast<std::uint32_t>(p[3]) << 24;
}

// The mask depends on user and nonce, so equal plaintexts give different blobs.
std::uint8_t maskByte(const std::string& user, std::uint32_t nonce, std::size_t index) {
    const auto* u = reinterpret_cast<const std::uint8_t*>(user.data());
    const std::uint32_t seed = fnv1a(u, user.size(), nonce * 2654435761u + static_cast<std::uint32_t>(index));
    return static_cast<std::uint8_t>(seed ^ (seed >> 13));
}

bool tripped(bool all, unsigned at, unsigned call) { return all || (at != 0 && at == call); }

}  // namespace

bool FakeProtector::protect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
    if (tripped(failAllProtect_, failProtectAt_, ++protectCalls_)) return false;
    const std::uint32_t nonce = nonce_++;
    out.assign(Magic.begin(), Magic.end());
    out.push_back(static_cast<std::uint8_t>(user_.size()));
    out.insert(out.end(), user_.begin(), user_.end());
    putLe32(out, nonce);
    for (std::size_t i = 0; i < size; ++i) out.push_back(data[i] ^ maskByte(user_, nonce, i));
    putLe32(out, fnv1a(out.data(), out.size()));
    return true;
}

bool FakeProtector::unprotect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
    if (tripped(failAllUnprotect_, failUnprotectAt_, ++unprotectCalls_)) return false;
    const std::size_t header = Magic.size() + 1 + user_.size() + 4;
    if (size < header + 4) return false;
    if (!std::equal(Magic.begin(), Magic.end(), data)) return false;
    if (data[4] != user_.size() || !std::equal(user_.begin(), user_.end(), data + 5)) return false;
    if (fnv1a(data, size - 4) != getLe32(data + size - 4)) return false;

    const std::uint32_t nonce = getLe32(data + header - 4);
    out.clear();
    for (std::size_t i = 0; header + i < size - 4; ++i) out.push_back(data[header + i] ^ maskByte(user_, nonce, i));
    return true;
}

}  // namespace ventrix::testing
