// Montgomery arithmetic on 64-bit limbs (see mont.h). Montgomery products are computed
// by finely integrated operand scanning (Koc, Acar and Kaliski, "Analyzing and comparing
// Montgomery multiplication algorithms", 1996): one pass over the limbs per limb of b,
// multiplying by b[i] and reducing by one limb at once.
#include "crypto/mont.h"

#include "crypto/cpu.h"
#include "crypto/mp.h"

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

// All-ones when x is zero, without a branch.
inline Limb ZeroMask(Limb x) noexcept { return (Limb{0} - ((~x & (x - 1)) >> 63)); }

// -m0^-1 mod 2^64 for odd m0, by Newton's iteration (each step doubles the correct bits).
Limb NegInverse(Limb m0) noexcept {
    Limb x = m0;  // correct to 3 bits for odd m0
    for (int i = 0; i < 5; ++i) x *= 2 - m0 * x;
    return Limb{0} - x;
}

// r = t - m when t (n limbs plus the top carry) is at least m, else t; t < 2m.
void FinalSubtract(Limb* r, const Limb* t, Limb top, const Limb* m, std::size_t n) noexcept {
    Limb d[kMaxLimbs];
    const Limb borrow = mont_Sub(d, t, m, n);
    // t >= m exactly when the top carry covers the borrow.
    const Limb keep = (top - borrow) >> 63;  // 1 when top = 0 and borrow = 1
    mont_Select(r, keep - 1, d, t, n);
    WipeLimbs(d, n);
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

// one = R^2 / R and R^3 = R^2 R^2 / R, once rr_ holds R^2 mod m.
void MontModulus::FinishFromRr() {
    FromMont(one_.data(), rr_.data());
    Mul(rrr_.data(), rr_.data(), rr_.data());
}

MontModulus::MontModulus(const Limb* m, std::size_t n, std::size_t significant)
    : n_(n), m0inv_(0), adx_(false), m_(), one_(), rr_(), rrr_() {
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

MontModulus::MontModulus(const Limb* m, std::size_t n, Public) : n_(n), m0inv_(0), adx_(false), m_(), one_(), rr_(), rrr_() {
    Allocate(m, n);
    // 2^(128 n) mod m in 32-bit digits by Knuth's division.
    const std::size_t vd = 2 * n, ud = 4 * n + 1;
    MpBuf u(ud), v(vd), r(vd);
    u.get()[ud - 1] = 1;
    for (std::size_t i = 0; i < n; ++i) {
        v.get()[2 * i] = static_cast<Digit>(m[i]);
        v.get()[2 * i + 1] = static_cast<Digit>(m[i] >> 32);
    }
    mpModulo(r.get(), u.get(), ud, v.get(), vd);
    for (std::size_t i = 0; i < n; ++i) rr_[i] = (Limb{r.get()[2 * i + 1]} << 32) | r.get()[2 * i];
    FinishFromRr();
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
    std::memset(t, 0, (n + 1) * sizeof(Limb));
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
    FinalSubtract(r, t, t[n], m, n);
    WipeLimbs(t, n + 1);
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
    FinalSubtract(r, t + n, extra, m, n);
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
    std::memset(t, 0, 2 * n * sizeof(Limb));
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
    WipeLimbs(t, 2 * n);
}

#if defined(__x86_64__)
// The same kernels with MULX, ADCX and ADOX: a row adds a limb times a number to t with
// two independent carry chains, CF for the high halves of the products and OF for the
// limbs of t, so a limb costs about one multiplication instead of a chain of adds.
// Nothing in a row branches on or indexes by the values.
#define KVN_MONT_ADX 1

// t[0, kN) += a[0, kN) * b, fully unrolled; returns the carry limb (the sum is below
// 2^(64 (kN + 1)), so one limb holds it).
template <std::size_t kN>
inline Limb AddMulRowAdxFixed(Limb* t, const Limb* a, Limb b) noexcept {
    Limb carry, lo, hi;
    __asm__(
        "xorl %k[c], %k[c]\n\t"
        ".set kvn_mont_off, 0\n\t"
        ".rept %c[n]\n\t"
        "mulxq kvn_mont_off(%[a]), %[lo], %[hi]\n\t"
        "adcxq %[c], %[lo]\n\t"
        "adoxq kvn_mont_off(%[t]), %[lo]\n\t"
        "movq %[lo], kvn_mont_off(%[t])\n\t"
        "movq %[hi], %[c]\n\t"
        ".set kvn_mont_off, kvn_mont_off + 8\n\t"
        ".endr\n\t"
        "movl $0, %k[lo]\n\t"
        "adcxq %[lo], %[c]\n\t"
        "adoxq %[lo], %[c]\n\t"
        : [c] "=&r"(carry), [lo] "=&r"(lo), [hi] "=&r"(hi)
        : [a] "r"(a), [t] "r"(t), "d"(b), [n] "i"(kN)
        : "cc", "memory");
    return carry;
}

// The same for any len >= 1, as a loop whose control leaves the flags alone (LEA and
// JRCXZ).
inline Limb AddMulRowAdxAny(Limb* t, const Limb* a, Limb b, std::size_t len) noexcept {
    Limb carry, lo, hi;
    __asm__(
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
    FinalSubtract(r, t + n, extra, m, n);
}

// r = a b / R mod m: the whole product, then its reduction.
template <std::size_t kN>
void MulKernelAdx(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb m0inv, std::size_t nAny) noexcept {
    const std::size_t n = kN ? kN : nAny;
    Limb t[2 * (kN ? kN : kMaxLimbs)];
    std::memset(t, 0, n * sizeof(Limb));
    for (std::size_t i = 0; i < n; ++i) t[i + n] = AddMulRowAdx<kN>(t + i, a, b[i], n);
    ReduceKernelAdx<kN>(r, t, m, m0inv, n);
    WipeLimbs(t, 2 * n);
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
    std::memset(t, 0, 2 * n * sizeof(Limb));
    if constexpr (kN > 0 && kN <= 32) {
        CrossProductsAdx<kN>(t, a, std::make_index_sequence<kN - 1>{});
    } else {
        for (std::size_t i = 0; i + 1 < n; ++i) t[i + n] = AddMulRowAdxAny(t + 2 * i + 1, a + i + 1, a[i], n - 1 - i);
    }
    DoubleAndAddSquares(t, a, n);
    ReduceKernelAdx<kN>(r, t, m, m0inv, n);
    WipeLimbs(t, 2 * n);
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
    const std::size_t n = n_;
    SecureLimbs table(kWindowEntries * n);
    std::memcpy(table.data(), one_.data(), n * sizeof(Limb));
    std::memcpy(table.data() + n, a, n * sizeof(Limb));
    for (std::size_t i = 2; i < kWindowEntries; ++i) Mul(table.data() + i * n, table.data() + (i - 1) * n, a);

    SecureLimbs acc(n), entry(n);
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
        // Masked scan: every entry is read, the wanted one kept.
        std::memset(entry.data(), 0, n * sizeof(Limb));
        for (std::size_t i = 0; i < kWindowEntries; ++i) {
            const Limb mask = ZeroMask(static_cast<Limb>(i) ^ w);
            const Limb* row = table.data() + i * n;
            for (std::size_t j = 0; j < n; ++j) entry[j] |= row[j] & mask;
        }
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

bool IsZeroVartime(const Limb* a, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i]) return false;
    }
    return true;
}

// a >>= k for 0 < k < 64.
void ShiftRight(Limb* a, std::size_t n, unsigned k) {
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = (a[i] >> k) | (i + 1 < n ? a[i + 1] << (64 - k) : 0);
    }
}

