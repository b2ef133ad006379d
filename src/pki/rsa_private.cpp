// The blinded, checked RSA private operation (see rsa_private.h).
//
// With r and t random, A = r^e and c' = c A, the exponentiation gives m' = c'^d = m r;
// r^-1 = (r t)^-1 t, where only r t, which says nothing of r without t, meets the
// variable-time inversion, which works modulo the public n only. The CRT halves are
// joined by Garner's formula m = m2 + q (qInv (m1 - m2) mod p).
#include "pki/rsa_private.h"

#include <cstring>
#include <utility>

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

// The blinding values for modulus N: r and t in Montgomery form mod N, from 16 n random
// bytes. Each random value has n limbs, so it is below N R and reduces in one step.
void DrawBlinding(Limb* rM, Limb* tM, const MontModulus& N, const std::uint8_t* random) {
    const std::size_t n = N.size();
    SecureLimbs wide(2 * n);
    mont_FromBytes(wide.data(), n, random, 8 * n);
    N.ReduceToMont(rM, wide.data());
    mont_FromBytes(wide.data(), n, random + 8 * n, 8 * n);
    std::memset(wide.data() + n, 0, n * sizeof(Limb));
    N.ReduceToMont(tM, wide.data());
}

// r^-1 in Montgomery form mod M (the public modulus) from rt = r t and t, both plain
// and below R M (2 limbs of M each): (r t)^-1 t. Only r t mod M, which says nothing of r without t, is
// disclosed to the variable-time inversion. False when it is not invertible.
bool UnblindingFactor(Limb* rInvM, const MontModulus& M, const Limb* rt, const Limb* t) {
    const std::size_t n = M.size();
    SecureLimbs x(n), tM(n);
    M.ReduceToMont(x.data(), rt);
    M.FromMont(x.data(), x.data());
    KVN_DECLASSIFY(x.data(), n * sizeof(Limb));
    if (!mont_InverseVartime(x.data(), x.data(), M.modulus(), n)) return false;
    M.ToMont(x.data(), x.data());
    M.ReduceToMont(tM.data(), t);
    M.Mul(rInvM, x.data(), tM.data());
    return true;
}

}  // namespace

// m (nLimbs limbs) = c^d mod n by the halves mod p and q; c below n.
void rsa_PrivateContext::Crt(Limb* m, const Limb* c) const {
    const std::size_t h = key_.halfLimbs, n = key_.nLimbs;
    const MontModulus& P = *p_;
    const MontModulus& Q = *q_;
    // c < p q < p R and < q R: Montgomery reduction takes it whole.
    SecureLimbs wide(2 * h), m1(h), m2(h), m2p(h), h1(h), prod(2 * h);
    std::memcpy(wide.data(), c, n * sizeof(Limb));
    P.ReduceToMont(m1.data(), wide.data());
    P.ExpSecret(m1.data(), m1.data(), key_.dp.data(), h);
    Q.ReduceToMont(m2.data(), wide.data());
    Q.ExpSecret(m2.data(), m2.data(), key_.dq.data(), h);
    Q.FromMont(m2.data(), m2.data());

    // m1 - (m2 mod p), in Montgomery form mod p; m1 stays Montgomery, m2 may exceed p.
    std::memset(wide.data(), 0, 2 * h * sizeof(Limb));
    std::memcpy(wide.data(), m2.data(), h * sizeof(Limb));
    P.ReduceToMont(m2p.data(), wide.data());
    const Limb borrow = mont_Sub(h1.data(), m1.data(), m2p.data(), h);
    mont_Add(m2p.data(), h1.data(), P.modulus(), h);
    mont_Select(h1.data(), Limb{0} - borrow, m2p.data(), h1.data(), h);
    // (m1 - m2) R * qInv / R: the plain value qInv (m1 - m2) mod p.
    P.Mul(h1.data(), h1.data(), key_.qinv.data());

    mont_MulPlain(prod.data(), h1.data(), h, key_.q.data(), h);
    std::memset(wide.data(), 0, 2 * h * sizeof(Limb));
    std::memcpy(wide.data(), m2.data(), h * sizeof(Limb));
    mont_Add(prod.data(), prod.data(), wide.data(), 2 * h);
    // A sound key gives m below n; a damaged one is caught by the check.
    std::memcpy(m, prod.data(), n * sizeof(Limb));
}

bool rsa_PrivateLimbsUsable(const rsa_PrivateLimbs& key) {
    const std::size_t kMax = MontModulus::kMaxLimbs;
    if (key.nLimbs < 1 || key.nLimbs > kMax || !(key.n[0] & 1)) return false;
    if (!key.crt) return true;
    return key.halfLimbs >= 1 && key.halfLimbs <= kMax && 2 * key.halfLimbs >= key.nLimbs && (key.p[0] & 1) &&
           (key.q[0] & 1) && key.pLimbs >= 1 && key.qLimbs >= 1;
}

