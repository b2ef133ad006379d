// DES (FIPS 46-3) and Triple DES with three keys, encrypt-decrypt-encrypt (NIST SP 800-67).
//
// The round function uses eight combined S-box-and-P tables of 64 words: kSp[i][v] is
// P applied to the output of S-box i+1 for the 6-bit input v, placed at its nibble.
// The initial and final permutations go through byte-indexed tables. All tables are
// computed at compile time from the standard's own tables below.
#include <cstring>

#include "base/memory.h"
#include "crypto/cipher_internal.h"
#include "crypto/endian.h"

namespace kvn {
namespace {

// FIPS 46-3 tables; bit positions are 1-based from the most significant bit.
constexpr std::uint8_t kIp[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                                  62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                                  57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                                  61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
constexpr std::uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                 2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr std::uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                   10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                   63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                   14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr std::uint8_t kPc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                                   26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                                   51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr std::uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr std::uint8_t kSbox[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3, 4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4,  7,  15, 2,
     8,  14, 12, 0,  1,  10, 6, 9,  11, 5, 0,  14, 7,  11, 10, 4,  13, 1,  5,  8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8, 13, 7,  0,  9,  3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0,  11, 1,  2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1, 2, 8,  5,  11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0,  3,  4,  7, 2,  12, 1,  10, 14, 9, 10, 6,  9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5,  2,  8,  4, 3,  15, 0,  6,  10, 1, 13, 8,  9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6, 8,  5,  3,  15, 13, 0, 14, 9,  14, 11, 2, 12, 4,  7,
     13, 1,  5,  0,  15, 10, 3,  9, 8,  6,  4,  2,  1,  11, 10, 13, 7,  8, 15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7, 1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9,  2,  6,  8,  0,  13, 3,  4,  14, 7, 5,  11, 10, 15, 4, 2,  7,  12,
     9,  5,  6,  1,  13, 14, 0,  11, 3,  8,  9,  14, 15, 5, 2,  8,  12, 3,  7, 0,  4,  10,
     1,  13, 11, 6,  4,  3,  2,  12, 9,  5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4,  11, 2,  14, 15, 0,  8,  13, 3,  12, 9, 7,  5,  10, 6, 1,  13, 0,  11, 7,  4,  9,
     1,  10, 14, 3,  5,  12, 2,  15, 8,  6,  1, 4,  11, 13, 12, 3, 7,  14, 10, 15, 6,  8,
     0,  5,  9,  2,  6,  11, 13, 8,  1,  4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4,  12, 5, 6,  11, 0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3,  5,  8, 2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11},
};

struct SpTables {
    std::uint32_t t[8][64];
};

// kSp[i][v]: v = b1..b6 of S-box i's input (b1 most significant), row b1b6, column
// b2b3b4b5; the 4-bit output goes to bits 4i+1..4i+4 of the word and P is applied.
constexpr SpTables MakeSp() {
    SpTables sp{};
    for (int i = 0; i < 8; ++i) {
        for (int v = 0; v < 64; ++v) {
            int row = ((v >> 4) & 2) | (v & 1);
            int col = (v >> 1) & 15;
            std::uint32_t s = kSbox[i][row * 16 + col];
            std::uint32_t word = s << (28 - 4 * i);
            std::uint32_t permuted = 0;
            for (int k = 0; k < 32; ++k)
                if ((word >> (32 - kP[k])) & 1) permuted |= 1u << (31 - k);
            sp.t[i][v] = permuted;
        }
    }
    return sp;
}
constexpr SpTables kSp = MakeSp();

// perm[k] = source bit (1-based) of output bit k+1, over 64 bits. Byte-indexed form:
// out = OR over the 8 input bytes j of t[j][byte j].
struct BytePerm {
    std::uint64_t t[8][256];
};
constexpr BytePerm MakeBytePerm(const std::uint8_t (&perm)[64]) {
    BytePerm bp{};
    for (int j = 0; j < 8; ++j) {
        for (int b = 0; b < 256; ++b) {
            std::uint64_t out = 0;
            for (int k = 0; k < 64; ++k) {
                int src = perm[k] - 1;  // 0-based from the most significant bit
                if (src / 8 == j && ((b >> (7 - src % 8)) & 1)) out |= std::uint64_t{1} << (63 - k);
            }
            bp.t[j][b] = out;
        }
    }
    return bp;
}
constexpr std::uint8_t kFpArr[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                                     38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                                     36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                                     34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};
constexpr bool IsInverse(const std::uint8_t (&a)[64], const std::uint8_t (&b)[64]) {
    for (int k = 0; k < 64; ++k)
        if (a[b[k] - 1] != k + 1) return false;
    return true;
}
static_assert(IsInverse(kIp, kFpArr), "the final permutation is the inverse of IP");
constexpr BytePerm kIpTable = MakeBytePerm(kIp);
constexpr BytePerm kFpTable = MakeBytePerm(kFpArr);

inline std::uint64_t Permute(const BytePerm& p, std::uint64_t x) noexcept {
    return p.t[0][x >> 56] | p.t[1][(x >> 48) & 0xFF] | p.t[2][(x >> 40) & 0xFF] | p.t[3][(x >> 32) & 0xFF] |
           p.t[4][(x >> 24) & 0xFF] | p.t[5][(x >> 16) & 0xFF] | p.t[6][(x >> 8) & 0xFF] | p.t[7][x & 0xFF];
}

// f(R, K) from the two schedule words of a round: a holds subkey groups 1, 7, 5, 3
// (bytes 0..3, low 6 bits each) to be XORed with rotl(R, 5); b holds groups 8, 6, 4, 2
// for rotl(R, 1). Byte k of rotl(R, 5) is then the E-expansion group 1, 7, 5, 3.
inline std::uint32_t Feistel(std::uint32_t r, std::uint32_t a, std::uint32_t b) noexcept {
    std::uint32_t x = Rotl32(r, 5) ^ a;
    std::uint32_t y = Rotl32(r, 1) ^ b;
    return kSp.t[0][x & 63] | kSp.t[6][(x >> 8) & 63] | kSp.t[4][(x >> 16) & 63] | kSp.t[2][(x >> 24) & 63] |
           kSp.t[7][y & 63] | kSp.t[5][(y >> 8) & 63] | kSp.t[3][(y >> 16) & 63] | kSp.t[1][(y >> 24) & 63];
}

// 16 rounds on (l, r), then the halves swap as the standard's preoutput R16 L16.
inline void SixteenRounds(std::uint32_t& l, std::uint32_t& r, const std::uint32_t* sk) noexcept {
    for (int round = 0; round < 16; round += 2) {
        l ^= Feistel(r, sk[2 * round], sk[2 * round + 1]);
        r ^= Feistel(l, sk[2 * round + 2], sk[2 * round + 3]);
    }
    std::uint32_t t = l;
    l = r;
    r = t;
}

}  // namespace

void DesKeySchedule(std::uint32_t schedule[32], const std::uint8_t key8[8], bool decrypt) noexcept {
    std::uint64_t key = 0;
    for (int i = 0; i < 8; ++i) key = (key << 8) | key8[i];
    // PC-1 into C (28 bits) and D (28 bits).
    std::uint32_t c = 0, d = 0;
    for (int k = 0; k < 28; ++k) {
        c = (c << 1) | static_cast<std::uint32_t>((key >> (64 - kPc1[k])) & 1);
        d = (d << 1) | static_cast<std::uint32_t>((key >> (64 - kPc1[k + 28])) & 1);
    }
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < kShifts[round]; ++s) {
            c = ((c << 1) | (c >> 27)) & 0x0FFFFFFF;
            d = ((d << 1) | (d >> 27)) & 0x0FFFFFFF;
        }
        std::uint64_t cd = (std::uint64_t{c} << 28) | d;  // 56 bits, bit 1 is the top
        std::uint32_t group[8] = {};
        for (int k = 0; k < 48; ++k) {
            std::uint32_t bit = static_cast<std::uint32_t>((cd >> (56 - kPc2[k])) & 1);
            group[k / 6] = (group[k / 6] << 1) | bit;
        }
        int slot = decrypt ? 15 - round : round;
        schedule[2 * slot] = group[0] | (group[6] << 8) | (group[4] << 16) | (group[2] << 24);
        schedule[2 * slot + 1] = group[7] | (group[5] << 8) | (group[3] << 16) | (group[1] << 24);
    }
}

