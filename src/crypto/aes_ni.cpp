// AES key schedule and CBC mode with AES-NI. Built for the baseline processor; only these
// functions are compiled for the AES instructions, and they run only when cpu_UseAesNi()
// says so. Nothing here indexes memory by key or data bytes.
//
// The round keys have the portable key schedule's form (cipher_internal.h): big-endian
// words, for decryption already in the order and form of the equivalent inverse cipher
// (FIPS 197 section 5.3.5), which is what AESDEC expects. Each word is byte-swapped on
// loading.
#include "crypto/cipher_internal.h"
#include "crypto/endian.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define KVN_AES_TARGET __attribute__((target("aes,sse4.1")))

namespace kvn {
namespace {

KVN_AES_TARGET inline void LoadKeys(__m128i* keys, const AesCtx* ctx) {
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    for (int i = 0; i <= ctx->rounds; ++i) {
        keys[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ctx->roundKeys + 4 * i)), swap);
    }
}

KVN_AES_TARGET inline __m128i Load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
KVN_AES_TARGET inline void Store(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

constexpr std::uint32_t kRcon[10] = {0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
                                     0x20000000, 0x40000000, 0x80000000, 0x1B000000, 0x36000000};

// SubWord of FIPS 197 section 5.2: AESKEYGENASSIST puts SubWord of its source's word 1
// into word 0 of its result (the S-box works byte by byte, so the byte order of the word
// does not matter).
KVN_AES_TARGET inline std::uint32_t SubWordNi(std::uint32_t w) noexcept {
    const __m128i x = _mm_set1_epi32(static_cast<int>(w));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_aeskeygenassist_si128(x, 0)));
}

// InvMixColumns of one round key (four big-endian words) with AESIMC.
KVN_AES_TARGET inline void InvMixColumnsNi(std::uint32_t* w) noexcept {
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    __m128i* p = reinterpret_cast<__m128i*>(w);
    const __m128i state = _mm_shuffle_epi8(_mm_loadu_si128(p), swap);
    _mm_storeu_si128(p, _mm_shuffle_epi8(_mm_aesimc_si128(state), swap));
}

}  // namespace

KVN_AES_TARGET void AesKeyScheduleNi(std::uint32_t* w, const std::uint8_t* key, int nk, int rounds,
                                     bool decrypt) noexcept {
    const int total = 4 * (rounds + 1);
    for (int i = 0; i < nk; ++i) w[i] = LoadBe32(key + 4 * i);
    for (int i = nk; i < total; ++i) {
        std::uint32_t temp = w[i - 1];
        if (i % nk == 0) {
            temp = SubWordNi(Rotl32(temp, 8)) ^ kRcon[i / nk - 1];
        } else if (nk > 6 && i % nk == 4) {
            temp = SubWordNi(temp);
        }
        w[i] = w[i - nk] ^ temp;
    }
    if (!decrypt) return;
    for (int i = 0, j = total - 4; i < j; i += 4, j -= 4) {
        for (int k = 0; k < 4; ++k) {
            const std::uint32_t t = w[i + k];
            w[i + k] = w[j + k];
            w[j + k] = t;
        }
    }
    for (int i = 4; i < total - 4; i += 4) InvMixColumnsNi(w + i);
}

KVN_AES_TARGET void AesCbcEncryptNi(const AesCtx* ctx, std::uint8_t chain[16], std::uint8_t* out,
                                    const std::uint8_t* in, std::size_t len) noexcept {
    __m128i keys[15];
    LoadKeys(keys, ctx);
    const int rounds = ctx->rounds;
    __m128i x = Load(chain);
    for (std::size_t off = 0; off < len; off += 16) {
        x = _mm_xor_si128(_mm_xor_si128(x, Load(in + off)), keys[0]);
        for (int r = 1; r < rounds; ++r) x = _mm_aesenc_si128(x, keys[r]);
        x = _mm_aesenclast_si128(x, keys[rounds]);
        Store(out + off, x);
    }
    Store(chain, x);
    for (__m128i& k : keys) k = _mm_setzero_si128();
}

KVN_AES_TARGET void AesCbcDecryptNi(const AesCtx* ctx, std::uint8_t chain[16], std::uint8_t* out,
                                    const std::uint8_t* in, std::size_t len) noexcept {
    __m128i keys[15];
    LoadKeys(keys, ctx);
    const int rounds = ctx->rounds;
    __m128i previous = Load(chain);
    std::size_t off = 0;
    // Four blocks at a time: CBC decryption has no chain between the cipher calls.
    for (; off + 64 <= len; off += 64) {
        const __m128i c0 = Load(in + off), c1 = Load(in + off + 16), c2 = Load(in + off + 32), c3 = Load(in + off + 48);
        __m128i x0 = _mm_xor_si128(c0, keys[0]), x1 = _mm_xor_si128(c1, keys[0]);
        __m128i x2 = _mm_xor_si128(c2, keys[0]), x3 = _mm_xor_si128(c3, keys[0]);
        for (int r = 1; r < rounds; ++r) {
            x0 = _mm_aesdec_si128(x0, keys[r]);
            x1 = _mm_aesdec_si128(x1, keys[r]);
            x2 = _mm_aesdec_si128(x2, keys[r]);
            x3 = _mm_aesdec_si128(x3, keys[r]);
        }
        x0 = _mm_aesdeclast_si128(x0, keys[rounds]);
        x1 = _mm_aesdeclast_si128(x1, keys[rounds]);
        x2 = _mm_aesdeclast_si128(x2, keys[rounds]);
        x3 = _mm_aesdeclast_si128(x3, keys[rounds]);
        Store(out + off, _mm_xor_si128(x0, previous));
        Store(out + off + 16, _mm_xor_si128(x1, c0));
        Store(out + off + 32, _mm_xor_si128(x2, c1));
        Store(out + off + 48, _mm_xor_si128(x3, c2));
        previous = c3;
    }
    for (; off < len; off += 16) {
        const __m128i c = Load(in + off);
        __m128i x = _mm_xor_si128(c, keys[0]);
        for (int r = 1; r < rounds; ++r) x = _mm_aesdec_si128(x, keys[r]);
        x = _mm_aesdeclast_si128(x, keys[rounds]);
        Store(out + off, _mm_xor_si128(x, previous));
        previous = c;
    }
    Store(chain, previous);
    for (__m128i& k : keys) k = _mm_setzero_si128();
}

}  // namespace kvn

#endif
