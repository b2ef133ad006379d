// Sealing CFDI 3.3 and 4.0 through the public header: SHA-256 seals that openssl accepts
// over the authority's stylesheet text, NoCertificado inside the sealed text, the
// capitalised attributes, and the inputs these versions refuse.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <string>

#include "api/seal_support.h"
#include "kelvane.h"

namespace {

using namespace seal_test;

const char kNumber1024[] = "30001000000300000123";
const char kNumber2048[] = "30001000000300000124";

class SealV40 : public testing::Test {
protected:
    TempDir dir_{"seal-v40"};

    // A copy of the example 4.0 invoice in the temp directory, with one text replaced.
    std::string Variant(const std::string& name, const std::string& from = "", const std::string& to = "") {
        const std::string path = dir_ / name;
        const std::string text = ReadFile(Example("cfdi40-invoice.xml"));
        WriteFile(path, from.empty() ? text : ReplaceFirst(text, from, to));
        return path;
    }
};

TEST_F(SealV40, SignedDocumentsVerifyHereAndWithThePeers) {
    // A 3.3 invoice with Sello and Certificado to fill but no NoCertificado.
    const std::string v33 = dir_ / "v33.xml";
    WriteFile(v33, ReplaceFirst(ReadFile(Corpus("cfdi33/corasa_CFDv33_before.xml")), "Version=\"3.3\"",
                                "Version=\"3.3\" Sello=\"\" Certificado=\"\""));
    const struct {
        std::string input;
        int bits;
        bool withCert;
        int options;
        const char* number;  // NoCertificado of the output; null: none
    } cases[] = {
        {Example("cfdi40-invoice.xml"), 1024, true, 0, kNumber1024},
        {Example("cfdi40-invoice.xml"), 2048, true, KVN_OPT_NOBOM, kNumber2048},
        {Example("cfdi40-invoice.xml"), 1024, true, KVN_OPT_LATIN1, kNumber1024},
        // Without a certificate the document's own number stays, and the seal covers it.
        {Variant("own-number.xml", "NoCertificado=\"\"", std::string("NoCertificado=\"") + kNumber2048 + "\""), 2048,
         false, 0, kNumber2048},
        // A root without NoCertificado gets it, and the seal covers the number added.
        {Variant("no-number.xml", " NoCertificado=\"\"", ""), 1024, true, 0, kNumber1024},
        {v33, 1024, true, 0, kNumber1024},
        // A root with none of the three gets all three.
        {Variant("bare.xml", " Sello=\"\" FormaPago=\"03\" NoCertificado=\"\" Certificado=\"\"", " FormaPago=\"03\""), 2048,
         true, 0, kNumber2048},
        // Without a certificate only the seal is added.
        {Variant("bare-no-cert.xml", " Sello=\"\" FormaPago=\"03\" NoCertificado=\"\" Certificado=\"\"", " FormaPago=\"03\""),
         1024, false, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input + " " + std::to_string(c.bits) + (c.withCert ? " cert" : "") + " options " +
                     std::to_string(c.options));
        const std::string out = dir_ / "out.xml", cert = Cert(c.bits);
        ASSERT_EQ(KVN_SignXml(out.c_str(), c.input.c_str(), Key(c.bits).c_str(), kPassword,
                              c.withCert ? cert.c_str() : nullptr, c.options),
                  0)
            << LastError();
        EXPECT_TRUE(XmllintParses(out));
        const std::string seal = Attribute(out, "Sello", "Comprobante");
        EXPECT_EQ(seal.size(), c.bits == 1024 ? 172u : 344u);
        EXPECT_EQ(Attribute(out, "NoCertificado", "Comprobante"), c.number ? c.number : "<-21>");
        if (c.withCert) {
            char text[4096] = {};
            ASSERT_GT(KVN_GetCertAsString(text, 4095, cert.c_str()), 0);
            EXPECT_EQ(Attribute(out, "Certificado", "Comprobante"), text);
        } else if (c.number == nullptr) {
            EXPECT_EQ(Attribute(out, "Certificado", "Comprobante"), "<-21>");
        }
        EXPECT_EQ(Attribute(out, "sello", "Comprobante"), "<-21>");  // no lower-case twin

        const int verifyOptions = c.options & KVN_OPT_LATIN1;
        EXPECT_EQ(KVN_VerifySignature(out.c_str(), cert.c_str(), verifyOptions), 0) << LastError();
        if (c.withCert) {
            EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, verifyOptions), 0) << LastError();
        }

