// `kelvane table` over generated CFDI 4.0 invoices, as a folder and as one ZIP archive, in
// files per second, against `kelvane verify` over the same folder (the seal check and its
// parses are the floor: a table row is those plus one more parse). The invoices are signed
// first, so verify does its whole work; the table's seal column must say valid for each.
//
// Run by hand (not in CI):
//   cmake --preset bench && cmake --build build/bench --target table_bench
//   build/bench/bench/table_bench [FILES] [JOBS]        # defaults: 10000 files, 2 jobs
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "generated_invoice.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixtures = KVN_FIXTURES_DIR;
const std::string kKey = kFixtures + "/credentials/test-rsa2048-pbes2-3des-sha1.der";
const std::string kCert = kFixtures + "/credentials/test-csd-2048.cer";
constexpr int kConcepts = 10;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "table_bench: %s\n", what.c_str());
    std::exit(1);
}

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) Fail("failed: " + command);
}

double Time(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    Run(command);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Every data row of the CSV must carry a valid seal.
void CheckTable(const fs::path& csv, int files) {
    std::ifstream in(csv);
    std::string line;
    int rows = 0;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (line.find(",ok,") == std::string::npos || line.find(",valid\r") == std::string::npos)
            Fail("row without a valid seal: " + line.substr(0, 200));
        ++rows;
    }
    if (rows != files) Fail(csv.string() + " has " + std::to_string(rows) + " rows, not " + std::to_string(files));
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int jobs = argc > 2 ? std::atoi(argv[2]) : 2;
    if (files < 1 || jobs < 1) {
        std::fprintf(stderr, "usage: table_bench [FILES] [JOBS]\n");
        return 2;
    }
    const fs::path root = fs::temp_directory_path() / ("kvn-table-bench-" + std::to_string(::getpid()));
    const fs::path plain = root / "plain", in = root / "in";
    fs::create_directories(plain);
    fs::create_directories(in);
    std::ofstream(root / "password.txt") << "test-password";
    for (int i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "invoice-%05d.xml", i);
        kvn_bench::WriteGeneratedInvoice40((plain / name).string(), kConcepts, i + 1);
    }
    const std::string tool = "'" + std::string(KVN_TOOL) + "'", j = " -j " + std::to_string(jobs);
    Run(tool + " sign '" + plain.string() + "' --out-dir '" + in.string() + "' -k '" + kKey + "' -c '" + kCert +
        "' --password-file '" + (root / "password.txt").string() + "' -q" + j + " > /dev/null");
    const fs::path zip = root / "invoices.zip";
    Run("cd '" + in.string() + "' && python3 -m zipfile -c '" + zip.string() + "' . > /dev/null");

    const double verify = Time(tool + " verify '" + in.string() + "' -q" + j + " > /dev/null");
    const double folder = Time(tool + " table '" + in.string() + "' -q -o '" + (root / "folder.csv").string() + "'" + j);
    const double archive = Time(tool + " table '" + zip.string() + "' -q -o '" + (root / "zip.csv").string() + "'" + j);
    CheckTable(root / "folder.csv", files);
    CheckTable(root / "zip.csv", files);

    std::printf("%d signed CFDI 4.0 invoices of %d concepts, %d jobs\n", files, kConcepts, jobs);
    std::printf("  kelvane verify DIR   %8.0f files/s\n", files / verify);
    std::printf("  kelvane table DIR    %8.0f files/s   ratio to verify %.2f (target <= 1.5)\n", files / folder,
                folder / verify);
    std::printf("  kelvane table ZIP    %8.0f files/s   ratio to verify %.2f (target <= 1.5)\n", files / archive,
                archive / verify);
    fs::remove_all(root);
    return 0;
}
