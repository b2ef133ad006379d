// Sealing and verification through the public header: signed documents checked by
// libcrypto and xmllint, tampering, bad input and failed writes.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "api/seal_support.h"
#include "kelvane.h"

namespace {

using namespace seal_test;

// Base64 of the certificate's DER on one line, as certificado must carry it.
std::string CertificateText(const std::string& derFile) {
    std::string der = ReadFile(derFile);
    std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                            reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

class Seal : public testing::Test {
protected:
    TempDir dir_{"seal"};

    // Signs `input` into out.xml of the temp directory; returns its path.
    std::string Sign(const std::string& input, int bits, bool withCert, int options, int* rc) {
        std::string out = dir_ / "out.xml";
        std::string cert = Cert(bits);
        *rc = KVN_SignXml(out.c_str(), input.c_str(), Key(bits).c_str(), kPassword,
                          withCert ? cert.c_str() : nullptr, options);
        return out;
    }
};

TEST_F(Seal, SignedDocumentsVerifyHereAndWithThePeers) {
    const struct {
        const char* invoice;
        int bits;
        bool withCert;
        int options;
    } cases[] = {
        {"cfdi32.xml", 1024, true, 0},
        {"cfdi32.xml", 2048, true, 0},
        {"cfdi32.xml", 1024, false, KVN_OPT_MD5},
        {"cfdi32.xml", 1024, true, KVN_OPT_NOBOM},
        {"cfdi32.xml", 2048, true, KVN_OPT_LATIN1},
        {"cfdi32_default_ns.xml", 2048, true, 0},
        {"cfdi30.xml", 1024, true, KVN_OPT_MD5},
        {"cfd22.xml", 2048, true, 0},
        {"cfd22.xml", 1024, false, 0},
        {"cfd20.xml", 1024, true, KVN_OPT_MD5},
        {"cfd20.xml", 2048, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.invoice) + " " + std::to_string(c.bits) + (c.withCert ? " cert" : "") +
                     " options " + std::to_string(c.options));
        const std::string input = Invoice(c.invoice), cert = Cert(c.bits);
        int rc = 0;
        const std::string out = Sign(input, c.bits, c.withCert, c.options, &rc);
        ASSERT_EQ(rc, 0) << LastError();
        const bool md5 = (c.options & KVN_OPT_MD5) != 0;
        const int verifyOptions = c.options & KVN_OPT_LATIN1;  // what the seal was made over

        // The three values, and nothing else, differ from the input (compared canonically).
        const std::string seal = Attribute(out, "sello", "Comprobante");
        EXPECT_EQ(seal.size(), c.bits == 1024 ? 172u : 344u);
        std::string expected = ReplaceFirst(Canonical(input), " sello=\"\"", " sello=\"" + seal + "\"");
        if (c.withCert) {
            expected = ReplaceFirst(expected, " certificado=\"\"", " certificado=\"" + CertificateText(cert) + "\"");
            expected = ReplaceFirst(expected, " noCertificado=\"\"",
                                    c.bits == 1024 ? " noCertificado=\"30001000000300000123\""
                                                   : " noCertificado=\"30001000000300000124\"");
        }
        EXPECT_EQ(Canonical(out), expected);
        EXPECT_FALSE(expected.empty());
        EXPECT_TRUE(XmllintParses(out));
        const std::string text = ReadFile(out);
        EXPECT_EQ(text.rfind((c.options & KVN_OPT_NOBOM) ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                                         : "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n",
                             0),
                  0u);

        // Our verification: with the embedded certificate when there is one, and with the file.
        EXPECT_EQ(KVN_VerifySignature(out.c_str(), cert.c_str(), verifyOptions), 0) << LastError();
        if (c.withCert) {
            EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, verifyOptions), 0) << LastError();
            EXPECT_EQ(KVN_VerifySignature(out.c_str(), "", verifyOptions), 0) << LastError();
        } else {
            EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, verifyOptions), -INVALID_DATA_ERROR);
            EXPECT_EQ(LastError(), "X.509 certificate is invalid or not found/Certificado X.509 es valido o no encontrado");
        }

        // The peers: libcrypto checks the seal over our pipe string, and our digest is its digest.
        const std::string pipe = PipeString(out, verifyOptions);
        const EVP_MD* md = md5 ? EVP_md5() : EVP_sha1();
        EXPECT_TRUE(PeerVerifies(cert, pipe, seal, md));
        EXPECT_EQ(Digest(out, c.options), PeerDigestHex(pipe, md));
        const std::string extracted = ExtractedDigest(out, cert.c_str());
        EXPECT_EQ(extracted.size(), md5 ? 32u : 40u);
        EXPECT_EQ(Lower(extracted), Digest(out, c.options));
        EXPECT_NE(extracted, Lower(extracted));  // upper case
    }
}

