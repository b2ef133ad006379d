// Montgomery arithmetic on 64-bit limbs (see mont.h). The portable Montgomery products
// are computed by finely integrated operand scanning (Koc, Acar and Kaliski, "Analyzing
// and comparing Montgomery multiplication algorithms", 1996): one pass over the limbs per
// limb of b, multiplying by b[i] and reducing by one limb at once. Where the processor
// has MULX, ADCX and ADOX (crypto/cpu.h) the product is formed whole and then reduced,
// row by row, each row a run of MULX with two carry chains.
#include "crypto/mont.h"

#include "crypto/cpu.h"
#include "crypto/mont52.h"

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

namespace kvn {
namespace {

__extension__ typedef unsigned __int128 Wide;

// Largest modulus the contexts take: 16384 bits. Scratch of this size lives on the stack.
constexpr std::size_t kMaxLimbs = MontModulus::kMaxLimbs;
constexpr unsigned kWindowBits = 5;
constexpr std::size_t kWindowEntries = std::size_t{1} << kWindowBits;

// Zeroes n limbs of scratch; the barrier keeps the compiler from dropping the stores.
inline void WipeLimbs(Limb* p, std::size_t n) noexcept {
    std::memset(p, 0, n * sizeof(Limb));
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

// Zeroes the kernels' scratch: for a size known at compile time, by 16-byte stores. (A
// memset of a few hundred bytes becomes REP STOSQ, whose start-up costs about as much
// as a row of a product, and the kernels clear and wipe their scratch on every call.)
template <std::size_t kN>
inline void ClearLimbs(Limb* p, std::size_t nAny) noexcept {
    if constexpr (kN > 0) {
        typedef Limb Pair __attribute__((vector_size(16)));
        const Pair zero = {0, 0};
#pragma GCC unroll 128
        for (std::size_t i = 0; i + 1 < kN; i += 2) std::memcpy(p + i, &zero, sizeof zero);
        if constexpr (kN % 2 != 0) p[kN - 1] = 0;
    } else {
        std::memset(p, 0, nAny * sizeof(Limb));
    }
}

template <std::size_t kN>
inline void WipeLimbs(Limb* p, std::size_t nAny) noexcept {
    ClearLimbs<kN>(p, nAny);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

// All-ones when x is zero, without a branch.
inline Limb ZeroMask(Limb x) noexcept { return (Limb{0} - ((~x & (x - 1)) >> 63)); }

// -m0^-1 mod 2^64 for odd m0, by Newton's iteration (each step doubles the correct bits).
Limb NegInverse(Limb m0) noexcept {
    Limb x = m0;  // correct to 3 bits for odd m0
    for (int i = 0; i < 5; ++i) x *= 2 - m0 * x;
    return Limb{0} - x;
}

// r = t - m when t (n limbs plus the top carry) is at least m, else t; t < 2m. kN as in
// the kernels below (0: any size).
template <std::size_t kN = 0>
void FinalSubtract(Limb* r, const Limb* t, Limb top, const Limb* m, std::size_t nAny) noexcept {
    const std::size_t n = kN ? kN : nAny;
    Limb d[kN ? kN : kMaxLimbs];
    Limb borrow = 0;
#if defined(__x86_64__)
    if constexpr (kN > 0) {
        // One SBB chain (a compiler makes two subtractions and a mask of each limb).
        Limb x;
        __asm__ __volatile__(
            "xorl %k[b], %k[b]\n\t"
            ".set kvn_mont_off, 0\n\t"
            ".rept %c[n]\n\t"
            "movq kvn_mont_off(%[t]), %[x]\n\t"
            "sbbq kvn_mont_off(%[m]), %[x]\n\t"
            "movq %[x], kvn_mont_off(%[d])\n\t"
            ".set kvn_mont_off, kvn_mont_off + 8\n\t"
            ".endr\n\t"
            "sbbq %[b], %[b]\n\t"
            : [b] "=&r"(borrow), [x] "=&r"(x)
            : [t] "r"(t), [m] "r"(m), [d] "r"(d), [n] "i"(kN)
            : "cc", "memory");
        borrow &= 1;
    } else
#endif
    {
        for (std::size_t i = 0; i < n; ++i) {
            const Wide diff = Wide{t[i]} - m[i] - borrow;
            d[i] = static_cast<Limb>(diff);
            borrow = static_cast<Limb>(diff >> 64) & 1;
        }
    }
    // t >= m exactly when the top carry covers the borrow.
    const Limb keep = (top - borrow) >> 63;  // 1 when top = 0 and borrow = 1
    const Limb mask = keep - 1;
    for (std::size_t i = 0; i < n; ++i) r[i] = (d[i] & mask) | (t[i] & ~mask);
    WipeLimbs<kN>(d, n);
}

// x = 2x mod m for x below m.
void DoubleMod(Limb* x, const Limb* m, std::size_t n) noexcept {
    Limb carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Limb next = x[i] >> 63;
        x[i] = (x[i] << 1) | carry;
        carry = next;
    }
    FinalSubtract(x, x, carry, m, n);
}

// r = 2^(128 n) mod m for m of n limbs whose top limb is not zero: Knuth's Algorithm D
// (The Art of Computer Programming, vol. 2, 4.3.1) on 64-bit digits, the dividend being
// a one followed by 2n zero limbs. Branches on m: for public moduli only.
void RSquaredByDivision(Limb* r, const Limb* m, std::size_t n) noexcept {
    const unsigned shift = static_cast<unsigned>(__builtin_clzll(m[n - 1]));
    Limb v[kMaxLimbs], u[2 * kMaxLimbs + 2];
    for (std::size_t i = n; i-- > 0;) v[i] = (m[i] << shift) | (shift && i ? m[i - 1] >> (64 - shift) : 0);
    // u = 2^(128 n) << shift, 2n + 2 limbs.
    std::memset(u, 0, (2 * n + 2) * sizeof(Limb));
    if (shift) u[2 * n] = Limb{1} << shift;
    else u[2 * n] = 1;
    const Limb vTop = v[n - 1], vNext = n > 1 ? v[n - 2] : 0;
    for (std::size_t j = n + 1; j-- > 0;) {
        // Estimate the quotient digit from the top two limbs of the current remainder.
        const Wide top = (Wide{u[j + n]} << 64) | u[j + n - 1];
        Wide qhat = top / vTop, rhat = top % vTop;
        while (qhat >> 64 || (n > 1 && qhat * vNext > ((rhat << 64) | u[j + n - 2]))) {
            --qhat;
            rhat += vTop;
            if (rhat >> 64) break;
        }
        // u[j .. j + n] -= qhat v, adding v back once when that went below zero.
        Limb borrow = 0, carry = 0;
        const Limb q = static_cast<Limb>(qhat);
        for (std::size_t i = 0; i < n; ++i) {
            const Wide p = Wide{q} * v[i] + carry;
            carry = static_cast<Limb>(p >> 64);
            const Wide d = Wide{u[i + j]} - static_cast<Limb>(p) - borrow;
            u[i + j] = static_cast<Limb>(d);
            borrow = static_cast<Limb>(d >> 64) & 1;
        }
        const Wide d = Wide{u[j + n]} - carry - borrow;
        u[j + n] = static_cast<Limb>(d);
        if ((d >> 64) & 1) {
            Limb c = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const Wide s = Wide{u[i + j]} + v[i] + c;
                u[i + j] = static_cast<Limb>(s);
                c = static_cast<Limb>(s >> 64);
            }
            u[j + n] += c;
        }
    }
    // The remainder is u[0 .. n), shifted back.
    for (std::size_t i = 0; i < n; ++i) r[i] = (u[i] >> shift) | (shift && i + 1 < n ? u[i + 1] << (64 - shift) : 0);
    if (shift) r[n - 1] |= u[n] << (64 - shift);
}

}  // namespace

void mont_FromBytes(Limb* a, std::size_t n, const std::uint8_t* bytes, std::size_t nbytes) noexcept {
    std::memset(a, 0, n * sizeof(Limb));
    for (std::size_t i = 0; i < nbytes && i / 8 < n; ++i) {
        a[i / 8] |= Limb{bytes[nbytes - 1 - i]} << (8 * (i % 8));
    }
}

void mont_ToBytes(std::uint8_t* bytes, std::size_t nbytes, const Limb* a, std::size_t n) noexcept {
    for (std::size_t i = 0; i < nbytes; ++i) {
        bytes[nbytes - 1 - i] = i / 8 < n ? static_cast<std::uint8_t>(a[i / 8] >> (8 * (i % 8))) : 0;
    }
}

Limb mont_IsZero(const Limb* a, std::size_t n) noexcept {
    Limb acc = 0;
    for (std::size_t i = 0; i < n; ++i) acc |= a[i];
    return ZeroMask(acc);
}

Limb mont_Equal(const Limb* a, const Limb* b, std::size_t n) noexcept {
    Limb acc = 0;
    for (std::size_t i = 0; i < n; ++i) acc |= a[i] ^ b[i];
    return ZeroMask(acc);
}

Limb mont_Less(const Limb* a, const Limb* b, std::size_t n) noexcept {
    Limb borrow = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Wide d = Wide{a[i]} - b[i] - borrow;
        borrow = static_cast<Limb>(d >> 64) & 1;
    }
    return Limb{0} - borrow;
}

