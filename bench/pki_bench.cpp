// Key files, the RSA private operation and the key-and-certificate check: ours and
// OpenSSL's libcrypto side by side on the same files. Each pair is named <case>/ours and
// <case>/openssl; after the runs a table gives the ratio ours / OpenSSL and its target.
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "kelvane.h"
#include "pki/keyfile.h"
#include "pki/rsa.h"

namespace {

const std::string kDir = std::string(KVN_FIXTURES_DIR) + "/credentials/";
const std::string kKeyFile = kDir + "test-rsa2048-p12-3des.der";  // PKCS#12 3DES, 2048 iterations
const std::string kCertFile = kDir + "test-csd-2048.cer";
constexpr const char* kPassword = "test-password";

EVP_PKEY* OpenSslKey() {
    std::FILE* f = std::fopen(kKeyFile.c_str(), "rb");
    if (!f) return nullptr;
    EVP_PKEY* key = d2i_PKCS8PrivateKey_fp(f, nullptr, nullptr, const_cast<char*>(kPassword));
    std::fclose(f);
    return key;
}

void ReadKeyOurs(benchmark::State& state) {
    for (auto _ : state) {
        kvn::SecureString key;
        if (kvn::Failed(kvn::key_ReadEncrypted(key, kKeyFile.c_str(), kPassword))) state.SkipWithError("key not read");
        benchmark::DoNotOptimize(key.data());
    }
}

void ReadKeyOpenSsl(benchmark::State& state) {
    for (auto _ : state) {
        EVP_PKEY* key = OpenSslKey();
        if (!key) state.SkipWithError("key not read");
        EVP_PKEY_free(key);
    }
}

std::vector<std::uint8_t> Block() {
    std::vector<std::uint8_t> block(256);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 31 + 7);
    block[0] = 0x01;
    return block;
}

void PrivateOurs(benchmark::State& state) {
    kvn::SecureString key;
    if (kvn::Failed(kvn::key_ReadEncrypted(key, kKeyFile.c_str(), kPassword))) std::abort();
    std::vector<std::uint8_t> block = Block();
    for (auto _ : state) {
        std::vector<std::uint8_t> work = block;
        if (kvn::Failed(kvn::rsa_Private(work.data(), 256, key.c_str(), 0))) state.SkipWithError("private operation failed");
        benchmark::DoNotOptimize(work.data());
    }
}

// The same operation on a loaded key record: the arithmetic alone, without reading the
// key string (base64, two Triple DES passes, the DER) on each call.
void PrivateRecordOurs(benchmark::State& state) {
    kvn::SecureString key;
    if (kvn::Failed(kvn::key_ReadEncrypted(key, kKeyFile.c_str(), kPassword))) std::abort();
    kvn::RsaKeyPtr record = kvn::rsa_KeyNew();
    if (kvn::Failed(kvn::rsa_ReadPrivateString(*record, key.c_str()))) std::abort();
    std::vector<std::uint8_t> block = Block();
    for (auto _ : state) {
        std::vector<std::uint8_t> work = block;
        if (kvn::Failed(kvn::rsa_PrivateOp(*record, work.data(), 256))) state.SkipWithError("private operation failed");
        benchmark::DoNotOptimize(work.data());
    }
}

// The operation of a signing session: the key prepared once (limbs and Montgomery
// constants), as OpenSSL keeps its key ready.
void PrivatePreparedOurs(benchmark::State& state) {
    kvn::SecureString key;
    if (kvn::Failed(kvn::key_ReadEncrypted(key, kKeyFile.c_str(), kPassword))) std::abort();
    kvn::RsaKeyPtr record = kvn::rsa_KeyNew();
    if (kvn::Failed(kvn::rsa_ReadPrivateString(*record, key.c_str()))) std::abort();
    kvn::RsaPreparedPtr prepared;
    if (kvn::Failed(kvn::rsa_PreparePrivate(prepared, *record))) std::abort();
    std::vector<std::uint8_t> block = Block();
    for (auto _ : state) {
        std::vector<std::uint8_t> work = block;
        if (kvn::Failed(kvn::rsa_PrivateOpPrepared(*prepared, work.data(), 256))) state.SkipWithError("failed");
        benchmark::DoNotOptimize(work.data());
    }
}