        // openssl over the authority's stylesheet text (UTF-8; the Latin-1 seal over ours).
        const std::string pipe = PipeString(out, verifyOptions);
        if (verifyOptions == 0) {
            EXPECT_EQ(pipe, StylesheetPipeString(out));
        }
        EXPECT_TRUE(PeerVerifies(cert, pipe, seal, EVP_sha256()));
        EXPECT_EQ(Digest(out, verifyOptions), PeerDigestHex(pipe, EVP_sha256()));
        const std::string extracted = ExtractedDigest(out, cert.c_str());
        EXPECT_EQ(extracted.size(), 64u);
        EXPECT_EQ(Lower(extracted), Digest(out, verifyOptions));
    }
}

TEST_F(SealV40, ExportsGiveSha256AndRefuseMd5) {
    const std::string doc = Example("cfdi40-invoice.xml"), key = Key(1024);
    char buf[400] = {};
    EXPECT_EQ(KVN_MakeDigestFromXml(buf, 399, doc.c_str(), 0), 64);
    EXPECT_EQ(std::string(buf), PeerDigestHex(StylesheetPipeString(doc), EVP_sha256()));
    EXPECT_EQ(KVN_MakeDigestFromXml(nullptr, 0, doc.c_str(), 0x30), 64);  // not MD5: the bits differ

    const std::string md5Message =
        "MD5 digest is not allowed for CFDI version '4.0'/El digesto MD5 no esta permitido para la version de CFDI";
    EXPECT_EQ(KVN_MakeDigestFromXml(buf, 399, doc.c_str(), KVN_OPT_MD5), -BAD_FLAG_ERROR);
    EXPECT_EQ(LastError(), md5Message);
    EXPECT_EQ(KVN_MakeSignatureFromXmlEx(buf, 399, doc.c_str(), key.c_str(), kPassword, KVN_OPT_MD5), -BAD_FLAG_ERROR);
    EXPECT_EQ(LastError(), md5Message);
    const std::string out = dir_ / "md5.xml";
    EXPECT_EQ(KVN_SignXml(out.c_str(), doc.c_str(), key.c_str(), kPassword, Cert(1024).c_str(), KVN_OPT_MD5),
              -BAD_FLAG_ERROR);
    EXPECT_EQ(dir_.EntryCount(), 0u);
    const std::string v33 = Corpus("cfdi33/satcfdi_cfdv33-min.xml");
    EXPECT_EQ(KVN_MakeDigestFromXml(buf, 399, v33.c_str(), KVN_OPT_MD5), -BAD_FLAG_ERROR);
    EXPECT_EQ(LastError(), "MD5 digest is not allowed for CFDI version '3.3'/"
                           "El digesto MD5 no esta permitido para la version de CFDI");

    // The signature export is the seal KVN_SignXml writes (the document's NoCertificado is
    // empty, so without a certificate the two cover the same text).
    ASSERT_EQ(KVN_MakeSignatureFromXml(buf, 399, doc.c_str(), key.c_str(), kPassword), 172);
    ASSERT_EQ(KVN_SignXml(out.c_str(), doc.c_str(), key.c_str(), kPassword, nullptr, 0), 0) << LastError();
    EXPECT_EQ(Attribute(out, "Sello", "Comprobante"), buf);
    EXPECT_EQ(Attribute(out, "NoCertificado", "Comprobante"), "");
    // With a certificate the number enters the sealed text, so the seal differs.
    ASSERT_EQ(KVN_SignXml(out.c_str(), doc.c_str(), key.c_str(), kPassword, Cert(1024).c_str(), 0), 0);
    EXPECT_NE(Attribute(out, "Sello", "Comprobante"), buf);

    // A signed 4.0 invoice stands in for its certificate.
    char number[64] = {};
    EXPECT_EQ(KVN_GetCertNumber(number, 63, out.c_str()), 20);
    EXPECT_STREQ(number, kNumber1024);
    EXPECT_EQ(KVN_CheckKeyAndCert(key.c_str(), kPassword, out.c_str()), 0) << LastError();

    // The signed invoice passes the schemas and the catalogs of its date.
    EXPECT_EQ(KVN_ValidateXml(out.c_str(), 0), 0) << LastError();
}

