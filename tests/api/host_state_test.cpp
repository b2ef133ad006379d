// The library leaves the host's process-wide settings alone: the C generator's sequence
// and the file-creation mask are the host's before, during and after our calls.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "api/seal_support.h"
#include "kelvane.h"

namespace {

using namespace seal_test;

std::vector<int> Draws() {
    std::vector<int> v;
    for (int i = 0; i < 8; ++i) v.push_back(std::rand());
    return v;
}

TEST(HostState, RandSequenceAndUmaskAreTheHosts) {
    TempDir dir("host");
    setenv("TMP", (dir / "").c_str(), 1);
    std::srand(42);
    const std::vector<int> untouched = Draws();

    const mode_t hostMask = ::umask(027);
    std::srand(42);
    const std::string key = Key(1024), cert = Cert(1024), invoice = Invoice("cfdi32.xml");
    const std::string signedXml = dir / "signed.xml", pfx = dir / "out.pfx", bom = dir / "bom.xml";
    // Signing (key self-test, key strings), a PFX (salts, temporary files), the key string
    // export, a BOM-fixed copy and a validation (temporary files).
    ASSERT_EQ(KVN_SignXml(signedXml.c_str(), invoice.c_str(), key.c_str(), kPassword, cert.c_str(), 0), 0) << LastError();
    char seal[400];
    EXPECT_GT(KVN_MakeSignatureFromXml(seal, 399, invoice.c_str(), key.c_str(), kPassword), 0);
    EXPECT_EQ(KVN_WritePfxFile(pfx.c_str(), "x", key.c_str(), kPassword, cert.c_str(), 0), 0) << LastError();
    EXPECT_GT(KVN_GetKeyAsString(nullptr, 0, key.c_str(), kPassword, 0), 0);
    EXPECT_EQ(KVN_CheckKeyAndCert(key.c_str(), kPassword, cert.c_str()), 0);
    EXPECT_EQ(KVN_FixBOM(bom.c_str(), invoice.c_str()), 0);
    EXPECT_EQ(KVN_ValidateXml(signedXml.c_str(), 0), 0) << LastError();
    EXPECT_EQ(Draws(), untouched);

    // New files get the permission the mask allows, and the mask is as the host set it.
    struct stat st;
    ASSERT_EQ(::stat(signedXml.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(::umask(hostMask), 027u);
    unsetenv("TMP");
}

}  // namespace
