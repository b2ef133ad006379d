// The blinded, checked RSA private operation (see rsa_private.h).
//
// With r and t random, A = r^e and c' = c A, the exponentiation gives m' = c'^d = m r;
// r^-1 = (r t)^-1 t, where only r t, which says nothing of r without t, meets the
// variable-time inversion. The CRT halves are joined by Garner's formula
// m = m2 + q (qInv (m1 - m2) mod p).
#include "pki/rsa_private.h"

#include <cstring>

#ifdef KVN_CTGRIND
// The constant-time check builds this file with valgrind's client requests: a value
// whose disclosure is harmless (the blinded product, the check's verdict) is marked
// defined before it is branched on.
#include <valgrind/memcheck.h>
#define KVN_DECLASSIFY(p, n) VALGRIND_MAKE_MEM_DEFINED((p), (n))
#else
#define KVN_DECLASSIFY(p, n) ((void)(p), (void)(n))
#endif

namespace kvn {
namespace {

// Montgomery forms of the blinding pair for modulus N: A = r^e and r^-1. False when
// r t is not invertible.
bool MakeBlinding(Limb* blindM, Limb* unblindM, const MontModulus& N, const rsa_PrivateLimbs& key,
                  const std::uint8_t* random) {
    const std::size_t n = key.nLimbs;
    SecureLimbs wide(2 * n), rM(n), tM(n), product(n), inverse(n);
    // Each random value has n limbs, so it is below N R and reduces in one step.
    mont_FromBytes(wide.data(), n, random, 8 * n);
    N.ReduceToMont(rM.data(), wide.data());
    mont_FromBytes(wide.data(), n, random + 8 * n, 8 * n);
    std::memset(wide.data() + n, 0, n * sizeof(Limb));
    N.ReduceToMont(tM.data(), wide.data());

    N.ExpPublicVartime(blindM, rM.data(), key.e.data(), n);  // branches on e only
    N.Mul(product.data(), rM.data(), tM.data());
    N.FromMont(product.data(), product.data());              // r t
    KVN_DECLASSIFY(product.data(), n * sizeof(Limb));
    if (!mont_InverseVartime(inverse.data(), product.data(), key.n.data(), n)) return false;
    N.ToMont(inverse.data(), inverse.data());
    N.Mul(unblindM, inverse.data(), tM.data());               // (r t)^-1 t = r^-1
    return true;
}

// m (nLimbs limbs) = c^d mod n by the halves mod p and q; c below n.
void PrivateCrt(Limb* m, const Limb* c, const rsa_PrivateLimbs& key) {
    const std::size_t h = key.halfLimbs;
    const MontModulus P(key.p.data(), h, key.pLimbs);
    const MontModulus Q(key.q.data(), h, key.qLimbs);
    // c < p q < p R and < q R, so Montgomery reduction takes it whole.
    SecureLimbs wide(2 * h), m1(h), m2(h), m2p(h), h1(h), prod(2 * h);
    std::memcpy(wide.data(), c, key.nLimbs * sizeof(Limb));

    P.ReduceToMont(m1.data(), wide.data());
    P.ExpSecret(m1.data(), m1.data(), key.dp.data(), h);
    Q.ReduceToMont(m2.data(), wide.data());
    Q.ExpSecret(m2.data(), m2.data(), key.dq.data(), h);
    Q.FromMont(m2.data(), m2.data());

    // m1 - (m2 mod p), in Montgomery form mod p; m1 stays Montgomery, m2 may exceed p.
    std::memcpy(wide.data(), m2.data(), h * sizeof(Limb));
    std::memset(wide.data() + h, 0, h * sizeof(Limb));
    P.ReduceToMont(m2p.data(), wide.data());
    const Limb borrow = mont_Sub(h1.data(), m1.data(), m2p.data(), h);
    mont_Add(m2p.data(), h1.data(), P.modulus(), h);
    mont_Select(h1.data(), Limb{0} - borrow, m2p.data(), h1.data(), h);
    // (m1 - m2) R * qInv / R: the plain value qInv (m1 - m2) mod p.
    P.Mul(h1.data(), h1.data(), key.qinv.data());

    mont_MulPlain(prod.data(), h1.data(), h, key.q.data(), h);
    std::memset(wide.data(), 0, 2 * h * sizeof(Limb));
    std::memcpy(wide.data(), m2.data(), h * sizeof(Limb));
    mont_Add(prod.data(), prod.data(), wide.data(), 2 * h);
    // A sound key gives m below n; a damaged one is caught by the check.
    std::memcpy(m, prod.data(), key.nLimbs * sizeof(Limb));
}

}  // namespace

bool rsa_PrivateLimbsUsable(const rsa_PrivateLimbs& key) {
    const std::size_t kMax = MontModulus::kMaxLimbs;
    if (key.nLimbs < 1 || key.nLimbs > kMax || !(key.n[0] & 1)) return false;
    if (!key.crt) return true;
    return key.halfLimbs >= 1 && key.halfLimbs <= kMax && 2 * key.halfLimbs >= key.nLimbs && (key.p[0] & 1) &&
           (key.q[0] & 1) && key.pLimbs >= 1 && key.qLimbs >= 1;
}

rsa_PrivateResult rsa_PrivateLimbsOp(Limb* m, const Limb* c, const rsa_PrivateLimbs& key,
                                     const std::uint8_t* blinding) {
    const std::size_t n = key.nLimbs;
    const MontModulus N(key.n.data(), n);
    SecureLimbs blindM(n), unblindM(n), cM(n), x(n), check(n);
    if (!MakeBlinding(blindM.data(), unblindM.data(), N, key, blinding)) return rsa_PrivateResult::Retry;

    N.ToMont(cM.data(), c);
    N.Mul(x.data(), c, blindM.data());  // c A R / R: the plain c A
    if (key.crt) {
        PrivateCrt(x.data(), x.data(), key);
    } else {
        SecureLimbs xM(n);
        N.ToMont(xM.data(), x.data());
        N.ExpSecret(xM.data(), xM.data(), key.d.data(), n);
        N.FromMont(x.data(), xM.data());
    }
    // x = m r, possibly not below n for a damaged key; x r^-1 R / R below n either way.
    N.Mul(x.data(), x.data(), unblindM.data());

    N.ToMont(check.data(), x.data());
    N.ExpPublicVartime(check.data(), check.data(), key.e.data(), n);
    Limb same = mont_Equal(check.data(), cM.data(), n);
    KVN_DECLASSIFY(&same, sizeof same);
    if (!same) {
        std::memset(m, 0, n * sizeof(Limb));
        return rsa_PrivateResult::Fault;
    }
    std::memcpy(m, x.data(), n * sizeof(Limb));
    return rsa_PrivateResult::Ok;
}

void rsa_PublicLimbsOp(Limb* y, const Limb* x, const Limb* n, const Limb* e, std::size_t nLimbs) {
    const MontModulus N(n, nLimbs);
    SecureLimbs xM(nLimbs);
    N.ToMont(xM.data(), x);
    N.ExpPublicVartime(xM.data(), xM.data(), e, nLimbs);
    N.FromMont(y, xM.data());
}

}  // namespace kvn