void mont_Select(Limb* r, Limb mask, const Limb* a, const Limb* b, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) r[i] = (a[i] & mask) | (b[i] & ~mask);
}

Limb mont_Add(Limb* r, const Limb* a, const Limb* b, std::size_t n) noexcept {
    Limb carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Wide s = Wide{a[i]} + b[i] + carry;
        r[i] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
    }
    return carry;
}

Limb mont_Sub(Limb* r, const Limb* a, const Limb* b, std::size_t n) noexcept {
    Limb borrow = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Wide d = Wide{a[i]} - b[i] - borrow;
        r[i] = static_cast<Limb>(d);
        borrow = static_cast<Limb>(d >> 64) & 1;
    }
    return borrow;
}

void mont_MulPlain(Limb* r, const Limb* a, std::size_t na, const Limb* b, std::size_t nb) noexcept {
    std::memset(r, 0, (na + nb) * sizeof(Limb));
    for (std::size_t i = 0; i < nb; ++i) {
        Limb carry = 0;
        for (std::size_t j = 0; j < na; ++j) {
            const Wide p = Wide{a[j]} * b[i] + r[i + j] + carry;
            r[i + j] = static_cast<Limb>(p);
            carry = static_cast<Limb>(p >> 64);
        }
        r[i + na] = carry;
    }
}

void MontModulus::Allocate(const Limb* m, std::size_t n) {
    if (n == 0 || n > kMaxLimbs) throw std::bad_alloc();
    m0inv_ = NegInverse(m[0]);
    adx_ = cpu_UseMulxAdx();
    m_.assign(m, m + n);
    one_.resize(n);
    rr_.resize(n);
    rrr_.resize(n);
}

namespace {

std::atomic<int> radix52Mode{-1};

}  // namespace

void mont_UseRadix52ForTesting(int mode) noexcept { radix52Mode.store(mode, std::memory_order_relaxed); }

// one = R^2 / R and R^3 = R^2 R^2 / R, once rr_ holds R^2 mod m.
void MontModulus::FinishFromRr(bool forSecrets) {
    FromMont(one_.data(), rr_.data());
    if (!forSecrets) return;
    Mul(rrr_.data(), rr_.data(), rr_.data());
    SetUpRadix52();
}