TEST_F(SealV40, ChangesInsideTheSealedTextBreakTheSeal) {
    const std::string signedFile = dir_ / "signed.xml";
    ASSERT_EQ(KVN_SignXml(signedFile.c_str(), Example("cfdi40-invoice.xml").c_str(), Key(1024).c_str(), kPassword,
                          Cert(1024).c_str(), 0),
              0);
    const std::string signedDoc = ReadFile(signedFile);
    const struct {
        std::string from, to;
        int expected;
    } cases[] = {
        {"Total=\"5015.00\"", "Total=\"5105.00\"", -SIGNATURE_ERROR},
        // Unlike 3.2, the certificate number is sealed.
        {std::string("NoCertificado=\"") + kNumber1024 + "\"", "NoCertificado=\"30001000000300000124\"", -SIGNATURE_ERROR},
        {"Importe=\"85.00\"", "Importe=\"58.00\"", -SIGNATURE_ERROR},  // inside the complement
        {"Descripcion=\"Mano de obra:", "Descripcion=\"  Mano  de obra:", 0},  // surplus white space
        {"<cfdi:Complemento>", "<cfdi:Complemento><zz:Otro xmlns:zz=\"http://example.com/zz\" a=\"1\"/>", 0},
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
        // The stylesheet agrees on what is sealed.
        EXPECT_EQ(PipeString(doc), StylesheetPipeString(doc));
    }
}

// Seals made by openssl over the stylesheet's text: SHA-256 verifies here, SHA-1 does not
// (3.3 and 4.0 seals are SHA-256 only, whatever digest the block carries).
TEST_F(SealV40, OnlySha256SealsMadeByOpensslVerify) {
    const std::string doc = dir_ / "doc.xml";
    ASSERT_EQ(KVN_SignXml(doc.c_str(), Example("cfdi40-invoice.xml").c_str(), Key(1024).c_str(), kPassword,
                          Cert(1024).c_str(), 0),
              0);
    const std::string cadena = dir_ / "cadena.txt", pem = dir_ / "key.pem";
    WriteFile(cadena, StylesheetPipeString(doc));
    int status = -1;
    seal_test::Run("openssl pkcs8 -inform DER -in '" + Key(1024) + "' -passin pass:" + kPassword + " -out '" + pem + "' 2>&1",
        &status);
    ASSERT_EQ(status, 0);
    const std::string ourSeal = Attribute(doc, "Sello", "Comprobante");
    for (const char* digest : {"sha256", "sha1"}) {
        SCOPED_TRACE(digest);
        const std::string seal = seal_test::Run(std::string("openssl dgst -") + digest + " -sign '" + pem + "' '" + cadena +
                                     "' | openssl base64 -A");
        ASSERT_FALSE(seal.empty());
        const std::string resealed = dir_ / "resealed.xml";
        WriteFile(resealed, ReplaceFirst(ReadFile(doc), ourSeal, seal));
        const bool sha256 = std::string(digest) == "sha256";
        EXPECT_EQ(seal == ourSeal, sha256);  // PKCS#1 v1.5 is deterministic
        EXPECT_EQ(KVN_VerifySignature(resealed.c_str(), nullptr, 0), sha256 ? 0 : -SIGNATURE_ERROR);
        EXPECT_EQ(ExtractedDigest(resealed, nullptr).size(), sha256 ? 64u : 40u);
    }
}

