// The real invoices of the corpus: each seal checks as the manifest says, the digest inside
// each valid seal is the digest of our pipe string, and invoices whose key is in the corpus
// sign again into the very same seal.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "api/seal_support.h"
#include "kelvane.h"

namespace {

using namespace seal_test;

struct ManifestRow {
    std::string file, version, seal, stamp;
};

// The rows of manifest.tsv (CFD 2.0 to CFDI 3.2) or manifest-sha256.tsv (CFDI 3.3, 4.0).
std::vector<ManifestRow> Manifest(const char* name = "manifest.tsv") {
    std::vector<ManifestRow> rows;
    std::ifstream in(Corpus(name));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        ManifestRow row;
        std::getline(fields, row.file, '\t');
        std::getline(fields, row.version, '\t');
        std::getline(fields, row.seal, '\t');
        std::getline(fields, row.stamp, '\t');
        rows.push_back(row);
    }
    return rows;
}

// The corpus certificate file named after the number, or "" when there is none.
std::string CertificateNumbered(const std::string& number) {
    if (number.empty() || number[0] == '<') return "";
    for (const auto& entry : std::filesystem::directory_iterator(Corpus("certs"))) {
        std::string name = entry.path().filename().string();
        if (entry.path().extension() == ".cer" && name.find("_" + number + ".cer") != std::string::npos) {
            return entry.path().string();
        }
    }
    return "";
}

TEST(SealCorpus, SealsCheckAsTheManifestSays) {
    const std::vector<ManifestRow> rows = Manifest();
    ASSERT_GE(rows.size(), 20u) << "corpus missing at " << KVN_CORPUS_DIR;
    int valid = 0;
    for (const ManifestRow& row : rows) {
        SCOPED_TRACE(row.file + " " + row.seal);
        const std::string file = Corpus(row.file);
        const int rc = KVN_VerifySignature(file.c_str(), nullptr, 0);
        if (row.seal == "ok-sha1" || row.seal == "ok-md5") {
            ++valid;
            EXPECT_EQ(rc, 0) << LastError();
            const bool md5 = row.seal == "ok-md5";
            const std::string extracted = ExtractedDigest(file, nullptr);
            EXPECT_EQ(extracted.size(), md5 ? 32u : 40u);
            EXPECT_EQ(Lower(extracted), Digest(file, md5 ? KVN_OPT_MD5 : 0));
            // libcrypto agrees on the seal over our pipe string.
            const std::string cert = CertificateNumbered(Attribute(file, "noCertificado", "Comprobante"));
            if (!cert.empty()) {
                EXPECT_EQ(KVN_VerifySignature(file.c_str(), cert.c_str(), 0), 0) << LastError();
                EXPECT_TRUE(PeerVerifies(cert, PipeString(file), WithoutWhiteSpace(Attribute(file, "sello", "Comprobante")),
                                         md5 ? EVP_md5() : EVP_sha1()));
            }
        } else if (row.seal == "bad-content") {
            EXPECT_EQ(rc, -SIGNATURE_ERROR);
            EXPECT_EQ(LastError(), "Invalid signature/Firma no valida");
        } else if (row.seal == "bad-key") {
            // Opened with another key, the block is not of type 01 (or the public
            // operation refuses it outright).
            EXPECT_TRUE(rc == -DECRYPT_ERROR || rc == -SIGNATURE_ERROR) << rc;
        } else {
            // No sello, no certificado, or (in a nomina sample) placeholders of X's in both.
            ASSERT_EQ(row.seal, "unsigned");
            EXPECT_TRUE(rc == -BAD_PARAM_ERROR || rc == -INVALID_DATA_ERROR || rc == -BAD_CERT_ERROR)
                << rc << " " << LastError();
        }
    }
    EXPECT_GE(valid, 10);
}

// PKCS#1 v1.5 signing is deterministic: an invoice whose key is in the corpus, signed again
// with it, gets back the seal it was published with.
TEST(SealCorpus, ValidInvoicesSignAgainIntoTheirOwnSeal) {
    const std::map<std::string, std::string> passwords = CorpusPasswords();
    TempDir dir("seal-corpus");
    int resigned = 0;
    for (const ManifestRow& row : Manifest()) {
        if (row.seal != "ok-sha1" && row.seal != "ok-md5") continue;
        const std::string file = Corpus(row.file);
        const std::string number = Attribute(file, "noCertificado", "Comprobante");
        const std::string cert = CertificateNumbered(number);
        if (cert.empty()) continue;
        const std::string key = cert.substr(0, cert.size() - 4) + ".key";
        const auto password = passwords.find(std::filesystem::path(key).filename().string());
        if (!std::filesystem::exists(key) || password == passwords.end()) continue;
        SCOPED_TRACE(row.file);
        const std::string out = dir / "signed.xml";
        const int options = row.seal == "ok-md5" ? KVN_OPT_MD5 : 0;
        ASSERT_EQ(KVN_SignXml(out.c_str(), file.c_str(), key.c_str(), password->second.c_str(), cert.c_str(), options), 0)
            << LastError();
        ++resigned;
        EXPECT_EQ(Attribute(out, "sello", "Comprobante"), WithoutWhiteSpace(Attribute(file, "sello", "Comprobante")));
        EXPECT_EQ(Attribute(out, "noCertificado", "Comprobante"), number);
        EXPECT_EQ(Attribute(out, "certificado", "Comprobante"),
                  WithoutWhiteSpace(Attribute(file, "certificado", "Comprobante")));
        EXPECT_EQ(PipeString(out), PipeString(file));
        EXPECT_TRUE(XmllintParses(out));
        EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, 0), 0) << LastError();
    }
    EXPECT_GE(resigned, 5);
}