// The radix-2^52 constants, by doubling R mod m (constant-time in m): R52 mod m after
// 52 L - 64 n doublings, R52^2 / R after as many again.
void MontModulus::SetUpRadix52() {
    const int mode = radix52Mode.load(std::memory_order_relaxed);
    mont52_Lanes lanes;
    if (mode == 1) {
        lanes = mont52_Lanes::kEmulated;
    } else if (mode == -1 && cpu_UseMulxAdx() && mont52_IfmaAvailable()) {
        lanes = mont52_Lanes::kIfma;
    } else {
        return;
    }
    const std::size_t n = n_, limbs = mont52_LimbsFor(n);
    const std::size_t doublings = 52 * limbs - 64 * n;
    limbs52_ = limbs;
    k052_ = m0inv_ & ((Limb{1} << 52) - 1);
    m52_.assign(limbs, 0);
    one52_.assign(limbs, 0);
    into52_.assign(limbs, 0);
    outOf52_.assign(limbs, 0);
    mont52_From64(m52_.data(), limbs, m_.data(), n);
    mont52_From64(outOf52_.data(), limbs, one_.data(), n);
    SecureLimbs x(one_);
    for (std::size_t i = 0; i < doublings; ++i) DoubleMod(x.data(), m_.data(), n);
    mont52_From64(one52_.data(), limbs, x.data(), n);
    for (std::size_t i = 0; i < doublings; ++i) DoubleMod(x.data(), m_.data(), n);
    mont52_From64(into52_.data(), limbs, x.data(), n);
    radix52_ = 1 + static_cast<int>(lanes);
}

// a (R mod m form) into the radix-2^52 domain, the exponentiation there, and back.
void MontModulus::ExpSecretRadix52(Limb* r, const Limb* a, const Limb* e, std::size_t elimbs) const {
    const mont52_Lanes lanes = static_cast<mont52_Lanes>(radix52_ - 1);
    const std::size_t n = n_, limbs = limbs52_;
    SecureLimbs store(limbs + mont52_WorkLimbs(limbs) + n + 1);
    Limb* x = store.data();
    Limb* work = x + limbs;
    Limb* t = work + mont52_WorkLimbs(limbs);
    mont52_From64(x, limbs, a, n);
    mont52_Mul(lanes, x, x, into52_.data(), m52_.data(), k052_, limbs);  // a R52
    mont52_Exp(lanes, x, x, m52_.data(), k052_, one52_.data(), limbs, e, elimbs, work);
    mont52_Mul(lanes, x, x, outOf52_.data(), m52_.data(), k052_, limbs);  // a^e R, below 2m
    mont52_To64(t, n + 1, x, limbs);
    FinalSubtract(r, t, t[n], m_.data(), n);
}

MontModulus::MontModulus(const Limb* m, std::size_t n, std::size_t significant)
    : n_(n), m0inv_(0), adx_(false) {
    Allocate(m, n);
    if (significant == 0 || significant > n) significant = n;
    // R mod m by doubling 2^(64 (s - 1)), which is below m (s significant limbs, m odd),
    // 64 (n - s + 1) times, each doubling reduced at once; then 2^n R by n more
    // doublings, and R^2 = Mont(2^(64 n)) by six Montgomery squarings, since
    // (2^n)^64 = 2^(64 n). Every step is constant-time in m.
    SecureLimbs x(n);
    x[significant - 1] = 1;
    for (std::size_t i = 0; i < 64 * (n - significant + 1); ++i) DoubleMod(x.data(), m_.data(), n);
    for (std::size_t i = 0; i < n; ++i) DoubleMod(x.data(), m_.data(), n);
    for (int i = 0; i < 6; ++i) Mul(x.data(), x.data(), x.data());
    rr_ = x;
    FinishFromRr();
}

MontModulus::MontModulus(const Limb* m, std::size_t n, Public) : n_(n), m0inv_(0), adx_(false) {
    Allocate(m, n);
    RSquaredByDivision(rr_.data(), m_.data(), n);
    FinishFromRr();
}

MontModulus::MontModulus(const Limb* m, std::size_t n, PublicExponent) : n_(n), m0inv_(0), adx_(false) {
    Allocate(m, n);
    RSquaredByDivision(rr_.data(), m_.data(), n);
    FinishFromRr(false);
}

namespace {

// The kernels, written once for a size known at compile time (kN > 0: the compiler
// unrolls and schedules the inner loops for the common key sizes) and once for any size
// (kN = 0, the size taken from n).

// r = a b / R mod m (FIOS).
template <std::size_t kN>
void MulKernel(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb m0inv, std::size_t nAny) noexcept {
    const std::size_t n = kN ? kN : nAny;
    Limb t[(kN ? kN : kMaxLimbs) + 1];
    ClearLimbs<kN ? kN + 1 : 0>(t, n + 1);
    for (std::size_t i = 0; i < n; ++i) {
        const Limb bi = b[i];
        Wide p = Wide{a[0]} * bi + t[0];
        const Limb lo = static_cast<Limb>(p);
        Limb c1 = static_cast<Limb>(p >> 64);
        const Limb q = lo * m0inv;
        Wide s = Wide{q} * m[0] + lo;
        Limb c2 = static_cast<Limb>(s >> 64);
#pragma GCC unroll 16
        for (std::size_t j = 1; j < n; ++j) {
            p = Wide{a[j]} * bi + t[j] + c1;
            c1 = static_cast<Limb>(p >> 64);
            s = Wide{q} * m[j] + static_cast<Limb>(p) + c2;
            c2 = static_cast<Limb>(s >> 64);
            t[j - 1] = static_cast<Limb>(s);
        }
        const Wide top = Wide{t[n]} + c1 + c2;
        t[n - 1] = static_cast<Limb>(top);
        t[n] = static_cast<Limb>(top >> 64);
    }
    FinalSubtract<kN>(r, t, t[n], m, n);
    WipeLimbs<kN ? kN + 1 : 0>(t, n + 1);
}

// r = t / R mod m for t (2n limbs, overwritten) below m R.
template <std::size_t kN>
void ReduceKernel(Limb* r, Limb* t, const Limb* m, Limb m0inv, std::size_t nAny) noexcept {
    const std::size_t n = kN ? kN : nAny;
    // Row i adds q m 2^(64 i); its carry out of limb i + n waits in `extra` for row i + 1,
    // whose top limb is the next one.
    Limb extra = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Limb q = t[i] * m0inv;
        Limb carry = 0;
#pragma GCC unroll 16
        for (std::size_t j = 0; j < n; ++j) {
            const Wide p = Wide{q} * m[j] + t[i + j] + carry;
            t[i + j] = static_cast<Limb>(p);
            carry = static_cast<Limb>(p >> 64);
        }
        const Wide s = Wide{t[i + n]} + carry + extra;
        t[i + n] = static_cast<Limb>(s);
        extra = static_cast<Limb>(s >> 64);
    }
    FinalSubtract<kN>(r, t + n, extra, m, n);
}

