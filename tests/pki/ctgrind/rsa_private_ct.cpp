// The constant-time check of the RSA private operation (the ctgrind method): the
// private exponent, the primes, the CRT parts and the blinding bytes are marked as
// undefined memory, so that memcheck reports every conditional jump, conditional move
// or memory address that depends on them. A clean run has no such report.
//
// Run by hand (CTest runs the same as rsa_private_constant_time when valgrind is found):
//   cmake --build build/test --target rsa_private_ct
//   valgrind --error-exitcode=1 --track-origins=yes build/test/tests/rsa_private_ct
// and once more with KVN_PORTABLE_CRYPTO=1 for the portable Montgomery kernels (CTest's
// rsa_private_constant_time_portable). Each run also checks the radix-2^52 kernels of the
// IFMA path on their emulated lanes. The program says which kernels it ran.
// The program is built from the arithmetic sources with KVN_CTGRIND defined, which marks
// the two values whose disclosure is harmless (the blinded product r t that meets the
// inversion, and the verdict of the result check) as defined.
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/cpu.h"
#include "crypto/mont.h"
#include "pki/rsa_private.h"

namespace {

using kvn::Limb;
using kvn::SecureLimbs;

// tests/fixtures/credentials/test-rsa1024-plain.pem, big-endian hex.
const char* const kParts[] = {
    // n
        "a91bb775f43e40645ea0a2e6110ff8e26b3477543a1791a4566f4260dc5a7f2f"
        "c13d48da61b22f0b0dee7254d0d9bd3383c758612268b58a6d62088b07c5d9b6"
        "c1400520b95b6f3e5857ba6c10f4535a39f257e69a16a2071b4ab7a15a47be7d"
        "229e651f07185b8af7f41fd19f11f356d9862ef6fc5f3d78923975ec7c510383",
    // e
        "010001",
    // d
        "65ac676a80d5e8cb2fe5aeeb5a78daefeefad5800b895e248b5f4b6e872dd5e8"
        "756b8e60d67a56347444d7f2ccbb0d396ad2b0fd7dbdace0b4914b87a3bdbdfe"
        "5b72f69ba21c5ad41908f119236d858557a4991a22ac50f56fa6c37883c247a1"
        "ee64e34b4a11d0be066dba37e7a0e1a1defe68f3985c7012eaba97fe93dc08f9",
    // p
        "df40359de708803dd2ac19b3f047518a75fe65af6ba633252c897d4503aaf17a"
        "1644483ece2ef7ec6107c02a54daaf4fbdecccf8018f02b1bba908b0edeb952d",
    // q
        "c1ea477e3e381ba71af3736f53615ea5cb418233fc81cef46e99cf613c4d1645"
        "34e9eb2f97e8dedfdeb5be3177e912b2a9a3f924349091c9cd5279314417c96f",
    // dp
        "2edb3025ab06dabb9f0ae5fe213126c913c8c818d0543aa9d3b62ba79f847258"
        "38722e63982cbd764c4b2f26f3564eb342de7f8a91f12d1496997cac7dd31325",
    // dq
        "79922656382db6f071ce151dc339753c1e0ca8d36cc7f8f6776c887e1e6ef9ba"
        "53ad1f5c4c319ba0e0a032681314153bdb6cc8a2712dfda875c7f1e0f81ead93",
    // qinv
        "bd4722a9303bcf29fda7f2669e4519d5e71d2d3ad08fe804201d0b6a9c0fdd32"
        "1c1e2bc9e9b86a2c38fbf121baf837b752d0a312cb7db325d8b09a267ce0a4af"};

SecureLimbs FromHex(const char* hex, std::size_t limbs) {
    std::string bytes;
    for (std::size_t i = 0; hex[i] && hex[i + 1]; i += 2) bytes += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
    SecureLimbs out(limbs);
    kvn::mont_FromBytes(out.data(), limbs, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return out;
}

void Secret(SecureLimbs& v) { VALGRIND_MAKE_MEM_UNDEFINED(v.data(), v.size() * sizeof(Limb)); }

// One private operation with the secrets marked; true when its result is right.
bool RunOnce(bool crt) {
    kvn::rsa_PrivateLimbs key;
    key.nLimbs = 16;
    key.halfLimbs = key.pLimbs = key.qLimbs = 8;
    key.crt = crt;
    key.n = FromHex(kParts[0], 16);
    key.e = FromHex(kParts[1], 16);
    key.d = FromHex(kParts[2], 16);
    key.p = FromHex(kParts[3], 8);
    key.q = FromHex(kParts[4], 8);
    key.dp = FromHex(kParts[5], 8);
    key.dq = FromHex(kParts[6], 8);
    key.qinv = FromHex(kParts[7], 8);
    if (!kvn::rsa_PrivateLimbsUsable(key)) return false;
    for (SecureLimbs* s : {&key.d, &key.p, &key.q, &key.dp, &key.dq, &key.qinv}) Secret(*s);

    std::uint8_t blinding[16 * 16];
    for (std::size_t i = 0; i < sizeof blinding; ++i) blinding[i] = static_cast<std::uint8_t>(i * 131 + 17);
    VALGRIND_MAKE_MEM_UNDEFINED(blinding, sizeof blinding);

    Limb c[16], m[16], back[16];
    for (int i = 0; i < 16; ++i) c[i] = 0x0123456789ABCDEFull * static_cast<Limb>(i + 1);
    c[15] >>= 8;  // below n
    const kvn::rsa_PrivateResult result = kvn::rsa_PrivateLimbsOp(m, c, key, blinding);
    if (result != kvn::rsa_PrivateResult::Ok) return false;
    // The result is public once computed.
    VALGRIND_MAKE_MEM_DEFINED(m, sizeof m);
    kvn::rsa_PublicLimbsOp(back, m, key.n.data(), key.e.data(), 16);
    if (std::memcmp(back, c, sizeof c) != 0) return false;

    // A kept pair, drawn from the secret bytes and moved on by squaring after each use.
    const kvn::rsa_PrivateContext context(key);
    kvn::rsa_Blinding pair;
    for (int use = 0; use < 3; ++use) {
        if (context.RunKept(m, c, pair, blinding) != kvn::rsa_PrivateResult::Ok) return false;
        VALGRIND_MAKE_MEM_DEFINED(m, sizeof m);
        kvn::rsa_PublicLimbsOp(back, m, key.n.data(), key.e.data(), 16);
        if (std::memcmp(back, c, sizeof c) != 0) return false;
    }
    return true;
}

}  // namespace

int main() {
#if defined(__x86_64__)
    // Under valgrind the MULX/ADX kernels run whatever its simulated CPUID says; natively
    // only where the processor has them. KVN_PORTABLE_CRYPTO=1 checks the portable ones.
    const char* portable = std::getenv("KVN_PORTABLE_CRYPTO");
    if (portable && std::strcmp(portable, "1") == 0) {
        kvn::cpu_UsePortableForTesting(true);
    } else if (RUNNING_ON_VALGRIND || kvn::cpu_HasMulxAdx()) {
        kvn::cpu_OverrideMulxAdxForTesting(1);
    }
#endif
    kvn::mont_UseRadix52ForTesting(0);
    const bool crt = RunOnce(true), plain = RunOnce(false);
    std::printf("CRT: %s, without CRT: %s (%s products, %s table scan)\n", crt ? "ok" : "WRONG",
                plain ? "ok" : "WRONG", kvn::cpu_UseMulxAdx() ? "MULX/ADX" : "portable",
                kvn::cpu_UseAvx2() ? "AVX2" : "portable");
    // The radix-2^52 exponentiation of the IFMA kernels, on the lanes' portable emulation
    // (valgrind does not run AVX-512): the same algorithm, step for step.
    kvn::mont_UseRadix52ForTesting(1);
    const bool crt52 = RunOnce(true), plain52 = RunOnce(false);
    std::printf("CRT: %s, without CRT: %s (radix 2^52, emulated IFMA lanes)\n", crt52 ? "ok" : "WRONG",
                plain52 ? "ok" : "WRONG");
    return crt && plain && crt52 && plain52 ? 0 : 1;
}
