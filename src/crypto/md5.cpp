// MD5 (RFC 1321): 64-byte blocks, little-endian words and length.
#include <cstring>

#include "base/memory.h"
#include "crypto/digest_internal.h"
#include "crypto/endian.h"

namespace kvn {

#define KVN_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define KVN_MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define KVN_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define KVN_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define KVN_MD5_STEP(f, a, b, c, d, w, k, s) \
    (a) += f((b), (c), (d)) + (w) + (k);     \
    (a) = Rotl32((a), (s)) + (b)

void Md5Compress(std::uint32_t state[4], const std::uint8_t* data, std::size_t nblocks) noexcept {
    for (; nblocks > 0; --nblocks, data += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = LoadLe32(data + 4 * i);
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

        KVN_MD5_STEP(KVN_MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
        KVN_MD5_STEP(KVN_MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
        KVN_MD5_STEP(KVN_MD5_F, c, d, a, b, x[2], 0x242070db, 17);
        KVN_MD5_STEP(KVN_MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
        KVN_MD5_STEP(KVN_MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
        KVN_MD5_STEP(KVN_MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
        KVN_MD5_STEP(KVN_MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
        KVN_MD5_STEP(KVN_MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
        KVN_MD5_STEP(KVN_MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
        KVN_MD5_STEP(KVN_MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
        KVN_MD5_STEP(KVN_MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
        KVN_MD5_STEP(KVN_MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
        KVN_MD5_STEP(KVN_MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
        KVN_MD5_STEP(KVN_MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
        KVN_MD5_STEP(KVN_MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
        KVN_MD5_STEP(KVN_MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

        KVN_MD5_STEP(KVN_MD5_G, a, b, c, d, x[1], 0xf61e2562, 5);
        KVN_MD5_STEP(KVN_MD5_G, d, a, b, c, x[6], 0xc040b340, 9);
        KVN_MD5_STEP(KVN_MD5_G, c, d, a, b, x[11], 0x265e5a51, 14);
        KVN_MD5_STEP(KVN_MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
        KVN_MD5_STEP(KVN_MD5_G, a, b, c, d, x[5], 0xd62f105d, 5);
        KVN_MD5_STEP(KVN_MD5_G, d, a, b, c, x[10], 0x02441453, 9);
        KVN_MD5_STEP(KVN_MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14);
        KVN_MD5_STEP(KVN_MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
        KVN_MD5_STEP(KVN_MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5);
        KVN_MD5_STEP(KVN_MD5_G, d, a, b, c, x[14], 0xc33707d6, 9);
        KVN_MD5_STEP(KVN_MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14);
        KVN_MD5_STEP(KVN_MD5_G, b, c, d, a, x[8], 0x455a14ed, 20);
        KVN_MD5_STEP(KVN_MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5);
        KVN_MD5_STEP(KVN_MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9);
        KVN_MD5_STEP(KVN_MD5_G, c, d, a, b, x[7], 0x676f02d9, 14);
        KVN_MD5_STEP(KVN_MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

        KVN_MD5_STEP(KVN_MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
        KVN_MD5_STEP(KVN_MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
        KVN_MD5_STEP(KVN_MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
        KVN_MD5_STEP(KVN_MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
        KVN_MD5_STEP(KVN_MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
        KVN_MD5_STEP(KVN_MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
        KVN_MD5_STEP(KVN_MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
        KVN_MD5_STEP(KVN_MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
        KVN_MD5_STEP(KVN_MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
        KVN_MD5_STEP(KVN_MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
        KVN_MD5_STEP(KVN_MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
        KVN_MD5_STEP(KVN_MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
        KVN_MD5_STEP(KVN_MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
        KVN_MD5_STEP(KVN_MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
        KVN_MD5_STEP(KVN_MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
        KVN_MD5_STEP(KVN_MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

        KVN_MD5_STEP(KVN_MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
        KVN_MD5_STEP(KVN_MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
        KVN_MD5_STEP(KVN_MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
        KVN_MD5_STEP(KVN_MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
        KVN_MD5_STEP(KVN_MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
        KVN_MD5_STEP(KVN_MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
        KVN_MD5_STEP(KVN_MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
        KVN_MD5_STEP(KVN_MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
        KVN_MD5_STEP(KVN_MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
        KVN_MD5_STEP(KVN_MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
        KVN_MD5_STEP(KVN_MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
        KVN_MD5_STEP(KVN_MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
        KVN_MD5_STEP(KVN_MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
        KVN_MD5_STEP(KVN_MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
        KVN_MD5_STEP(KVN_MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
        KVN_MD5_STEP(KVN_MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
    }
}

#undef KVN_MD5_F
#undef KVN_MD5_G
#undef KVN_MD5_H
#undef KVN_MD5_I
#undef KVN_MD5_STEP

void Md5Init(Md5Ctx* ctx) noexcept {
    std::memset(ctx, 0, sizeof *ctx);
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
}

void Md5Update(Md5Ctx* ctx, const void* data, std::size_t len) noexcept {
    AbsorbBlocks<64>(ctx, data, len, Md5Compress);
}

void Md5Final(std::uint8_t digest16[16], Md5Ctx* ctx) noexcept {
    PadLastBlocks<64, 8>(ctx, Md5Compress, [](std::uint8_t* p, const std::uint32_t* bits) {
        StoreLe32(p, bits[0]);
        StoreLe32(p + 4, bits[1]);
    });
    for (int i = 0; i < 4; ++i) StoreLe32(digest16 + 4 * i, ctx->state[i]);
    ewipe(ctx, sizeof *ctx);
}

}  // namespace kvn