void PrivateOpenSsl(benchmark::State& state) {
    EVP_PKEY* key = OpenSslKey();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_decrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
    std::vector<std::uint8_t> block = Block(), out(256);
    for (auto _ : state) {
        std::size_t n = out.size();
        if (EVP_PKEY_decrypt(ctx, out.data(), &n, block.data(), block.size()) != 1) state.SkipWithError("failed");
        benchmark::DoNotOptimize(out.data());
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
}

// The public operation (the verifying side of a seal) on a loaded key.
void PublicOurs(benchmark::State& state) {
    kvn::SecureString key;
    if (kvn::Failed(kvn::key_ReadEncrypted(key, kKeyFile.c_str(), kPassword))) std::abort();
    kvn::RsaKeyPtr record = kvn::rsa_KeyNew();
    if (kvn::Failed(kvn::rsa_ReadPrivateString(*record, key.c_str()))) std::abort();
    std::vector<std::uint8_t> block = Block();
    for (auto _ : state) {
        std::vector<std::uint8_t> work = block;
        if (kvn::Failed(kvn::rsa_PublicOp(*record, work.data(), 256))) state.SkipWithError("public operation failed");
        benchmark::DoNotOptimize(work.data());
    }
}

void PublicOpenSsl(benchmark::State& state) {
    EVP_PKEY* key = OpenSslKey();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_encrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
    std::vector<std::uint8_t> block = Block(), out(256);
    for (auto _ : state) {
        std::size_t n = out.size();
        if (EVP_PKEY_encrypt(ctx, out.data(), &n, block.data(), block.size()) != 1) state.SkipWithError("failed");
        benchmark::DoNotOptimize(out.data());
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
}

void CheckOurs(benchmark::State& state) {
    for (auto _ : state) {
        if (KVN_CheckKeyAndCert(kKeyFile.c_str(), kPassword, kCertFile.c_str()) != 0) state.SkipWithError("no match");
    }
}

// The same work with libcrypto: read and decrypt the key, read the certificate, compare.
void CheckOpenSsl(benchmark::State& state) {
    for (auto _ : state) {
        EVP_PKEY* key = OpenSslKey();
        std::FILE* f = std::fopen(kCertFile.c_str(), "rb");
        X509* cert = f ? d2i_X509_fp(f, nullptr) : nullptr;
        if (f) std::fclose(f);
        if (!key || !cert || X509_check_private_key(cert, key) != 1) state.SkipWithError("no match");
        X509_free(cert);
        EVP_PKEY_free(key);
    }
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                times_[r.benchmark_name()] = r.GetAdjustedCPUTime();  // the machine is shared: CPU time
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const {
        struct Target {
            const char* name;
            double limit;
        };
        const Target targets[] = {{"ReadKeyFile/2048-p12-3des", 1.5}, {"RsaPrivate/2048-crt", 2.5},
                                  {"RsaPrivateRecord/2048-crt", 2.0}, {"RsaPrivatePrepared/2048-crt", 1.5},
                                  {"RsaPublic/2048", 1.2}, {"CheckKeyAndCert/2048", 1.5}};
        std::printf("\n%-30s %12s %12s %8s %8s   (CPU time)\n", "case", "ours", "openssl", "ratio", "target");
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

}  // namespace

BENCHMARK(ReadKeyOurs)->Name("ReadKeyFile/2048-p12-3des/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(ReadKeyOpenSsl)->Name("ReadKeyFile/2048-p12-3des/openssl")->Unit(benchmark::kMillisecond);
BENCHMARK(PrivateOurs)->Name("RsaPrivate/2048-crt/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(PrivateOpenSsl)->Name("RsaPrivate/2048-crt/openssl")->Unit(benchmark::kMicrosecond);
BENCHMARK(PrivateRecordOurs)->Name("RsaPrivateRecord/2048-crt/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(PrivateOpenSsl)->Name("RsaPrivateRecord/2048-crt/openssl")->Unit(benchmark::kMicrosecond);
BENCHMARK(PrivatePreparedOurs)->Name("RsaPrivatePrepared/2048-crt/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(PrivateOpenSsl)->Name("RsaPrivatePrepared/2048-crt/openssl")->Unit(benchmark::kMicrosecond);
BENCHMARK(PublicOurs)->Name("RsaPublic/2048/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(PublicOpenSsl)->Name("RsaPublic/2048/openssl")->Unit(benchmark::kMicrosecond);
BENCHMARK(CheckOurs)->Name("CheckKeyAndCert/2048/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(CheckOpenSsl)->Name("CheckKeyAndCert/2048/openssl")->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
