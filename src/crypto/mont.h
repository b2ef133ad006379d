// Montgomery arithmetic on 64-bit limbs, least significant limb first, for RSA.
//
// A modulus context holds an odd modulus m of n limbs, -m^-1 mod 2^64 and R^2 mod m
// (R = 2^(64 n)). Montgomery products keep every value below m. The secret-exponent
// exponentiation and everything it calls run in time and with memory addresses that
// depend only on n and on the exponent's limb count, never on the values: no branch
// and no table index is derived from an operand (the window table is read by a masked
// scan of every entry). Functions named ...Vartime may branch on their inputs and are
// only given public or freshly blinded values.
//
// The kernels are chosen from the processor (crypto/cpu.h): MULX, ADCX
// and ADOX for the products, AVX2 for the table scan, the portable code otherwise. Where
// the processor has AVX-512 IFMA, secret exponentiations run in radix 2^52 on its lanes
// (crypto/mont52.h).
//
// All buffers are caller-supplied; contexts keep theirs in wiping storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/memory.h"

namespace kvn {

using Limb = std::uint64_t;
using SecureLimbs = std::vector<Limb, WipingAllocator<Limb>>;

// Limbs needed for nbytes bytes.
inline std::size_t mont_LimbsFor(std::size_t nbytes) { return (nbytes + 7) / 8; }

// a (n limbs) = the big-endian bytes (bytes that do not fit are dropped).
void mont_FromBytes(Limb* a, std::size_t n, const std::uint8_t* bytes, std::size_t nbytes) noexcept;
// Writes a big-endian, right-aligned in nbytes (high limbs beyond nbytes are dropped).
void mont_ToBytes(std::uint8_t* bytes, std::size_t nbytes, const Limb* a, std::size_t n) noexcept;

// Constant-time helpers. All-ones when the condition holds, else zero.
Limb mont_IsZero(const Limb* a, std::size_t n) noexcept;
Limb mont_Equal(const Limb* a, const Limb* b, std::size_t n) noexcept;
// All-ones when a < b.
Limb mont_Less(const Limb* a, const Limb* b, std::size_t n) noexcept;
// r = mask ? a : b (mask all-ones or zero); r may alias a or b.
void mont_Select(Limb* r, Limb mask, const Limb* a, const Limb* b, std::size_t n) noexcept;
Limb mont_Add(Limb* r, const Limb* a, const Limb* b, std::size_t n) noexcept;  // returns carry
Limb mont_Sub(Limb* r, const Limb* a, const Limb* b, std::size_t n) noexcept;  // returns borrow
// r (na + nb limbs, distinct from a and b) = a * b.
void mont_MulPlain(Limb* r, const Limb* a, std::size_t na, const Limb* b, std::size_t nb) noexcept;

class MontModulus {
public:
    // m: odd, n limbs, 1 <= n <= 256, of which the low significant limbs hold its value
    // (its top limbs may be zero; the context works at n limbs). significant is the
    // public size of m, not read from it, so the set-up is constant-time in m for given n
    // and significant (0 means n). Throws std::bad_alloc for n out of range.
    MontModulus(const Limb* m, std::size_t n, std::size_t significant = 0);
    // For a public modulus with a non-zero top limb: R^2 mod m by one long division, which
    // is quicker than the constant-time set-up but branches on m.
    struct Public {};
    MontModulus(const Limb* m, std::size_t n, Public);
    // The same for a public exponent alone (verifying a signature): ToMont, FromMont, Mul,
    // Sqr and ExpPublicVartime; R^3 (ReduceToMont) and the radix-2^52 form are not made.
    struct PublicExponent {};
    MontModulus(const Limb* m, std::size_t n, PublicExponent);
    static constexpr std::size_t kMaxLimbs = 256;

    std::size_t size() const noexcept { return n_; }
    const Limb* modulus() const noexcept { return m_.data(); }
    // R mod m: the Montgomery form of 1.
    const Limb* one() const noexcept { return one_.data(); }
    // True when ExpSecret runs on the radix-2^52 kernels.
    bool UsesRadix52() const noexcept { return radix52_ != 0; }

    // r = a * b / R mod m, inputs below m; r may alias a or b.
    void Mul(Limb* r, const Limb* a, const Limb* b) const noexcept;
    // r = a * a / R mod m; r may alias a.
    void Sqr(Limb* r, const Limb* a) const noexcept;
    // r = a * R mod m for a below m.
    void ToMont(Limb* r, const Limb* a) const noexcept { Mul(r, a, rr_.data()); }
    // r = a / R mod m.
    void FromMont(Limb* r, const Limb* a) const noexcept;
    // r (n limbs) = t / R mod m for t of 2n limbs below m * R (t is overwritten). Also
    // reduces a number below m * R to Montgomery-divided form: Reduce then ToMont twice
    // gives t * R mod m.
    void Reduce(Limb* r, Limb* t) const noexcept;
    // r = t mod m in Montgomery form (t * R mod m), for t of 2n limbs below m * R.
    void ReduceToMont(Limb* r, const Limb* t) const;

    // r = a^e in Montgomery form, a in Montgomery form; e has elimbs limbs and is secret:
    // every bit of all elimbs limbs is processed. r may alias a.
    void ExpSecret(Limb* r, const Limb* a, const Limb* e, std::size_t elimbs) const;
    // The same for a public exponent (square-and-multiply over its significant bits).
    void ExpPublicVartime(Limb* r, const Limb* a, const Limb* e, std::size_t elimbs) const;

private:
    void Allocate(const Limb* m, std::size_t n);
    void FinishFromRr(bool forSecrets = true);
    void SetUpRadix52();
    void ExpSecretRadix52(Limb* r, const Limb* a, const Limb* e, std::size_t elimbs) const;

    std::size_t n_;
    Limb m0inv_;       // -m^-1 mod 2^64
    bool adx_;         // products with MULX, ADCX and ADOX (crypto/cpu.h)
    SecureLimbs m_;    // n limbs
    SecureLimbs one_;  // R mod m
    SecureLimbs rr_;   // R^2 mod m
    SecureLimbs rrr_;  // R^3 mod m
    // The radix-2^52 form, when ExpSecret runs there (0: it does not; else 1 + the
    // mont52_Lanes value). With L 52-bit limbs and R52 = 2^(52 L): m, R52 mod m, the factor
    // R52^2 / R into the radix-2^52 domain and R mod m back out of it.
    int radix52_ = 0;
    std::size_t limbs52_ = 0;
    Limb k052_ = 0;  // -m^-1 mod 2^52
    SecureLimbs m52_, one52_, into52_, outOf52_;
};

// Test hook for the radix-2^52 kernels, read when a context is made: -1 lets the processor
// decide (IFMA where it has it and MULX/ADX are in use), 0 keeps the 64-bit kernels, 1 runs
// the emulated build of the IFMA kernels.
void mont_UseRadix52ForTesting(int mode) noexcept;

// r (n limbs) = a^-1 mod m for odd m and a below m; false when gcd(a, m) > 1. Variable
// time in a and m: give it only a blinded value.
bool mont_InverseVartime(Limb* r, const Limb* a, const Limb* m, std::size_t n);

}  // namespace kvn
