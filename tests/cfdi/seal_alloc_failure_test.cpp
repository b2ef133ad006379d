// Every allocation of sealing, signing and verification may fail: the failure must come out
// as std::bad_alloc (the exports turn it into MEMORY_ERROR), with nothing leaked, no other
// error code or normal result in its place, and no output file left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <new>
#include <string>

#include "base/memory.h"
#include "cfdi/seal.h"
#include "cfdi/sign_document.h"
#include "cfdi/verify.h"
#include "doc_files.h"
#include "support/fault_sim.h"

namespace kvn {
namespace {

namespace fs = std::filesystem;

std::string Credential(const std::string& name) { return std::string(KVN_FIXTURES_DIR) + "/credentials/" + name; }

using kvn_test::FaultRun;
using kvn_test::FaultSim;
using kvn_test::ThrowsOrGives;

// The operations make thousands of allocations (big-number temporaries): the first 160 fail
// one by one, then at strides of an eighth of the count, then the last few one by one.
constexpr kvn_test::FaultPlan kPlan{.every = 160, .growth = 8};

TEST(SealAllocationFailure, SignVerifyAndExtract) {
    const fs::path dir = fs::temp_directory_path() / ("kvn-seal-alloc-" + std::to_string(::getpid()));
    const std::string key = Credential("test-rsa1024-pbes2-3des-sha1.der"), cert = Credential("test-csd-1024.cer");
    // A CFDI 3.2 invoice (SHA-1) and a CFDI 4.0 one (SHA-256, NoCertificado in the sealed text).
    const struct {
        std::string doc;
        int hexLength;
    } cases[] = {
        {testing::FixturePath("cfdi32.xml"), 40},
        {std::string(KVN_SOURCE_DIR) + "/examples/cfdi40-invoice.xml", 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.doc);
        fs::create_directories(dir);
        const std::string out = (dir / "signed.xml").string();
        // A fault leaves no output file: the signed document is written whole or not at all.
        const long signFaults = FaultSim(
            [&] { fs::remove(out); },
            [&] {
                return ResultOf(SignDocument(out.c_str(), c.doc.c_str(), key.c_str(), "test-password", cert.c_str(), 0));
            },
            [&](const FaultRun& run) {
                ThrowsOrGives(0)(run);
                EXPECT_EQ(fs::exists(out), !run.fired) << "allocation " << run.n;
            },
            kPlan);
        EXPECT_GT(signFaults, 100);
        ASSERT_TRUE(fs::exists(out));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no stray file

        EXPECT_GT(FaultSim([&] { return ResultOf(VerifyDocumentSignature(out.c_str(), nullptr, 0)); }, ThrowsOrGives(0),
                           kPlan),
                  0);
        const auto extract = [&] {
            int length = 0;
            const Error rc = ExtractDigestFromSignature(length, nullptr, 0, out.c_str(), cert.c_str(), 0);
            return Failed(rc) ? ResultOf(rc) : length;
        };
        EXPECT_GT(FaultSim(extract, ThrowsOrGives(c.hexLength), kPlan), 0);
        fs::remove_all(dir);
    }
}

}  // namespace
}  // namespace kvn
