// SHA-1 (FIPS 180-4): 64-byte blocks, big-endian words and length, 80 rounds written out.
#include <cstring>

#include "base/memory.h"
#include "crypto/cpu.h"
#include "crypto/digest_internal.h"
#include "crypto/endian.h"

namespace kvn {

// The message schedule lives in a 16-word ring: W[t] = rotl1(W[t-3]^W[t-8]^W[t-14]^W[t-16]).
#define KVN_SHA1_W(t) (w[(t) & 15] = Rotl32(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t) & 15], 1))
#define KVN_SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define KVN_SHA1_PAR(b, c, d) ((b) ^ (c) ^ (d))
#define KVN_SHA1_MAJ(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))  // the two terms never share a bit
#define KVN_SHA1_R(f, k, a, b, c, d, e, wt)                 \
    (e) += Rotl32((a), 5) + f((b), (c), (d)) + (k) + (wt); \
    (b) = Rotl32((b), 30)
#define KVN_SHA1_R5(f, k, t, W)                   \
    KVN_SHA1_R(f, k, a, b, c, d, e, W((t)));      \
    KVN_SHA1_R(f, k, e, a, b, c, d, W((t) + 1));  \
    KVN_SHA1_R(f, k, d, e, a, b, c, W((t) + 2));  \
    KVN_SHA1_R(f, k, c, d, e, a, b, W((t) + 3));  \
    KVN_SHA1_R(f, k, b, c, d, e, a, W((t) + 4))
#define KVN_SHA1_W0(t) (w[(t)])

void Sha1Compress(std::uint32_t state[5], const std::uint8_t* data, std::size_t nblocks) noexcept {
#if defined(__x86_64__) || defined(__i386__)
    if (cpu_UseShaNi()) {
        Sha1CompressNi(state, data, nblocks);
        return;
    }
#endif
    Sha1CompressPortable(state, data, nblocks);
}

void Sha1CompressPortable(std::uint32_t state[5], const std::uint8_t* data, std::size_t nblocks) noexcept {
    for (; nblocks > 0; --nblocks, data += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = LoadBe32(data + 4 * i);
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];

        KVN_SHA1_R5(KVN_SHA1_CH, 0x5a827999u, 0, KVN_SHA1_W0);
        KVN_SHA1_R5(KVN_SHA1_CH, 0x5a827999u, 5, KVN_SHA1_W0);
        KVN_SHA1_R5(KVN_SHA1_CH, 0x5a827999u, 10, KVN_SHA1_W0);
        KVN_SHA1_R(KVN_SHA1_CH, 0x5a827999u, a, b, c, d, e, w[15]);
        KVN_SHA1_R(KVN_SHA1_CH, 0x5a827999u, e, a, b, c, d, KVN_SHA1_W(16));
        KVN_SHA1_R(KVN_SHA1_CH, 0x5a827999u, d, e, a, b, c, KVN_SHA1_W(17));
        KVN_SHA1_R(KVN_SHA1_CH, 0x5a827999u, c, d, e, a, b, KVN_SHA1_W(18));
        KVN_SHA1_R(KVN_SHA1_CH, 0x5a827999u, b, c, d, e, a, KVN_SHA1_W(19));

        KVN_SHA1_R5(KVN_SHA1_PAR, 0x6ed9eba1u, 20, KVN_SHA1_W);
        KVN_SHA1_R5(KVN_SHA1_PAR, 0x6ed9eba1u, 25, KVN_SHA1_W);
        KVN_SHA1_R5(KVN_SHA1_PAR, 0x6ed9eba1u, 30, KVN_SHA1_W);
        KVN_SHA1_R5(KVN_SHA1_PAR, 0x6ed9eba1u, 35, KVN_SHA1_W);

        KVN_SHA1_R5(KVN_SHA1_MAJ, 0x8f1bbcdcu, 40, KVN_SHA1_W);
        KVN_SHA1_R5(KVN_SHA1_MAJ, 0x8f1bbcdcu, 45, KVN_SHA1_W);
        KVN_SHA1_R5(KVN_SHA1_MAJ, 0x8f1bbcdcu, 50, KVN_SHA1_W);
        KVN_SHA1_R5(KVN_SHA1_MAJ, 0x8f1bbcdcu, 55, KVN_SHA1_W);

        KVN_SHA1_R5(KVN_SHA1_PAR, 0xca62c1d6u, 60, KVN_SHA1_W);
        KVN_SHA1_R5(KVN_SHA1_PAR, 0xca62c1d6u, 65, KVN_SHA1_W);
        KVN_SHA1_R5(KVN_SHA1_PAR, 0xca62c1d6u, 70, KVN_SHA1_W);
        KVN_SHA1_R5(KVN_SHA1_PAR, 0xca62c1d6u, 75, KVN_SHA1_W);

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

#undef KVN_SHA1_W
#undef KVN_SHA1_W0
#undef KVN_SHA1_CH
#undef KVN_SHA1_PAR
#undef KVN_SHA1_MAJ
#undef KVN_SHA1_R
#undef KVN_SHA1_R5

void Sha1Init(Sha1Ctx* ctx) noexcept {
    std::memset(ctx, 0, sizeof *ctx);
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xc3d2e1f0;
}

void Sha1Update(Sha1Ctx* ctx, const void* data, std::size_t len) noexcept {
    AbsorbBlocks<64>(ctx, data, len, Sha1Compress);
}

void Sha1Final(std::uint8_t digest20[20], Sha1Ctx* ctx) noexcept {
    PadLastBlocks<64, 8>(ctx, Sha1Compress, [](std::uint8_t* p, const std::uint32_t* bits) {
        StoreBe32(p, bits[1]);
        StoreBe32(p + 4, bits[0]);
    });
    for (int i = 0; i < 5; ++i) StoreBe32(digest20 + 4 * i, ctx->state[i]);
    ewipe(ctx, sizeof *ctx);
}

}  // namespace kvn