TEST_F(SealV40, StampSealNeedsTheStampingCertificate) {
    // A stamp of our own over the example: the stamping certificate is our 2048-bit one.
    const std::string signedFile = dir_ / "signed.xml";
    ASSERT_EQ(KVN_SignXml(signedFile.c_str(), Example("cfdi40-invoice.xml").c_str(), Key(1024).c_str(), kPassword,
                          Cert(1024).c_str(), 0),
              0);
    const std::string seal = Attribute(signedFile, "Sello", "Comprobante");
    const std::string stamp =
        "<cfdi:Complemento><tfd:TimbreFiscalDigital xmlns:tfd=\"http://www.sat.gob.mx/TimbreFiscalDigital\" "
        "Version=\"1.1\" UUID=\"6F1C2A3B-4D5E-4F60-8A9B-0C1D2E3F4A5B\" FechaTimbrado=\"2024-05-20T11:43:00\" "
        "RfcProvCertif=\"SPR190613I52\" SelloCFD=\"" + seal + "\" NoCertificadoSAT=\"" + kNumber2048 +
        "\" SelloSAT=\"\"/>";
    const std::string stamped = dir_ / "stamped.xml";
    WriteFile(stamped, ReplaceFirst(ReadFile(signedFile), "<cfdi:Complemento>", stamp));
    char stampSeal[400] = {};
    ASSERT_EQ(KVN_MakeSignatureFromXmlEx(stampSeal, 399, stamped.c_str(), Key(2048).c_str(), kPassword, KVN_OPT_STAMP),
              344)
        << LastError();
    WriteFile(stamped, ReplaceFirst(ReadFile(stamped), "SelloSAT=\"\"", std::string("SelloSAT=\"") + stampSeal + "\""));

    const std::string sat = Cert(2048);
    EXPECT_EQ(KVN_VerifySignature(stamped.c_str(), sat.c_str(), KVN_OPT_STAMP), 0) << LastError();
    EXPECT_EQ(KVN_VerifySignature(stamped.c_str(), nullptr, 0), 0) << LastError();  // the issuer's seal still holds
    const std::string pipe = PipeString(stamped, KVN_OPT_STAMP);
    EXPECT_EQ(pipe, StylesheetPipeString(stamped, true));
    EXPECT_TRUE(PeerVerifies(sat, pipe, stampSeal, EVP_sha256()));
    EXPECT_EQ(ExtractedDigest(stamped, sat.c_str(), KVN_OPT_STAMP).size(), 64u);

    EXPECT_EQ(KVN_VerifySignature(stamped.c_str(), nullptr, KVN_OPT_STAMP), -MISSING_ERROR);
    EXPECT_EQ(LastError(), "X.509 certificate must be specified for TFD option/"
                           "Certificado X.509 debe ser especificado para la opcion de TFD");
    EXPECT_EQ(KVN_ExtractDigestFromSignature(nullptr, 0, stamped.c_str(), "", KVN_OPT_STAMP), -MISSING_ERROR);
    // The issuer's certificate did not make the stamp.
    const int other = KVN_VerifySignature(stamped.c_str(), Cert(1024).c_str(), KVN_OPT_STAMP);
    EXPECT_TRUE(other == -BAD_LENGTH_ERROR || other == -DECRYPT_ERROR || other == -SIGNATURE_ERROR) << other;
    // Unstamped: no SelloSAT to check.
    EXPECT_EQ(KVN_VerifySignature(signedFile.c_str(), sat.c_str(), KVN_OPT_STAMP), -BAD_PARAM_ERROR);
}

