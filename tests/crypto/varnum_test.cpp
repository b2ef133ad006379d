#include "crypto/varnum.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/memory.h"
#include "crypto/mp.h"
#include "crypto/mp_reduce.h"
#include "openssl_bn.h"
#include "support/fault_sim.h"
#include "test_util.h"

using namespace kvn;
using kvntest::ByteVec;
using kvntest::ToHex;
using kvntest::Bn;
using kvntest::BnCtx;

namespace {

ByteVec ToBytes(const Varnum* v) {
    int len = vnToBytes(v, nullptr, 0);
    ByteVec out(static_cast<std::size_t>(len));
    vnToBytes(v, out.data(), out.size());
    return out;
}

std::string Hex(const Varnum* v) { return ToHex(ToBytes(v)); }

std::string Hex(const BIGNUM* b) {
    ByteVec out(static_cast<std::size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, out.data());
    if (out.empty()) out.push_back(0);
    return ToHex(out);
}

VarnumPtr FromBytesVn(const ByteVec& bytes) {
    VarnumPtr v = vnMake();
    vnFromBytes(v.get(), bytes.data(), bytes.size());
    return v;
}

Bn FromBytesBn(const ByteVec& bytes) { return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr)); }

// Random number of exactly `bits` bits (top bit set); odd or even as asked.
ByteVec RandomNumber(std::mt19937& rng, int bits, int parity = -1) {
    ByteVec b = kvntest::RandomVec(rng, static_cast<std::size_t>((bits + 7) / 8));
    int topBits = bits % 8 == 0 ? 8 : bits % 8;
    b[0] = static_cast<std::uint8_t>(b[0] & ((1 << topBits) - 1));
    b[0] = static_cast<std::uint8_t>(b[0] | (1 << (topBits - 1)));
    if (parity == 0) b.back() &= 0xFE;
    if (parity == 1) b.back() |= 1;
    return b;
}

std::string PowModBn(const ByteVec& x, const ByteVec& e, const ByteVec& m) {
    BnCtx ctx(BN_CTX_new());
    Bn bx = FromBytesBn(x), be = FromBytesBn(e), bm = FromBytesBn(m), r(BN_new());
    EXPECT_EQ(BN_mod_exp(r.get(), bx.get(), be.get(), bm.get(), ctx.get()), 1);
    return Hex(r.get());
}

std::string PowModVn(const ByteVec& x, const ByteVec& e, const ByteVec& m) {
    VarnumPtr vx = FromBytesVn(x), ve = FromBytesVn(e), vm = FromBytesVn(m), y = vnMake();
    vnPowMod(y.get(), vx.get(), ve.get(), vm.get());
    return Hex(y.get());
}

}  // namespace

