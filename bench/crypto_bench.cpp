// Digests, ciphers, PBKDF2 and modular exponentiation: ours and OpenSSL's libcrypto side
// by side on the same inputs. Each pair is named <case>/ours and <case>/openssl; after
// the runs a table gives the ratio ours / OpenSSL (time per operation) and its target.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/memory.h"
#include "crypto/cipher.h"
#include "crypto/digest.h"
#include "crypto/hmac.h"
#include "crypto/varnum.h"

namespace {

using ByteVec = std::vector<std::uint8_t>;

ByteVec RandomBytesFor(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    ByteVec v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

constexpr std::size_t k16KiB = 16 * 1024;
constexpr std::size_t k16MiB = 16 * 1024 * 1024;

const ByteVec& Input(std::size_t n) {
    static std::map<std::size_t, ByteVec> inputs;
    auto it = inputs.find(n);
    if (it == inputs.end()) it = inputs.emplace(n, RandomBytesFor(n, 1)).first;
    return it->second;
}

// --- digests ---

void DigestOurs(benchmark::State& state, unsigned alg, std::size_t n) {
    const ByteVec& in = Input(n);
    std::uint8_t out[64];
    for (auto _ : state) {
        int length = 0;
        if (kvn::Failed(kvn::DigestData(out, 64, in.data(), static_cast<int>(n), alg, length))) std::abort();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

void DigestOpenSsl(benchmark::State& state, const EVP_MD* md, std::size_t n) {
    const ByteVec& in = Input(n);
    std::uint8_t out[64];
    unsigned len = 0;
    for (auto _ : state) {
        EVP_Digest(in.data(), n, out, &len, md, nullptr);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

// --- ciphers (whole-message CBC encryption with padding, as the library uses them) ---

const ByteVec kKey = RandomBytesFor(32, 2);
const ByteVec kIv = RandomBytesFor(16, 3);

void AesOurs(benchmark::State& state) {
    const ByteVec& in = Input(k16KiB);
    for (auto _ : state) {
        kvn::SecureBytes out;
        if (kvn::Failed(kvn::AesCbcEncrypt(out, 128, in.data(), static_cast<int>(in.size()), kKey.data(), kIv.data())))
            std::abort();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * k16KiB));
}

void Des3Ours(benchmark::State& state) {
    const ByteVec& in = Input(k16KiB);
    for (auto _ : state) {
        kvn::SecureBytes out;
        if (kvn::Failed(kvn::Des3CbcEncrypt(out, in.data(), static_cast<int>(in.size()), kKey.data(), kIv.data())))
            std::abort();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * k16KiB));
}

void CipherOpenSsl(benchmark::State& state, const EVP_CIPHER* cipher) {
    const ByteVec& in = Input(k16KiB);
    ByteVec out(k16KiB + 32);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int n1 = 0, n2 = 0;
        EVP_EncryptInit_ex(ctx, cipher, nullptr, kKey.data(), kIv.data());
        EVP_EncryptUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
        EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * k16KiB));
}

// --- PBKDF2-HMAC-SHA1, 2048 iterations, 24 bytes (a Triple DES key) ---

const char kPassword[] = "a password of some length";
const ByteVec kSalt = RandomBytesFor(8, 4);

void Pbkdf2Ours(benchmark::State& state) {
    std::uint8_t out[24];
    for (auto _ : state) {
        if (kvn::Failed(kvn::Pbkdf2(out, 24, kPassword, sizeof kPassword - 1, kSalt.data(), kSalt.size(), 2048,
                                    kvn::kHashSha1)))
            state.SkipWithError("PBKDF2 failed");
        benchmark::DoNotOptimize(out);
    }
}

void Pbkdf2OpenSsl(benchmark::State& state) {
    std::uint8_t out[24];
    for (auto _ : state) {
        PKCS5_PBKDF2_HMAC(kPassword, sizeof kPassword - 1, kSalt.data(), static_cast<int>(kSalt.size()), 2048,
                          EVP_sha1(), 24, out);
        benchmark::DoNotOptimize(out);
    }
}

// --- modular exponentiation ---

struct PowCase {
    ByteVec x, e, m;
};

ByteVec BnBytes(const BIGNUM* b) {
    ByteVec v(static_cast<std::size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, v.data());
    return v;
}

// Half of an RSA-2048 CRT operation: x < p, a full-size exponent, p a 1024-bit prime.
const PowCase& HalfPrivate() {
    static const PowCase c = [] {
        BIGNUM* p = BN_new();
        BN_generate_prime_ex(p, 1024, 0, nullptr, nullptr, nullptr);
        BIGNUM* x = BN_new();
        BIGNUM* e = BN_new();
        BN_rand_range(x, p);
        BN_rand(e, 1024, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY);
        PowCase pc{BnBytes(x), BnBytes(e), BnBytes(p)};
        BN_free(p);
        BN_free(x);
        BN_free(e);
        return pc;
    }();
    return c;
}

// A 2048-bit public operation: n = p q, e = 65537.
const PowCase& Public2048() {
    static const PowCase c = [] {
        BN_CTX* ctx = BN_CTX_new();
        BIGNUM *p = BN_new(), *q = BN_new(), *n = BN_new(), *x = BN_new();
        BN_generate_prime_ex(p, 1024, 0, nullptr, nullptr, nullptr);
        BN_generate_prime_ex(q, 1024, 0, nullptr, nullptr, nullptr);
        BN_mul(n, p, q, ctx);
        BN_rand_range(x, n);
        PowCase pc{BnBytes(x), ByteVec{0x01, 0x00, 0x01}, BnBytes(n)};
        BN_free(p);
        BN_free(q);
        BN_free(n);
        BN_free(x);
        BN_CTX_free(ctx);
        return pc;
    }();
    return c;
}

void PowModOurs(benchmark::State& state, const PowCase& c) {
    kvn::VarnumPtr x = kvn::vnMake(), e = kvn::vnMake(), m = kvn::vnMake(), y = kvn::vnMake();
    kvn::vnFromBytes(x.get(), c.x.data(), c.x.size());
    kvn::vnFromBytes(e.get(), c.e.data(), c.e.size());
    kvn::vnFromBytes(m.get(), c.m.data(), c.m.size());
    for (auto _ : state) {
        kvn::vnPowMod(y.get(), x.get(), e.get(), m.get());
        benchmark::DoNotOptimize(y->digits);
    }
}

void PowModOpenSsl(benchmark::State& state, const PowCase& c) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* x = BN_bin2bn(c.x.data(), static_cast<int>(c.x.size()), nullptr);
    BIGNUM* e = BN_bin2bn(c.e.data(), static_cast<int>(c.e.size()), nullptr);
    BIGNUM* m = BN_bin2bn(c.m.data(), static_cast<int>(c.m.size()), nullptr);
    BIGNUM* y = BN_new();
    for (auto _ : state) {
        BN_mod_exp(y, x, e, m, ctx);
        benchmark::DoNotOptimize(y);
    }
    BN_free(x);
    BN_free(e);
    BN_free(m);
    BN_free(y);
    BN_CTX_free(ctx);
}

// Collects the time per iteration of every run for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                times_[r.benchmark_name()] = r.GetAdjustedCPUTime();  // CPU time: steadier on a shared machine
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const {
        struct Target {
            const char* name;
            double limit;
        };
        const Target targets[] = {
            {"SHA1/16KiB", 1.2},      {"SHA1/16MiB", 1.2},     {"SHA256/16KiB", 1.2},   {"SHA256/16MiB", 1.2},
            {"MD5/16KiB", 2.5},       {"MD5/16MiB", 2.5},      {"AES128-CBC/16KiB", 1.5}, {"3DES-CBC/16KiB", 1.5},
            {"PBKDF2-SHA1/2048", 1.0}, {"PowMod/1024-prime-full-exp", 8}, {"PowMod/2048-public-65537", 4},
        };
        std::printf("\n%-30s %12s %12s %8s %8s\n", "case", "ours", "openssl", "ratio", "target");
        for (const Target& t : targets) {
            auto ours = times_.find(std::string(t.name) + "/ours");
            auto peer = times_.find(std::string(t.name) + "/openssl");
            if (ours == times_.end() || peer == times_.end()) continue;
            double ratio = ours->second / peer->second;
            std::printf("%-30s %12.1f %12.1f %8.2f %8.1f %s\n", t.name, ours->second, peer->second, ratio, t.limit,
                        ratio <= t.limit ? "ok" : "MISSED");
        }
    }

private:
    std::map<std::string, double> times_;
};

