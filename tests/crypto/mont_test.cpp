// Montgomery arithmetic against OpenSSL's BIGNUM, at the sizes with unrolled kernels and
// at others. The crypto suite runs a second time with KVN_PORTABLE_CRYPTO=1
// (crypto_portable), so both the MULX/ADX kernels and the portable ones are checked.
#include "crypto/mont.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/cpu.h"
#include "openssl_bn.h"

namespace kvn {
namespace {

using kvntest::Bn;
using kvntest::BnCtx;

using Limbs = std::vector<Limb>;

Bn ToBn(const Limbs& a) {
    std::vector<std::uint8_t> bytes(8 * a.size());
    mont_ToBytes(bytes.data(), bytes.size(), a.data(), a.size());
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

Limbs FromBn(const BIGNUM* b, std::size_t n) {
    std::vector<std::uint8_t> bytes(8 * n);
    EXPECT_EQ(BN_bn2binpad(b, bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
    Limbs a(n);
    mont_FromBytes(a.data(), n, bytes.data(), bytes.size());
    return a;
}

// Odd moduli of n limbs: random, all ones (the largest carries) and 2^(64n-1) + 1.
std::vector<Limbs> Moduli(std::mt19937_64& rng, std::size_t n) {
    Limbs random(n), ones(n, ~Limb{0}), low(n, 0);
    for (Limb& l : random) l = rng();
    random[0] |= 1;
    random[n - 1] |= Limb{1} << 63;
    low[n - 1] |= Limb{1} << 63;
    low[0] |= 1;
    return {random, ones, low};
}

// A value below m: random, or m - 1.
Limbs Below(std::mt19937_64& rng, const Limbs& m, bool top) {
    Limbs a(m);
    if (top) {
        a[0] -= 1;
        return a;
    }
    for (Limb& l : a) l = rng();
    a[m.size() - 1] %= m[m.size() - 1];
    return a;
}

class MontSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MontSizes, ProductsSquaresAndReductionMatchOpenSsl) {
    const std::size_t n = GetParam();
    std::mt19937_64 rng(n);
    BnCtx ctx(BN_CTX_new());
    for (const Limbs& m : Moduli(rng, n)) {
        const MontModulus M(m.data(), n);
        const MontModulus Mp(m.data(), n, MontModulus::Public{});
        const MontModulus Me(m.data(), n, MontModulus::PublicExponent{});
        ASSERT_EQ(Limbs(M.one(), M.one() + n), Limbs(Mp.one(), Mp.one() + n));
        ASSERT_EQ(Limbs(M.one(), M.one() + n), Limbs(Me.one(), Me.one() + n));
        const Bn bm = ToBn(m);
        for (int round = 0; round < 6; ++round) {
            const Limbs a = Below(rng, m, round == 0), b = Below(rng, m, round <= 1);
            Limbs am(n), bm2(n), r(n), s(n);
            M.ToMont(am.data(), a.data());
            M.ToMont(bm2.data(), b.data());
            M.Mul(r.data(), am.data(), bm2.data());
            M.FromMont(r.data(), r.data());
            M.Sqr(s.data(), am.data());
            M.FromMont(s.data(), s.data());
            Bn want(BN_new()), sq(BN_new());
            ASSERT_TRUE(BN_mod_mul(want.get(), ToBn(a).get(), ToBn(b).get(), bm.get(), ctx.get()));
            ASSERT_TRUE(BN_mod_sqr(sq.get(), ToBn(a).get(), bm.get(), ctx.get()));
            EXPECT_EQ(r, FromBn(want.get(), n)) << "n=" << n << " round " << round;
            EXPECT_EQ(s, FromBn(sq.get(), n)) << "n=" << n << " round " << round;
            // Montgomery reduction of the double-length plain product a b.
            Limbs wide(2 * n), red(n);
            mont_MulPlain(wide.data(), a.data(), n, b.data(), n);
            M.ReduceToMont(red.data(), wide.data());
            M.FromMont(red.data(), red.data());
            EXPECT_EQ(red, FromBn(want.get(), n)) << "n=" << n << " round " << round;
        }
    }
}

TEST_P(MontSizes, SecretAndPublicExponentiationAgree) {
    const std::size_t n = GetParam();
    std::mt19937_64 rng(100 + n);
    BnCtx ctx(BN_CTX_new());
    const Limbs m = Moduli(rng, n)[0];
    const MontModulus M(m.data(), n);
    const Limbs a = Below(rng, m, false);
    Limbs e(n);
    for (Limb& l : e) l = rng();
    Limbs am(n), x(n), y(n);
    M.ToMont(am.data(), a.data());
    M.ExpSecret(x.data(), am.data(), e.data(), n);
    M.ExpPublicVartime(y.data(), am.data(), e.data(), n);
    EXPECT_EQ(x, y);
    M.FromMont(x.data(), x.data());
    Bn want(BN_new());
    ASSERT_TRUE(BN_mod_exp(want.get(), ToBn(a).get(), ToBn(e).get(), ToBn(m).get(), ctx.get()));
    EXPECT_EQ(x, FromBn(want.get(), n));
}

TEST_P(MontSizes, InverseMatchesOpenSsl) {
    const std::size_t n = GetParam();
    std::mt19937_64 rng(200 + n);
    BnCtx ctx(BN_CTX_new());
    for (const Limbs& m : Moduli(rng, n)) {
        const Bn bm = ToBn(m);
        for (int round = 0; round < 8; ++round) {
            Limbs a = Below(rng, m, round == 0);
            if (round == 1) a.assign(n, 0), a[0] = 1;
            if (round == 2) a.assign(n, 0), a[0] = 2;
            if (round == 3 && n > 1) a.assign(n, 0), a[n - 1] = 1;  // a power of two
            Limbs r(n, 0);
            Bn want(BN_mod_inverse(nullptr, ToBn(a).get(), bm.get(), ctx.get()));
            const bool ok = mont_InverseVartime(r.data(), a.data(), m.data(), n);
            ASSERT_EQ(ok, want != nullptr) << "n=" << n << " round " << round;
            if (want) {
                EXPECT_EQ(r, FromBn(want.get(), n)) << "n=" << n << " round " << round;
            }
            ERR_clear_error();
        }
    }
    // Not invertible: a shares the factor 3 with m; and zero.
    Limbs m(n, 0), a(n, 0), r(n);
    m[0] = 3 * 0x1234567u;
    a[0] = 6;
    EXPECT_FALSE(mont_InverseVartime(r.data(), a.data(), m.data(), n));
    a.assign(n, 0);
    EXPECT_FALSE(mont_InverseVartime(r.data(), a.data(), m.data(), n));
}

// Contexts made while it lives use the radix-2^52 kernels as `mode` says
// (mont_UseRadix52ForTesting).
struct Radix52Mode {
    explicit Radix52Mode(int mode) { mont_UseRadix52ForTesting(mode); }
    ~Radix52Mode() { mont_UseRadix52ForTesting(-1); }
};

// The radix-2^52 exponentiation (the IFMA kernels' algorithm, here on the emulated lanes,
// and on the real ones where the processor has them) gives what the 64-bit kernels and
// OpenSSL give, for every shape of modulus and for exponents with no bit, every bit and
// random bits set.
TEST_P(MontSizes, Radix52KernelsMatchTheOthers) {
    const std::size_t n = GetParam();
    std::mt19937_64 rng(300 + n);
    BnCtx ctx(BN_CTX_new());
    std::vector<int> modes = {1};
    if (cpu_HasAvx512Ifma()) modes.push_back(-1);
    for (const Limbs& m : Moduli(rng, n)) {
        std::unique_ptr<MontModulus> wide;
        {
            Radix52Mode off(0);
            wide = std::make_unique<MontModulus>(m.data(), n);
        }
        ASSERT_FALSE(wide->UsesRadix52());
        const Bn bm = ToBn(m);
        // Long exponents only where they are quick on the emulated lanes; the products are
        // the same at every exponent length.
        const std::size_t elimbs = n <= 16 ? n : 2;
        for (int round = 0; round < 4; ++round) {
            const Limbs a = Below(rng, m, round == 1);
            Limbs e(elimbs, round == 0 ? 0 : ~Limb{0});
            if (round >= 2)
                for (Limb& l : e) l = rng();
            Limbs am(n), want64(n);
            wide->ToMont(am.data(), a.data());
            wide->ExpSecret(want64.data(), am.data(), e.data(), elimbs);
            wide->FromMont(want64.data(), want64.data());
            Bn want(BN_new());
            ASSERT_TRUE(BN_mod_exp(want.get(), ToBn(a).get(), ToBn(e).get(), bm.get(), ctx.get()));
            ASSERT_EQ(want64, FromBn(want.get(), n)) << "n=" << n << " round " << round;
            for (int mode : modes) {
                Radix52Mode use(mode);
                const MontModulus M(m.data(), n);
                const MontModulus Mp(m.data(), n, MontModulus::Public{});
                for (const MontModulus* ctx52 : {&M, &Mp}) {
                    ASSERT_TRUE(ctx52->UsesRadix52());
                    Limbs x(n);
                    ctx52->ToMont(x.data(), a.data());
                    ctx52->ExpSecret(x.data(), x.data(), e.data(), elimbs);  // in place
                    ctx52->FromMont(x.data(), x.data());
                    EXPECT_EQ(x, want64) << "n=" << n << " round " << round << " mode " << mode;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Limbs, MontSizes, ::testing::Values(1, 2, 3, 5, 8, 16, 17, 24, 32, 48, 64));

TEST(Mont, KernelChoiceFollowsTheProcessorAndTheSwitch) {
    const char* env = std::getenv("KVN_PORTABLE_CRYPTO");
    const bool portable = env && std::string(env) == "1";
    EXPECT_EQ(cpu_UseMulxAdx(), cpu_HasMulxAdx() && !portable);
}

}  // namespace
}  // namespace kvn
