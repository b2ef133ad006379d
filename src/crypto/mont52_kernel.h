// The radix-2^52 Montgomery exponentiation, written once over a set of lane operations
// and compiled twice: over AVX-512 IFMA (crypto/mont52_ifma.cpp, chosen from CPUID) and
// over a portable emulation of the same lane operations (crypto/mont52.cpp), which the
// tests and the constant-time check run on processors without IFMA. Both builds run the
// same algorithm step for step, so checking the emulated one checks the algorithm.
//
// A lane set V offers, on vectors of V::kLanes 64-bit lanes:
//   Zero(), Load(p), Store(p, x), Broadcast(w);
//   MAddLo(acc, a, b): acc + the low 52 bits of a[51:0] * b[51:0], lane by lane (VPMADD52LUQ);
//   MAddHi(acc, a, b): acc + bits 52..103 of a[51:0] * b[51:0] (VPMADD52HUQ);
//   Lane0(x): the lowest lane; AddLane0(x, w): w added to the lowest lane;
//   ShiftDown(lo, hi): lanes 1.. of lo followed by lane 0 of hi (VALIGNQ by one);
//   And, Or.
//
// Numbers are arrays of L limbs of 52 bits, least significant first, L a multiple of
// kLanes with 2^(52 L) > 4 m. Products are "almost Montgomery" (AMM): for a, b < 2m the
// result a b / 2^(52 L) mod m is below 2m, so no step compares against m; the caller
// reduces once at the end. Every step runs the same instructions on the same addresses
// whatever the values: no branch and no memory index depends on them (the window table is
// read by a masked scan of all its entries).
//
// This header is included by exactly the two files above, each compiling it for its own
// instruction set; everything in it has internal linkage, so neither build's code can
// stand in for the other's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn {
namespace {

namespace mont52 {

constexpr std::uint64_t kMask = (std::uint64_t{1} << 52) - 1;
constexpr std::size_t kWindowBits = 5;
constexpr std::size_t kWindowEntries = std::size_t{1} << kWindowBits;
// Limbs of the largest modulus the contexts take (16384 bits, plus the two bits that
// make 2^(52 L) > 4 m), rounded up to whole vectors of up to 8 lanes.
constexpr std::size_t kMaxLimbs = 320;

// All-ones when x is zero, without a branch.
inline std::uint64_t ZeroMask(std::uint64_t x) { return std::uint64_t{0} - ((~x & (x - 1)) >> 63); }

// r = a b / 2^(52 L) mod m, below 2m for a, b below 2m. kVecs is L / kLanes when known
// at compile time (the accumulator then lives in registers), else 0. r may alias a or b.
template <class V, std::size_t kVecs>
inline void Amm(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* b, const std::uint64_t* m,
                std::uint64_t k0, std::size_t limbs) {
    using T = typename V::T;
    constexpr std::size_t kCap = kVecs ? kVecs : kMaxLimbs / V::kLanes;
    const std::size_t nv = kVecs ? kVecs : limbs / V::kLanes;
    T acc[kCap], av[kCap], mv[kCap];
    for (std::size_t v = 0; v < nv; ++v) {
        acc[v] = V::Zero();
        av[v] = V::Load(a + v * V::kLanes);
        mv[v] = V::Load(m + v * V::kLanes);
    }
    const T zero = V::Zero();
    for (std::size_t i = 0; i < nv * V::kLanes; ++i) {
        const T bi = V::Broadcast(b[i]);
#pragma GCC unroll 16
        for (std::size_t v = 0; v < nv; ++v) acc[v] = V::MAddLo(acc[v], av[v], bi);
        // q makes the lowest limb a multiple of 2^52: k0 = -m^-1 mod 2^52.
        const std::uint64_t q = ((V::Lane0(acc[0]) & kMask) * k0) & kMask;
        const T qv = V::Broadcast(q);
#pragma GCC unroll 16
        for (std::size_t v = 0; v < nv; ++v) acc[v] = V::MAddLo(acc[v], mv[v], qv);
        const std::uint64_t carry = V::Lane0(acc[0]) >> 52;
        // Divide by 2^52: every limb moves down one place, the lowest one's carry into the
        // next; the high halves of this round's products then land where they belong.
#pragma GCC unroll 16
        for (std::size_t v = 0; v < nv; ++v) acc[v] = V::ShiftDown(acc[v], v + 1 < nv ? acc[v + 1] : zero);
        acc[0] = V::AddLane0(acc[0], carry);
#pragma GCC unroll 16
        for (std::size_t v = 0; v < nv; ++v) {
            acc[v] = V::MAddHi(acc[v], av[v], bi);
            acc[v] = V::MAddHi(acc[v], mv[v], qv);
        }
    }
    // Each lane holds at most 4 L products of 52 bits plus carries, far below 2^64; the
    // carries go up once, limb by limb. The result is below 2m < 2^(52 L): nothing is left.
    std::uint64_t t[kCap * V::kLanes];
    for (std::size_t v = 0; v < nv; ++v) V::Store(t + v * V::kLanes, acc[v]);
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < nv * V::kLanes; ++j) {
        const std::uint64_t x = t[j] + carry;
        r[j] = x & kMask;
        carry = x >> 52;
    }
    for (std::size_t j = 0; j < nv * V::kLanes; ++j) t[j] = 0;
    __asm__ __volatile__("" : : "r"(t) : "memory");
}

// entry = table[w] (limbs per entry) by a masked scan of every entry.
template <class V>
inline void Scan(std::uint64_t* entry, const std::uint64_t* table, std::uint64_t w, std::size_t limbs) {
    using T = typename V::T;
    for (std::size_t j = 0; j < limbs; j += V::kLanes) {
        T acc = V::Zero();
        for (std::size_t i = 0; i < kWindowEntries; ++i) {
            const T mask = V::Broadcast(ZeroMask(static_cast<std::uint64_t>(i) ^ w));
            acc = V::Or(acc, V::And(V::Load(table + i * limbs + j), mask));
        }
        V::Store(entry + j, acc);
    }
}

// r = a^e in the radix-2^52 Montgomery domain, below 2m, for a below 2m in that domain;
// one = 2^(52 L) mod m. e has elimbs 64-bit limbs and is secret: every bit of all of them
// is processed. work holds (kWindowEntries + 2) L limbs; the caller wipes it.
template <class V, std::size_t kVecs>
void Exp(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* m, std::uint64_t k0, const std::uint64_t* one,
         std::size_t limbs, const std::uint64_t* e, std::size_t elimbs, std::uint64_t* work) {
    std::uint64_t* table = work;
    std::uint64_t* acc = table + kWindowEntries * limbs;
    std::uint64_t* entry = acc + limbs;
    for (std::size_t j = 0; j < limbs; ++j) {
        table[j] = one[j];
        table[limbs + j] = a[j];
    }
    // Even powers by squaring, odd ones by a product with a.
    for (std::size_t i = 2; i < kWindowEntries; ++i) {
        std::uint64_t* row = table + i * limbs;
        if (i % 2 == 0) {
            const std::uint64_t* half = table + (i / 2) * limbs;
            Amm<V, kVecs>(row, half, half, m, k0, limbs);
        } else {
            Amm<V, kVecs>(row, table + (i - 1) * limbs, a, m, k0, limbs);
        }
    }
    // Windows from the top; the first is the remainder of the bit count by the window size.
    const std::size_t bits = 64 * elimbs;
    std::size_t pos = bits;
    bool first = true;
    while (pos > 0) {
        const std::size_t width = first && bits % kWindowBits ? bits % kWindowBits : kWindowBits;
        pos -= width;
        // The window's bits; positions are public, the value is not.
        const std::size_t limb = pos / 64, shift = pos % 64;
        std::uint64_t w = e[limb] >> shift;
        if (shift + width > 64 && limb + 1 < elimbs) w |= e[limb + 1] << (64 - shift);
        w &= (std::uint64_t{1} << width) - 1;
        Scan<V>(entry, table, w, limbs);
        if (first) {
            for (std::size_t j = 0; j < limbs; ++j) acc[j] = entry[j];
            first = false;
        } else {
            for (std::size_t k = 0; k < width; ++k) Amm<V, kVecs>(acc, acc, acc, m, k0, limbs);
            Amm<V, kVecs>(acc, acc, entry, m, k0, limbs);
        }
    }
    for (std::size_t j = 0; j < limbs; ++j) r[j] = acc[j];
}

// The instantiations for the sizes that matter most: 5 vectors of 4 lanes are the
// 1024-bit halves of an RSA-2048 key, 10 the 2048-bit halves of an RSA-4096 key (and a
// 2048-bit modulus); any other size goes through the same code with its count at run time.
template <class V>
void ExpAnySize(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* m, std::uint64_t k0,
                const std::uint64_t* one, std::size_t limbs, const std::uint64_t* e, std::size_t elimbs,
                std::uint64_t* work) {
    switch (limbs / V::kLanes) {
        case 5: Exp<V, 5>(r, a, m, k0, one, limbs, e, elimbs, work); break;
        case 10: Exp<V, 10>(r, a, m, k0, one, limbs, e, elimbs, work); break;
        default: Exp<V, 0>(r, a, m, k0, one, limbs, e, elimbs, work); break;
    }
}

// r = a b / 2^(52 L) mod m, below 2m (a single product, for the conversions).
template <class V>
void MulAnySize(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* b, const std::uint64_t* m,
                std::uint64_t k0, std::size_t limbs) {
    Amm<V, 0>(r, a, b, m, k0, limbs);
}

}  // namespace mont52

}  // namespace
}  // namespace kvn