// CFDI 3.3 and 4.0: every ok-sha256 seal verifies, with the document's certificate and with
// the corpus file of the same number, and libcrypto agrees over the stylesheet's text (which
// our pipe string equals); every bad-* seal fails; unsigned rows have nothing to verify.
// The stamp column: ok-sha256 stamps verify with the stamping certificate named by
// NoCertificadoSAT, bad ones fail.
TEST(SealCorpus, Sha256SealsAndStampsCheckAsTheManifestSays) {
    const std::vector<ManifestRow> rows = Manifest("manifest-sha256.tsv");
    ASSERT_GE(rows.size(), 40u) << "corpus missing at " << KVN_CORPUS_DIR;
    const std::map<std::string, std::string> certificates = CorpusCertificatesByNumber();
    int valid = 0, stamps = 0;
    for (const ManifestRow& row : rows) {
        SCOPED_TRACE(row.file + " " + row.seal + " " + row.stamp);
        const std::string file = Corpus(row.file);
        const int rc = KVN_VerifySignature(file.c_str(), nullptr, 0);
        if (row.seal == "ok-sha256") {
            ++valid;
            EXPECT_EQ(rc, 0) << LastError();
            const std::string extracted = ExtractedDigest(file, nullptr);
            EXPECT_EQ(extracted.size(), 64u);
            EXPECT_EQ(Lower(extracted), Digest(file));
            const std::string pipe = StylesheetPipeString(file);
            EXPECT_EQ(PipeString(file), pipe);
            const auto cert = certificates.find(Attribute(file, "NoCertificado", "Comprobante"));
            if (cert != certificates.end()) {
                EXPECT_EQ(KVN_VerifySignature(file.c_str(), cert->second.c_str(), 0), 0) << LastError();
                EXPECT_TRUE(PeerVerifies(cert->second, pipe, WithoutWhiteSpace(Attribute(file, "Sello", "Comprobante")),
                                         EVP_sha256()));
            }
        } else if (row.seal.starts_with("bad-")) {
            EXPECT_TRUE(rc == -SIGNATURE_ERROR || rc == -DECRYPT_ERROR) << rc;
        } else {
            ASSERT_EQ(row.seal, "unsigned");
            EXPECT_TRUE(rc == -BAD_PARAM_ERROR || rc == -INVALID_DATA_ERROR || rc == -BAD_CERT_ERROR)
                << rc << " " << LastError();
        }

        if (row.stamp.empty() || row.stamp == "no-cert") continue;
        const auto sat = certificates.find(Attribute(file, "NoCertificadoSAT", "tfd:TimbreFiscalDigital"));
        ASSERT_NE(sat, certificates.end());
        const int stamp = KVN_VerifySignature(file.c_str(), sat->second.c_str(), KVN_OPT_STAMP);
        if (row.stamp == "ok-sha256") {
            ++stamps;
            EXPECT_EQ(stamp, 0) << LastError();
            EXPECT_EQ(PipeString(file, KVN_OPT_STAMP), StylesheetPipeString(file, true));
            EXPECT_EQ(Lower(ExtractedDigest(file, sat->second.c_str(), KVN_OPT_STAMP)), Digest(file, KVN_OPT_STAMP));
        } else {
            ASSERT_EQ(row.stamp, "bad");
            EXPECT_TRUE(stamp == -SIGNATURE_ERROR || stamp == -DECRYPT_ERROR) << stamp;
        }
        // The stamping certificate is not inside the document: stamp mode needs it.
        EXPECT_EQ(KVN_VerifySignature(file.c_str(), nullptr, KVN_OPT_STAMP), -MISSING_ERROR);
    }
    EXPECT_GE(valid, 20);
    EXPECT_GE(stamps, 4);
}