// x = x / 2^k mod m for x below m, 0 < k < 64: x + t m is divisible by 2^k for
// t = x * (-m^-1) mod 2^k, and (x + t m) / 2^k < 2m.
void HalveMod(Limb* x, unsigned k, const Limb* m, Limb m0inv, std::size_t n) {
    const Limb t = (x[0] * m0inv) & ((Limb{1} << k) - 1);
    Limb carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Wide p = Wide{t} * m[i] + x[i] + carry;
        x[i] = static_cast<Limb>(p);
        carry = static_cast<Limb>(p >> 64);
    }
    ShiftRight(x, n, k);
    x[n - 1] |= carry << (64 - k);
    const Limb high = carry >> k;  // bit 64 n of the quotient; the value is below 2m
    Limb d[kMaxLimbs];
    if (mont_Sub(d, x, m, n) <= high) std::memcpy(x, d, n * sizeof(Limb));
}

// A number of at most cap limbs and its significant length.
struct Var {
    Limb* v;
    std::size_t len;

    void Trim() {
        while (len > 0 && v[len - 1] == 0) --len;
    }
    // v >>= k for k < 64.
    void Shr(unsigned k) {
        if (k == 0) return;
        ShiftRight(v, len, k);
        Trim();
    }
    // v <<= k for k < 64; the caller keeps the result within the storage.
    void Shl(unsigned k) {
        if (k == 0 || len == 0) return;
        Limb out = 0;
        for (std::size_t i = 0; i < len; ++i) {
            const Limb next = v[i] >> (64 - k);
            v[i] = (v[i] << k) | out;
            out = next;
        }
        if (out) v[len++] = out;
    }
    // Whole limbs of trailing zeros moved out (v non-zero); returns their count.
    std::size_t ShrLimbs() {
        std::size_t limbs = 0;
        while (v[limbs] == 0) ++limbs;
        if (limbs) {
            std::memmove(v, v + limbs, (len - limbs) * sizeof(Limb));
            std::memset(v + len - limbs, 0, limbs * sizeof(Limb));
            len -= limbs;
        }
        return limbs;
    }
    void ShlLimbs(std::size_t limbs) {
        if (limbs == 0 || len == 0) return;
        std::memmove(v + limbs, v, len * sizeof(Limb));
        std::memset(v, 0, limbs * sizeof(Limb));
        len += limbs;
    }
};

