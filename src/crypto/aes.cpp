// AES-128/192/256 (FIPS 197), 32-bit table implementation: four encryption round
// tables and the S-box, four decryption round tables and the inverse S-box, all
// computed at compile time from GF(2^8) arithmetic. Decryption is the equivalent
// inverse cipher of FIPS 197 section 5.3.5: the encryption schedule in reverse order
// with InvMixColumns applied to the inner round keys.
//
// The tables are indexed by key and data bytes, so their cache lines can tell on them;
// where the processor has AES-NI, the key schedule (aes_ni.cpp) and the cipher run on its
// instructions instead, and these tables are not touched.
#include <cstring>

#include "base/memory.h"
#include "crypto/cipher_internal.h"
#include "crypto/cpu.h"
#include "crypto/endian.h"

namespace kvn {
namespace {

constexpr std::uint8_t XTime(std::uint8_t x) {
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0));
}
constexpr std::uint8_t GfMul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = XTime(a);
        b >>= 1;
    }
    return r;
}

struct Tables {
    std::uint8_t sbox[256];
    std::uint8_t inv[256];
    std::uint32_t te[4][256];
    std::uint32_t td[4][256];
};

// S-box: multiplicative inverse in GF(2^8) followed by the affine map of FIPS 197 5.1.1.
constexpr Tables MakeTables() {
    Tables t{};
    for (int x = 0; x < 256; ++x) {
        // x^254 is the inverse of x (and maps 0 to 0).
        std::uint8_t invx = 1, base = static_cast<std::uint8_t>(x);
        for (int e = 254; e; e >>= 1) {
            if (e & 1) invx = GfMul(invx, base);
            base = GfMul(base, base);
        }
        std::uint8_t s = invx;
        std::uint8_t r = 0x63;
        for (int i = 0; i < 5; ++i) {
            r ^= s;
            s = static_cast<std::uint8_t>((s << 1) | (s >> 7));
        }
        t.sbox[x] = r;
        t.inv[r] = static_cast<std::uint8_t>(x);
    }
    for (int x = 0; x < 256; ++x) {
        std::uint8_t s = t.sbox[x];
        std::uint32_t e = (std::uint32_t{GfMul(s, 2)} << 24) | (std::uint32_t{s} << 16) | (std::uint32_t{s} << 8) | GfMul(s, 3);
        std::uint8_t i = t.inv[x];
        std::uint32_t d = (std::uint32_t{GfMul(i, 14)} << 24) | (std::uint32_t{GfMul(i, 9)} << 16) |
                          (std::uint32_t{GfMul(i, 13)} << 8) | GfMul(i, 11);
        for (int k = 0; k < 4; ++k) {
            t.te[k][x] = k == 0 ? e : ((e >> (8 * k)) | (e << (32 - 8 * k)));
            t.td[k][x] = k == 0 ? d : ((d >> (8 * k)) | (d << (32 - 8 * k)));
        }
    }
    return t;
}
constexpr Tables kT = MakeTables();
static_assert(kT.sbox[0x00] == 0x63 && kT.sbox[0x53] == 0xED, "FIPS 197 S-box");

constexpr std::uint32_t kRcon[10] = {0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
                                     0x20000000, 0x40000000, 0x80000000, 0x1B000000, 0x36000000};

inline std::uint32_t SubWord(std::uint32_t w) noexcept {
    return (std::uint32_t{kT.sbox[w >> 24]} << 24) | (std::uint32_t{kT.sbox[(w >> 16) & 0xFF]} << 16) |
           (std::uint32_t{kT.sbox[(w >> 8) & 0xFF]} << 8) | kT.sbox[w & 0xFF];
}

inline std::uint32_t InvMixColumn(std::uint32_t w) noexcept {
    // td[k][x] applies InvSubBytes first, so feed it S(x) to get InvMixColumns alone.
    return kT.td[0][kT.sbox[w >> 24]] ^ kT.td[1][kT.sbox[(w >> 16) & 0xFF]] ^ kT.td[2][kT.sbox[(w >> 8) & 0xFF]] ^
           kT.td[3][kT.sbox[w & 0xFF]];
}

}  // namespace

Error AesSetKey(AesCtx* ctx, const std::uint8_t* key, int keyBits, bool decrypt) noexcept {
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return Error::BAD_LENGTH_ERROR;
    if (!key) return Error::BAD_PARAM_ERROR;
#if defined(__x86_64__) || defined(__i386__)
    if (cpu_UseAesNi()) {
        const int nk = keyBits / 32;
        AesKeyScheduleNi(ctx->roundKeys, key, nk, nk + 6, decrypt);
        ctx->encrypt = decrypt ? 0 : 1;
        ctx->keyBits = keyBits;
        ctx->rounds = nk + 6;
        return kOk;
    }
#endif
    return AesSetKeyPortable(ctx, key, keyBits, decrypt);
}

