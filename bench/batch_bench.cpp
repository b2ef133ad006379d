// Batch signing: `kelvane sign DIR --out-dir OUT -j 2` over generated CFDI 4.0 invoices of
// 10 concepts with a 2048-bit key, in files per second and against the limit OpenSSL's
// RSA sets: the number of invoices times OpenSSL's RSA-2048 signing time, measured in the
// same run, divided by the 2 cores. Beside it, the same invoices signed by bare KVN_SignXml
// calls (the key read for each) on 2 threads, and by one signing session from 1, 2 and 4
// threads (throughput should follow the cores: no lock is held while a document is signed;
// each output is flushed to disk, as the exports do unless told otherwise), and the
// session's seals alone, without the output files. The batch's CPU time is shown split
// between user space and the kernel.
//
// The files are made in TMPDIR (or /tmp). On a file system without a journal, ext4 passes
// over inodes freed in the last minutes when it makes a file, so a run right after many
// deletions (an earlier run's clean-up, a test suite) spends much of its time in the kernel
// making its outputs: leave a few minutes between runs, or point TMPDIR at a tmpfs to see
// the batch without the file system.
//
// Run by hand (not in CI):
//   cmake --preset bench && cmake --build build/bench --target batch_bench
//   build/bench/bench/batch_bench [FILES] [JOBS] [REPETITIONS]   # defaults: 10000, 2, 3
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "generated_invoice.h"
#include "kelvane.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixtures = KVN_FIXTURES_DIR;
const std::string kKey = kFixtures + "/credentials/test-rsa2048-pbes2-3des-sha1.der";
const std::string kPeerKey = kFixtures + "/credentials/test-rsa2048-plain.pem";
const std::string kCert = kFixtures + "/credentials/test-csd-2048.cer";
constexpr const char* kPassword = "test-password";
constexpr int kConcepts = 10;

double Seconds(const std::chrono::steady_clock::duration& d) { return std::chrono::duration<double>(d).count(); }

template <class F>
double Time(F&& f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return Seconds(std::chrono::steady_clock::now() - start);
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "batch_bench: %s\n", what.c_str());
    std::exit(1);
}

// Every output must be a signed document whose seal verifies.
void CheckOutputs(const fs::path& dir, int files) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (KVN_VerifySignature(entry.path().c_str(), nullptr, 0) != 0) Fail("not signed: " + entry.path().string());
        ++checked;
    }
    if (checked != files) Fail(dir.string() + " holds " + std::to_string(checked) + " files, not " + std::to_string(files));
}

// Runs op(i) for i in [0, count) on `threads` threads taking the next index in turn.
template <class Op>
void OnThreads(int threads, int count, Op&& op) {
    std::atomic<int> next{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (int i; (i = next.fetch_add(1)) < count;) op(i);
        });
    }
    for (std::thread& t : pool) t.join();
}

// CPU time used so far by finished child processes, in user space and in the kernel. The
// kernel's share of a batch is mostly making the output files: on a file system that is
// slow to allocate files (one without a journal just after many deletions, say) it
// grows, and the batch's ratio with it.
struct ChildCpu {
    double user = 0, kernel = 0;
    static ChildCpu Now() {
        rusage usage{};
        ::getrusage(RUSAGE_CHILDREN, &usage);
        auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
        return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
    }
    ChildCpu operator-(const ChildCpu& o) const { return {user - o.user, kernel - o.kernel}; }
};

