// Digit-array arithmetic of Varnum: add, subtract, multiply, square, shifts, one-digit
// operations, Algorithm D division and byte conversions.
//
// A 32x32 -> 64-bit digit product is a native 64-bit multiplication. The 64-by-32-bit
// digit quotient is formed from 16-bit half-digits (spDivide), as schoolbook division in
// base 2^16 with a normalised divisor.
#include "crypto/mp.h"

#include <cstring>

#include "base/memory.h"
#include "crypto/mp_reduce.h"

namespace kvn {

Digit* mpAlloc(std::size_t n) {
    if (n == 0) n = 1;
    try {
        return static_cast<Digit*>(ecalloc(n, sizeof(Digit)));
    } catch (const std::bad_alloc&) {
        throw AllocError("mpAlloc: Unable to allocate memory.");
    }
}

void mpFree(Digit* a, std::size_t n) noexcept {
    if (!a) return;
    ewipe(a, (n == 0 ? 1 : n) * sizeof(Digit));
    efree(a);
}

void mpSetZero(Digit* a, std::size_t n) noexcept {
    if (n > 0) std::memset(a, 0, n * sizeof(Digit));
}

void mpSetDigit(Digit* a, Digit d, std::size_t n) noexcept {
    mpSetZero(a, n);
    if (n > 0) a[0] = d;
}

void mpSetEqual(Digit* a, const Digit* b, std::size_t n) noexcept {
    if (n > 0 && a != b) std::memmove(a, b, n * sizeof(Digit));
}

bool mpIsZero(const Digit* a, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i]) return false;
    return true;
}

std::size_t mpSizeof(const Digit* a, std::size_t n) noexcept {
    while (n > 0 && a[n - 1] == 0) --n;
    return n;
}

std::size_t mpBitLength(const Digit* a, std::size_t n) noexcept {
    n = mpSizeof(a, n);
    if (n == 0) return 0;
    return 32 * n - static_cast<std::size_t>(__builtin_clz(a[n - 1]));
}

int mpCompare(const Digit* a, const Digit* b, std::size_t n) noexcept {
    while (n-- > 0) {
        if (a[n] > b[n]) return 1;
        if (a[n] < b[n]) return -1;
    }
    return 0;
}

Digit mpAdd(Digit* w, const Digit* u, const Digit* v, std::size_t n) noexcept {
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        carry += std::uint64_t{u[i]} + v[i];
        w[i] = static_cast<Digit>(carry);
        carry >>= 32;
    }
    return static_cast<Digit>(carry);
}

Digit mpSubtract(Digit* w, const Digit* u, const Digit* v, std::size_t n) noexcept {
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t t = std::uint64_t{u[i]} - v[i] - borrow;
        w[i] = static_cast<Digit>(t);
        borrow = (t >> 32) & 1;
    }
    return static_cast<Digit>(borrow);
}

// w[0..n) += u[0..n) * d; returns the carry digit.
// w[0..n) += u[0..n) * d, two digits per step; returns the carry digit.
static inline Digit MulAddRow(Digit* __restrict w, const Digit* __restrict u, Digit d, std::size_t n) noexcept {
    std::uint64_t carry = 0;
    std::size_t i = 0;
    for (; i + 1 < n; i += 2) {
        Wide p = Wide{Pair(u + i)} * d + Pair(w + i) + carry;
        StorePair(w + i, static_cast<std::uint64_t>(p));
        carry = static_cast<std::uint64_t>(p >> 64);
    }
    for (; i < n; ++i) {
        carry += std::uint64_t{u[i]} * d + w[i];
        w[i] = static_cast<Digit>(carry);
        carry >>= 32;
    }
    return static_cast<Digit>(carry);
}

void mpMultiply(Digit* w, const Digit* u, const Digit* v, std::size_t n) noexcept {
    mpSetZero(w, 2 * n);
    for (std::size_t j = 0; j < n; ++j) {
        if (v[j] == 0) continue;
        w[j + n] = MulAddRow(w + j, u, v[j], n);
    }
}