// a >= b.
bool NotLess(const Var& a, const Var& b) {
    if (a.len != b.len) return a.len > b.len;
    for (std::size_t i = a.len; i-- > 0;) {
        if (a.v[i] != b.v[i]) return a.v[i] > b.v[i];
    }
    return true;
}

// a -= b for a >= b (b is zero above its length).
void SubVar(Var& a, const Var& b) {
    mont_Sub(a.v, a.v, b.v, a.len);
    a.Trim();
}

// a += b; a's storage has room for the carry.
void AddVar(Var& a, const Var& b) {
    const std::size_t len = a.len > b.len ? a.len : b.len;
    const Limb carry = mont_Add(a.v, a.v, b.v, len);
    a.len = len;
    if (carry) a.v[a.len++] = carry;
}

// Moves the factors of two of x (non-zero) into y (shifted left as often) and k.
void MoveTwos(Var& x, Var& y, std::size_t& k) {
    const std::size_t limbs = x.ShrLimbs();
    y.ShlLimbs(limbs);
    const unsigned bits = static_cast<unsigned>(__builtin_ctzll(x.v[0]));
    x.Shr(bits);
    y.Shl(bits);
    k += 64 * limbs + bits;
}

}  // namespace

bool mont_InverseVartime(Limb* r, const Limb* a, const Limb* m, std::size_t n) {
    if (n == 0 || n > kMaxLimbs || !(m[0] & 1) || IsZeroVartime(a, n)) return false;
    // Kaliski's almost Montgomery inverse ("The Montgomery inverse and its applications",
    // IEEE Trans. Computers, 1995): with u = m, v = a, r = 0, s = 1 it keeps
    // u s + v r = m and ends with r = -a^-1 2^k mod m, where k counts the halvings;
    // r and s stay below 2m. Factors of two are moved a word at a time, and every
    // number is worked on at its significant length.
    SecureLimbs uStore(m, m + n), vStore(a, a + n), rStore(n + 2), sStore(n + 2);
    sStore[0] = 1;
    Var u{uStore.data(), n}, v{vStore.data(), n}, rr{rStore.data(), 0}, ss{sStore.data(), 1};
    u.Trim();
    v.Trim();
    std::size_t k = 0;
    MoveTwos(v, rr, k);  // u = m is odd
    while (v.len > 0) {
        if (!NotLess(v, u)) {  // u > v
            SubVar(u, v);
            AddVar(rr, ss);
            MoveTwos(u, ss, k);
        } else {
            SubVar(v, u);
            AddVar(ss, rr);
            if (v.len == 0) {  // u = v: the gcd is u
                rr.Shl(1);
                ++k;
                break;
            }
            MoveTwos(v, rr, k);
        }
    }
    // u is the gcd.
    if (!(u.len == 1 && u.v[0] == 1)) return false;
    // r may be up to 2m: bring it below m, negate, then divide by 2^k.
    SecureLimbs x(n), y(n);
    std::memcpy(x.data(), rr.v, n * sizeof(Limb));
    const Limb over = rr.len > n ? rr.v[n] : 0;
    if (mont_Sub(y.data(), x.data(), m, n) <= over) x = y;
    mont_Sub(x.data(), m, x.data(), n);  // a^-1 2^k mod m (m - 0 = m only when a = 0)
    const Limb negInv = NegInverse(m[0]);
    while (k > 0) {
        const unsigned step = k > 63 ? 63u : static_cast<unsigned>(k);
        HalveMod(x.data(), step, m, negInv, n);
        k -= step;
    }
    std::memcpy(r, x.data(), n * sizeof(Limb));
    return true;
}

}  // namespace kvn
