// SHA-1 and SHA-256 block compression with the x86 SHA extensions. Built for the
// baseline processor; only these functions are compiled for the extensions, and they run
// only when cpu_UseShaNi() says so.
//
// Register layouts (Intel, "Intel SHA Extensions", 2013): SHA-256 works on the state as
// ABEF and CDGH; SHA-1 on ABCD (A in the high lane) and E in the high lane of a second
// register. Message words are loaded big-endian, four per register.
#include "crypto/digest_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define KVN_SHA_TARGET __attribute__((target("sha,sse4.1")))

namespace kvn {
namespace {

alignas(16) constexpr std::uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Four SHA-1 rounds of kind F (0: rounds 0-19, 1: 20-39, 2: 40-59, 3: 60-79).
template <int F>
KVN_SHA_TARGET inline __m128i Sha1Rounds(__m128i abcd, __m128i e) {
    return _mm_sha1rnds4_epu32(abcd, e, F);
}

}  // namespace

KVN_SHA_TARGET void Sha1CompressNi(std::uint32_t state[5], const std::uint8_t* data, std::size_t nblocks) noexcept {
    const __m128i kByteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    for (; nblocks > 0; --nblocks, data += 64) {
        const __m128i abcdSaved = abcd, eSaved = e0;
        __m128i w[20];
        for (int i = 0; i < 4; ++i) {
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), kByteSwap);
        }
        // W[i..i+3] from the four groups before it.
        for (int i = 4; i < 20; ++i) {
            w[i] = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(w[i - 4], w[i - 3]), w[i - 2]), w[i - 1]);
        }
        // Each group's E comes from the A of four rounds earlier (sha1nexte).
        __m128i prev = abcd;
        abcd = Sha1Rounds<0>(abcd, _mm_add_epi32(e0, w[0]));
        for (int i = 1; i < 5; ++i) {
            const __m128i e = _mm_sha1nexte_epu32(prev, w[i]);
            prev = abcd;
            abcd = Sha1Rounds<0>(abcd, e);
        }
        for (int i = 5; i < 10; ++i) {
            const __m128i e = _mm_sha1nexte_epu32(prev, w[i]);
            prev = abcd;
            abcd = Sha1Rounds<1>(abcd, e);
        }
        for (int i = 10; i < 15; ++i) {
            const __m128i e = _mm_sha1nexte_epu32(prev, w[i]);
            prev = abcd;
            abcd = Sha1Rounds<2>(abcd, e);
        }
        for (int i = 15; i < 20; ++i) {
            const __m128i e = _mm_sha1nexte_epu32(prev, w[i]);
            prev = abcd;
            abcd = Sha1Rounds<3>(abcd, e);
        }
        e0 = _mm_sha1nexte_epu32(prev, eSaved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

KVN_SHA_TARGET void Sha256CompressNi(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) noexcept {
    const __m128i kByteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);       // CDAB
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);  // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);                                                         // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);                                                              // CDGH
    for (; nblocks > 0; --nblocks, data += 64) {
        const __m128i abefSaved = state0, cdghSaved = state1;
        __m128i w[16];
        for (int i = 0; i < 16; ++i) {
            if (i < 4) {
                w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), kByteSwap);
            } else {
                // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
                const __m128i w7 = _mm_alignr_epi8(w[i - 1], w[i - 2], 4);  // W[t-7]
                w[i] = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(w[i - 4], w[i - 3]), w7), w[i - 1]);
            }
            __m128i msg = _mm_add_epi32(w[i], _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256K + 4 * i)));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
        }
        state0 = _mm_add_epi32(state0, abefSaved);
        state1 = _mm_add_epi32(state1, cdghSaved);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);                // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);             // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);          // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);             // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}

}  // namespace kvn

#endif
