// Internals shared by the digest, HMAC and PBKDF2 modules: block compression functions
// and a table of the algorithms behind the HashAlg ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crypto/digest.h"

namespace kvn {

// Compress nblocks whole blocks of data into the chaining state.
void Md5Compress(std::uint32_t state[4], const std::uint8_t* data, std::size_t nblocks) noexcept;
// SHA-1 and SHA-256 take the SHA extensions when cpu_UseShaNi() allows (crypto/cpu.h),
// else their portable code; both are reachable for tests.
void Sha1Compress(std::uint32_t state[5], const std::uint8_t* data, std::size_t nblocks) noexcept;
void Sha256Compress(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) noexcept;
void Sha1CompressPortable(std::uint32_t state[5], const std::uint8_t* data, std::size_t nblocks) noexcept;
void Sha256CompressPortable(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) noexcept;
#if defined(__x86_64__) || defined(__i386__)
void Sha1CompressNi(std::uint32_t state[5], const std::uint8_t* data, std::size_t nblocks) noexcept;
void Sha256CompressNi(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) noexcept;
#endif
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

inline void AddBits(std::uint32_t bits[2], std::size_t len) noexcept { AddBits32(bits, len); }
inline void AddBits(std::uint64_t bits[2], std::size_t len) noexcept { AddBits64(bits, len); }

// Absorbs len bytes into a Merkle-Damgard context (`state`, bit counter `bits`, `buffer` of
// Block bytes): completes a pending partial block, compresses whole blocks straight from
// the input and keeps the tail. data may be null when len is 0.
template <std::size_t Block, class Ctx, class Compress>
inline void AbsorbBlocks(Ctx* ctx, const void* data, std::size_t len, Compress compress) noexcept {
    if (len == 0) return;
    const auto* in = static_cast<const std::uint8_t*>(data);
    std::size_t pending = static_cast<std::size_t>((ctx->bits[0] >> 3) & (Block - 1));
    AddBits(ctx->bits, len);
    if (pending > 0) {
        std::size_t take = Block - pending;
        if (take > len) take = len;
        std::memcpy(ctx->buffer + pending, in, take);
        in += take;
        len -= take;
        if (pending + take < Block) return;
        compress(ctx->state, ctx->buffer, 1);
    }
    compress(ctx->state, in, len / Block);
    in += len & ~(Block - 1);
    std::memcpy(ctx->buffer, in, len & (Block - 1));
}

// The final padding: the 0x80 marker, zeros, and the message length in the last
// LengthBytes bytes of the block (written there by storeLength from ctx->bits),
// compressing one or two last blocks.
template <std::size_t Block, std::size_t LengthBytes, class Ctx, class Compress, class StoreLength>
inline void PadLastBlocks(Ctx* ctx, Compress compress, StoreLength storeLength) noexcept {
    constexpr std::size_t kLengthAt = Block - LengthBytes;
    std::size_t pending = static_cast<std::size_t>((ctx->bits[0] >> 3) & (Block - 1));
    ctx->buffer[pending++] = 0x80;
    if (pending > kLengthAt) {
        std::memset(ctx->buffer + pending, 0, Block - pending);
        compress(ctx->state, ctx->buffer, 1);
        pending = 0;
    }
    std::memset(ctx->buffer + pending, 0, kLengthAt - pending);
    storeLength(ctx->buffer + kLengthAt, ctx->bits);
    compress(ctx->state, ctx->buffer, 1);
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
