// Message digests: MD2 (RFC 1319), MD5 (RFC 1321), SHA-1, SHA-224, SHA-256, SHA-384 and
// SHA-512 (FIPS 180-4).
//
// Streaming use: XxxInit, any number of XxxUpdate (a zero-length update changes nothing),
// one XxxFinal. Final writes exactly the digest length and zero-fills the whole context;
// the context must be initialised again before reuse. Contexts are plain records owned
// by the caller (normally on its stack); nothing here touches the heap.
//
// One-shot use: DigestData / DigestHex select the algorithm by a HashAlg id carried in
// the low four bits of an options word (higher bits are the caller's and are ignored).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/error.h"

namespace kvn {

// Digest algorithm ids (options & 15).
enum HashAlg : unsigned {
    kHashSha1 = 0,
    kHashMd5 = 1,
    kHashMd2 = 2,
    kHashSha256 = 3,
    kHashSha384 = 4,
    kHashSha512 = 5,
    kHashSha224 = 6,
};
inline constexpr unsigned kHashAlgCount = 7;   // ids 7..15 are not algorithms
inline constexpr unsigned kHashAlgMask = 15;
inline constexpr int kMaxDigestLen = 64;       // room for any digest
inline constexpr int kMaxBlockLen = 128;

// Digest and block length in bytes of alg (options & 15); 0 when it is not an algorithm.
int DigestLength(unsigned options) noexcept;
int DigestBlockLength(unsigned options) noexcept;
// Canonical lower-case name ("sha1", "md5", "md2", "sha256", "sha384", "sha512",
// "sha224"); null when it is not an algorithm.
const char* DigestName(unsigned options) noexcept;

struct Md2Ctx {
    std::uint8_t state[16];
    std::uint8_t checksum[16];
    std::uint32_t count;        // bytes pending in buffer, 0..15
    std::uint8_t buffer[16];
};

struct Md5Ctx {
    std::uint32_t state[4];     // A, B, C, D
    std::uint32_t bits[2];      // message length in bits, low word first
    std::uint8_t buffer[64];
};

struct Sha1Ctx {
    std::uint32_t state[5];
    std::uint32_t bits[2];      // low word first
    std::uint8_t buffer[64];
};

// Also the SHA-224 context.
struct Sha256Ctx {
    std::uint32_t state[8];
    std::uint32_t bits[2];      // low word first
    std::uint8_t buffer[64];
};

// Also the SHA-384 context.
struct Sha512Ctx {
    std::uint64_t state[8];
    std::uint64_t bits[2];      // 128-bit length, low word first
    std::uint8_t buffer[128];
};

void Md2Init(Md2Ctx* ctx) noexcept;
void Md2Update(Md2Ctx* ctx, const void* data, std::size_t len) noexcept;
void Md2Final(std::uint8_t digest16[16], Md2Ctx* ctx) noexcept;

void Md5Init(Md5Ctx* ctx) noexcept;
void Md5Update(Md5Ctx* ctx, const void* data, std::size_t len) noexcept;
void Md5Final(std::uint8_t digest16[16], Md5Ctx* ctx) noexcept;

void Sha1Init(Sha1Ctx* ctx) noexcept;
void Sha1Update(Sha1Ctx* ctx, const void* data, std::size_t len) noexcept;
void Sha1Final(std::uint8_t digest20[20], Sha1Ctx* ctx) noexcept;

void Sha224Init(Sha256Ctx* ctx) noexcept;
void Sha224Update(Sha256Ctx* ctx, const void* data, std::size_t len) noexcept;  // = Sha256Update
void Sha224Final(std::uint8_t digest28[28], Sha256Ctx* ctx) noexcept;

void Sha256Init(Sha256Ctx* ctx) noexcept;
void Sha256Update(Sha256Ctx* ctx, const void* data, std::size_t len) noexcept;
void Sha256Final(std::uint8_t digest32[32], Sha256Ctx* ctx) noexcept;

void Sha384Init(Sha512Ctx* ctx) noexcept;
void Sha384Update(Sha512Ctx* ctx, const void* data, std::size_t len) noexcept;  // = Sha512Update
int Sha384Final(std::uint8_t digest48[48], Sha512Ctx* ctx) noexcept;  // returns 48

void Sha512Init(Sha512Ctx* ctx) noexcept;
void Sha512Update(Sha512Ctx* ctx, const void* data, std::size_t len) noexcept;
int Sha512Final(std::uint8_t digest64[64], Sha512Ctx* ctx) noexcept;  // returns 64

// Digest of data[0..dataLen) with the algorithm options & 15. With out non-null and
// outLen >= 1, writes min(outLen, L) bytes and sets `length` to that count (a short buffer
// truncates, it is not an error); otherwise writes nothing and sets `length` to L, the
// digest length. BAD_PARAM_ERROR when dataLen < 0 (or data is null with dataLen > 0),
// BAD_FLAG_ERROR when options & 15 is 7 or more.
Error DigestData(std::uint8_t* out, int outLen, const void* data, int dataLen, unsigned options, int& length) noexcept;

// Lower-case hex digest. `length` gets 2*L when outText is null or maxChars is 0 or less
// (query). Otherwise writes 2*n digits and a NUL, n = min(L, maxChars / 2), and sets
// `length` to 2*n: outText must hold maxChars + 1 bytes. DigestData's errors.
Error DigestHex(char* outText, int maxChars, const void* data, int dataLen, unsigned options, int& length) noexcept;

}  // namespace kvn