// t (2n limbs, the cross products a[i] a[j] for i < j) = 2 t + the squares a[i]^2: a^2.
void DoubleAndAddSquares(Limb* t, const Limb* a, std::size_t n) noexcept {
    Limb top = 0;
    for (std::size_t i = 0; i < 2 * n; ++i) {
        const Limb next = t[i] >> 63;
        t[i] = (t[i] << 1) | top;
        top = next;
    }
    Limb carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Wide sq = Wide{a[i]} * a[i];
        Wide s = Wide{t[2 * i]} + static_cast<Limb>(sq) + carry;
        t[2 * i] = static_cast<Limb>(s);
        s = Wide{t[2 * i + 1]} + static_cast<Limb>(sq >> 64) + static_cast<Limb>(s >> 64);
        t[2 * i + 1] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
    }
}

// r = a a / R mod m: the cross products once, doubled, plus the squares, then reduced.
template <std::size_t kN>
void SqrKernel(Limb* r, const Limb* a, const Limb* m, Limb m0inv, std::size_t nAny) noexcept {
    const std::size_t n = kN ? kN : nAny;
    Limb t[2 * (kN ? kN : kMaxLimbs)];
    ClearLimbs<2 * kN>(t, 2 * n);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        Limb carry = 0;
        const Limb ai = a[i];
#pragma GCC unroll 16
        for (std::size_t j = i + 1; j < n; ++j) {
            const Wide p = Wide{ai} * a[j] + t[i + j] + carry;
            t[i + j] = static_cast<Limb>(p);
            carry = static_cast<Limb>(p >> 64);
        }
        t[i + n] = carry;
    }
    DoubleAndAddSquares(t, a, n);
    ReduceKernel<kN>(r, t, m, m0inv, n);
    WipeLimbs<2 * kN>(t, 2 * n);
}

#if defined(__x86_64__)
// The same kernels with MULX, ADCX and ADOX: a row adds a limb times a number to t with
// two independent carry chains, CF for the high halves of the products and OF for the
// limbs of t, so a limb costs about one multiplication instead of a chain of adds.
// Nothing in a row branches on or indexes by the values.
#define KVN_MONT_ADX 1

// t[0, kN) += a[0, kN) * b, fully unrolled; returns the carry limb (the sum is below
// 2^(64 (kN + 1)), so one limb holds it).
// Limbs go in pairs whose high halves alternate between two registers, so that no move
// passes a high half on to the next limb; an odd length ends with one limb that moves it.
template <std::size_t kN>
inline Limb AddMulRowAdxFixed(Limb* t, const Limb* a, Limb b) noexcept {
    Limb carry, lo, hi;
    __asm__ __volatile__(
        "xorl %k[c], %k[c]\n\t"
        ".set kvn_mont_off, 0\n\t"
        ".rept %c[pairs]\n\t"
        "mulxq kvn_mont_off(%[a]), %[lo], %[hi]\n\t"
        "adcxq %[c], %[lo]\n\t"
        "adoxq kvn_mont_off(%[t]), %[lo]\n\t"
        "movq %[lo], kvn_mont_off(%[t])\n\t"
        "mulxq kvn_mont_off+8(%[a]), %[lo], %[c]\n\t"
        "adcxq %[hi], %[lo]\n\t"
        "adoxq kvn_mont_off+8(%[t]), %[lo]\n\t"
        "movq %[lo], kvn_mont_off+8(%[t])\n\t"
        ".set kvn_mont_off, kvn_mont_off + 16\n\t"
        ".endr\n\t"
        ".rept %c[odd]\n\t"
        "mulxq kvn_mont_off(%[a]), %[lo], %[hi]\n\t"
        "adcxq %[c], %[lo]\n\t"
        "adoxq kvn_mont_off(%[t]), %[lo]\n\t"
        "movq %[lo], kvn_mont_off(%[t])\n\t"
        "movq %[hi], %[c]\n\t"
        ".endr\n\t"
        "movl $0, %k[lo]\n\t"
        "adcxq %[lo], %[c]\n\t"
        "adoxq %[lo], %[c]\n\t"
        : [c] "=&r"(carry), [lo] "=&r"(lo), [hi] "=&r"(hi)
        : [a] "r"(a), [t] "r"(t), "d"(b), [pairs] "i"(kN / 2), [odd] "i"(kN % 2)
        : "cc", "memory");
    return carry;
}