rsa_PrivateContext::rsa_PrivateContext(rsa_PrivateLimbs key)
    : key_(std::move(key)), n_(key_.n.data(), key_.nLimbs, MontModulus::Public{}) {
    if (key_.crt) {
        p_.emplace(key_.p.data(), key_.halfLimbs, key_.pLimbs);
        q_.emplace(key_.q.data(), key_.halfLimbs, key_.qLimbs);
    }
}

rsa_PrivateResult rsa_PrivateContext::Draw(rsa_Blinding& pair, const std::uint8_t* blinding) const {
    const std::size_t n = key_.nLimbs;
    const MontModulus& N = n_;
    pair.uses = 0;
    pair.blindM.resize(n);
    pair.rInvM.resize(n);
    SecureLimbs rM(n), tM(n), rt(2 * n), t(2 * n);
    DrawBlinding(rM.data(), tM.data(), N, blinding);
    N.ExpPublicVartime(pair.blindM.data(), rM.data(), key_.e.data(), n);  // r^e; branches on e only
    N.Mul(rt.data(), rM.data(), tM.data());
    N.FromMont(rt.data(), rt.data());
    N.FromMont(t.data(), tM.data());
    if (!UnblindingFactor(pair.rInvM.data(), N, rt.data(), t.data())) return rsa_PrivateResult::Retry;
    pair.uses = rsa_Blinding::kUses;
    return rsa_PrivateResult::Ok;
}

rsa_PrivateResult rsa_PrivateContext::RunBlinded(Limb* m, const Limb* c, const rsa_Blinding& pair) const {
    const std::size_t n = key_.nLimbs;
    const MontModulus& N = n_;
    SecureLimbs cM(n), x(n), check(n);
    N.Mul(x.data(), c, pair.blindM.data());  // c r^e R / R: the plain blinded value
    if (key_.crt) {
        Crt(x.data(), x.data());
    } else {
        SecureLimbs xM(n);
        N.ToMont(xM.data(), x.data());
        N.ExpSecret(xM.data(), xM.data(), key_.d.data(), n);
        N.FromMont(x.data(), xM.data());
    }
    // x = m r, possibly not below n for a damaged key; x r^-1 R / R is below n either way.
    N.Mul(x.data(), x.data(), pair.rInvM.data());

    N.ToMont(cM.data(), c);
    N.ToMont(check.data(), x.data());
    N.ExpPublicVartime(check.data(), check.data(), key_.e.data(), n);
    Limb same = mont_Equal(check.data(), cM.data(), n);
    KVN_DECLASSIFY(&same, sizeof same);
    if (!same) {
        std::memset(m, 0, n * sizeof(Limb));
        return rsa_PrivateResult::Fault;
    }
    std::memcpy(m, x.data(), n * sizeof(Limb));
    return rsa_PrivateResult::Ok;
}

rsa_PrivateResult rsa_PrivateContext::Run(Limb* m, const Limb* c, const std::uint8_t* blinding) const {
    rsa_Blinding pair;
    if (rsa_PrivateResult drawn = Draw(pair, blinding); drawn != rsa_PrivateResult::Ok) return drawn;
    return RunBlinded(m, c, pair);
}

rsa_PrivateResult rsa_PrivateContext::RunKept(Limb* m, const Limb* c, rsa_Blinding& pair,
                                              const std::uint8_t* blinding) const {
    if (pair.uses <= 0) {
        if (rsa_PrivateResult drawn = Draw(pair, blinding); drawn != rsa_PrivateResult::Ok) return drawn;
    }
    const rsa_PrivateResult result = RunBlinded(m, c, pair);
    if (result != rsa_PrivateResult::Ok) {
        pair.uses = 0;
        return result;
    }
    // The next operation's pair: (r^2)^e = (r^e)^2 and (r^2)^-1 = (r^-1)^2.
    n_.Sqr(pair.blindM.data(), pair.blindM.data());
    n_.Sqr(pair.rInvM.data(), pair.rInvM.data());
    --pair.uses;
    return result;
}

rsa_PrivateResult rsa_PrivateLimbsOp(Limb* m, const Limb* c, const rsa_PrivateLimbs& key,
                                     const std::uint8_t* blinding) {
    return rsa_PrivateContext(key).Run(m, c, blinding);
}

void rsa_PublicLimbsOp(Limb* y, const Limb* x, const Limb* n, const Limb* e, std::size_t nLimbs) {
    const MontModulus N(n, nLimbs, MontModulus::PublicExponent{});
    Vec<Limb> xM(nLimbs);  // public values
    N.ToMont(xM.data(), x);
    N.ExpPublicVartime(xM.data(), xM.data(), e, nLimbs);
    N.FromMont(y, xM.data());
}

}  // namespace kvn
