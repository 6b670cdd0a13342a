// SHA-256, HMAC-SHA256 and PBKDF2 in plain C++: the derivation wherever the
// system offers none. The HMAC keeps the inner and outer states of the key
// once, so each iteration costs two compressions, as the system's does.
#include "policy/key_derivation.h"

#include <cstring>

namespace ventrix {
namespace {

constexpr std::uint32_t RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t InitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr std::size_t BlockSize = 64;
constexpr std::size_t Sha256Size = 32;

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::uint32_t loadBe(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

void storeBe(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

void compress(std::uint32_t state[8], const std::uint8_t* block) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = loadBe(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                                 RoundConstants[i] + w[i];
        const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

// An incremental hash; `copy` lets HMAC resume from its precomputed pads.
struct Sha256 {
    std::uint32_t state[8];
    std::uint8_t buffer[BlockSize];
    std::size_t buffered = 0;
    std::uint64_t total = 0;

    Sha256() { std::memcpy(state, InitialState, sizeof state); }

    void update(const std::uint8_t* data, std::size_t size) {
        total += size;
        while (size > 0) {
            if (buffered == 0 && size >= BlockSize) {
                compress(state, data);
                data += BlockSize;
                size -= BlockSize;
                continue;
            }
            const std::size_t take = size < BlockSize - buffered ? size : BlockSize - buffered;
            std::memcpy(buffer + buffered, data, take);
            buffered += take;
            data += take;
            size -= take;
            if (buffered == BlockSize) {
                compress(state, buffer);
                buffered = 0;
            }
        }
    }

    void finish(std::uint8_t* out) {
        const std::uint64_t bits = total * 8;
        const std::uint8_t one = 0x80;
        update(&one, 1);
        const std::uint8_t zero = 0;
        while (buffered != BlockSize - 8) update(&zero, 1);
        std::uint8_t length[8];
        for (int i = 0; i < 8; ++i) length[i] = std::uint8_t(bits >> (56 - 8 * i));
        update(length, 8);
        for (int i = 0; i < 8; ++i) storeBe(out + 4 * i, state[i]);
    }
};

struct Hmac {
    Sha256 inner, outer;

    Hmac(const std::uint8_t* key, std::size_t keySize) {
        std::uint8_t block[BlockSize] = {};
        if (keySize > BlockSize) {
            Sha256 h;
            h.update(key, keySize);
            h.finish(block);
        } else if (keySize > 0) {
            std::memcpy(block, key, keySize);
        }
        std::uint8_t pad[BlockSize];
        for (std::size_t i = 0; i < BlockSize; ++i) pad[i] = block[i] ^ 0x36;
        inner.update(pad, BlockSize);
        for (std::size_t i = 0; i < BlockSize; ++i) pad[i] = block[i] ^ 0x5c;
        outer.update(pad, BlockSize);
    }

    // HMAC(key, a || b) into out.
    void mac(const std::uint8_t* a, std::size_t aSize, const std::uint8_t* b, std::size_t bSize,
             std::uint8_t* out) const {
        Sha256 in = inner;
        in.update(a, aSize);
        if (bSize > 0) in.update(b, bSize);
        std::uint8_t digest[Sha256Size];
        in.finish(digest);
        Sha256 o = outer;
        o.update(digest, Sha256Size);
        o.finish(out);
    }
};

}  // namespace

bool PortableKeyDeriver::pbkdf2Sha256(const std::uint8_t* password, std::size_t passwordSize,
                                      const std::uint8_t* salt, std::size_t saltSize, std::uint32_t iterations,
                                      std::uint8_t* out, std::size_t outSize) {
    if (iterations == 0 || outSize == 0) return false;
    const Hmac hmac(password, passwordSize);
    std::uint32_t blockIndex = 1;
    while (outSize > 0) {
        std::uint8_t counter[4];
        storeBe(counter, blockIndex++);
        std::uint8_t u[Sha256Size], t[Sha256Size];
        hmac.mac(salt, saltSize, counter, sizeof counter, u);
        std::memcpy(t, u, Sha256Size);
        for (std::uint32_t i = 1; i < iterations; ++i) {
            hmac.mac(u, Sha256Size, nullptr, 0, u);
            for (std::size_t j = 0; j < Sha256Size; ++j) t[j] ^= u[j];
        }
        const std::size_t take = outSize < Sha256Size ? outSize : Sha256Size;
        std::memcpy(out, t, take);
        out += take;
        outSize -= take;
    }
    return true;
}

}  // namespace ventrix