void RegisterAll() {
    struct DigestCase {
        const char* name;
        unsigned alg;
        const EVP_MD* (*md)();
    };
    const DigestCase digests[] = {{"SHA1", kvn::kHashSha1, EVP_sha1}, {"SHA256", kvn::kHashSha256, EVP_sha256},
                                  {"MD5", kvn::kHashMd5, EVP_md5}};
    for (const DigestCase& d : digests) {
        for (auto [size, label] : {std::pair{k16KiB, "16KiB"}, std::pair{k16MiB, "16MiB"}}) {
            std::string base = std::string(d.name) + "/" + label;
            benchmark::RegisterBenchmark((base + "/ours").c_str(), DigestOurs, d.alg, size);
            benchmark::RegisterBenchmark((base + "/openssl").c_str(), DigestOpenSsl, d.md(), size);
        }
    }
    benchmark::RegisterBenchmark("AES128-CBC/16KiB/ours", AesOurs);
    benchmark::RegisterBenchmark("AES128-CBC/16KiB/openssl", CipherOpenSsl, EVP_aes_128_cbc());
    benchmark::RegisterBenchmark("3DES-CBC/16KiB/ours", Des3Ours);
    benchmark::RegisterBenchmark("3DES-CBC/16KiB/openssl", CipherOpenSsl, EVP_des_ede3_cbc());
    benchmark::RegisterBenchmark("PBKDF2-SHA1/2048/ours", Pbkdf2Ours)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("PBKDF2-SHA1/2048/openssl", Pbkdf2OpenSsl)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("PowMod/1024-prime-full-exp/ours", PowModOurs, HalfPrivate())->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("PowMod/1024-prime-full-exp/openssl", PowModOpenSsl, HalfPrivate())->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("PowMod/2048-public-65537/ours", PowModOurs, Public2048())->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("PowMod/2048-public-65537/openssl", PowModOpenSsl, Public2048())->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RegisterAll();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
