// Every allocation of sealing, signing and verification may fail: the failure must come out
// as std::bad_alloc (the exports turn it into MEMORY_ERROR), with nothing leaked, no other
// error code in its place, and no output file left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <new>
#include <string>

#include "base/memory.h"
#include "cfdi/seal.h"
#include "cfdi/sign_document.h"
#include "cfdi/verify.h"
#include "doc_files.h"

namespace kvn {
namespace {

namespace fs = std::filesystem;

std::string Credential(const std::string& name) { return std::string(KVN_FIXTURES_DIR) + "/credentials/" + name; }

// The number of allocations op makes: with the hook armed far ahead, what op leaves of the
// countdown is found by allocating until the armed failure comes.
template <class Op>
long AllocationsOf(Op op) {
    constexpr long kArmed = 1000000;
    FailAllocationAfter(kArmed);
    op();
    long left = 0;
    try {
        for (;; ++left) efree(emalloc(1));
    } catch (const std::bad_alloc&) {
    }
    FailAllocationAfter(0);
    return kArmed - left - 1;
}

// Runs op (which returns the operation's code) with the n-th of its allocations failing:
// every n up to kEvery, then at growing strides, then the last few. A run must either throw
// std::bad_alloc or (when the failing allocation was one the code can do without) give
// the normal result; either way nothing may leak. Returns the number of runs.
template <class Op>
int FailAllocations(int expected, Op op) {
    constexpr long kEvery = 160, kLast = 24;
    const long total = AllocationsOf(op);
    EXPECT_GT(total, 0);
    int runs = 0;
    auto runWithFailure = [&](long n) {
        const long before = LiveBlocks();
        FailAllocationAfter(n);
        int rc = expected;
        try {
            rc = op();
        } catch (const std::bad_alloc&) {
        }
        FailAllocationAfter(0);
        EXPECT_EQ(LiveBlocks(), before) << "leak with allocation " << n << " of " << total << " failing";
        EXPECT_EQ(rc, expected) << "allocation " << n << " of " << total << " failing";
        ++runs;
    };
    long n = 1;
    for (; n <= total - kLast; n += n < kEvery ? 1 : n / 8) runWithFailure(n);
    for (n = std::max(n, total - kLast + 1); n <= total; ++n) runWithFailure(n);
    return runs;
}

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
        const int signRuns = FailAllocations(
            0, [&] { return SignDocument(out.c_str(), c.doc.c_str(), key.c_str(), "test-password", cert.c_str(), 0); });
        EXPECT_GT(signRuns, 100);
        ASSERT_TRUE(fs::exists(out));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no stray file

        EXPECT_GT(FailAllocations(0, [&] { return VerifyDocumentSignature(out.c_str(), nullptr, 0); }), 0);
        EXPECT_GT(FailAllocations(c.hexLength,
                                  [&] { return ExtractDigestFromSignature(nullptr, 0, out.c_str(), cert.c_str(), 0); }),
                  0);
        fs::remove_all(dir);
    }
}

}  // namespace
}  // namespace kvn