// Seals whose PKCS#1 block is chosen here, made with openssl's raw RSA operation: only the
// whole block of the version's hash verifies. A digest of the right bytes under another
// hash's DigestInfo (SHA-256 under SHA-1 or MD5, MD5 under MD2) is no seal, and its digest
// is not extracted.
TEST_F(SealV40, OnlyTheWholeBlockOfTheVersionsHashVerifies) {
    auto digest = [](const std::string& data, const EVP_MD* md) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_Digest(data.data(), data.size(), out, &n, md, nullptr);
        return std::string(reinterpret_cast<char*>(out), n);
    };
    auto hex = [](const char* text) {
        std::string out;
        for (std::size_t i = 0; text[i] && text[i + 1]; i += 2) out += static_cast<char>(std::stoi(std::string(text + i, 2), nullptr, 16));
        return out;
    };
    const std::string sha1 = hex("3021300906052B0E03021A05000414"), md5 = hex("3020300C06082A864886F70D020505000410"),
                      md2 = hex("3020300C06082A864886F70D020205000410"),
                      sha256 = hex("3031300D060960864801650304020105000420");
    auto rawSeal = [&](const std::string& t) {
        std::string block(128, '\xFF');
        block[0] = 0;
        block[1] = 1;
        block[128 - t.size() - 1] = 0;
        block.replace(128 - t.size(), t.size(), t);
        std::FILE* f = std::fopen(Credential("test-rsa1024-plain.pem").c_str(), "r");
        EVP_PKEY* key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
        if (f) std::fclose(f);
        EVP_PKEY_CTX* ctx = key ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
        unsigned char signature[128];
        std::size_t n = sizeof signature;
        const bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 &&
                        EVP_PKEY_sign(ctx, signature, &n, reinterpret_cast<const unsigned char*>(block.data()), 128) == 1;
        EVP_PKEY_CTX_free(ctx);
        EVP_PKEY_free(key);
        unsigned char text[200];
        const int length = ok ? EVP_EncodeBlock(text, signature, static_cast<int>(n)) : 0;
        return std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(length));
    };
    const std::string v40 = dir_ / "v40.xml", v32 = dir_ / "v32.xml";
    ASSERT_EQ(KVN_SignXml(v40.c_str(), Example("cfdi40-invoice.xml").c_str(), Key(1024).c_str(), kPassword,
                          Cert(1024).c_str(), 0), 0);
    ASSERT_EQ(KVN_SignXml(v32.c_str(), Example("cfdi32-invoice.xml").c_str(), Key(1024).c_str(), kPassword,
                          Cert(1024).c_str(), 0), 0);
    const std::string pipe40 = PipeString(v40), pipe32 = PipeString(v32);
    const struct {
        const char* what;
        std::string file, attribute, t;
        int verified;   // KVN_VerifySignature
        int extracted;  // KVN_ExtractDigestFromSignature
    } cases[] = {
        {"4.0, SHA-256", v40, "Sello", sha256 + digest(pipe40, EVP_sha256()), 0, 64},
        {"4.0, SHA-256 under SHA-1", v40, "Sello", sha1 + digest(pipe40, EVP_sha256()), -DECRYPT_ERROR, -DECRYPT_ERROR},
        {"4.0, SHA-256 under MD5", v40, "Sello", md5 + digest(pipe40, EVP_sha256()), -DECRYPT_ERROR, -DECRYPT_ERROR},
        {"4.0, SHA-1", v40, "Sello", sha1 + digest(pipe40, EVP_sha1()), -SIGNATURE_ERROR, 40},
        {"3.2, MD5", v32, "sello", md5 + digest(pipe32, EVP_md5()), 0, 32},
        {"3.2, MD5 under MD2", v32, "sello", md2 + digest(pipe32, EVP_md5()), -SIGNATURE_ERROR, 32},
        {"3.2, SHA-256", v32, "sello", sha256 + digest(pipe32, EVP_sha256()), -SIGNATURE_ERROR, 64},
        {"3.2, SHA-1 and a byte more", v32, "sello", sha1 + digest(pipe32, EVP_sha1()) + "x", -DECRYPT_ERROR, -DECRYPT_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string doc = dir_ / "crafted.xml";
        const std::string seal = Attribute(c.file, c.attribute.c_str(), "Comprobante");
        WriteFile(doc, ReplaceFirst(ReadFile(c.file), c.attribute + "=\"" + seal + "\"",
                                    c.attribute + "=\"" + rawSeal(c.t) + "\""));
        EXPECT_EQ(KVN_VerifySignature(doc.c_str(), nullptr, 0), c.verified) << LastError();
        EXPECT_EQ(KVN_ExtractDigestFromSignature(nullptr, 0, doc.c_str(), nullptr, 0), c.extracted);
    }
}

