// Keys and certificates made to exhaust the arithmetic (the inputs kept under
// fuzz/regressions/pki_keyfile and pki_x509, made by tests/fixtures/make-hostile-keys.py)
// are refused at once by every export that meets them, with the errors of an unreadable
// key or certificate.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "api/seal_support.h"
#include "kelvane.h"

namespace {

using namespace seal_test;

std::string Regression(const std::string& name) { return std::string(KVN_SOURCE_DIR) + "/fuzz/regressions/" + name; }

// A key file whose p is 2: its CRT join by repeated addition would never end.
TEST(HostileKeys, KeyWithAnEvenPrimeIsUnreadable) {
    TempDir dir("hostile-key");
    const std::string key = Regression("pki_keyfile/even-prime-p2.der"), doc = Invoice("cfdi32.xml");
    const std::string out = dir / "out.xml", cert = Cert(2048);
    const std::string unreadable = "Cannot read private key/No se puede leer la clave privada";
    char seal[400];
    EXPECT_EQ(KVN_MakeSignatureFromXml(seal, 399, doc.c_str(), key.c_str(), kPassword), -DECRYPT_ERROR);
    EXPECT_EQ(LastError(), unreadable);
    EXPECT_EQ(KVN_SignXml(out.c_str(), doc.c_str(), key.c_str(), kPassword, cert.c_str(), 0), -DECRYPT_ERROR);
    EXPECT_EQ(LastError(), unreadable);
    EXPECT_EQ(KVN_OpenSigner(key.c_str(), kPassword, nullptr), -DECRYPT_ERROR);
    EXPECT_EQ(LastError(), unreadable);
    EXPECT_LT(KVN_CheckKeyAndCert(key.c_str(), kPassword, cert.c_str()), 0);
    EXPECT_EQ(dir.EntryCount(), 0u);
}

// A certificate with a 32768-bit even modulus, given or carried by the document checked.
TEST(HostileKeys, CertificateWithAHugeEvenModulusIsRefused) {
    TempDir dir("hostile-cert");
    const std::string certFile = Regression("pki_x509/even-modulus-32768.der");
    const std::string der = ReadFile(certFile);
    std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
    text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                         reinterpret_cast<const unsigned char*>(der.data()),
                                                         static_cast<int>(der.size()))));
    // A signed invoice whose certificado is the hostile certificate.
    const std::string doc = dir / "carrier.xml", signedDoc = dir / "signed.xml";
    ASSERT_EQ(KVN_SignXml(signedDoc.c_str(), Invoice("cfdi32.xml").c_str(), Key(1024).c_str(), kPassword,
                          Cert(1024).c_str(), 0),
              0);
    const std::string original = Attribute(signedDoc, "certificado", "Comprobante");
    WriteFile(doc, ReplaceFirst(ReadFile(signedDoc), original, text));

    const std::string noKey =
        "Unable to extract public key from certificate/No se puede extraer la clave publica del certificado";
    EXPECT_EQ(KVN_VerifySignature(doc.c_str(), nullptr, 0), -BAD_CERT_ERROR);
    EXPECT_EQ(LastError(), noKey);
    EXPECT_EQ(KVN_VerifySignature(signedDoc.c_str(), certFile.c_str(), 0), -BAD_CERT_ERROR);
    EXPECT_EQ(LastError(), noKey);
    char digest[65];
    EXPECT_EQ(KVN_ExtractDigestFromSignature(digest, 64, doc.c_str(), nullptr, 0), -BAD_CERT_ERROR);
    EXPECT_LT(KVN_CheckKeyAndCert(Key(1024).c_str(), kPassword, certFile.c_str()), 0);
    // The rest of the certificate still reads.
    char number[64];
    EXPECT_GT(KVN_GetCertNumber(number, 63, certFile.c_str()), 0);
}

}  // namespace
