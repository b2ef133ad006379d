// Reduction modulo a fixed divisor by Knuth's Algorithm D (The Art of Computer
// Programming, vol. 2, 4.3.1), shared by division, modular multiplication and modular
// exponentiation. The divisor is normalised once, so an exponentiation pays for the
// normalisation and the workspace a single time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crypto/mp.h"

namespace kvn {

// q = (u1 * 2^32 + u0) / v and *rem the remainder, for v with its top bit set and u1 < v.
Digit spDivide(Digit* rem, Digit u1, Digit u0, Digit v) noexcept;

// A normalised one-digit divisor prepared for spDivide: its 16-bit halves, and a
// reciprocal of the high half that turns each 32-by-16-bit half-digit division into a
// multiplication with one correction step.
struct HalfDivisor {
    Digit v;
    std::uint32_t hi, lo;
    std::uint64_t recip;  // floor(2^47 / hi) < 2^32, so x * recip fits 64 bits for x < 2^32
    explicit HalfDivisor(Digit divisor) noexcept
        : v(divisor), hi(divisor >> 16), lo(divisor & 0xFFFF), recip((std::uint64_t{1} << 47) / hi) {}
};
Digit spDivide(Digit* rem, Digit u1, Digit u0, const HalfDivisor& d) noexcept;

// Products of a digit and two digits at once (the compiler's 128-bit integer).
__extension__ typedef unsigned __int128 Wide;
// Two consecutive digits as one 64-bit value (digit a[0] low).
inline std::uint64_t Pair(const Digit* a) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t x;
        std::memcpy(&x, a, sizeof x);
        return x;
    } else {
        return (std::uint64_t{a[1]} << 32) | a[0];
    }
}
inline void StorePair(Digit* a, std::uint64_t x) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(a, &x, sizeof x);
    } else {
        a[0] = static_cast<Digit>(x);
        a[1] = static_cast<Digit>(x >> 32);
    }
}

class Reducer {
public:
    // m has mdigits digits; dividends have at most maxUdigits digits. A zero m reduces
    // everything to 0.
    Reducer(const Digit* m, std::size_t mdigits, std::size_t maxUdigits);

    // r (mdigits digits) = u mod m, and q (udigits digits, optional) = u / m; udigits is
    // at most maxUdigits. r may equal u.
    void Reduce(Digit* r, Digit* q, const Digit* u, std::size_t udigits) noexcept;

    bool ModulusIsZero() const noexcept { return vn_ == 0; }

private:
    std::size_t mdigits_;
    std::size_t vn_;      // significant digits of m
    unsigned shift_;      // left shift that sets the top bit of m's top digit
    MpBuf v_;             // m << shift_, vn_ digits
    HalfDivisor top_;     // the top digit of v_
    MpBuf work_;          // (u << shift_), maxUdigits + 1 digits
};

}  // namespace kvn
