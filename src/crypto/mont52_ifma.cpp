// The AVX-512 IFMA build of the radix-2^52 kernels (see mont52.h and mont52_kernel.h):
// 256-bit vectors of four lanes (AVX512VL), VPMADD52LUQ and VPMADD52HUQ for the products,
// VALIGNQ to move the accumulator down a limb. Every function in this file is compiled
// for those instructions and is called only when mont52_IfmaAvailable() says the
// processor has them.
#include "crypto/mont52.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512vl,avx512ifma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512ifma")
#endif

#include "crypto/mont52_kernel.h"

namespace kvn {
namespace {

struct IfmaLanes {
    static constexpr std::size_t kLanes = 4;
    using T = __m256i;
    static T Zero() { return _mm256_setzero_si256(); }
    static T Load(const std::uint64_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void Store(std::uint64_t* p, T v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static T Broadcast(std::uint64_t w) { return _mm256_set1_epi64x(static_cast<long long>(w)); }
    static T MAddLo(T acc, T a, T b) { return _mm256_madd52lo_epu64(acc, a, b); }
    static T MAddHi(T acc, T a, T b) { return _mm256_madd52hi_epu64(acc, a, b); }
    static std::uint64_t Lane0(T v) { return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm256_castsi256_si128(v))); }
    static T AddLane0(T v, std::uint64_t w) {
        return _mm256_add_epi64(v, _mm256_set_epi64x(0, 0, 0, static_cast<long long>(w)));
    }
    static T ShiftDown(T lo, T hi) { return _mm256_alignr_epi64(hi, lo, 1); }
    static T And(T a, T b) { return _mm256_and_si256(a, b); }
    static T Or(T a, T b) { return _mm256_or_si256(a, b); }
};

}  // namespace

void mont52_MulIfma(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* b, const std::uint64_t* m,
                    std::uint64_t k0, std::size_t limbs) noexcept {
    mont52::MulAnySize<IfmaLanes>(r, a, b, m, k0, limbs);
}

void mont52_ExpIfma(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* m, std::uint64_t k0,
                    const std::uint64_t* one, std::size_t limbs, const std::uint64_t* e, std::size_t elimbs,
                    std::uint64_t* work) noexcept {
    mont52::ExpAnySize<IfmaLanes>(r, a, m, k0, one, limbs, e, elimbs, work);
}

}  // namespace kvn

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else  // no IFMA build on this target: mont52_IfmaAvailable() is false, so these never run

namespace kvn {
void mont52_MulIfma(std::uint64_t*, const std::uint64_t*, const std::uint64_t*, const std::uint64_t*, std::uint64_t,
                    std::size_t) noexcept {}
void mont52_ExpIfma(std::uint64_t*, const std::uint64_t*, const std::uint64_t*, std::uint64_t, const std::uint64_t*,
                    std::size_t, const std::uint64_t*, std::size_t, std::uint64_t*) noexcept {}
}  // namespace kvn

#endif
