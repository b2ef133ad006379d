// The certificate, key and PFX exports survive the failure of an allocation: they return
// MEMORY_ERROR with the allocator's message and leak nothing. The key operations make
// thousands of allocations (big-number temporaries); the first few hundred are failed one
// by one, the rest at strides of a sixteenth of the count and the last few one by one again,
// which keeps the run short under the sanitizers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "base/memory.h"
#include "kelvane.h"
#include "support/fault_sim.h"
#include "test_support.h"

namespace {

using kvn_test::Credential;

// Every fault is MEMORY_ERROR with the allocator's message; the run that reaches no fault
// gives what an undisturbed call gives.
void FailAllocations(const std::function<int()>& call) {
    const int expected = call();
    ASSERT_GE(expected, 0);
    EXPECT_GT(kvn_test::FaultSim(call, kvn_test::ExportGives(expected), {.every = 300, .growth = 16}), 0);
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