TEST(Varnum, ByteConversions) {
    VarnumPtr v = vnMake();
    EXPECT_EQ(v->ndigits, 0u);
    EXPECT_EQ(v->maxdigits, 1u);
    std::uint8_t one[1] = {0xFF};
    EXPECT_EQ(vnToBytes(v.get(), one, 1), 1);
    EXPECT_EQ(one[0], 0x00);

    const std::uint8_t x0102[] = {0x01, 0x02};
    vnFromBytes(v.get(), x0102, 2);
    std::uint8_t four[4];
    EXPECT_EQ(vnToBytes(v.get(), four, 4), 2);
    EXPECT_EQ(ToHex(four, 4), "00000102");
    EXPECT_EQ(vnToBytes(v.get(), one, 1), 2);  // only the low-order byte fits
    EXPECT_EQ(one[0], 0x02);
    EXPECT_EQ(vnToBytes(v.get(), nullptr, 0), 2);

    const std::uint8_t five[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(vnFromBytes(v.get(), five, 5), 2);
    ASSERT_EQ(v->ndigits, 2u);
    EXPECT_EQ(v->digits[0], 0x02030405u);
    EXPECT_EQ(v->digits[1], 0x01u);
    EXPECT_EQ(vnBits(v.get()), 33);

    // A smaller value read into a larger object leaves no high digits behind.
    vnFromBytes(v.get(), x0102, 2);
    EXPECT_EQ(v->ndigits, 1u);
    EXPECT_EQ(v->digits[1], 0u);
    // Leading zero bytes do not count.
    const std::uint8_t padded[] = {0, 0, 0, 0, 0, 7};
    vnFromBytes(v.get(), padded, 6);
    EXPECT_EQ(v->ndigits, 1u);
    EXPECT_EQ(vnToBytes(v.get(), nullptr, 0), 1);
}

TEST(Varnum, CompareIgnoresAllocatedLength) {
    VarnumPtr a = vnMake(), b = vnMake();
    vnSetDigit(a.get(), 5);
    vnSetDigit(b.get(), 5);
    vn_resize(b.get(), 40);
    EXPECT_EQ(vnCmp(a.get(), b.get()), 0);
    vnSetDigit(b.get(), 6);
    EXPECT_EQ(vnCmp(a.get(), b.get()), -1);
    EXPECT_EQ(vnCmp(b.get(), a.get()), 1);
    const std::uint8_t big[] = {1, 0, 0, 0, 0};
    vnFromBytes(b.get(), big, 5);
    EXPECT_EQ(vnCmp(b.get(), a.get()), 1);
}

TEST(Varnum, ResizeTruncatesAndGrows) {
    VarnumPtr v = vnMake();
    const std::uint8_t bytes[] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    vnFromBytes(v.get(), bytes, sizeof bytes);
    ASSERT_EQ(v->ndigits, 3u);
    vn_resize(v.get(), 10);
    EXPECT_EQ(v->maxdigits, 10u);
    EXPECT_EQ(v->ndigits, 3u);
    EXPECT_EQ(Hex(v.get()), "090807060504030201");
    vn_resize(v.get(), 1);
    EXPECT_EQ(v->ndigits, 1u);
    EXPECT_EQ(v->digits[1], 0u);
    EXPECT_EQ(Hex(v.get()), "04030201");
}

TEST(Varnum, ArithmeticMatchesOpenSsl) {
    std::mt19937 rng(5);
    BnCtx ctx(BN_CTX_new());
    for (int round = 0; round < 200; ++round) {
        int ubits = 1 + static_cast<int>(rng() % 700), vbits = 1 + static_cast<int>(rng() % 700);
        if (round % 7 == 0) vbits = 1 + static_cast<int>(rng() % 32);  // one-digit paths
        ByteVec ub = RandomNumber(rng, ubits), vb = RandomNumber(rng, vbits);
        Bn bu = FromBytesBn(ub), bv = FromBytesBn(vb), r(BN_new()), q(BN_new());

        VarnumPtr u = FromBytesVn(ub), v = FromBytesVn(vb), w = vnMake();
        vnAdd(w.get(), u.get(), v.get());
        BN_add(r.get(), bu.get(), bv.get());
        ASSERT_EQ(Hex(w.get()), Hex(r.get())) << "add " << round;

        vnMul(w.get(), u.get(), v.get());
        BN_mul(r.get(), bu.get(), bv.get(), ctx.get());
        ASSERT_EQ(Hex(w.get()), Hex(r.get())) << "mul " << round;

        if (vnCmp(u.get(), v.get()) >= 0) {
            EXPECT_EQ(vnSub(w.get(), u.get(), v.get()), 0u);
            BN_sub(r.get(), bu.get(), bv.get());
            ASSERT_EQ(Hex(w.get()), Hex(r.get())) << "sub " << round;
        }

        vnMod(w.get(), u.get(), v.get());
        BN_div(q.get(), r.get(), bu.get(), bv.get(), ctx.get());
        ASSERT_EQ(Hex(w.get()), Hex(r.get())) << "mod " << round;

        ByteVec mb = RandomNumber(rng, 1 + static_cast<int>(rng() % 600));
        VarnumPtr m = FromBytesVn(mb);
        Bn bm = FromBytesBn(mb);
        vnMulMod(w.get(), u.get(), v.get(), m.get());
        BN_mod_mul(r.get(), bu.get(), bv.get(), bm.get(), ctx.get());
        ASSERT_EQ(Hex(w.get()), Hex(r.get())) << "mulmod " << round;
    }
}

TEST(Varnum, AddKeepsTheCarryAndOperandsMayAlias) {
    const std::uint8_t ff[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    VarnumPtr u = vnMake(), v = vnMake();
    vnFromBytes(u.get(), ff, 8);
    vnSetDigit(v.get(), 1);
    vnAdd(u.get(), u.get(), v.get());
    EXPECT_EQ(Hex(u.get()), "010000000000000000");
    EXPECT_EQ(vnSub(u.get(), u.get(), v.get()), 0u);
    EXPECT_EQ(Hex(u.get()), "ffffffffffffffff");
    // u - v with u < v reports the borrow.
    vnSetDigit(u.get(), 1);
    vnSetDigit(v.get(), 2);
    EXPECT_EQ(vnSub(u.get(), u.get(), v.get()), 1u);
    // Multiplying into an operand still gives the product.
    vnSetDigit(u.get(), 0x10000);
    vnMul(u.get(), u.get(), u.get());
    EXPECT_EQ(Hex(u.get()), "0100000000");
}

TEST(Varnum, DigitLayerDivisionMatchesOpenSsl) {
    // Quotients as well as remainders, including divisors whose top digits force the
    // trial-quotient corrections (top digit 0x80000000 and all ones).
    std::mt19937 rng(6);
    BnCtx ctx(BN_CTX_new());
    for (int round = 0; round < 300; ++round) {
        std::size_t ud = 1 + rng() % 40, vd = 1 + rng() % 20;
        std::vector<Digit> u(ud), v(vd), q(ud), r(vd);
        for (auto& d : u) d = static_cast<Digit>(rng());
        for (auto& d : v) d = static_cast<Digit>(rng());
        if (round % 3 == 0) v[vd - 1] = 0x80000000u;
        if (round % 3 == 1) v[vd - 1] = 0xFFFFFFFFu;
        if (round % 5 == 0 && vd > 1) v[vd - 2] = 0xFFFFFFFFu;
        mpDivide(q.data(), r.data(), u.data(), ud, v.data(), vd);
        auto toBn = [](const std::vector<Digit>& a) {
            ByteVec bytes(a.size() * 4);
            mpConvToOctets(a.data(), a.size(), bytes.data(), bytes.size());
            return FromBytesBn(bytes);
        };
        Bn bu = toBn(u), bv = toBn(v), bq(BN_new()), br(BN_new());
        BN_div(bq.get(), br.get(), bu.get(), bv.get(), ctx.get());
        ASSERT_EQ(Hex(toBn(q).get()), Hex(bq.get())) << round;
        ASSERT_EQ(Hex(toBn(r).get()), Hex(br.get())) << round;
    }
    // One-digit division.
    for (int round = 0; round < 200; ++round) {
        std::size_t n = 1 + rng() % 12;
        std::vector<Digit> u(n), q(n);
        for (auto& d : u) d = static_cast<Digit>(rng());
        Digit v = static_cast<Digit>(rng()) >> (rng() % 32);
        if (v == 0) v = 3;
        Digit r = mpShortDiv(q.data(), u.data(), v, n);
        ByteVec bytes(n * 4);
        mpConvToOctets(u.data(), n, bytes.data(), bytes.size());
        Bn bu = FromBytesBn(bytes);
        BN_ULONG ref = BN_div_word(bu.get(), v);
        mpConvToOctets(q.data(), n, bytes.data(), bytes.size());
        ASSERT_EQ(Hex(FromBytesBn(bytes).get()), Hex(bu.get())) << round;
        ASSERT_EQ(r, ref) << round;
    }
    // Zero divisor: quotient and remainder 0.
    Digit u[2] = {5, 6}, zero[1] = {0}, q[2] = {9, 9}, r[1] = {9};
    mpDivide(q, r, u, 2, zero, 1);
    EXPECT_EQ(q[0] | q[1] | r[0], 0u);
    EXPECT_EQ(mpShortDiv(q, u, 0, 2), 0u);
}

TEST(Varnum, PowModSpecialCases) {
    std::mt19937 rng(7);
    ByteVec x = RandomNumber(rng, 300), m = RandomNumber(rng, 256, 1);
    const ByteVec zero = {0}, one = {1};
    EXPECT_EQ(PowModVn(x, zero, m), "01");
    EXPECT_EQ(PowModVn(x, one, m), PowModBn(x, one, m));  // x mod m, x > m
    for (const ByteVec& e : {one, ByteVec{3}, ByteVec{0x01, 0x00, 0x01}, RandomNumber(rng, 200)})
        EXPECT_EQ(PowModVn(x, e, zero), "00");
    EXPECT_EQ(PowModVn(zero, ByteVec{5}, m), "00");

    // The result object may be any operand.
    ByteVec e = RandomNumber(rng, 100);
    std::string expected = PowModBn(x, e, m);
    VarnumPtr vx = FromBytesVn(x), ve = FromBytesVn(e), vm = FromBytesVn(m);
    vnPowMod(vx.get(), vx.get(), ve.get(), vm.get());
    EXPECT_EQ(Hex(vx.get()), expected);
    vx = FromBytesVn(x);
    vnPowMod(vm.get(), vx.get(), ve.get(), vm.get());
    EXPECT_EQ(Hex(vm.get()), expected);
}

TEST(Varnum, PowModBinaryAndWindowPathsAgreeWithOpenSsl) {
    // Exponents of 15 bits take the binary path, 16 bits and above the sliding window;
    // each window threshold (16, 64, 240, 768, 1024, 2048) is crossed.
    std::mt19937 rng(8);
    for (int ebits : {2, 5, 15, 16, 17, 63, 64, 239, 240, 767, 768, 1024}) {
        for (int parity : {0, 1}) {
            ByteVec m = RandomNumber(rng, 512 + static_cast<int>(rng() % 64) * 8, parity);
            ByteVec x = RandomNumber(rng, 500), e = RandomNumber(rng, ebits);
            ASSERT_EQ(PowModVn(x, e, m), PowModBn(x, e, m)) << "exponent bits " << ebits << " parity " << parity;
        }
    }
    // The largest binary-path exponent and the smallest windowed one.
    ByteVec m = RandomNumber(rng, 512, 1), x = RandomNumber(rng, 400);
    EXPECT_EQ(PowModVn(x, ByteVec{0x7F, 0xFF}, m), PowModBn(x, ByteVec{0x7F, 0xFF}, m));
    EXPECT_EQ(PowModVn(x, ByteVec{0x80, 0x00}, m), PowModBn(x, ByteVec{0x80, 0x00}, m));
}

TEST(Varnum, PowModRandomOperandsFrom512To4096Bits) {
    // Full-size exponents, odd and even moduli; 65537; and the 4096-bit case once.
    std::mt19937 rng(9);
    for (int bits : {512, 768, 1024, 1536, 2048, 3072, 4096}) {
        ByteVec m = RandomNumber(rng, bits, bits % 1024 == 0 ? 1 : 0);
        ByteVec x = kvntest::RandomVec(rng, static_cast<std::size_t>(bits / 8));
        ByteVec e = bits <= 2048 ? RandomNumber(rng, bits) : RandomNumber(rng, 600);
        ASSERT_EQ(PowModVn(x, e, m), PowModBn(x, e, m)) << bits;
        const ByteVec f4 = {0x01, 0x00, 0x01};
        ASSERT_EQ(PowModVn(x, f4, m), PowModBn(x, f4, m)) << bits;
    }
    ByteVec m = RandomNumber(rng, 4096, 1), x = RandomNumber(rng, 4000), e = RandomNumber(rng, 4096);
    ASSERT_EQ(PowModVn(x, e, m), PowModBn(x, e, m));
}

TEST(Varnum, RsaShapedCrtMatchesOpenSsl) {
    // m = c^d mod n computed as OpenSSL's RSA does it, with p, q, dP, dQ, qInv from a
    // generated key, and recombined with Varnum operations only.
    Bn p(BN_new()), q(BN_new()), n(BN_new()), d(BN_new()), e(BN_new()), p1(BN_new()), q1(BN_new()), phi(BN_new());
    Bn dp(BN_new()), dq(BN_new()), qinv(BN_new()), c(BN_new()), expected(BN_new());
    BnCtx ctx(BN_CTX_new());
    ASSERT_EQ(BN_generate_prime_ex(p.get(), 512, 0, nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(BN_generate_prime_ex(q.get(), 512, 0, nullptr, nullptr, nullptr), 1);
    BN_mul(n.get(), p.get(), q.get(), ctx.get());
    BN_set_word(e.get(), 65537);
    BN_sub(p1.get(), p.get(), BN_value_one());
    BN_sub(q1.get(), q.get(), BN_value_one());
    BN_mul(phi.get(), p1.get(), q1.get(), ctx.get());
    ASSERT_NE(BN_mod_inverse(d.get(), e.get(), phi.get(), ctx.get()), nullptr);
    BN_mod(dp.get(), d.get(), p1.get(), ctx.get());
    BN_mod(dq.get(), d.get(), q1.get(), ctx.get());
    ASSERT_NE(BN_mod_inverse(qinv.get(), q.get(), p.get(), ctx.get()), nullptr);
    BN_rand_range(c.get(), n.get());
    BN_mod_exp(expected.get(), c.get(), d.get(), n.get(), ctx.get());

    auto vn = [](const BIGNUM* b) {
        ByteVec bytes(static_cast<std::size_t>(BN_num_bytes(b)));
        BN_bn2bin(b, bytes.data());
        return FromBytesVn(bytes);
    };
    VarnumPtr vc = vn(c.get()), vp = vn(p.get()), vq = vn(q.get()), vdp = vn(dp.get()), vdq = vn(dq.get());
    VarnumPtr vqinv = vn(qinv.get()), m1 = vnMake(), m2 = vnMake(), h = vnMake(), t = vnMake(), m = vnMake();
    vnPowMod(m1.get(), vc.get(), vdp.get(), vp.get());
    vnPowMod(m2.get(), vc.get(), vdq.get(), vq.get());
    // h = qInv (m1 - m2) mod p, taking m1 + p when m1 < m2.
    vnMod(t.get(), m2.get(), vp.get());
    if (vnCmp(m1.get(), t.get()) < 0) vnAdd(m1.get(), m1.get(), vp.get());
    vnSub(t.get(), m1.get(), t.get());
    vnMulMod(h.get(), t.get(), vqinv.get(), vp.get());
    vnMul(t.get(), h.get(), vq.get());
    vnAdd(m.get(), t.get(), m2.get());
    EXPECT_EQ(Hex(m.get()), Hex(expected.get()));
    // And the plain exponentiation modulo n, and back with e.
    VarnumPtr vd = vn(d.get()), vnn = vn(n.get()), ve = vn(e.get()), back = vnMake();
    vnPowMod(t.get(), vc.get(), vd.get(), vnn.get());
    EXPECT_EQ(Hex(t.get()), Hex(expected.get()));
    vnPowMod(back.get(), t.get(), ve.get(), vnn.get());
    EXPECT_EQ(vnCmp(back.get(), vc.get()), 0);
}

TEST(Varnum, AllocationFailureThrowsAndLeaksNothing) {
    std::mt19937 rng(10);
    ByteVec x = RandomNumber(rng, 600), e = RandomNumber(rng, 300), m = RandomNumber(rng, 512);
    const std::string expected = PowModBn(x, e, m);
    // Every fault ends the computation with the failing allocator's own message.
    const long faults = kvn_test::FaultSim(
        [&] {
            VarnumPtr vx = FromBytesVn(x), ve = FromBytesVn(e), vm = FromBytesVn(m), y = vnMake();
            vnPowMod(y.get(), vx.get(), ve.get(), vm.get());
            return Hex(y.get()) == expected ? 0 : 1;
        },
        [](const kvn_test::FaultRun& run) {
            kvn_test::ThrowsOrGives(0)(run);
            if (!run.threw) return;
            EXPECT_TRUE(run.what == "vnNew: Failed to calloc memory." || run.what == "vn_resize: Failed to realloc memory." ||
                        run.what == "mpAlloc: Unable to allocate memory.")
                << run.what;
        });
    EXPECT_GT(faults, 3);
}

TEST(Varnum, HalfDigitDivisionMatchesNativeDivision) {
    // spDivide forms each quotient digit from 16-bit halves; compare with the machine's
    // 64-by-32-bit division, stressing the trial-quotient corrections.
    std::mt19937 rng(15);
    const Digit edges[] = {0x80000000u, 0x80000001u, 0x8000FFFFu, 0xFFFF0000u, 0xFFFFFFFFu, 0xC0000000u};
    for (int round = 0; round < 200000; ++round) {
        Digit v = round < 6000 ? edges[round % 6] : static_cast<Digit>(rng()) | 0x80000000u;
        Digit u1 = round % 3 == 0 ? v - 1 - static_cast<Digit>(rng() % 4) : static_cast<Digit>(rng()) % v;
        Digit u0 = round % 5 == 0 ? 0xFFFFFFFFu - static_cast<Digit>(rng() % 4) : static_cast<Digit>(rng());
        std::uint64_t num = (std::uint64_t{u1} << 32) | u0;
        Digit rem = 0;
        Digit q = spDivide(&rem, u1, u0, v);
        ASSERT_EQ(q, num / v) << std::hex << u1 << " " << u0 << " / " << v;
        ASSERT_EQ(rem, num % v);
    }
}