void DesBlock(const std::uint32_t schedule[32], std::uint8_t out[8], const std::uint8_t in[8]) noexcept {
    std::uint64_t x = Permute(kIpTable, (std::uint64_t{LoadBe32(in)} << 32) | LoadBe32(in + 4));
    std::uint32_t l = static_cast<std::uint32_t>(x >> 32), r = static_cast<std::uint32_t>(x);
    SixteenRounds(l, r, schedule);
    x = Permute(kFpTable, (std::uint64_t{l} << 32) | r);
    StoreBe32(out, static_cast<std::uint32_t>(x >> 32));
    StoreBe32(out + 4, static_cast<std::uint32_t>(x));
}

void Des3Block(const std::uint32_t (*schedule)[32], std::uint8_t out[8], const std::uint8_t in[8]) noexcept {
    // FP followed by IP between the three stages cancels out.
    std::uint64_t x = Permute(kIpTable, (std::uint64_t{LoadBe32(in)} << 32) | LoadBe32(in + 4));
    std::uint32_t l = static_cast<std::uint32_t>(x >> 32), r = static_cast<std::uint32_t>(x);
    SixteenRounds(l, r, schedule[0]);
    SixteenRounds(l, r, schedule[1]);
    SixteenRounds(l, r, schedule[2]);
    x = Permute(kFpTable, (std::uint64_t{l} << 32) | r);
    StoreBe32(out, static_cast<std::uint32_t>(x >> 32));
    StoreBe32(out + 4, static_cast<std::uint32_t>(x));
}