// OpenSSL's time for one RSA-2048 PKCS#1 v1.5 signature of a SHA-256 digest, on one
// thread, with its key and context made ready once (the digest is made each time).
double PeerSignSeconds() {
    std::FILE* f = std::fopen(kPeerKey.c_str(), "rb");
    if (!f) Fail("cannot open " + kPeerKey);
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!key) Fail("OpenSSL cannot read " + kPeerKey);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    if (!ctx || EVP_PKEY_sign_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) != 1) {
        Fail("OpenSSL cannot set up signing");
    }
    const std::string message = "||4.0|B|1|2024-05-20T11:42:08|03|30001000000300000124|...||";
    std::vector<unsigned char> signature(256);
    unsigned char digest[32];
    int rounds = 0;
    const double seconds = Time([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < end) {
            for (int k = 0; k < 20; ++k, ++rounds) {
                unsigned int digestLength = 0;
                std::size_t n = signature.size();
                if (EVP_Digest(message.data(), message.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1 ||
                    EVP_PKEY_sign(ctx, signature.data(), &n, digest, digestLength) != 1) {
                    Fail("OpenSSL signing failed");
                }
            }
        }
    });
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return seconds / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int jobs = argc > 2 ? std::atoi(argv[2]) : 2;
    const int repetitions = argc > 3 ? std::atoi(argv[3]) : 3;
    if (files < 1 || jobs < 1 || repetitions < 1) {
        std::fprintf(stderr, "usage: batch_bench [FILES] [JOBS] [REPETITIONS]\n");
        return 2;
    }
    const fs::path root = fs::temp_directory_path() / ("kvn-batch-bench-" + std::to_string(::getpid()));
    const fs::path in = root / "in", outBare = root / "bare", outSession = root / "session";
    for (const fs::path& d : {in, outBare, outSession}) fs::create_directories(d);
    const std::string passwordFile = (root / "password.txt").string();
    std::ofstream(passwordFile) << kPassword;
    std::vector<std::string> names;
    for (int i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "invoice-%05d.xml", i);
        names.push_back(name);
        kvn_bench::WriteGeneratedInvoice40((in / name).string(), kConcepts, i + 1);
    }

    // The batch, with the pre-signing checks (certificate, issuer, validation warning) and
    // without them, each timed beside a fresh measure of OpenSSL's signature: on a shared
    // machine the speed drifts from one minute to the next, so each ratio takes the peer's
    // time measured next to it, and the repetitions are interleaved. Every run writes into
    // a folder of its own (replacing earlier outputs would cost deletions).
    const std::string tool = KVN_TOOL;
    auto runTool = [&](const fs::path& out, bool checks) {
        fs::create_directories(out);
        const std::string command = "'" + tool + "' sign '" + in.string() + "' --out-dir '" + out.string() + "' -k '" +
                                    kKey + "' -c '" + kCert + "' --password-file '" + passwordFile + "' -j " +
                                    std::to_string(jobs) + (checks ? "" : " --no-checks") + " -q > /dev/null";
        const ChildCpu before = ChildCpu::Now();
        const double seconds = Time([&] {
            if (std::system(command.c_str()) != 0) Fail("failed: " + command);
        });
        CheckOutputs(out, files);
        return std::pair{seconds, ChildCpu::Now() - before};
    };
    struct Repetition {
        double peer, batch, unchecked;
        ChildCpu cpu;
    };
    std::vector<Repetition> runs;
    for (int r = 0; r < repetitions; ++r) {
        Repetition run{};
        run.peer = PeerSignSeconds();
        std::tie(run.batch, run.cpu) = runTool(root / ("tool-" + std::to_string(r)), true);
        run.unchecked = runTool(root / ("unchecked-" + std::to_string(r)), false).first;
        run.peer = (run.peer + PeerSignSeconds()) / 2;  // before and after
        runs.push_back(run);
    }
    const double peerSign = runs.back().peer;

    const double bare = Time([&] {
        OnThreads(jobs, files, [&](int i) {
            const std::string input = (in / names[i]).string(), output = (outBare / names[i]).string();
            if (KVN_SignXml(output.c_str(), input.c_str(), kKey.c_str(), kPassword, kCert.c_str(), 0) != 0)
                Fail("KVN_SignXml failed on " + input);
        });
    });
    CheckOutputs(outBare, files);

    // One session from 1, 2 and 4 threads, each over the same invoices.
    const int signer = KVN_OpenSigner(kKey.c_str(), kPassword, kCert.c_str());
    if (signer <= 0) Fail("KVN_OpenSigner failed");
    const int sessionFiles = files < 2000 ? files : 2000;
    double sessionRate[3];
    const int threadCounts[3] = {1, 2, 4};
    for (int k = 0; k < 3; ++k) {
        const double seconds = Time([&] {
            OnThreads(threadCounts[k], sessionFiles, [&](int i) {
                const std::string input = (in / names[i]).string(), output = (outSession / names[i]).string();
                if (KVN_SignXmlWithSigner(signer, output.c_str(), input.c_str(), 0) != 0)
                    Fail("KVN_SignXmlWithSigner failed on " + input);
            });
        });
        sessionRate[k] = sessionFiles / seconds;
    }
    // The same session making seals only (KVN_MakeSignatureWithSigner): the library's work
    // without the output files.
    const double sealSeconds = Time([&] {
        OnThreads(jobs, sessionFiles, [&](int i) {
            const std::string input = (in / names[i]).string();
            char seal[400];
            if (KVN_MakeSignatureWithSigner(seal, 399, signer, input.c_str(), 0) != 344)
                Fail("KVN_MakeSignatureWithSigner failed on " + input);
        });
    });
    KVN_CloseSigner(signer);
    CheckOutputs(outSession, sessionFiles);
    fs::remove_all(root);

    const double limit = files * peerSign / 2;
    std::printf("kelvane sign, %d generated CFDI 4.0 invoices of %d concepts, 2048-bit key and certificate, -j %d\n",
                files, kConcepts, jobs);
    std::printf("  the limit: files x OpenSSL's RSA-2048 signature (SHA-256, one thread) / 2 cores, measured beside each run\n");
    double best = 0, bestUnchecked = 0;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const Repetition& run = runs[r];
        const double runLimit = files * run.peer / 2;
        const double ratio = run.batch / runLimit, uncheckedRatio = run.unchecked / runLimit;
        std::printf("  run %zu: OpenSSL %.1f us, limit %.2f s\n", r + 1, run.peer * 1e6, runLimit);
        std::printf("    %-50s %8.2f s %9.1f files/s  ratio %.2f (CPU %.2f s user, %.2f s kernel)\n",
                    "kelvane sign DIR (one session)", run.batch, files / run.batch, ratio, run.cpu.user,
                    run.cpu.kernel);
        std::printf("    %-50s %8.2f s %9.1f files/s  ratio %.2f\n", "kelvane sign DIR --no-checks", run.unchecked,
                    files / run.unchecked, uncheckedRatio);
        best = r == 0 || ratio < best ? ratio : best;
        bestUnchecked = r == 0 || uncheckedRatio < bestUnchecked ? uncheckedRatio : bestUnchecked;
    }
    std::printf("  ratio batch / limit, best of %zu: %.2f; --no-checks %.2f (target 1.5 or less; goal 1000 files/s or more)\n",
                runs.size(), best, bestUnchecked);
    std::printf("  the rest is measured once, against the last run's OpenSSL time (%.1f us)\n", peerSign * 1e6);
    std::printf("  %-52s %8.2f s %9.1f files/s\n", "bare KVN_SignXml calls (key read per call), 2 threads", bare,
                files / bare);
    for (int k = 0; k < 3; ++k) {
        std::printf("  session to files, each flushed, %d thread%s %20s %9.1f files/s (%.2f x one thread)\n", threadCounts[k],
                    threadCounts[k] > 1 ? "s" : " ", "", sessionRate[k], sessionRate[k] / sessionRate[0]);
    }
    const double sealRate = sessionFiles / sealSeconds;
    std::printf("  session seals only (no file written), %d threads %13s %9.1f seals/s, ratio to the limit %.2f\n",
                jobs, "", sealRate, (files / limit) / sealRate);
    return 0;
}
