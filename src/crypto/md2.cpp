// MD2 (RFC 1319): 16-byte blocks, 18 rounds per block over the substitution table S
// built from the digits of pi, and a running checksum appended as a final block.
#include <cstring>

#include "base/memory.h"
#include "crypto/digest.h"

namespace kvn {
namespace {

// RFC 1319, section 3.2: a permutation of 0..255 built from the digits of pi.
constexpr std::uint8_t kPiSubst[256] = {
     41,  46,  67, 201, 162, 216, 124,   1,  61,  54,  84, 161, 236, 240,   6,  19,
     98, 167,   5, 243, 192, 199, 115, 140, 152, 147,  43, 217, 188,  76, 130, 202,
     30, 155,  87,  60, 253, 212, 224,  22, 103,  66, 111,  24, 138,  23, 229,  18,
    190,  78, 196, 214, 218, 158, 222,  73, 160, 251, 245, 142, 187,  47, 238, 122,
    169, 104, 121, 145,  21, 178,   7,  63, 148, 194,  16, 137,  11,  34,  95,  33,
    128, 127,  93, 154,  90, 144,  50,  39,  53,  62, 204, 231, 191, 247, 151,   3,
    255,  25,  48, 179,  72, 165, 181, 209, 215,  94, 146,  42, 172,  86, 170, 198,
     79, 184,  56, 210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116,   4, 241,
     69, 157, 112,  89, 100, 113, 135,  32, 134,  91, 207, 101, 230,  45, 168,   2,
     27,  96,  37, 173, 174, 176, 185, 246,  28,  70,  97, 105,  52,  64, 126,  15,
     85,  71, 163,  35, 221,  81, 175,  58, 195,  92, 249, 206, 186, 197, 234,  38,
     44,  83,  13, 110, 133,  40, 132,   9, 211, 223, 205, 244,  65, 129,  77,  82,
    106, 220,  55, 200, 108, 193, 171, 250,  36, 225, 123,   8,  12, 189, 177,  74,
    120, 136, 149, 139, 227,  99, 232, 109, 233, 203, 213, 254,  59,   0,  29,  57,
    242, 239, 183,  14, 102,  88, 208, 228, 166, 119, 114, 248, 235, 117,  75,  10,
     49,  68,  80, 180, 143, 237,  31,  26, 219, 153, 141,  51, 159,  17, 131,  20,
};

// Mixes one 16-byte block into the state and the checksum (RFC 1319 sections 3.2, 3.4).
void Md2Block(Md2Ctx* ctx, const std::uint8_t* block) noexcept {
    std::uint8_t x[48];
    std::memcpy(x, ctx->state, 16);
    for (int i = 0; i < 16; ++i) {
        x[16 + i] = block[i];
        x[32 + i] = static_cast<std::uint8_t>(ctx->state[i] ^ block[i]);
    }
    unsigned t = 0;
    for (int round = 0; round < 18; ++round) {
        for (int k = 0; k < 48; ++k) {
            x[k] = static_cast<std::uint8_t>(x[k] ^ kPiSubst[t]);
            t = x[k];
        }
        t = (t + static_cast<unsigned>(round)) & 0xFF;
    }
    std::memcpy(ctx->state, x, 16);

    std::uint8_t l = ctx->checksum[15];
    for (int i = 0; i < 16; ++i) {
        ctx->checksum[i] = static_cast<std::uint8_t>(ctx->checksum[i] ^ kPiSubst[block[i] ^ l]);
        l = ctx->checksum[i];
    }
    ewipe(x, sizeof x);
}

}  // namespace

void Md2Init(Md2Ctx* ctx) noexcept { std::memset(ctx, 0, sizeof *ctx); }

void Md2Update(Md2Ctx* ctx, const void* data, std::size_t len) noexcept {
    if (len == 0) return;  // data may be null
    const auto* in = static_cast<const std::uint8_t*>(data);
    if (ctx->count > 0) {
        std::size_t take = 16 - ctx->count;
        if (take > len) take = len;
        std::memcpy(ctx->buffer + ctx->count, in, take);
        ctx->count += static_cast<std::uint32_t>(take);
        in += take;
        len -= take;
        if (ctx->count < 16) return;
        Md2Block(ctx, ctx->buffer);
        ctx->count = 0;
    }
    for (; len >= 16; in += 16, len -= 16) Md2Block(ctx, in);
    std::memcpy(ctx->buffer, in, len);
    ctx->count = static_cast<std::uint32_t>(len);
}

void Md2Final(std::uint8_t digest16[16], Md2Ctx* ctx) noexcept {
    // i bytes of value i, 1 <= i <= 16, then the checksum as one more block.
    std::uint8_t pad[16];
    std::uint32_t n = 16 - ctx->count;
    std::memset(pad, static_cast<int>(n), n);
    Md2Update(ctx, pad, n);
    std::uint8_t checksum[16];
    std::memcpy(checksum, ctx->checksum, 16);
    Md2Update(ctx, checksum, 16);
    std::memcpy(digest16, ctx->state, 16);
    ewipe(checksum, sizeof checksum);
    ewipe(ctx, sizeof *ctx);
}

}  // namespace kvn