// 3.3 and 4.0 invoices whose key is in the corpus sign again into their published Sello:
// the seal covers NoCertificado, which signing fills with the certificate's number.
TEST(SealCorpus, Sha256InvoicesSignAgainIntoTheirOwnSeal) {
    const std::map<std::string, std::string> passwords = CorpusPasswords();
    const std::map<std::string, std::string> certificates = CorpusCertificatesByNumber();
    TempDir dir("seal-corpus-sha256");
    int resigned = 0;
    for (const ManifestRow& row : Manifest("manifest-sha256.tsv")) {
        if (row.seal != "ok-sha256") continue;
        const std::string file = Corpus(row.file);
        const std::string number = Attribute(file, "NoCertificado", "Comprobante");
        const auto cert = certificates.find(number);
        if (cert == certificates.end()) continue;
        const std::string key = cert->second.substr(0, cert->second.size() - 4) + ".key";
        const auto password = passwords.find(std::filesystem::path(key).filename().string());
        if (!std::filesystem::exists(key) || password == passwords.end()) continue;
        SCOPED_TRACE(row.file);
        const std::string out = dir / "signed.xml";
        ASSERT_EQ(KVN_SignXml(out.c_str(), file.c_str(), key.c_str(), password->second.c_str(), cert->second.c_str(), 0), 0)
            << LastError();
        ++resigned;
        EXPECT_EQ(Attribute(out, "Sello", "Comprobante"), WithoutWhiteSpace(Attribute(file, "Sello", "Comprobante")));
        EXPECT_EQ(Attribute(out, "NoCertificado", "Comprobante"), number);
        EXPECT_EQ(PipeString(out), PipeString(file));
        EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, 0), 0) << LastError();

        // The "before" state: with NoCertificado emptied, signing with the certificate puts
        // the number back and the seal comes out the same.
        const std::string blank = dir / "blank.xml";
        WriteFile(blank, ReplaceFirst(ReadFile(file), "NoCertificado=\"" + number + "\"", "NoCertificado=\"\""));
        ASSERT_EQ(KVN_SignXml(out.c_str(), blank.c_str(), key.c_str(), password->second.c_str(), cert->second.c_str(), 0), 0)
            << LastError();
        EXPECT_EQ(Attribute(out, "Sello", "Comprobante"), WithoutWhiteSpace(Attribute(file, "Sello", "Comprobante")));
    }
    EXPECT_GE(resigned, 5);
}

}  // namespace

namespace {

// The Retenciones versions of manifest-retenciones.tsv: where each keeps its seal, its
// certificate and the number, the seal's digest, and the authority's stylesheets.
struct RetencionesKind {
    const char* version;  // the manifest's
    int number;           // KVN_XmlReceiptVersion's
    const char* certificate;
    const char* certificateNumber;
    const EVP_MD* (*md)();
    const char* sheet;       // under esquemas/retencionpago/
    const char* stampSheet;  // under sitio_internet/
};

const RetencionesKind kRetencionesKinds[] = {
    {"ret1.0", KVN_VERSION_RET10, "Cert", "NumCert", EVP_sha1, "1/retenciones.xslt",
     "timbrefiscaldigital/cadenaoriginal_TFD_1_0.xslt"},
    {"ret2.0", KVN_VERSION_RET20, "Certificado", "NoCertificado", EVP_sha256, "2/retenciones.xslt",
     "cfd/TimbreFiscalDigital/cadenaoriginal_TFD_1_1.xslt"},
};

std::string SatTree(const std::string& path) { return Corpus("../sat/www.sat.gob.mx/" + path); }

std::string RetencionesStylesheetPipe(const RetencionesKind& kind, const std::string& file) {
    return Run("xsltproc --nonet '" + SatTree(std::string("esquemas/retencionpago/") + kind.sheet) + "' '" + file +
               "' 2>/dev/null");
}

}  // namespace