Error AesSetKeyPortable(AesCtx* ctx, const std::uint8_t* key, int keyBits, bool decrypt) noexcept {
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return Error::BAD_LENGTH_ERROR;
    if (!key) return Error::BAD_PARAM_ERROR;
    const int nk = keyBits / 32;
    const int rounds = nk + 6;
    const int total = 4 * (rounds + 1);
    std::uint32_t* w = ctx->roundKeys;
    for (int i = 0; i < nk; ++i) w[i] = LoadBe32(key + 4 * i);
    for (int i = nk; i < total; ++i) {
        std::uint32_t temp = w[i - 1];
        if (i % nk == 0)
            temp = SubWord(Rotl32(temp, 8)) ^ kRcon[i / nk - 1];
        else if (nk > 6 && i % nk == 4)
            temp = SubWord(temp);
        w[i] = w[i - nk] ^ temp;
    }
    if (decrypt) {
        for (int i = 0, j = total - 4; i < j; i += 4, j -= 4)
            for (int k = 0; k < 4; ++k) {
                std::uint32_t t = w[i + k];
                w[i + k] = w[j + k];
                w[j + k] = t;
            }
        for (int i = 4; i < total - 4; ++i) w[i] = InvMixColumn(w[i]);
    }
    ctx->encrypt = decrypt ? 0 : 1;
    ctx->keyBits = keyBits;
    ctx->rounds = rounds;
    return kOk;
}

void AesEncryptBlock(const AesCtx* ctx, std::uint8_t out[16], const std::uint8_t in[16]) noexcept {
    const std::uint32_t* rk = ctx->roundKeys;
    std::uint32_t s0 = LoadBe32(in) ^ rk[0], s1 = LoadBe32(in + 4) ^ rk[1];
    std::uint32_t s2 = LoadBe32(in + 8) ^ rk[2], s3 = LoadBe32(in + 12) ^ rk[3];
    const auto& te = kT.te;
    for (int round = 1; round < ctx->rounds; ++round) {
        rk += 4;
        std::uint32_t t0 = te[0][s0 >> 24] ^ te[1][(s1 >> 16) & 0xFF] ^ te[2][(s2 >> 8) & 0xFF] ^ te[3][s3 & 0xFF] ^ rk[0];
        std::uint32_t t1 = te[0][s1 >> 24] ^ te[1][(s2 >> 16) & 0xFF] ^ te[2][(s3 >> 8) & 0xFF] ^ te[3][s0 & 0xFF] ^ rk[1];
        std::uint32_t t2 = te[0][s2 >> 24] ^ te[1][(s3 >> 16) & 0xFF] ^ te[2][(s0 >> 8) & 0xFF] ^ te[3][s1 & 0xFF] ^ rk[2];
        std::uint32_t t3 = te[0][s3 >> 24] ^ te[1][(s0 >> 16) & 0xFF] ^ te[2][(s1 >> 8) & 0xFF] ^ te[3][s2 & 0xFF] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    const std::uint8_t* sb = kT.sbox;
    auto last = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t k) {
        return ((std::uint32_t{sb[a >> 24]} << 24) | (std::uint32_t{sb[(b >> 16) & 0xFF]} << 16) |
                (std::uint32_t{sb[(c >> 8) & 0xFF]} << 8) | sb[d & 0xFF]) ^
               k;
    };
    StoreBe32(out, last(s0, s1, s2, s3, rk[0]));
    StoreBe32(out + 4, last(s1, s2, s3, s0, rk[1]));
    StoreBe32(out + 8, last(s2, s3, s0, s1, rk[2]));
    StoreBe32(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void AesDecryptBlock(const AesCtx* ctx, std::uint8_t out[16], const std::uint8_t in[16]) noexcept {
    const std::uint32_t* rk = ctx->roundKeys;
    std::uint32_t s0 = LoadBe32(in) ^ rk[0], s1 = LoadBe32(in + 4) ^ rk[1];
    std::uint32_t s2 = LoadBe32(in + 8) ^ rk[2], s3 = LoadBe32(in + 12) ^ rk[3];
    const auto& td = kT.td;
    for (int round = 1; round < ctx->rounds; ++round) {
        rk += 4;
        std::uint32_t t0 = td[0][s0 >> 24] ^ td[1][(s3 >> 16) & 0xFF] ^ td[2][(s2 >> 8) & 0xFF] ^ td[3][s1 & 0xFF] ^ rk[0];
        std::uint32_t t1 = td[0][s1 >> 24] ^ td[1][(s0 >> 16) & 0xFF] ^ td[2][(s3 >> 8) & 0xFF] ^ td[3][s2 & 0xFF] ^ rk[1];
        std::uint32_t t2 = td[0][s2 >> 24] ^ td[1][(s1 >> 16) & 0xFF] ^ td[2][(s0 >> 8) & 0xFF] ^ td[3][s3 & 0xFF] ^ rk[2];
        std::uint32_t t3 = td[0][s3 >> 24] ^ td[1][(s2 >> 16) & 0xFF] ^ td[2][(s1 >> 8) & 0xFF] ^ td[3][s0 & 0xFF] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    const std::uint8_t* ib = kT.inv;
    auto last = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t k) {
        return ((std::uint32_t{ib[a >> 24]} << 24) | (std::uint32_t{ib[(b >> 16) & 0xFF]} << 16) |
                (std::uint32_t{ib[(c >> 8) & 0xFF]} << 8) | ib[d & 0xFF]) ^
               k;
    };
    StoreBe32(out, last(s0, s3, s2, s1, rk[0]));
    StoreBe32(out + 4, last(s1, s0, s3, s2, rk[1]));
    StoreBe32(out + 8, last(s2, s1, s0, s3, rk[2]));
    StoreBe32(out + 12, last(s3, s2, s1, s0, rk[3]));
}

}  // namespace kvn
