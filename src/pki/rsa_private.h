// The RSA private operation on 64-bit limbs: blinded, by the Chinese remainder theorem
// when the key has its CRT parts, and checked with the public exponent before the
// result is released.
//
// Everything that touches d, p, q, dP, dQ, qInv or the blinding values runs in constant
// time (crypto/mont.h); the only variable-time step, the inversion of the blinding
// value, sees it multiplied by a second random value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "crypto/mont.h"

namespace kvn {

// A private key in limbs. n, e and d have nLimbs limbs; p, q, dP, dQ and qInv have
// halfLimbs limbs (enough for the larger prime). pLimbs and qLimbs are the primes'
// significant limbs, known from the encoding, so that no set-up step reads them.
struct rsa_PrivateLimbs {
    std::size_t nLimbs = 0;
    std::size_t halfLimbs = 0;
    std::size_t pLimbs = 0, qLimbs = 0;
    bool crt = false;
    SecureLimbs n, e, d, p, q, dp, dq, qinv;
};

// Random bytes one attempt of the blinding consumes.
inline std::size_t rsa_BlindingBytes(const rsa_PrivateLimbs& key) { return 16 * key.nLimbs; }

enum class rsa_PrivateResult { Ok, Retry, Fault };

// A blinding pair kept for the next operations on one key: A = r^e and r^-1, both in
// Montgomery form mod n. After each use both are squared, which gives the pair of r^2, so
// that no two operations see the same r; after kUses the pair is drawn anew. Drawing costs
// an exponentiation by e and an inversion, squaring two multiplications. Empty (uses 0)
// until drawn.
struct rsa_Blinding {
    static constexpr int kUses = 32;
    SecureLimbs blindM, rInvM;
    int uses = 0;  // operations the pair still serves
};

// True when the key's moduli are odd and of a size the limb code takes.
bool rsa_PrivateLimbsUsable(const rsa_PrivateLimbs& key);

// A private key made ready for any number of operations: its limbs and the Montgomery
// contexts of n, p and q (R^2 and the other constants), computed once. Nothing in it
// changes afterwards, so any number of threads may run operations on one context at once.
class rsa_PrivateContext {
public:
    // key must pass rsa_PrivateLimbsUsable. Throws std::bad_alloc.
    explicit rsa_PrivateContext(rsa_PrivateLimbs key);

    const rsa_PrivateLimbs& key() const noexcept { return key_; }

    // m = c^d mod n, for c below n (nLimbs limbs each; m may alias c). blinding holds
    // rsa_BlindingBytes(key()) random bytes. Returns Retry when the blinding value
    // happened to share a factor with n (draw new bytes and call again) and Fault when the
    // result does not give c back under the public exponent (a damaged key or a computing
    // fault); m is then zero.
    rsa_PrivateResult Run(Limb* m, const Limb* c, const std::uint8_t* blinding) const;

    // The same with a kept pair: one drawn from the random bytes when the pair is spent
    // (Retry as above, the pair left empty), then used and moved on. A Fault empties it.
    // blinding may be null while the pair has uses left.
    rsa_PrivateResult RunKept(Limb* m, const Limb* c, rsa_Blinding& pair, const std::uint8_t* blinding) const;

private:
    rsa_PrivateResult Draw(rsa_Blinding& pair, const std::uint8_t* blinding) const;
    rsa_PrivateResult RunBlinded(Limb* m, const Limb* c, const rsa_Blinding& pair) const;
    void Crt(Limb* m, const Limb* c) const;

    rsa_PrivateLimbs key_;
    MontModulus n_;
    std::optional<MontModulus> p_, q_;  // with CRT parts
};

// One operation on a context made for it (rsa_PrivateContext::Run).
rsa_PrivateResult rsa_PrivateLimbsOp(Limb* m, const Limb* c, const rsa_PrivateLimbs& key,
                                     const std::uint8_t* blinding);

// y = x^e mod n for the public key (n, e) of nLimbs limbs; x below n. Requires an odd n.
void rsa_PublicLimbsOp(Limb* y, const Limb* x, const Limb* n, const Limb* e, std::size_t nLimbs);

}  // namespace kvn
