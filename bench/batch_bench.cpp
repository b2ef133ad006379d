// `kelvane sign DIR --out-dir OUT -j 2` on generated CFDI 3.2 invoices: files per second,
// and the share of the batch's wall time spent outside library calls, found by making the
// same KVN_SignXml calls bare on two threads of this process. The peer is the tool run once
// per file, two processes at a time (how batches ran before they ran in threads).
//
// Run by hand (not in CI):
//   cmake --preset bench && cmake --build build/bench --target batch_bench
//   build/bench/bench/batch_bench [FILES] [JOBS]        # defaults: 1000 files, 2 jobs
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "generated_invoice.h"
#include "kelvane.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixtures = KVN_FIXTURES_DIR;
const std::string kKey = kFixtures + "/credentials/test-rsa2048-pbes2-3des-sha1.der";
const std::string kCert = kFixtures + "/credentials/test-csd-2048.cer";
constexpr const char* kPassword = "test-password";

double Seconds(const std::chrono::steady_clock::duration& d) { return std::chrono::duration<double>(d).count(); }

template <class F>
double Time(F&& f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return Seconds(std::chrono::steady_clock::now() - start);
}

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// Each output must be a signed document (the seal verifies).
void CheckOutputs(const fs::path& dir, int files) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (KVN_VerifySignature(entry.path().c_str(), nullptr, 0) != 0) {
            std::fprintf(stderr, "not signed: %s\n", entry.path().c_str());
            std::exit(1);
        }
        ++checked;
    }
    if (checked != files) {
        std::fprintf(stderr, "%s holds %d files, not %d\n", dir.c_str(), checked, files);
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int jobs = argc > 2 ? std::atoi(argv[2]) : 2;
    if (files < 1 || jobs < 1) {
        std::fprintf(stderr, "usage: batch_bench [FILES] [JOBS]\n");
        return 2;
    }
    const fs::path root = fs::temp_directory_path() / ("kvn-batch-bench-" + std::to_string(::getpid()));
    const fs::path in = root / "in", outTool = root / "tool", outBare = root / "bare", outPeer = root / "peer";
    for (const fs::path& d : {in, outTool, outBare, outPeer}) fs::create_directories(d);
    const std::string passwordFile = (root / "password.txt").string();
    std::ofstream(passwordFile) << kPassword;

    // Invoices of 1 to 20 concepts, as invoices come.
    std::vector<std::string> names;
    for (int i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "invoice-%05d.xml", i);
        names.push_back(name);
        kvn_bench::WriteGeneratedInvoice((in / name).string(), kvn_bench::kPlainHeader, i % 20 + 1);
    }
    const std::string tool = KVN_TOOL;
    const std::string keyArgs = " -k '" + kKey + "' -c '" + kCert + "' --password-file '" + passwordFile + "'";

    const double batch = Time([&] {
        Run("'" + tool + "' sign '" + in.string() + "' --out-dir '" + outTool.string() + "'" + keyArgs + " -j " +
            std::to_string(jobs) + " > /dev/null");
    });
    CheckOutputs(outTool, files);

    const double bare = Time([&] {
        std::atomic<int> next{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < jobs; ++t) {
            threads.emplace_back([&] {
                for (int i; (i = next.fetch_add(1)) < files;) {
                    const std::string input = (in / names[i]).string(), output = (outBare / names[i]).string();
                    if (KVN_SignXml(output.c_str(), input.c_str(), kKey.c_str(), kPassword, kCert.c_str(), 0) != 0) {
                        std::fprintf(stderr, "KVN_SignXml failed on %s\n", input.c_str());
                        std::exit(1);
                    }
                }
            });
        }
        for (std::thread& t : threads) t.join();
    });
    CheckOutputs(outBare, files);

    const double peer = Time([&] {
        Run("cd '" + in.string() + "' && ls | xargs -P " + std::to_string(jobs) + " -I{} '" + tool + "' sign {} -o '" +
            outPeer.string() + "/{}'" + keyArgs + " > /dev/null");
    });
    CheckOutputs(outPeer, files);
    fs::remove_all(root);

    std::printf("kelvane sign, %d generated CFDI 3.2 invoices (1 to 20 concepts), 2048-bit key, -j %d\n", files, jobs);
    std::printf("  %-44s %8.2f s %9.1f files/s\n", "ours: kelvane sign DIR, threads of one process", batch, files / batch);
    std::printf("  %-44s %8.2f s %9.1f files/s\n", "the same KVN_SignXml calls, bare", bare, files / bare);
    std::printf("  %-44s %8.2f s %9.1f files/s\n", "peer: one kelvane process per file", peer, files / peer);
    std::printf("  share of the batch outside library calls: %.1f%% (target under 10%%)\n", 100.0 * (1.0 - bare / batch));
    std::printf("  peer / ours (time): %.2f\n", peer / batch);
    return 0;
}
