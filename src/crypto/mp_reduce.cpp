#include "crypto/mp_reduce.h"

namespace kvn {
namespace {

// w[0..n] -= q * v[0..n); returns true when the result went below zero. The borrow of
// each step is folded into the carry of the next product, so one chain runs through.
bool MulSubRow(Digit* __restrict w, const Digit* __restrict v, std::uint64_t q, std::size_t n) noexcept {
    std::uint64_t carry = 0;
    std::size_t i = 0;
    for (; i + 1 < n; i += 2) {  // two digits per step
        const Wide p = Wide{q} * Pair(v + i);
        std::uint64_t lo = static_cast<std::uint64_t>(p), hi = static_cast<std::uint64_t>(p >> 64), diff;
        hi += __builtin_add_overflow(lo, carry, &lo);
        const bool borrow = __builtin_sub_overflow(Pair(w + i), lo, &diff);
        StorePair(w + i, diff);
        carry = hi + borrow;
    }
    for (; i < n; ++i) {
        const std::uint64_t p = q * v[i] + carry;
        const Digit lo = static_cast<Digit>(p), cur = w[i];
        w[i] = cur - lo;
        carry = (p >> 32) + (cur < lo);
    }
    const Digit top = w[n];
    w[n] = static_cast<Digit>(top - carry);
    return top < carry;
}

}  // namespace

Reducer::Reducer(const Digit* m, std::size_t mdigits, std::size_t maxUdigits)
    : mdigits_(mdigits),
      vn_(mpSizeof(m, mdigits)),
      shift_(vn_ ? static_cast<unsigned>(__builtin_clz(m[vn_ - 1])) : 0),
      v_(vn_),
      top_(vn_ ? m[vn_ - 1] << shift_ | (shift_ && vn_ > 1 ? m[vn_ - 2] >> (32 - shift_) : 0) : 0x80000000u),
      work_(maxUdigits + 1) {
    if (vn_ > 0) mpShiftLeft(v_.get(), m, shift_, vn_);
}

void Reducer::Reduce(Digit* r, Digit* q, const Digit* u, std::size_t udigits) noexcept {
    if (q) mpSetZero(q, udigits);
    const std::size_t ud = mpSizeof(u, udigits);
    if (vn_ == 0) {
        mpSetZero(r, mdigits_);
        return;
    }
    if (ud < vn_) {  // u < m already
        Digit* w = work_.get();
        mpSetEqual(w, u, ud);
        mpSetZero(r, mdigits_);
        mpSetEqual(r, w, ud);
        return;
    }
    const Digit* v = v_.get();
    const std::size_t n = vn_;
    Digit* w = work_.get();
    w[ud] = mpShiftLeft(w, u, shift_, ud);

    if (n == 1) {
        Digit rem = w[ud];
        for (std::size_t j = ud; j-- > 0;) {
            Digit qd = spDivide(&rem, rem, w[j], top_);
            if (q) q[j] = qd;
        }
        mpSetZero(r, mdigits_);
        r[0] = rem >> shift_;
        mpSetZero(w, ud + 1);
        return;
    }

    const Digit v1 = v[n - 1], v2 = v[n - 2];
    for (std::size_t j = ud - n + 1; j-- > 0;) {
        // Trial quotient from the top two remainder digits and v1, corrected with v2.
        const Digit ujn = w[j + n], ujn1 = w[j + n - 1], ujn2 = w[j + n - 2];
        std::uint64_t qhat, rhat;
        if (ujn >= v1) {
            qhat = 0xFFFFFFFFu;
            rhat = std::uint64_t{ujn1} + v1;
        } else {
            Digit rd;
            qhat = spDivide(&rd, ujn, ujn1, top_);
            rhat = rd;
        }
        for (int step = 0; step < 2; ++step) {  // at most two decrements
            const bool tooBig = rhat <= 0xFFFFFFFFu && qhat * v2 > ((rhat << 32) | ujn2);
            qhat -= tooBig;
            rhat += tooBig ? v1 : 0;
        }
        // Multiply and subtract qhat * v from w[j .. j + n].
        Digit* wj = w + j;
        const bool negative = MulSubRow(wj, v, qhat, n);
        if (negative) {  // qhat was one too big: add v back
            --qhat;
            std::uint64_t sum = 0;
            for (std::size_t k = 0; k < n; ++k) {
                sum += std::uint64_t{wj[k]} + v[k];
                wj[k] = static_cast<Digit>(sum);
                sum >>= 32;
            }
            wj[n] = static_cast<Digit>(wj[n] + sum);
        }
        if (q) q[j] = static_cast<Digit>(qhat);
    }
    mpSetZero(r, mdigits_);
    mpShiftRight(r, w, shift_, n);
    mpSetZero(w, ud + 1);
}

}  // namespace kvn