// A document with two stamps: the stamp's pipe string, digest and seal check take the first
// in document order (as the stamp stylesheet over one stamp does), never both.
TEST_F(SealV40, TheFirstOfTwoStampsIsTheStamp) {
    const std::string original = ReadFile(Corpus("cfdi40/corasa_CFDv40_tfd.xml"));
    const std::size_t begin = original.find("<tfd:TimbreFiscalDigital");
    ASSERT_NE(begin, std::string::npos);
    const std::string stamp = original.substr(begin, original.find("/>", begin) + 2 - begin);
    const std::string other = ReplaceFirst(stamp, "UUID=\"5CB8D806", "UUID=\"00000000");
    const std::string sat = CorpusCertificatesByNumber().at("20001000000300022779");
    const std::string single = dir_ / "single.xml";
    WriteFile(single, original);
    const std::string expected = PipeString(single, KVN_OPT_STAMP);
    ASSERT_EQ(expected, StylesheetPipeString(single, true));
    ASSERT_EQ(KVN_VerifySignature(single.c_str(), sat.c_str(), KVN_OPT_STAMP), 0) << LastError();

    const struct {
        const char* what;
        std::string text;
        bool originalFirst;
    } cases[] = {
        {"second stamp after", ReplaceFirst(original, stamp, stamp + other), true},
        {"second stamp before", ReplaceFirst(original, stamp, other + stamp), false},
        {"second stamp in an Addenda", ReplaceFirst(original, "</cfdi:Comprobante>",
                                                    "<cfdi:Addenda>" + other + "</cfdi:Addenda></cfdi:Comprobante>"),
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string doc = dir_ / "two.xml";
        WriteFile(doc, c.text);
        const std::string pipe = PipeString(doc, KVN_OPT_STAMP);
        EXPECT_EQ(pipe, StylesheetPipeString(doc, true));  // the peer's first stamp
        EXPECT_EQ(pipe == expected, c.originalFirst);
        EXPECT_EQ(std::count(pipe.begin(), pipe.end(), '|'), std::count(expected.begin(), expected.end(), '|'));
        EXPECT_EQ(Digest(doc, KVN_OPT_STAMP), PeerDigestHex(pipe, EVP_sha256()));
        EXPECT_EQ(KVN_VerifySignature(doc.c_str(), sat.c_str(), KVN_OPT_STAMP), c.originalFirst ? 0 : -SIGNATURE_ERROR)
            << LastError();
    }
}

TEST_F(SealV40, VersionsOutsideTheTablesAreRefused) {
    const std::string key = Key(1024), cert = Cert(1024), out = dir_ / "out.xml";
    const struct {
        const char* what;
        std::string file;
        int version;  // KVN_XmlReceiptVersion
    } cases[] = {
        {"no Version", Variant("none.xml", " Version=\"4.0\"", ""), -NO_MATCH_ERROR},
        {"Version 4.1", Variant("v41.xml", "Version=\"4.0\"", "Version=\"4.1\""), -NOT_SUPPORTED_ERROR},
        {"4.0 in the 3 namespace", Variant("ns3.xml", "cfd/4\"", "cfd/3\""), -NOT_SUPPORTED_ERROR},
        {"3.3 in the 4 namespace", Variant("ns4.xml", "Version=\"4.0\"", "Version=\"3.3\""), -NOT_SUPPORTED_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(KVN_XmlReceiptVersion(c.file.c_str()), c.version);
        const int expected = c.version == -NO_MATCH_ERROR ? -NOT_SUPPORTED_ERROR : c.version;
        EXPECT_EQ(KVN_MakeDigestFromXml(nullptr, 0, c.file.c_str(), 0), expected);
        EXPECT_EQ(KVN_SignXml(out.c_str(), c.file.c_str(), key.c_str(), kPassword, cert.c_str(), 0), expected);
        EXPECT_NE(LastError(), "");
        EXPECT_EQ(KVN_VerifySignature(c.file.c_str(), cert.c_str(), 0), -BAD_PARAM_ERROR);  // no Sello under its names
        EXPECT_EQ(dir_.EntryCount(), 4u);  // the four inputs, no output
    }

    // A 3.2 invoice whose root says Version="3.3" is read as 3.3, as the stylesheet reads it:
    // none of its lower-case attributes is in the 3.3 text, and it gets the 3.3 seal
    // attributes it lacks.
    const std::string mixed = dir_ / "mixed.xml";
    WriteFile(mixed, ReplaceFirst(ReadFile(Example("cfdi32-invoice.xml")), " version=\"3.2\"", " Version=\"3.3\""));
    EXPECT_EQ(KVN_XmlReceiptVersion(mixed.c_str()), 33);
    EXPECT_EQ(PipeString(mixed), StylesheetPipeString(mixed));
    ASSERT_EQ(KVN_SignXml(out.c_str(), mixed.c_str(), key.c_str(), kPassword, cert.c_str(), 0), 0) << LastError();
    EXPECT_EQ(Attribute(out, "sello", "Comprobante"), "");
    EXPECT_EQ(Attribute(out, "Sello", "Comprobante").size(), 172u);
    EXPECT_EQ(Attribute(out, "NoCertificado", "Comprobante"), kNumber1024);
    EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, 0), 0) << LastError();
}

