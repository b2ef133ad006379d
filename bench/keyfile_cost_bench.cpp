// The most a key file can cost to open: one file at the iteration cap of each key
// derivation (the largest count key_ReadEncrypted runs; one more is refused before anything
// is derived), read with the right password and with a wrong one. A wrong password on a
// PBES2 file that names a PRF other than SHA-1 costs a second derivation with SHA-1 (the
// retry for mislabelled files), the worst a file can ask. OpenSSL's libcrypto reads the
// same files (except MD2, which it no longer offers) as the peer. The table at the end gives
// each case's CPU time; the target is 2 s per file.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "pki/keyfile.h"

namespace {

const std::string kPlainKey = std::string(KVN_FIXTURES_DIR) + "/credentials/test-rsa1024-p12-3des.der";
constexpr const char* kPassword = "test-password";

// One file per derivation, at its cap (iterations x digest outputs = the cap's work).
struct CappedFile {
    const char* name;
    int options;     // key_MakeEncrypted's scheme options
    int iterations;  // at the cap
    bool peer;       // OpenSSL reads it
};
const CappedFile kFiles[] = {
    {"pbkdf1-md2-des", 2, 1 << 17, false},
    {"pbkdf1-md5-des", 1, 1 << 21, true},
    {"pbkdf1-sha1-des", 3, 1 << 21, true},
    {"pkcs12-sha1-3des", 0, (1 << 22) / 3, true},                    // key 2 blocks, IV 1
    {"pbkdf2-sha1-3des", kvn::kKeyPbes2, 1 << 20, true},             // 24 bytes: 2 blocks
    {"pbkdf2-sha256-aes256", kvn::kKeyPbes2 | 0x40 | 3, 1 << 20, true},
    {"pbkdf2-sha512-aes256", kvn::kKeyPbes2 | 0x40 | 5, 1 << 19, true},
};

std::string FileOf(const CappedFile& f) { return "/tmp/kvn-keyfile-cost-" + std::string(f.name) + ".der"; }

// Writes the files once, with our writer (openssl cannot write MD2).
void MakeFiles() {
    kvn::SecureString key;
    if (kvn::Failed(kvn::key_ReadEncrypted(key, kPlainKey.c_str(), kPassword))) std::abort();
    for (const CappedFile& f : kFiles) {
        if (std::FILE* exists = std::fopen(FileOf(f).c_str(), "rb")) {
            std::fclose(exists);
            continue;
        }
        if (kvn::Failed(kvn::key_WriteEncrypted(FileOf(f).c_str(), key.c_str(), f.iterations, kPassword, f.options))) {
            std::abort();
        }
    }
}

void ReadOurs(benchmark::State& state, const CappedFile* f, const char* password) {
    const std::string file = FileOf(*f);
    const bool right = std::string(password) == kPassword;
    for (auto _ : state) {
        kvn::SecureString key;
        const bool read = !kvn::Failed(kvn::key_ReadEncrypted(key, file.c_str(), password));
        if (read != right) state.SkipWithError(right ? "not read" : "read with a wrong password");
    }
}

void ReadOpenSsl(benchmark::State& state, const CappedFile* f, const char* password) {
    const std::string file = FileOf(*f);
    const bool right = std::string(password) == kPassword;
    for (auto _ : state) {
        std::FILE* in = std::fopen(file.c_str(), "rb");
        EVP_PKEY* key = in ? d2i_PKCS8PrivateKey_fp(in, nullptr, nullptr, const_cast<char*>(password)) : nullptr;
        if (in) std::fclose(in);
        if ((key != nullptr) != right) state.SkipWithError("unexpected result");
        EVP_PKEY_free(key);
    }
}

class CostReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            // Registered names, without the "/iterations:2" the runs add.
            if (r.run_type == Run::RT_Iteration && r.iterations > 0) times_[r.run_name.function_name] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintTable() const {
        std::printf("\n%-34s %10s %10s %10s %10s  (CPU ms; target: ours <= 2000 per file)\n", "file at its cap",
                    "ours", "openssl", "ours bad", "openssl bad");
        for (const CappedFile& f : kFiles) {
            auto at = [&](const std::string& suffix) {
                auto it = times_.find(std::string("KeyFileAtCap/") + f.name + suffix);
                return it == times_.end() ? -1.0 : it->second;
            };
            const double right = at("/ours"), wrong = at("/wrong-password/ours");
            const char* verdict = right < 0 || wrong < 0 ? "not run" : std::max(right, wrong) <= 2000 ? "ok" : "MISSED";
            std::printf("%-34s %10.0f %10.0f %10.0f %10.0f  %s\n", f.name, right, at("/openssl"), wrong,
                        at("/wrong-password/openssl"), verdict);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    OSSL_PROVIDER_load(nullptr, "legacy");  // DES and the PBES1 schemes
    OSSL_PROVIDER_load(nullptr, "default");
    MakeFiles();
    for (const CappedFile& f : kFiles) {
        const std::string base = std::string("KeyFileAtCap/") + f.name;
        for (const char* password : {kPassword, "wrong"}) {
            const std::string name = base + (password == kPassword ? "" : "/wrong-password");
            benchmark::RegisterBenchmark((name + "/ours").c_str(), ReadOurs, &f, password)
                ->Unit(benchmark::kMillisecond)->Iterations(2);
            if (f.peer) {
                benchmark::RegisterBenchmark((name + "/openssl").c_str(), ReadOpenSsl, &f, password)
                    ->Unit(benchmark::kMillisecond)->Iterations(2);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    CostReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable();
    benchmark::Shutdown();
    return 0;
}