void mpSquare(Digit* w, const Digit* x, std::size_t n) noexcept {
    mpSetZero(w, 2 * n);
    // Cross products x[i]*x[j], j > i, once each at position i + j ...
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (x[i] == 0) continue;
        w[i + n] = MulAddRow(w + 2 * i + 1, x + i + 1, x[i], n - i - 1);
    }
    // ... doubled, then the squares x[i]^2 at position 2i.
    mpShiftLeft(w, w, 1, 2 * n);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t sq = std::uint64_t{x[i]} * x[i];
        carry += std::uint64_t{w[2 * i]} + static_cast<Digit>(sq);
        w[2 * i] = static_cast<Digit>(carry);
        carry >>= 32;
        carry += std::uint64_t{w[2 * i + 1]} + (sq >> 32);
        w[2 * i + 1] = static_cast<Digit>(carry);
        carry >>= 32;
    }
}

Digit mpShortAdd(Digit* w, const Digit* u, Digit v, std::size_t n) noexcept {
    std::uint64_t carry = v;
    for (std::size_t i = 0; i < n; ++i) {
        carry += u[i];
        w[i] = static_cast<Digit>(carry);
        carry >>= 32;
    }
    return static_cast<Digit>(carry);
}

Digit mpShortSub(Digit* w, const Digit* u, Digit v, std::size_t n) noexcept {
    std::uint64_t borrow = v;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t t = std::uint64_t{u[i]} - borrow;
        w[i] = static_cast<Digit>(t);
        borrow = (t >> 32) & 1;
    }
    return static_cast<Digit>(borrow);
}

Digit mpShortMult(Digit* w, const Digit* u, Digit v, std::size_t n) noexcept {
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        carry += std::uint64_t{u[i]} * v;
        w[i] = static_cast<Digit>(carry);
        carry >>= 32;
    }
    return static_cast<Digit>(carry);
}

Digit mpShortDiv(Digit* q, const Digit* u, Digit v, std::size_t n) noexcept {
    if (v == 0) {
        mpSetZero(q, n);
        return 0;
    }
    unsigned shift = static_cast<unsigned>(__builtin_clz(v));
    Digit vn = v << shift;
    // Divide u << shift (n + 1 digits) by vn; the running remainder stays below vn.
    Digit r = shift && n > 0 ? u[n - 1] >> (32 - shift) : 0;
    for (std::size_t i = n; i-- > 0;) {
        Digit digit = u[i] << shift;
        if (shift && i > 0) digit |= u[i - 1] >> (32 - shift);
        q[i] = spDivide(&r, r, digit, vn);
    }
    return r >> shift;
}

Digit mpShiftLeft(Digit* a, const Digit* b, unsigned shift, std::size_t n) noexcept {
    if (shift == 0) {
        mpSetEqual(a, b, n);
        return 0;
    }
    Digit carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        Digit next = b[i] >> (32 - shift);
        a[i] = (b[i] << shift) | carry;
        carry = next;
    }
    return carry;
}

Digit mpShiftRight(Digit* a, const Digit* b, unsigned shift, std::size_t n) noexcept {
    if (shift == 0) {
        mpSetEqual(a, b, n);
        return 0;
    }
    Digit carry = 0;
    for (std::size_t i = n; i-- > 0;) {
        Digit next = b[i] << (32 - shift);
        a[i] = (b[i] >> shift) | carry;
        carry = next;
    }
    return carry;
}

Digit spDivide(Digit* rem, Digit u1, Digit u0, Digit v) noexcept { return spDivide(rem, u1, u0, HalfDivisor(v)); }