Error Des3CbcInit(Des3Ctx* ctx, const std::uint8_t* key24, const std::uint8_t* iv8, int encrypt) noexcept {
    if (!key24 || !iv8) return Error::BAD_PARAM_ERROR;
    ctx->encrypt = encrypt ? 1 : 0;
    if (ctx->encrypt) {  // E_K3(D_K2(E_K1(P)))
        DesKeySchedule(ctx->schedule[0], key24, false);
        DesKeySchedule(ctx->schedule[1], key24 + 8, true);
        DesKeySchedule(ctx->schedule[2], key24 + 16, false);
    } else {  // D_K1(E_K2(D_K3(C)))
        DesKeySchedule(ctx->schedule[0], key24 + 16, true);
        DesKeySchedule(ctx->schedule[1], key24 + 8, false);
        DesKeySchedule(ctx->schedule[2], key24, true);
    }
    std::memcpy(ctx->chain, iv8, 8);
    return kOk;
}

Error Des3CbcProcess(Des3Ctx* ctx, std::uint8_t* out, const std::uint8_t* in, std::size_t len) noexcept {
    if (len % 8 != 0) return Error::BAD_LENGTH_ERROR;
    std::uint8_t block[8];
    for (std::size_t off = 0; off < len; off += 8) {
        if (ctx->encrypt) {
            for (int i = 0; i < 8; ++i) block[i] = static_cast<std::uint8_t>(in[off + i] ^ ctx->chain[i]);
            Des3Block(ctx->schedule, out + off, block);
            std::memcpy(ctx->chain, out + off, 8);
        } else {
            std::uint8_t saved[8];
            std::memcpy(saved, in + off, 8);
            Des3Block(ctx->schedule, block, saved);
            for (int i = 0; i < 8; ++i) out[off + i] = static_cast<std::uint8_t>(block[i] ^ ctx->chain[i]);
            std::memcpy(ctx->chain, saved, 8);
            ewipe(saved, sizeof saved);
        }
    }
    ewipe(block, sizeof block);
    return kOk;
}

void Des3Wipe(Des3Ctx* ctx) noexcept { ewipe(ctx, sizeof *ctx); }

}  // namespace kvn