// The same for any len >= 1, as a loop whose control leaves the flags alone (LEA and
// JRCXZ).
inline Limb AddMulRowAdxAny(Limb* t, const Limb* a, Limb b, std::size_t len) noexcept {
    Limb carry, lo, hi;
    __asm__ __volatile__(
        "xorl %k[c], %k[c]\n"
        "1:\n\t"
        "mulxq (%[a]), %[lo], %[hi]\n\t"
        "adcxq %[c], %[lo]\n\t"
        "adoxq (%[t]), %[lo]\n\t"
        "movq %[lo], (%[t])\n\t"
        "movq %[hi], %[c]\n\t"
        "leaq 8(%[a]), %[a]\n\t"
        "leaq 8(%[t]), %[t]\n\t"
        "leaq -1(%[len]), %[len]\n\t"
        "jrcxz 2f\n\t"
        "jmp 1b\n"
        "2:\n\t"
        "movl $0, %k[lo]\n\t"
        "adcxq %[lo], %[c]\n\t"
        "adoxq %[lo], %[c]\n\t"
        : [c] "=&r"(carry), [lo] "=&r"(lo), [hi] "=&r"(hi), [a] "+r"(a), [t] "+r"(t), [len] "+c"(len)
        : "d"(b)
        : "cc", "memory");
    return carry;
}

template <std::size_t kN>
inline Limb AddMulRowAdx(Limb* t, const Limb* a, Limb b, std::size_t len) noexcept {
    if constexpr (kN > 0) {
        return AddMulRowAdxFixed<kN>(t, a, b);
    } else {
        return AddMulRowAdxAny(t, a, b, len);
    }
}

// r = t / R mod m for t (2n limbs, overwritten) below m R, by rows of q m.
template <std::size_t kN>
void ReduceKernelAdx(Limb* r, Limb* t, const Limb* m, Limb m0inv, std::size_t nAny) noexcept {
    const std::size_t n = kN ? kN : nAny;
    Limb extra = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Limb carry = AddMulRowAdx<kN>(t + i, m, t[i] * m0inv, n);
        const Wide s = Wide{t[i + n]} + carry + extra;
        t[i + n] = static_cast<Limb>(s);
        extra = static_cast<Limb>(s >> 64);
    }
    FinalSubtract<kN>(r, t + n, extra, m, n);
}

// r = a b / R mod m: the whole product, then its reduction.
template <std::size_t kN>
void MulKernelAdx(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb m0inv, std::size_t nAny) noexcept {
    const std::size_t n = kN ? kN : nAny;
    Limb t[2 * (kN ? kN : kMaxLimbs)];
    ClearLimbs<kN>(t, n);
    for (std::size_t i = 0; i < n; ++i) t[i + n] = AddMulRowAdx<kN>(t + i, a, b[i], n);
    ReduceKernelAdx<kN>(r, t, m, m0inv, n);
    WipeLimbs<2 * kN>(t, 2 * n);
}

// t (2 kN limbs, the cross products) = 2 t + the squares a[i]^2, in one pass: CF carries
// the doubling, OF the squares.
template <std::size_t kN>
inline void DoubleAndAddSquaresAdx(Limb* t, const Limb* a) noexcept {
    Limb lo, hi, x, y, d;
    // Volatile: its only result is the memory it writes.
    __asm__ __volatile__(
        "xorl %k[x], %k[x]\n\t"
        ".set kvn_mont_off, 0\n\t"
        ".set kvn_mont_toff, 0\n\t"
        ".rept %c[n]\n\t"
        "movq kvn_mont_off(%[a]), %%rdx\n\t"
        "mulxq %%rdx, %[lo], %[hi]\n\t"
        "movq kvn_mont_toff(%[t]), %[x]\n\t"
        "movq kvn_mont_toff+8(%[t]), %[y]\n\t"
        "adcxq %[x], %[x]\n\t"
        "adcxq %[y], %[y]\n\t"
        "adoxq %[lo], %[x]\n\t"
        "adoxq %[hi], %[y]\n\t"
        "movq %[x], kvn_mont_toff(%[t])\n\t"
        "movq %[y], kvn_mont_toff+8(%[t])\n\t"
        ".set kvn_mont_off, kvn_mont_off + 8\n\t"
        ".set kvn_mont_toff, kvn_mont_toff + 16\n\t"
        ".endr\n\t"
        : [lo] "=&r"(lo), [hi] "=&r"(hi), [x] "=&r"(x), [y] "=&r"(y), "=&d"(d)
        : [a] "r"(a), [t] "r"(t), [n] "i"(kN)
        : "cc", "memory");
}

// t[i + j] += a[i] a[j] for i < j, row i unrolled at its own length kN - 1 - i.
template <std::size_t kN, std::size_t... kI>
inline void CrossProductsAdx(Limb* t, const Limb* a, std::index_sequence<kI...>) noexcept {
    ((t[kI + kN] = AddMulRowAdxFixed<kN - 1 - kI>(t + 2 * kI + 1, a + kI + 1, a[kI])), ...);
}

// r = a a / R mod m: the cross products once, doubled, plus the squares, then reduced.
template <std::size_t kN>
void SqrKernelAdx(Limb* r, const Limb* a, const Limb* m, Limb m0inv, std::size_t nAny) noexcept {
    const std::size_t n = kN ? kN : nAny;
    Limb t[2 * (kN ? kN : kMaxLimbs)];
    // Rows add into t[1, n); their carries fill t[n, 2n - 1).
    ClearLimbs<kN>(t, n);
    t[2 * n - 1] = 0;
    if constexpr (kN > 0 && kN <= 32) {
        CrossProductsAdx<kN>(t, a, std::make_index_sequence<kN - 1>{});
        DoubleAndAddSquaresAdx<kN>(t, a);
    } else {
        for (std::size_t i = 0; i + 1 < n; ++i) t[i + n] = AddMulRowAdxAny(t + 2 * i + 1, a + i + 1, a[i], n - 1 - i);
        DoubleAndAddSquares(t, a, n);
    }
    ReduceKernelAdx<kN>(r, t, m, m0inv, n);
    WipeLimbs<2 * kN>(t, 2 * n);
}
#endif

