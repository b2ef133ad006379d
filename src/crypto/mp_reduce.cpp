#include "crypto/mp_reduce.h"

namespace kvn {

Reducer::Reducer(const Digit* m, std::size_t mdigits, std::size_t maxUdigits)
    : mdigits_(mdigits), vn_(mpSizeof(m, mdigits)), shift_(0), v_(vn_), work_(maxUdigits + 1) {
    if (vn_ == 0) return;
    shift_ = static_cast<unsigned>(__builtin_clz(m[vn_ - 1]));
    mpShiftLeft(v_.get(), m, shift_, vn_);
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
            Digit qd = spDivide(&rem, rem, w[j], v[0]);
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
            qhat = spDivide(&rd, ujn, ujn1, v1);
            rhat = rd;
        }
        while (rhat <= 0xFFFFFFFFu && qhat * v2 > ((rhat << 32) | ujn2)) {
            --qhat;
            rhat += v1;
        }
        // Multiply and subtract qhat * v from w[j .. j + n].
        std::int64_t t;
        std::uint64_t k = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t p = qhat * v[i];
            t = static_cast<std::int64_t>(std::uint64_t{w[i + j]} - k - (p & 0xFFFFFFFFu));
            w[i + j] = static_cast<Digit>(t);
            k = (p >> 32) - static_cast<std::uint64_t>(t >> 32);
        }
        t = static_cast<std::int64_t>(std::uint64_t{w[j + n]} - k);
        w[j + n] = static_cast<Digit>(t);
        if (t < 0) {  // qhat was one too big: add v back
            --qhat;
            std::uint64_t carry = 0;
            for (std::size_t i = 0; i < n; ++i) {
                carry += std::uint64_t{w[i + j]} + v[i];
                w[i + j] = static_cast<Digit>(carry);
                carry >>= 32;
            }
            w[j + n] = static_cast<Digit>(w[j + n] + carry);
        }
        if (q) q[j] = static_cast<Digit>(qhat);
    }
    mpSetZero(r, mdigits_);
    mpShiftRight(r, w, shift_, n);
    mpSetZero(w, ud + 1);
}

}  // namespace kvn