// Retenciones 1.0 and 2.0: every pipe string is the stylesheet's (stamps included); every
// ok-* seal verifies, here and by libcrypto over the stylesheet's text, and signs again into
// itself when its key is in the corpus; every bad-* seal fails; every unsigned sample signed
// with a corpus key verifies here and by libcrypto.
TEST(SealCorpus, RetencionesCheckAsTheManifestSays) {
    const std::vector<ManifestRow> rows = Manifest("manifest-retenciones.tsv");
    ASSERT_GE(rows.size(), 15u) << "corpus missing at " << KVN_CORPUS_DIR;
    const std::map<std::string, std::string> certificates = CorpusCertificatesByNumber();
    const std::map<std::string, std::string> passwords = CorpusPasswords();
    TempDir dir("seal-corpus-ret");
    int valid = 0, resigned = 0, signedUnsigned = 0, stamps = 0;
    for (const ManifestRow& row : rows) {
        SCOPED_TRACE(row.file + " " + row.seal);
        const RetencionesKind* kind = nullptr;
        for (const RetencionesKind& k : kRetencionesKinds) {
            if (row.version == k.version) kind = &k;
        }
        ASSERT_NE(kind, nullptr) << row.version;
        const std::string file = Corpus(row.file);
        EXPECT_EQ(KVN_XmlReceiptVersion(file.c_str()), kind->number);
        const std::string pipe = RetencionesStylesheetPipe(*kind, file);
        ASSERT_FALSE(pipe.empty());
        EXPECT_EQ(PipeString(file), pipe);
        // A stamp that is only a placeholder (no stamp seal) has no pipe string: stamp mode
        // requires every field.
        const char* stampSeal = kind->number == KVN_VERSION_RET10 ? "selloSAT" : "SelloSAT";
        if (!Attribute(file, stampSeal, "tfd:TimbreFiscalDigital").starts_with("<")) {
            const std::string stampPipe = StampStylesheetPipeString(file, SatTree(std::string("sitio_internet/") + kind->stampSheet));
            if (stampPipe.size() > 4) {
                ++stamps;
                EXPECT_EQ(PipeString(file, KVN_OPT_STAMP), stampPipe);
            }
        }

        const int rc = KVN_VerifySignature(file.c_str(), nullptr, 0);
        const std::string hashName = kind->md == EVP_sha1 ? "sha1" : "sha256";
        if (row.seal.starts_with("ok-")) {
            ++valid;
            EXPECT_EQ(row.seal, "ok-" + hashName);
            EXPECT_EQ(rc, 0) << LastError();
            EXPECT_EQ(Lower(ExtractedDigest(file, nullptr)), Digest(file));
            EXPECT_EQ(Digest(file), PeerDigestHex(pipe, kind->md()));
            const std::string number = Attribute(file, kind->certificateNumber, "Retenciones");
            const auto cert = certificates.find(number);
            if (cert == certificates.end()) continue;
            EXPECT_EQ(KVN_VerifySignature(file.c_str(), cert->second.c_str(), 0), 0) << LastError();
            const std::string seal = WithoutWhiteSpace(Attribute(file, "Sello", "Retenciones"));
            EXPECT_TRUE(PeerVerifies(cert->second, pipe, seal, kind->md()));

            const std::string key = cert->second.substr(0, cert->second.size() - 4) + ".key";
            const auto password = passwords.find(std::filesystem::path(key).filename().string());
            if (!std::filesystem::exists(key) || password == passwords.end()) continue;
            const std::string out = dir / "resigned.xml";
            ASSERT_EQ(KVN_SignXml(out.c_str(), file.c_str(), key.c_str(), password->second.c_str(), cert->second.c_str(), 0), 0)
                << LastError();
            ++resigned;
            EXPECT_EQ(Attribute(out, "Sello", "Retenciones"), seal);
            EXPECT_EQ(Attribute(out, kind->certificateNumber, "Retenciones"), number);
            EXPECT_EQ(PipeString(out), pipe);
        } else if (row.seal.starts_with("bad-")) {
            EXPECT_TRUE(rc == -SIGNATURE_ERROR || rc == -DECRYPT_ERROR) << rc;
        } else {
            ASSERT_EQ(row.seal, "unsigned");
            EXPECT_TRUE(rc == -BAD_PARAM_ERROR || rc == -INVALID_DATA_ERROR || rc == -BAD_CERT_ERROR)
                << rc << " " << LastError();
            const std::string cert = Corpus("certs/EKU9003173C9_CSD.cer"), key = Corpus("certs/EKU9003173C9_CSD.key");
            const std::string out = dir / "signed.xml";
            ASSERT_EQ(KVN_SignXml(out.c_str(), file.c_str(), key.c_str(), passwords.at("EKU9003173C9_CSD.key").c_str(),
                                  cert.c_str(), 0),
                      0)
                << LastError();
            ++signedUnsigned;
            EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, 0), 0) << LastError();
            EXPECT_EQ(KVN_VerifySignature(out.c_str(), cert.c_str(), 0), 0) << LastError();
            const std::string signedPipe = RetencionesStylesheetPipe(*kind, out);
            EXPECT_EQ(PipeString(out), signedPipe);
            EXPECT_NE(signedPipe.find("|30001000000400002434|"), std::string::npos);  // the number is sealed
            EXPECT_TRUE(PeerVerifies(cert, signedPipe, Attribute(out, "Sello", "Retenciones"), kind->md()));
            EXPECT_EQ(WithoutWhiteSpace(Attribute(out, kind->certificate, "Retenciones")).size() % 4, 0u);
            EXPECT_TRUE(XmllintParses(out));
        }
    }
    EXPECT_GE(valid, 11);
    EXPECT_GE(resigned, 10);
    EXPECT_GE(signedUnsigned, 7);
    EXPECT_GE(stamps, 5);
}