// The unsigned 3.3 and 4.0 invoices of the corpus, some without Sello, NoCertificado or
// Certificado: each comes out sealed, with all three, and verifies here and with the peers.
TEST_F(SealV40, UnsignedCorpusInvoicesComeOutSealed) {
    int bare = 0, total = 0;
    for (const char* folder : {"cfdi33", "cfdi40"}) {
        for (const auto& entry : fs::directory_iterator(Corpus(folder))) {
            const std::string input = entry.path().string();
            if (entry.path().extension() != ".xml") continue;
            const std::string seal = Attribute(input, "Sello", "Comprobante");
            if (seal != "" && seal != "<-21>") continue;
            SCOPED_TRACE(input);
            ++total;
            bare += seal == "<-21>";
            const std::string out = dir_ / "out.xml";
            ASSERT_EQ(KVN_SignXml(out.c_str(), input.c_str(), Key(2048).c_str(), kPassword, Cert(2048).c_str(), 0), 0)
                << LastError();
            EXPECT_EQ(Attribute(out, "Sello", "Comprobante").size(), 344u);
            EXPECT_EQ(Attribute(out, "NoCertificado", "Comprobante"), kNumber2048);
            EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, 0), 0) << LastError();
            const std::string pipe = PipeString(out);
            EXPECT_EQ(pipe, StylesheetPipeString(out));
            EXPECT_NE(pipe.find(std::string("|") + kNumber2048 + "|"), std::string::npos);
            EXPECT_TRUE(PeerVerifies(Cert(2048), pipe, Attribute(out, "Sello", "Comprobante"), EVP_sha256()));
        }
    }
    EXPECT_GE(bare, 1);
    EXPECT_GE(total, bare);
}

}  // namespace