// Calls kernel<kN> for the sizes of 1024-, 2048-, 3072- and 4096-bit moduli and their
// halves, else kernel<0>.
#define KVN_MONT_DISPATCH(kernel, n, ...)                        \
    switch (n) {                                                 \
        case 8: kernel<8>(__VA_ARGS__, n); break;                \
        case 16: kernel<16>(__VA_ARGS__, n); break;              \
        case 24: kernel<24>(__VA_ARGS__, n); break;              \
        case 32: kernel<32>(__VA_ARGS__, n); break;              \
        case 48: kernel<48>(__VA_ARGS__, n); break;              \
        case 64: kernel<64>(__VA_ARGS__, n); break;              \
        default: kernel<0>(__VA_ARGS__, n); break;               \
    }

// entry = table[w] (n limbs per entry) by a masked scan: every entry is read and the
// wanted one kept, so the addresses say nothing of w. For a known size the entry is
// gathered in vector registers.
template <std::size_t kN>
void ScanKernel(Limb* entry, const Limb* table, Limb w, std::size_t nAny) noexcept {
    if constexpr (kN > 0 && kN % 2 == 0 && kN <= 32) {
        typedef Limb Pair __attribute__((vector_size(16)));
        Pair acc[kN / 2] = {};
        for (std::size_t i = 0; i < kWindowEntries; ++i) {
            const Limb m = ZeroMask(static_cast<Limb>(i) ^ w);
            const Pair mask = {m, m};
            const Limb* row = table + i * kN;
#pragma GCC unroll 16
            for (std::size_t j = 0; j < kN / 2; ++j) {
                Pair v;
                std::memcpy(&v, row + 2 * j, sizeof v);
                acc[j] |= v & mask;
            }
        }
        std::memcpy(entry, acc, sizeof acc);
        std::memset(acc, 0, sizeof acc);
        __asm__ __volatile__("" : : "r"(acc) : "memory");
    } else {
        const std::size_t n = kN ? kN : nAny;
        std::memset(entry, 0, n * sizeof(Limb));
        for (std::size_t i = 0; i < kWindowEntries; ++i) {
            const Limb mask = ZeroMask(static_cast<Limb>(i) ^ w);
            const Limb* row = table + i * n;
            for (std::size_t j = 0; j < n; ++j) entry[j] |= row[j] & mask;
        }
    }
}

#if defined(__x86_64__)
// The scan with AVX2: four limbs a load, each group of four gathered over all entries
// in one register.
template <std::size_t kN>
__attribute__((target("avx2"))) void ScanKernelAvx2(Limb* entry, const Limb* table, Limb w) noexcept {
    typedef Limb Quad __attribute__((vector_size(32)));
    Limb masks[kWindowEntries];
    for (std::size_t i = 0; i < kWindowEntries; ++i) masks[i] = ZeroMask(static_cast<Limb>(i) ^ w);
    for (std::size_t j = 0; j < kN; j += 4) {
        Quad acc = {0, 0, 0, 0};
#pragma GCC unroll 32
        for (std::size_t i = 0; i < kWindowEntries; ++i) {
            Quad v;
            std::memcpy(&v, table + i * kN + j, sizeof v);
            const Quad mask = {masks[i], masks[i], masks[i], masks[i]};
            acc |= v & mask;
        }
        std::memcpy(entry + j, &acc, sizeof acc);
    }
    WipeLimbs(masks, kWindowEntries);
}
#endif

// entry = table[w], with AVX2 where it helps.
void Scan(Limb* entry, const Limb* table, Limb w, std::size_t n, bool avx2) noexcept {
#if defined(__x86_64__)
    if (avx2) {
        switch (n) {
            case 16: ScanKernelAvx2<16>(entry, table, w); return;
            case 32: ScanKernelAvx2<32>(entry, table, w); return;
            default: break;
        }
    }
#else
    (void)avx2;
#endif
    KVN_MONT_DISPATCH(ScanKernel, n, entry, table, w)
}

}  // namespace

void MontModulus::Mul(Limb* r, const Limb* a, const Limb* b) const noexcept {
#ifdef KVN_MONT_ADX
    if (adx_) {
        KVN_MONT_DISPATCH(MulKernelAdx, n_, r, a, b, m_.data(), m0inv_)
        return;
    }
#endif
    KVN_MONT_DISPATCH(MulKernel, n_, r, a, b, m_.data(), m0inv_)
}

void MontModulus::Reduce(Limb* r, Limb* t) const noexcept {
#ifdef KVN_MONT_ADX
    if (adx_) {
        KVN_MONT_DISPATCH(ReduceKernelAdx, n_, r, t, m_.data(), m0inv_)
        return;
    }
#endif
    KVN_MONT_DISPATCH(ReduceKernel, n_, r, t, m_.data(), m0inv_)
}

void MontModulus::Sqr(Limb* r, const Limb* a) const noexcept {
#ifdef KVN_MONT_ADX
    if (adx_) {
        KVN_MONT_DISPATCH(SqrKernelAdx, n_, r, a, m_.data(), m0inv_)
        return;
    }
#endif
    KVN_MONT_DISPATCH(SqrKernel, n_, r, a, m_.data(), m0inv_)
}

void MontModulus::FromMont(Limb* r, const Limb* a) const noexcept {
    Limb t[2 * kMaxLimbs];
    std::memcpy(t, a, n_ * sizeof(Limb));
    std::memset(t + n_, 0, n_ * sizeof(Limb));
    Reduce(r, t);
    WipeLimbs(t, 2 * n_);
}

void MontModulus::ReduceToMont(Limb* r, const Limb* t) const {
    Limb work[2 * kMaxLimbs];
    std::memcpy(work, t, 2 * n_ * sizeof(Limb));
    Limb reduced[kMaxLimbs];
    Reduce(reduced, work);                 // t / R
    Mul(r, reduced, rrr_.data());          // t / R * R^3 / R = t R
    WipeLimbs(work, 2 * n_);
    WipeLimbs(reduced, n_);
}