TEST_F(Seal, SignatureExportsFollowTheBufferConvention) {
    const std::string doc = Invoice("cfdi32.xml"), key = Key(1024);
    char seal[400] = {}, again[400] = {};
    EXPECT_EQ(KVN_MakeSignatureFromXml(seal, 399, doc.c_str(), key.c_str(), kPassword), 172);
    EXPECT_EQ(KVN_MakeSignatureFromXmlEx(again, 399, doc.c_str(), key.c_str(), kPassword, 0), 172);
    EXPECT_STREQ(seal, again);  // deterministic
    EXPECT_EQ(seal[171], '=');
    EXPECT_EQ(KVN_MakeSignatureFromXmlEx(nullptr, 0, doc.c_str(), key.c_str(), kPassword, 0), 172);
    char cut[11];
    EXPECT_EQ(KVN_MakeSignatureFromXmlEx(cut, 10, doc.c_str(), key.c_str(), kPassword, 0), 172);
    EXPECT_EQ(std::string(cut), std::string(seal, 10));
    EXPECT_EQ(KVN_MakeSignatureFromXmlEx(again, 399, doc.c_str(), Key(2048).c_str(), kPassword, 0), 344);

    EXPECT_EQ(KVN_MakeDigestFromXml(nullptr, 0, doc.c_str(), 0), 40);
    EXPECT_EQ(KVN_MakeDigestFromXml(nullptr, 0, doc.c_str(), KVN_OPT_MD5), 32);
    EXPECT_EQ(KVN_MakeDigestFromXml(cut, 10, doc.c_str(), 0), 40);
    EXPECT_EQ(std::string(cut), Digest(doc).substr(0, 10));
    // Only the four bits 0xF0 equal to 0x10 ask for MD5.
    EXPECT_EQ(KVN_MakeDigestFromXml(nullptr, 0, doc.c_str(), 0x30), 40);

    // The seal of the signed document is the signature export's answer.
    int rc = 0;
    const std::string out = Sign(doc, 1024, true, 0, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(Attribute(out, "sello", "Comprobante"), seal);
    EXPECT_EQ(KVN_ExtractDigestFromSignature(cut, 5, out.c_str(), nullptr, 0), 40);
    EXPECT_EQ(std::string(cut), ExtractedDigest(out, nullptr).substr(0, 5));

    EXPECT_EQ(KVN_MakeDigestFromXml(seal, 399, nullptr, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_MakeSignatureFromXmlEx(seal, 399, doc.c_str(), nullptr, kPassword, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_MakeSignatureFromXml(seal, 399, doc.c_str(), key.c_str(), "wrong"), -DECRYPT_ERROR);
    EXPECT_EQ(LastError(), "Cannot read private key/No se puede leer la clave privada");
    EXPECT_EQ(KVN_MakeSignatureFromXml(seal, 399, (dir_ / "none.xml").c_str(), key.c_str(), kPassword), -OPEN_ERROR);
}

TEST_F(Seal, StampSealIsCheckedWithTheStampingCertificate) {
    const std::string stamped = Invoice("cfdi32_stamped.xml"), key = Key(1024), cert = Cert(1024);
    char stampSeal[400] = {};
    ASSERT_EQ(KVN_MakeSignatureFromXmlEx(stampSeal, 399, stamped.c_str(), key.c_str(), kPassword, KVN_OPT_STAMP), 172);
    const std::string doc = dir_ / "stamped.xml";
    WriteFile(doc, ReplaceFirst(ReadFile(stamped), "selloSAT=\"U0FU\"", std::string("selloSAT=\"") + stampSeal + "\""));

    EXPECT_EQ(KVN_VerifySignature(doc.c_str(), cert.c_str(), KVN_OPT_STAMP), 0) << LastError();
    EXPECT_TRUE(PeerVerifies(cert, PipeString(doc, KVN_OPT_STAMP), stampSeal, EVP_sha1()));
    EXPECT_EQ(Lower(ExtractedDigest(doc, cert.c_str(), KVN_OPT_STAMP)), Digest(doc, KVN_OPT_STAMP));
    // The document's own seal is not the stamp's.
    EXPECT_EQ(KVN_VerifySignature(doc.c_str(), cert.c_str(), 0), -BAD_PARAM_ERROR);

    EXPECT_EQ(KVN_VerifySignature(doc.c_str(), nullptr, KVN_OPT_STAMP), -MISSING_ERROR);
    EXPECT_EQ(LastError(), "X.509 certificate must be specified for TFD option/"
                           "Certificado X.509 debe ser especificado para la opcion de TFD");
    const std::string unstamped = Invoice("cfdi32_unstamped.xml");
    EXPECT_EQ(KVN_VerifySignature(unstamped.c_str(), cert.c_str(), KVN_OPT_STAMP), -BAD_PARAM_ERROR);
    EXPECT_EQ(LastError(), "No signature found in XML file '" + unstamped +
                               "'/La firma no se encuentra en el archivo XML");
    EXPECT_EQ(KVN_MakeDigestFromXml(nullptr, 0, Invoice("cfd22.xml").c_str(), KVN_OPT_STAMP), -BAD_FLAG_ERROR);
}

TEST_F(Seal, OnlyChangesInsideThePipeStringBreakTheSeal) {
    int rc = 0;
    const std::string signedDoc = ReadFile(Sign(Invoice("cfdi32.xml"), 1024, true, 0, &rc));
    ASSERT_EQ(rc, 0);
    const struct {
        const char* from;
        const char* to;
        int expected;
    } cases[] = {
        {"total=\"1160.00\"", "total=\"1160.01\"", -SIGNATURE_ERROR},
        {"rfc=\"XAXX010101000\"", "rfc=\"XAXX010101001\"", -SIGNATURE_ERROR},
        {"<cfdi:Concepto cantidad=\"2\"", "<cfdi:Concepto cantidad=\"3\"", -SIGNATURE_ERROR},
        // Outside it: the Addenda, white space between attributes, surplus white space
        // inside a value, an empty element written as one tag.
        {"pedido=\"77\"", "pedido=\"78\"", 0},
        {"<ext:Nota>no entra</ext:Nota>", "<ext:Nota>tampoco</ext:Nota>", 0},
        {" version=\"3.2\"", "\n\t  version=\"3.2\"", 0},
        {"nombre=\"Empresa  Ejemplo S.A.\"", "nombre=\" Empresa\tEjemplo  S.A. \"", 0},
        {"<cfdi:Domicilio pais=\"M\xC3\xA9xico\"></cfdi:Domicilio>", "<cfdi:Domicilio pais=\"M&#233;xico\"/>", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        ASSERT_NE(signedDoc.find(c.from), std::string::npos);
        const std::string doc = dir_ / "tampered.xml";
        WriteFile(doc, ReplaceFirst(signedDoc, c.from, c.to));
        EXPECT_EQ(KVN_VerifySignature(doc.c_str(), nullptr, 0), c.expected);
        if (c.expected) {
            EXPECT_EQ(LastError(), "Invalid signature/Firma no valida");
        }
    }
}

TEST_F(Seal, BadSignaturesAndCertificatesAreRefused) {
    int rc = 0;
    const std::string signedDoc = ReadFile(Sign(Invoice("cfdi32.xml"), 1024, true, 0, &rc));
    ASSERT_EQ(rc, 0);
    const std::string seal = Attribute(dir_ / "out.xml", "sello", "Comprobante");
    char otherSeal[400] = {};  // 256 bytes: longer than the 1024-bit key
    ASSERT_EQ(KVN_MakeSignatureFromXml(otherSeal, 399, Invoice("cfdi32.xml").c_str(), Key(2048).c_str(), kPassword), 344);

    const struct {
        const char* what;
        std::string from, to;
        std::string cert;
        int expected;
        std::string message;
    } cases[] = {
        {"no sello", " sello=\"" + seal + "\"", "", "", -BAD_PARAM_ERROR,
         "No signature found in XML file '" + (dir_ / "bad.xml") + "'/La firma no se encuentra en el archivo XML"},
        {"empty sello", seal, "", "", -BAD_PARAM_ERROR,
         "No signature found in XML file '" + (dir_ / "bad.xml") + "'/La firma no se encuentra en el archivo XML"},
        {"not base64", seal, "!!!!", "", -INVALID_DATA_ERROR,
         "Signature in XML is in wrong format/Firma en XML es un formato incorrecto"},
        {"longer than the key", seal, otherSeal, "", -BAD_LENGTH_ERROR,
         "Signature (256 bytes) is bigger than public key size (128 bytes)/"
         "La firma es mas grande que el tamano de clave publica"},
        {"garbage certificate argument", "", "", "not a certificate", -INVALID_DATA_ERROR,
         "X.509 certificate is invalid or not found/Certificado X.509 es valido o no encontrado"},
        {"no certificado", " certificado=\"", " x=\"", "", -INVALID_DATA_ERROR,
         "X.509 certificate is invalid or not found/Certificado X.509 es valido o no encontrado"},
        {"certificate without an RSA key", "", "", Credential("test-ec.cer"), -BAD_CERT_ERROR,
         "Unable to extract public key from certificate/No se puede extraer la clave publica del certificado"},
        // Short seals are left-padded: a seal of one byte opens to a block that is not of type 01.
        {"short seal", seal, "AQ==", "", -DECRYPT_ERROR, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string doc = dir_ / "bad.xml";
        WriteFile(doc, c.from.empty() ? signedDoc : ReplaceFirst(signedDoc, c.from, c.to));
        EXPECT_EQ(KVN_VerifySignature(doc.c_str(), c.cert.empty() ? nullptr : c.cert.c_str(), 0), c.expected);
        EXPECT_EQ(LastError(), c.message);
        EXPECT_EQ(KVN_ExtractDigestFromSignature(nullptr, 0, doc.c_str(), c.cert.empty() ? nullptr : c.cert.c_str(), 0),
                  c.expected);
    }
    // A certificate whose key did not make the seal: the opened block is not of type 01,
    // unless the public operation already refused it.
    const std::string other = std::string(KVN_CORPUS_DIR) + "/certs/CSD01_AAA010101AAA.cer";
    rc = KVN_VerifySignature((dir_ / "out.xml").c_str(), other.c_str(), 0);
    EXPECT_TRUE(rc == -DECRYPT_ERROR || rc == -SIGNATURE_ERROR) << rc;
    EXPECT_EQ(KVN_VerifySignature(nullptr, nullptr, 0), -BAD_PARAM_ERROR);
}

TEST_F(Seal, FailedSigningCreatesNoOutput) {
    const std::string doc = Invoice("cfdi32.xml"), out = dir_ / "out.xml";
    const std::string key1024 = Key(1024), cert2048 = Cert(2048), cert1024 = Cert(1024);
    const std::string malformed = dir_ / "malformed.xml";
    WriteFile(malformed, "<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/3\" version=\"3.2\" sello=\"\">\n<a>");
    const std::string plainSerial = Credential("test-plain-1024.cer");
    const struct {
        const char* what;
        const char* output;
        const char* xml;
        const char* key;
        const char* password;
        const char* cert;
        int expected;
        std::string message;
    } cases[] = {
        {"key of another pair", out.c_str(), doc.c_str(), key1024.c_str(), kPassword, cert2048.c_str(), -NO_MATCH_ERROR,
         "Private key does not match key in certificate/La clave privada no coincide con la clave del certificado"},
        {"wrong password", out.c_str(), doc.c_str(), key1024.c_str(), "wrong", cert1024.c_str(), -DECRYPT_ERROR,
         "Cannot read private key/No se puede leer la clave privada"},
        {"garbage certificate", out.c_str(), doc.c_str(), key1024.c_str(), kPassword, "garbage", -BAD_CERT_ERROR,
         "Invalid X.509 certificate/Certificado no valido X.509"},
        {"empty certificate", out.c_str(), doc.c_str(), key1024.c_str(), kPassword, "", -BAD_CERT_ERROR,
         "Invalid X.509 certificate/Certificado no valido X.509"},
        {"serial that is not text", out.c_str(), doc.c_str(), key1024.c_str(), kPassword, plainSerial.c_str(),
         -BAD_FORMAT_ERROR,
         "Invalid serial number in X.509 certificate/Numero de serie no valido en el certificado X.509"},
        {"null password", out.c_str(), doc.c_str(), key1024.c_str(), nullptr, nullptr, -BAD_PARAM_ERROR, ""},
        {"null output", nullptr, doc.c_str(), key1024.c_str(), kPassword, nullptr, -BAD_PARAM_ERROR, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(KVN_SignXml(c.output, c.xml, c.key, c.password, c.cert, 0), c.expected);
        EXPECT_EQ(LastError(), c.message);
        EXPECT_EQ(dir_.EntryCount(), 1u);  // only malformed.xml
    }
    EXPECT_EQ(KVN_SignXml(out.c_str(), malformed.c_str(), key1024.c_str(), kPassword, nullptr, 0), -BAD_XML_ERROR);
    EXPECT_EQ(dir_.EntryCount(), 1u);

    // A write that cannot happen is an error, not a success.
    const std::string nowhere = dir_ / "missing-dir/out.xml";
    EXPECT_EQ(KVN_SignXml(nowhere.c_str(), doc.c_str(), key1024.c_str(), kPassword, nullptr, 0), -WRITE_ERROR);
    EXPECT_EQ(LastError(), "Unable to write to file '" + nowhere + "'/No es posible escribir en el archivo");
}

TEST_F(Seal, SignsInPlaceAndLeavesTheInputWhenItFails) {
    const std::string doc = dir_ / "invoice.xml", original = ReadFile(Invoice("cfdi32.xml"));
    WriteFile(doc, original);
    const std::string key = Key(1024), cert = Cert(1024);
    EXPECT_EQ(KVN_SignXml(doc.c_str(), doc.c_str(), key.c_str(), "wrong", cert.c_str(), 0), -DECRYPT_ERROR);
    EXPECT_EQ(ReadFile(doc), original);
    ASSERT_EQ(KVN_SignXml(doc.c_str(), doc.c_str(), key.c_str(), kPassword, cert.c_str(), 0), 0) << LastError();
    EXPECT_EQ(KVN_VerifySignature(doc.c_str(), nullptr, 0), 0) << LastError();
    EXPECT_EQ(dir_.EntryCount(), 1u);  // no stray temporary file

    // Signing a signed document again gives the same document.
    const std::string once = ReadFile(doc);
    ASSERT_EQ(KVN_SignXml(doc.c_str(), doc.c_str(), key.c_str(), kPassword, cert.c_str(), 0), 0);
    EXPECT_EQ(ReadFile(doc), once);
}

TEST_F(Seal, FillsOnlyTheAttributesTheRootCarries) {
    const std::string key = Key(1024), cert = Cert(1024), out = dir_ / "out.xml", in = dir_ / "in.xml";
    const std::string original = ReadFile(Invoice("cfdi32.xml"));

    // Without a certificate only sello changes.
    WriteFile(in, ReplaceFirst(ReplaceFirst(original, "noCertificado=\"\"", "noCertificado=\"999\""),
                               "certificado=\"\"", "certificado=\"abc\""));
    ASSERT_EQ(KVN_SignXml(out.c_str(), in.c_str(), key.c_str(), kPassword, nullptr, 0), 0);
    EXPECT_EQ(Attribute(out, "noCertificado", "Comprobante"), "999");
    EXPECT_EQ(Attribute(out, "certificado", "Comprobante"), "abc");
    EXPECT_EQ(Attribute(out, "sello", "Comprobante").size(), 172u);

    // A root without sello is written without it, and the call succeeds.
    WriteFile(in, ReplaceFirst(original, " sello=\"\"", ""));
    ASSERT_EQ(KVN_SignXml(out.c_str(), in.c_str(), key.c_str(), kPassword, cert.c_str(), 0), 0);
    EXPECT_EQ(Attribute(out, "sello", "Comprobante"), "<-21>");
    EXPECT_EQ(Attribute(out, "noCertificado", "Comprobante"), "30001000000300000123");

    // A CFDI root under another prefix is the same element.
    std::string other = original;
    for (std::size_t at; (at = other.find("cfdi:")) != std::string::npos;) other.replace(at, 5, "c:");
    WriteFile(in, ReplaceFirst(other, "xmlns:cfdi=", "xmlns:c="));
    ASSERT_EQ(KVN_SignXml(out.c_str(), in.c_str(), key.c_str(), kPassword, cert.c_str(), 0), 0) << LastError();
    EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, 0), 0) << LastError();
}

}  // namespace