namespace {

// floor(x / d.hi) for x < 2^32: the reciprocal gives the quotient or one less.
inline std::uint32_t HalfQuotient(std::uint32_t x, const HalfDivisor& d) noexcept {
    std::uint32_t q = static_cast<std::uint32_t>((x * d.recip) >> 47);
    if (x - q * d.hi >= d.hi) ++q;
    return q;
}

// Knuth's correction of a trial quotient q with remainder rhat against the divisor's
// low half: while rhat < 2^16 and (q >= 2^16 or q * lo > rhat * 2^16 + next), decrement q
// and add hi to rhat. It runs at most twice; written without data-dependent branches.
inline void CorrectTrialQuotient(std::uint32_t& q, std::uint32_t& rhat, std::uint32_t next, const HalfDivisor& d) noexcept {
    for (int step = 0; step < 2; ++step) {
        const bool tooBig = rhat < 0x10000 && (q >= 0x10000 || std::uint64_t{q} * d.lo > ((std::uint64_t{rhat} << 16) | next));
        q -= tooBig;
        rhat += tooBig ? d.hi : 0;
    }
}

}  // namespace

Digit spDivide(Digit* rem, Digit u1, Digit u0, const HalfDivisor& d) noexcept {
    // Schoolbook division in base 2^16: (u1, hi half of u0) / v, then (remainder, lo
    // half of u0) / v. v has its top bit set and u1 < v, so the quotient fits in one
    // digit; each trial quotient from the divisor's high half is corrected at most twice.
    constexpr std::uint32_t b = 0x10000;
    const std::uint32_t un1 = u0 >> 16, un0 = u0 & 0xFFFF;

    std::uint32_t q1 = HalfQuotient(u1, d);
    std::uint32_t rhat = u1 - q1 * d.hi;
    CorrectTrialQuotient(q1, rhat, un1, d);
    // The partial remainder fits in 32 bits once q1 is exact.
    const std::uint32_t un21 = static_cast<std::uint32_t>(((std::uint64_t{u1} << 16) | un1) - std::uint64_t{q1} * d.v);

    std::uint32_t q0 = HalfQuotient(un21, d);
    rhat = un21 - q0 * d.hi;
    CorrectTrialQuotient(q0, rhat, un0, d);
    *rem = static_cast<Digit>(((std::uint64_t{un21} << 16) | un0) - std::uint64_t{q0} * d.v);
    return static_cast<Digit>(q1 * b + q0);
}

void mpDivide(Digit* q, Digit* r, const Digit* u, std::size_t udigits, const Digit* v, std::size_t vdigits) {
    if (q) mpSetZero(q, udigits);
    std::size_t vn = mpSizeof(v, vdigits);
    if (vn == 0) {
        if (r) mpSetZero(r, vdigits);
        return;
    }
    Reducer reducer(v, vdigits, udigits);
    MpBuf rem(vdigits);
    reducer.Reduce(rem.get(), q, u, udigits);
    if (r) mpSetEqual(r, rem.get(), vdigits);
}

void mpModulo(Digit* r, const Digit* u, std::size_t udigits, const Digit* v, std::size_t vdigits) {
    mpDivide(nullptr, r, u, udigits, v, vdigits);
}

std::size_t mpConvFromOctets(Digit* a, std::size_t ndigits, const std::uint8_t* c, std::size_t nbytes) noexcept {
    mpSetZero(a, ndigits);
    std::size_t filled = 0;
    for (std::size_t i = 0; i < nbytes; ++i) {
        std::size_t pos = i / 4;  // byte i counted from the least significant end
        if (pos >= ndigits) break;
        a[pos] |= Digit{c[nbytes - 1 - i]} << (8 * (i % 4));
        filled = pos + 1;
    }
    return filled;
}

std::size_t mpConvToOctets(const Digit* a, std::size_t ndigits, std::uint8_t* c, std::size_t nbytes) noexcept {
    for (std::size_t i = 0; i < nbytes; ++i) {
        std::size_t pos = i / 4;
        c[nbytes - 1 - i] = pos < ndigits ? static_cast<std::uint8_t>(a[pos] >> (8 * (i % 4))) : 0;
    }
    return nbytes;
}

}  // namespace kvn
