// Internals shared by the digest, HMAC and PBKDF2 modules: block compression functions
// and a table of the algorithms behind the HashAlg ids.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/digest.h"

namespace kvn {

// Compress nblocks whole blocks of data into the chaining state.
void Md5Compress(std::uint32_t state[4], const std::uint8_t* data, std::size_t nblocks) noexcept;
void Sha1Compress(std::uint32_t state[5], const std::uint8_t* data, std::size_t nblocks) noexcept;
void Sha256Compress(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) noexcept;
void Sha512Compress(std::uint64_t state[8], const std::uint8_t* data, std::size_t nblocks) noexcept;

// Adds len bytes to a bit counter of two words, low word first.
inline void AddBits32(std::uint32_t bits[2], std::size_t len) noexcept {
    std::uint32_t add = static_cast<std::uint32_t>(len) << 3;
    bits[0] += add;
    if (bits[0] < add) ++bits[1];
    bits[1] += static_cast<std::uint32_t>(static_cast<std::uint64_t>(len) >> 29);
}
inline void AddBits64(std::uint64_t bits[2], std::size_t len) noexcept {
    std::uint64_t add = static_cast<std::uint64_t>(len) << 3;
    bits[0] += add;
    if (bits[0] < add) ++bits[1];
    bits[1] += static_cast<std::uint64_t>(len) >> 61;
}

union AnyDigestCtx {
    Md2Ctx md2;
    Md5Ctx md5;
    Sha1Ctx sha1;
    Sha256Ctx sha256;
    Sha512Ctx sha512;
};

struct DigestAlgo {
    const char* name;
    int digestLen;
    int blockLen;
    void (*init)(AnyDigestCtx*) noexcept;
    void (*update)(AnyDigestCtx*, const void*, std::size_t) noexcept;
    void (*final)(std::uint8_t*, AnyDigestCtx*) noexcept;
};

// The algorithm of options & 15, or null for ids 7..15.
const DigestAlgo* FindDigest(unsigned options) noexcept;

}  // namespace kvn
