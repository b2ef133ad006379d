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

std::string Corpus(const std::string& name) { return std::string(KVN_CORPUS_DIR) + "/" + name; }

struct ManifestRow {
    std::string file, version, seal;
};

std::vector<ManifestRow> Manifest() {
    std::vector<ManifestRow> rows;
    std::ifstream in(Corpus("manifest.tsv"));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        ManifestRow row;
        std::getline(fields, row.file, '\t');
        std::getline(fields, row.version, '\t');
        std::getline(fields, row.seal, '\t');
        rows.push_back(row);
    }
    return rows;
}

// Key passwords by key file name.
std::map<std::string, std::string> Passwords() {
    std::map<std::string, std::string> passwords;
    std::ifstream in(Corpus("certs/passwords.txt"));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::size_t tab = line.find('\t');
        if (tab != std::string::npos) passwords[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return passwords;
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

std::string WithoutWhiteSpace(std::string s) {
    std::erase_if(s, [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
    return s;
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
    const std::map<std::string, std::string> passwords = Passwords();
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

}  // namespace