void MontModulus::ExpSecret(Limb* r, const Limb* a, const Limb* e, std::size_t elimbs) const {
    if (radix52_) {
        ExpSecretRadix52(r, a, e, elimbs);
        return;
    }
    const std::size_t n = n_;
    SecureLimbs table(kWindowEntries * n);
    std::memcpy(table.data(), one_.data(), n * sizeof(Limb));
    std::memcpy(table.data() + n, a, n * sizeof(Limb));
    // Even powers by squaring, which is cheaper than a product.
    for (std::size_t i = 2; i < kWindowEntries; ++i) {
        Limb* row = table.data() + i * n;
        if (i % 2 == 0) {
            Sqr(row, table.data() + (i / 2) * n);
        } else {
            Mul(row, table.data() + (i - 1) * n, a);
        }
    }

    SecureLimbs acc(n), entry(n);
    const bool avx2 = cpu_UseAvx2();
    // Windows from the top; the first is the remainder of the bit count by the window size.
    const std::size_t bits = 64 * elimbs;
    std::size_t pos = bits;
    bool first = true;
    while (pos > 0) {
        const unsigned width = first && bits % kWindowBits ? bits % kWindowBits : kWindowBits;
        pos -= width;
        // The window's bits; positions are public, the value is not.
        const std::size_t limb = pos / 64, shift = pos % 64;
        Limb w = e[limb] >> shift;
        if (shift + width > 64 && limb + 1 < elimbs) w |= e[limb + 1] << (64 - shift);
        w &= (Limb{1} << width) - 1;
        Scan(entry.data(), table.data(), w, n, avx2);
        if (first) {
            acc = entry;
            first = false;
        } else {
            for (unsigned k = 0; k < width; ++k) Sqr(acc.data(), acc.data());
            Mul(acc.data(), acc.data(), entry.data());
        }
    }
    std::memcpy(r, acc.data(), n * sizeof(Limb));
}

void MontModulus::ExpPublicVartime(Limb* r, const Limb* a, const Limb* e, std::size_t elimbs) const {
    const std::size_t n = n_;
    std::size_t top = elimbs;
    while (top > 0 && e[top - 1] == 0) --top;
    if (top == 0) {
        std::memcpy(r, one_.data(), n * sizeof(Limb));
        return;
    }
    SecureLimbs base(a, a + n), acc(base);
    int bit = 63;
    while (!((e[top - 1] >> bit) & 1)) --bit;
    // The top bit is already in acc.
    for (std::size_t limb = top; limb-- > 0;) {
        for (int b = (limb == top - 1 ? bit - 1 : 63); b >= 0; --b) {
            Sqr(acc.data(), acc.data());
            if ((e[limb] >> b) & 1) Mul(acc.data(), acc.data(), base.data());
        }
    }
    std::memcpy(r, acc.data(), n * sizeof(Limb));
}

namespace {

__extension__ typedef __int128 SignedWide;

bool IsZeroVartime(const Limb* a, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i]) return false;
    }
    return true;
}

// Steps of the binary GCD done on word-sized approximations between two updates of the
// full numbers.
constexpr unsigned kGcdSteps = 31;

// out (len + 1 limbs, two's complement) = f x + g y for x, y of len limbs and
// |f|, |g| <= 2^31.
void LinearCombination(Limb* out, const Limb* x, std::int64_t f, const Limb* y, std::int64_t g, std::size_t len) {
    SignedWide carry = 0;
    for (std::size_t i = 0; i < len; ++i) {
        carry += SignedWide{f} * static_cast<SignedWide>(x[i]) + SignedWide{g} * static_cast<SignedWide>(y[i]);
        out[i] = static_cast<Limb>(carry);
        carry >>= 64;
    }
    out[len] = static_cast<Limb>(carry);
}

// v (len + 1 limbs, two's complement, divisible by 2^kGcdSteps) /= 2^kGcdSteps; returns
// true when it is negative.
bool ShiftDownSigned(Limb* v, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) v[i] = (v[i] >> kGcdSteps) | (v[i + 1] << (64 - kGcdSteps));
    v[len] = static_cast<Limb>(static_cast<std::int64_t>(v[len]) >> kGcdSteps);
    return static_cast<std::int64_t>(v[len]) < 0;
}

// v (len + 1 limbs) = -v.
void NegateLimbs(Limb* v, std::size_t len) {
    Limb carry = 1;
    for (std::size_t i = 0; i <= len; ++i) {
        const Wide s = Wide{~v[i]} + carry;
        v[i] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
    }
}

// out = (f x + g y) / 2^kGcdSteps mod m for x, y below m (n limbs); m0inv = -m^-1 mod 2^64.
// out may alias x or y. One pass: f x + g y + k m, with k making the low kGcdSteps bits
// zero, shifted down as it goes.
void CombineMod(Limb* out, const Limb* x, std::int64_t f, const Limb* y, std::int64_t g, const Limb* m, Limb m0inv,
                std::size_t n) {
    const Limb low = static_cast<Limb>(f) * x[0] + static_cast<Limb>(g) * y[0];
    const Limb k = (low * m0inv) & ((Limb{1} << kGcdSteps) - 1);
    // |f x + g y| <= 2^31 m, so the quotient lies in (-m, 2m).
    SignedWide acc = 0;
    Limb previous = 0;
    for (std::size_t i = 0; i < n; ++i) {
        acc += SignedWide{f} * static_cast<SignedWide>(x[i]) + SignedWide{g} * static_cast<SignedWide>(y[i]) +
               static_cast<SignedWide>(Wide{k} * m[i]);
        const Limb limb = static_cast<Limb>(acc);
        acc >>= 64;
        if (i > 0) out[i - 1] = (previous >> kGcdSteps) | (limb << (64 - kGcdSteps));
        previous = limb;
    }
    const Limb top = static_cast<Limb>(acc);
    out[n - 1] = (previous >> kGcdSteps) | (top << (64 - kGcdSteps));
    const std::int64_t high = static_cast<std::int64_t>(top) >> kGcdSteps;
    if (high < 0) {
        mont_Add(out, out, m, n);  // the borrow out of the top limb cancels its all-ones
    } else if (high != 0 || !mont_Less(out, m, n)) {
        mont_Sub(out, out, m, n);
    }
}

