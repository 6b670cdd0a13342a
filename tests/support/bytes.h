// Byte-string helpers for writing and checking policy files in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ventrix::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes le32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

inline Bytes& operator+=(Bytes& a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes operator+(Bytes a, const Bytes& b) { return a += b; }

inline Bytes textBytes(const std::string& text) { return {text.begin(), text.end()}; }

// The exact in-memory image of a record, as the file stores it.
template <typename T>
Bytes imageOf(const T& item) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&item);
    return {bytes, bytes + sizeof item};
}

}  // namespace ventrix::testing
