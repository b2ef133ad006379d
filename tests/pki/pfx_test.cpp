#include "pki/pfx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/lasterror.h"
#include "base/os_random.h"
#include "kelvane.h"
#include "pki/keyfile.h"
#include "test_support.h"

namespace kvn {
namespace {

using kvn_test::Credential;

std::string Info(const std::string& pfx, const std::string& password, int* status) {
    return kvn_test::Run("openssl pkcs12 -legacy -info -noout -in '" + pfx + "' -passin 'pass:" + password + "' 2>&1", status);
}

TEST(Pfx, VariantsOpenWithOpenSsl) {
    kvn_test::ScratchDir dir;
    const std::string cer = Credential("test-csd-1024.cer"), key = Credential("test-rsa1024-p12-3des.der");
    int status = -1;

    ASSERT_EQ(pfx_Make(dir.File("full.p12").c_str(), cer.c_str(), key.c_str(), "test-password", "", 0), kOk);
    std::string info = Info(dir.File("full.p12"), "test-password", &status);
    EXPECT_EQ(status, 0) << info;
    EXPECT_NE(info.find("MAC: sha1, Iteration 2048"), std::string::npos) << info;
    EXPECT_NE(info.find("PKCS7 Encrypted data: pbeWithSHA1And40BitRC2-CBC, Iteration 2048"), std::string::npos) << info;
    EXPECT_NE(info.find("Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"), std::string::npos) << info;
    Info(dir.File("full.p12"), "another-password", &status);
    EXPECT_NE(status, 0);

    // A friendly name goes into both bags.
    ASSERT_EQ(pfx_Make(dir.File("named.p12").c_str(), cer.c_str(), key.c_str(), "test-password", "Mi CSD", 0), kOk);
    info = kvn_test::Run("openssl pkcs12 -legacy -in '" + dir.File("named.p12") + "' -passin pass:test-password -nodes 2>&1");
    EXPECT_EQ(std::count(info.begin(), info.end(), '\n') > 0, true);
    std::size_t first = info.find("friendlyName: Mi CSD");
    EXPECT_NE(first, std::string::npos) << info;
    EXPECT_NE(info.find("friendlyName: Mi CSD", first + 1), std::string::npos) << info;

    // Certificate only, with and without a password.
    ASSERT_EQ(pfx_Make(dir.File("cert.p12").c_str(), cer.c_str(), nullptr, "test-password", "", 0), kOk);
    info = Info(dir.File("cert.p12"), "test-password", &status);
    EXPECT_EQ(status, 0) << info;
    EXPECT_EQ(info.find("Shrouded Keybag"), std::string::npos);
    ASSERT_EQ(pfx_Make(dir.File("open.p12").c_str(), cer.c_str(), nullptr, "", "", 0), kOk);
    std::string dump = kvn_test::Run("openssl asn1parse -inform DER -in '" + dir.File("open.p12") + "'");
    EXPECT_EQ(dump.find(":sha1"), std::string::npos) << dump;  // no MacData
    info = kvn_test::Run("openssl pkcs12 -info -noout -nomacver -passin pass: -in '" + dir.File("open.p12") + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << info;
    EXPECT_NE(info.find("Certificate bag"), std::string::npos) << info;
    EXPECT_EQ(info.find("Encrypted"), std::string::npos) << info;
}

TEST(Pfx, Failures) {
    kvn_test::ScratchDir dir;
    const std::string out = dir.File("x.p12");
    const std::string cer = Credential("test-csd-1024.cer"), key = Credential("test-rsa1024-p12-3des.der");
    struct Case {
        std::string output, cert, key, password;
        Error code;
    } cases[] = {
        {out, "", key, "test-password", Error::BAD_PARAM_ERROR},
        {out, cer, key, "", Error::BAD_PARAM_ERROR},
        {out, cer, key, "wrong", Error::INVALID_DATA_ERROR},
        {out, Credential("test-csd-2048.cer"), key, "test-password", Error::NO_MATCH_ERROR},
        {out, Credential("test-ec.cer"), key, "test-password", Error::NOT_SUPPORTED_ERROR},
        {out, dir.File("missing.cer"), key, "test-password", Error::BAD_FORMAT_ERROR},
        {dir.File("no/such/dir/x.p12"), cer, key, "test-password", Error::CREATE_ERROR},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pfx_Make(c.output.c_str(), c.cert.c_str(), c.key.c_str(), c.password.c_str(), "", 0), c.code)
            << c.cert << " " << c.password;
    }
    EXPECT_EQ(kvn_test::Run("ls -A '" + dir.path() + "'"), "");
}

// Salts, IVs and key strings need random bytes from the operating system; without them
// nothing is written and the reason is recorded.
TEST(Pfx, WithoutRandomBytesNothingIsWritten) {
    kvn_test::ScratchDir dir;
    const std::string cer = Credential("test-csd-1024.cer"), key = Credential("test-rsa1024-p12-3des.der");
    SecureString keyString;
    ASSERT_EQ(key_ReadEncrypted(keyString, key.c_str(), "test-password"), kOk);
    SetOsRandomSourcesForTesting(OsRandomSources::kNone);
    ClearLastError();
    const Error keyFile = key_WriteEncrypted(dir.File("key.der").c_str(), keyString.c_str(), 2048, "test-password", 0x1000);
    const Error certOnly = pfx_Make(dir.File("cert.p12").c_str(), cer.c_str(), nullptr, "test-password", "", 0);
    const Error full = pfx_Make(dir.File("full.p12").c_str(), cer.c_str(), key.c_str(), "test-password", "", 0);
    SecureString again;
    const Error read = key_ReadEncrypted(again, key.c_str(), "test-password");
    SetOsRandomSourcesForTesting(OsRandomSources::kAll);
    EXPECT_EQ(keyFile, Error::MISC_ERROR);
    // Key strings, public ones too, are wrapped under random IVs and padding.
    EXPECT_EQ(certOnly, Error::INVALID_DATA_ERROR);
    EXPECT_EQ(full, Error::INVALID_DATA_ERROR);
    EXPECT_EQ(read, Error::INVALID_DATA_ERROR);
    EXPECT_EQ(std::string(LastErrorText()).rfind("Cannot get random bytes from the operating system/No se pueden obtener "
                                                 "bytes aleatorios del sistema operativo", 0),
              0u)
        << LastErrorText();
    EXPECT_EQ(kvn_test::Run("ls -A '" + dir.path() + "'"), "");
}

}  // namespace
}  // namespace kvn
