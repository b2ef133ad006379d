// The certificate, key and PFX exports survive the failure of an allocation: they return
// MEMORY_ERROR with the allocator's message and leak nothing. The key operations make
// thousands of allocations (big-number temporaries); the first few hundred are failed one
// by one and the rest at a stride, which keeps the run short under the sanitizers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "base/memory.h"
#include "kelvane.h"
#include "test_support.h"

namespace {

using kvn_test::Credential;

void FailAllocations(const std::function<int()>& call) {
    const int expected = call();
    ASSERT_GE(expected, 0);
    for (long n = 1;; n += n < 300 ? 1 : 97) {
        long live = kvn::LiveBlocks();
        kvn::FailAllocationAfter(n);
        int rc = call();
        bool fired = rc == -MEMORY_ERROR;
        kvn::FailAllocationAfter(0);
        ASSERT_EQ(kvn::LiveBlocks(), live) << "leak with allocation " << n << " failing";
        if (!fired) {
            EXPECT_EQ(rc, expected) << "allocation " << n;
            break;
        }
        char buf[128];
        KVN_LastError(buf, 127);
        EXPECT_NE(std::string(buf).find("memory."), std::string::npos) << n << ": " << buf;  // the allocator's message
        ASSERT_LT(n, 1000000) << "the call never completes";
    }
}

TEST(PkiAllocationFailure, CertificateQueries) {
    const std::string cer = Credential("test-csd-1024.cer");
    char out[4096];
    FailAllocations([&] { return KVN_GetCertNumber(out, 100, cer.c_str()); });
    FailAllocations([&] { return KVN_QueryCert(out, 100, cer.c_str(), "organizationName", 0); });
    FailAllocations([&] { return KVN_GetCertExpiry(out, 100, cer.c_str(), 0); });
    FailAllocations([&] { return KVN_GetCertAsString(out, 4000, cer.c_str()); });
}

TEST(PkiAllocationFailure, CheckKeyAndCert) {
    const std::string key = Credential("test-rsa1024-p12-3des.der"), cer = Credential("test-csd-1024.cer");
    FailAllocations([&] { return KVN_CheckKeyAndCert(key.c_str(), "test-password", cer.c_str()); });
}

TEST(PkiAllocationFailure, KeyAsString) {
    const std::string key = Credential("test-rsa1024-p12-3des.der");
    char out[4096];
    FailAllocations([&] { return KVN_GetKeyAsString(out, 4000, key.c_str(), "test-password", 0); });
}

TEST(PkiAllocationFailure, WritePfxFile) {
    const std::string key = Credential("test-rsa1024-p12-3des.der"), cer = Credential("test-csd-1024.cer");
    kvn_test::ScratchDir dir;
    const std::string pfx = dir.File("out.pfx");
    FailAllocations([&] { return KVN_WritePfxFile(pfx.c_str(), "", key.c_str(), "test-password", cer.c_str(), 0); });
}

}  // namespace
