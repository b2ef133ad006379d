// SHA-256 and SHA-224 (FIPS 180-4): 64-byte blocks, 64 rounds written out. SHA-224 is the
// SHA-256 computation with its own initial values, cut to 28 bytes.
#include <cstring>

#include "base/memory.h"
#include "crypto/cpu.h"
#include "crypto/digest_internal.h"
#include "crypto/endian.h"

namespace kvn {

#define KVN_S0(x) (Rotr32((x), 2) ^ Rotr32((x), 13) ^ Rotr32((x), 22))
#define KVN_S1(x) (Rotr32((x), 6) ^ Rotr32((x), 11) ^ Rotr32((x), 25))
#define KVN_s0(x) (Rotr32((x), 7) ^ Rotr32((x), 18) ^ ((x) >> 3))
#define KVN_s1(x) (Rotr32((x), 17) ^ Rotr32((x), 19) ^ ((x) >> 10))
#define KVN_CH(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define KVN_MAJ(x, y, z) (((x) & (y)) + ((z) & ((x) ^ (y))))  // the two terms never share a bit
// W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], in a 16-word ring.
#define KVN_WX(t) (w[(t) & 15] += KVN_s1(w[((t) + 14) & 15]) + w[((t) + 9) & 15] + KVN_s0(w[((t) + 1) & 15]))
#define KVN_W0(t) (w[(t)])
#define KVN_R(a, b, c, d, e, f, g, h, k, wt)                        \
    do {                                                            \
        std::uint32_t t1 = (h) + KVN_S1(e) + KVN_CH(e, f, g) + (k) + (wt); \
        (d) += t1;                                                  \
        (h) = t1 + KVN_S0(a) + KVN_MAJ(a, b, c);                    \
    } while (0)
#define KVN_R8(t, W, k0, k1, k2, k3, k4, k5, k6, k7) \
    KVN_R(a, b, c, d, e, f, g, h, k0, W((t)));        \
    KVN_R(h, a, b, c, d, e, f, g, k1, W((t) + 1));    \
    KVN_R(g, h, a, b, c, d, e, f, k2, W((t) + 2));    \
    KVN_R(f, g, h, a, b, c, d, e, k3, W((t) + 3));    \
    KVN_R(e, f, g, h, a, b, c, d, k4, W((t) + 4));    \
    KVN_R(d, e, f, g, h, a, b, c, k5, W((t) + 5));    \
    KVN_R(c, d, e, f, g, h, a, b, k6, W((t) + 6));    \
    KVN_R(b, c, d, e, f, g, h, a, k7, W((t) + 7))

void Sha256Compress(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) noexcept {
#if defined(__x86_64__) || defined(__i386__)
    if (cpu_UseShaNi()) {
        Sha256CompressNi(state, data, nblocks);
        return;
    }
#endif
    Sha256CompressPortable(state, data, nblocks);
}

void Sha256CompressPortable(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) noexcept {
    for (; nblocks > 0; --nblocks, data += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = LoadBe32(data + 4 * i);
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];

        KVN_R8(0, KVN_W0, 0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u);
        KVN_R8(8, KVN_W0, 0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u);
        KVN_R8(16, KVN_WX, 0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau);
        KVN_R8(24, KVN_WX, 0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u);
        KVN_R8(32, KVN_WX, 0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u);
        KVN_R8(40, KVN_WX, 0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u);
        KVN_R8(48, KVN_WX, 0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u);
        KVN_R8(56, KVN_WX, 0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u);

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#undef KVN_S0
#undef KVN_S1
#undef KVN_s0
#undef KVN_s1
#undef KVN_CH
#undef KVN_MAJ
#undef KVN_WX
#undef KVN_W0
#undef KVN_R
#undef KVN_R8

namespace {

void Sha256SetState(Sha256Ctx* ctx, const std::uint32_t (&iv)[8]) noexcept {
    std::memset(ctx, 0, sizeof *ctx);
    std::memcpy(ctx->state, iv, sizeof iv);
}

// Pads, compresses the last block(s) and writes the full 32-byte state.
void Sha256Finish(std::uint8_t out32[32], Sha256Ctx* ctx) noexcept {
    PadLastBlocks<64, 8>(ctx, Sha256Compress, [](std::uint8_t* p, const std::uint32_t* bits) {
        StoreBe32(p, bits[1]);
        StoreBe32(p + 4, bits[0]);
    });
    for (int i = 0; i < 8; ++i) StoreBe32(out32 + 4 * i, ctx->state[i]);
    ewipe(ctx, sizeof *ctx);
}

}  // namespace

void Sha256Init(Sha256Ctx* ctx) noexcept {
    static constexpr std::uint32_t kIv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    Sha256SetState(ctx, kIv);
}

void Sha224Init(Sha256Ctx* ctx) noexcept {
    static constexpr std::uint32_t kIv[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                             0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};
    Sha256SetState(ctx, kIv);
}

void Sha256Update(Sha256Ctx* ctx, const void* data, std::size_t len) noexcept {
    AbsorbBlocks<64>(ctx, data, len, Sha256Compress);
}

void Sha224Update(Sha256Ctx* ctx, const void* data, std::size_t len) noexcept { Sha256Update(ctx, data, len); }

void Sha256Final(std::uint8_t digest32[32], Sha256Ctx* ctx) noexcept { Sha256Finish(digest32, ctx); }

void Sha224Final(std::uint8_t digest28[28], Sha256Ctx* ctx) noexcept {
    std::uint8_t full[32];
    Sha256Finish(full, ctx);
    std::memcpy(digest28, full, 28);
    ewipe(full, sizeof full);
}

}  // namespace kvn
