// Reduction modulo a fixed divisor by Knuth's Algorithm D (The Art of Computer
// Programming, vol. 2, 4.3.1), shared by division, modular multiplication and modular
// exponentiation. The divisor is normalised once, so an exponentiation pays for the
// normalisation and the workspace a single time.
#pragma once

#include <cstddef>

#include "crypto/mp.h"

namespace kvn {

// q = (u1 * 2^32 + u0) / v and *rem the remainder, for v with its top bit set and u1 < v.
Digit spDivide(Digit* rem, Digit u1, Digit u0, Digit v) noexcept;

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
    MpBuf work_;          // (u << shift_), maxUdigits + 1 digits
};

}  // namespace kvn