// Bits [pos, pos + 33) of x (len limbs).
Limb TopBits(const Limb* x, std::size_t len, std::size_t pos) {
    const std::size_t limb = pos / 64, shift = pos % 64;
    Limb v = x[limb] >> shift;
    if (shift > 31 && limb + 1 < len) v |= x[limb + 1] << (64 - shift);
    return v & ((Limb{1} << 33) - 1);
}

// kGcdSteps steps on the approximations xa and ya (ya odd): when xa is odd, subtract the
// smaller from the larger into xa; then halve xa. (f0 g0; f1 g1) collects the steps. The
// steps take masks rather than branches, whose outcomes the processor could not guess.
void GcdSteps(Limb& xa, Limb& ya, std::int64_t& f0, std::int64_t& g0, std::int64_t& f1, std::int64_t& g1) {
    for (unsigned i = 0; i < kGcdSteps; ++i) {
        const Limb odd = Limb{0} - (xa & 1);
        const Limb swap = odd & (Limb{0} - static_cast<Limb>(xa < ya));
        const Limb dx = (xa ^ ya) & swap;
        xa ^= dx;
        ya ^= dx;
        const std::int64_t sw = static_cast<std::int64_t>(swap), od = static_cast<std::int64_t>(odd);
        const std::int64_t df = (f0 ^ f1) & sw, dg = (g0 ^ g1) & sw;
        f0 ^= df;
        f1 ^= df;
        g0 ^= dg;
        g1 ^= dg;
        xa -= ya & odd;
        f0 -= f1 & od;
        g0 -= g1 & od;
        xa >>= 1;
        f1 *= 2;
        g1 *= 2;
    }
}

}  // namespace

bool mont_InverseVartime(Limb* r, const Limb* a, const Limb* m, std::size_t n) {
    if (n == 0 || n > kMaxLimbs || !(m[0] & 1) || IsZeroVartime(a, n)) return false;
    // The binary GCD of Pornin's "Optimized binary GCD for modular inversion" (2020):
    // with x = a, y = m, u = 1, v = 0 it keeps x = u a and y = v a mod m, y odd. Each round
    // runs kGcdSteps steps (subtract the smaller odd value from the larger, halve the
    // even one) on 64-bit approximations of x and y (the low 31 bits exact, the top 33
    // bits at a common position), collecting the steps as a matrix, then applies it to
    // the full numbers and, divided by 2^kGcdSteps modulo m, to u and v. A result that
    // comes out negative is negated with its row. It ends with x = 0 and y = gcd(a, m).
    SecureLimbs store(4 * (n + 1));
    Limb* x = store.data();
    Limb* y = x + (n + 1);
    Limb* u = y + (n + 1);
    Limb* v = u + (n + 1);
    Limb t[kMaxLimbs + 1];
    std::memcpy(x, a, n * sizeof(Limb));
    std::memcpy(y, m, n * sizeof(Limb));
    u[0] = 1;
    const Limb m0inv = NegInverse(m[0]);
    std::size_t len = n;  // significant limbs of the larger of x and y
    // About 2 64 n / kGcdSteps rounds at most; the cap only guards against a fault.
    std::size_t rounds = 4 * 64 * n / kGcdSteps + 8;
    while (!IsZeroVartime(x, len)) {
        if (rounds-- == 0) return false;
        while (len > 1 && x[len - 1] == 0 && y[len - 1] == 0) --len;
        const Limb top = x[len - 1] | y[len - 1];
        const std::size_t bits = 64 * len - static_cast<std::size_t>(__builtin_clzll(top));
        Limb xa = x[0], ya = y[0];
        if (bits > 64) {
            const Limb low = (Limb{1} << kGcdSteps) - 1;
            xa = (TopBits(x, len, bits - 33) << kGcdSteps) | (x[0] & low);
            ya = (TopBits(y, len, bits - 33) << kGcdSteps) | (y[0] & low);
        }
        std::int64_t f0 = 1, g0 = 0, f1 = 0, g1 = 1;
        GcdSteps(xa, ya, f0, g0, f1, g1);
        LinearCombination(t, x, f0, y, g0, len);
        if (ShiftDownSigned(t, len)) {
            NegateLimbs(t, len);
            f0 = -f0;
            g0 = -g0;
        }
        LinearCombination(y, x, f1, y, g1, len);
        if (ShiftDownSigned(y, len)) {
            NegateLimbs(y, len);
            f1 = -f1;
            g1 = -g1;
        }
        // Neither may outgrow len limbs (the approximations see to it); should one, the
        // inversion gives up rather than lose its top.
        if (t[len] != 0 || y[len] != 0) return false;
        std::memcpy(x, t, len * sizeof(Limb));
        CombineMod(t, u, f0, v, g0, m, m0inv, n);
        CombineMod(v, u, f1, v, g1, m, m0inv, n);
        std::memcpy(u, t, n * sizeof(Limb));
    }
    // y is the gcd.
    if (!(y[0] == 1 && IsZeroVartime(y + 1, len - 1))) return false;
    std::memcpy(r, v, n * sizeof(Limb));
    WipeLimbs(t, n + 1);
    return true;
}

}  // namespace kvn
