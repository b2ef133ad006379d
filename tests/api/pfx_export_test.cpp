// KVN_WritePfxFile, called as a user calls it; the PFX is opened by the openssl tool.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kelvane.h"

namespace {

std::string Credential(const std::string& name) { return std::string(KVN_FIXTURES_DIR) + "/credentials/" + name; }
std::string Corpus(const std::string& name) { return std::string(KVN_CORPUS_DIR) + "/certs/" + name; }

std::string Sh(const std::string& command, int* status = nullptr) {
    std::string output;
    if (std::FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) output.append(buffer, n);
        int rc = pclose(p);
        if (status) *status = rc;
    }
    return output;
}

std::string LastError() {
    char text[4100];
    KVN_LastError(text, 4072);
    return text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The offset of the first element at the given depth whose line contains what.
std::string OffsetOf(const std::string& dump, const std::string& depth, const std::string& what) {
    std::istringstream lines(dump);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(depth) != std::string::npos && line.find(what) != std::string::npos) {
            return line.substr(0, line.find(':'));
        }
    }
    return "0";
}

// Byte counts of the PBE salts (the 8-byte OCTET STRING before an INTEGER :0800), joined.
std::string SaltLengths(const std::string& dump) {
    std::istringstream lines(dump);
    std::string previous, out;
    for (std::string line; std::getline(lines, line); previous = line) {
        if (line.find("prim: INTEGER           :0800") == std::string::npos) continue;
        std::size_t at = previous.find(" l=");
        if (at == std::string::npos || previous.find("OCTET STRING") == std::string::npos) continue;
        out += (out.empty() ? "" : ",") + std::to_string(std::stoi(previous.substr(at + 3)));
    }
    return out;
}

// A scratch directory that also serves as TMP, so leftover temporary files show.
class PfxExport : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvn-pfx-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        tmp_ = dir_ + "/tmp";
        Sh("mkdir '" + tmp_ + "'");
        const char* old = getenv("TMP");
        oldTmp_ = old ? old : "";
        hadTmp_ = old != nullptr;
        setenv("TMP", tmp_.c_str(), 1);
    }
    void TearDown() override {
        if (hadTmp_) {
            setenv("TMP", oldTmp_.c_str(), 1);
        } else {
            unsetenv("TMP");
        }
        Sh("rm -rf '" + dir_ + "'");
    }
    std::string File(const std::string& name) const { return dir_ + "/" + name; }
    bool TempIsEmpty() const { return Sh("ls -A '" + tmp_ + "'").empty(); }

    std::string dir_, tmp_, oldTmp_;
    bool hadTmp_ = false;
};

TEST_F(PfxExport, OpensWithOpenSslAndHoldsTheInputs) {
    struct Case {
        int bits;
        const char* key;
        const char* pfxPassword;
    } cases[] = {
        {1024, "test-rsa1024-p12-3des.der", "pfx-secret"},
        {1024, "test-rsa1024-pbes2-aes256-sha256.pem", ""},  // the key password stands in
        {2048, "test-rsa2048-pbes1-sha1-des.der", "pfx-secret"},
        {2048, "test-rsa2048-p12-rc2-40.pem", ""},
    };
    for (const Case& c : cases) {
        const std::string bits = std::to_string(c.bits);
        const std::string cer = Credential("test-csd-" + bits + ".cer"), out = File("out-" + bits + ".pfx");
        SCOPED_TRACE(c.key);
        ASSERT_EQ(KVN_WritePfxFile(out.c_str(), c.pfxPassword, Credential(c.key).c_str(), "test-password", cer.c_str(), 0), 0)
            << LastError();
        EXPECT_TRUE(TempIsEmpty());
        // Bare base64: lines of 64 characters (the last shorter), each ended by a line feed.
        std::string text = ReadText(out);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n');
        EXPECT_EQ(text.find('\r'), std::string::npos);
        EXPECT_EQ(text.find('-'), std::string::npos);
        std::istringstream lines(text);
        std::string line, last;
        int count = 0;
        for (std::string l; std::getline(lines, l); ++count) {
            if (!last.empty()) {
                EXPECT_EQ(last.size(), 64u);
            }
            last = l;
        }
        EXPECT_GT(count, 10);
        EXPECT_LE(last.size(), 64u);

        const std::string password = *c.pfxPassword ? c.pfxPassword : "test-password";
        const std::string der = File("out.der");
        Sh("base64 -d '" + out + "' > '" + der + "'");
        int status = -1;
        std::string info = Sh("openssl pkcs12 -legacy -info -noout -in '" + der + "' -passin 'pass:" + password + "' 2>&1", &status);
        EXPECT_EQ(status, 0) << info;
        for (const char* expected : {"MAC: sha1, Iteration 2048", "MAC length: 20, salt length: 8",
                                     "PKCS7 Encrypted data: pbeWithSHA1And40BitRC2-CBC, Iteration 2048", "Certificate bag",
                                     "Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"}) {
            EXPECT_NE(info.find(expected), std::string::npos) << expected << "\n" << info;
        }
        // The key and certificate inside equal the inputs.
        std::string modulus = Sh("openssl pkcs12 -legacy -in '" + der + "' -passin 'pass:" + password +
                                 "' -nocerts -nodes 2>/dev/null | openssl rsa -noout -modulus");
        EXPECT_EQ(modulus, Sh("openssl rsa -in '" + Credential("test-rsa" + bits + "-plain.pem") + "' -noout -modulus"));
        std::string certDer = Sh("openssl pkcs12 -legacy -in '" + der + "' -passin 'pass:" + password +
                                 "' -nokeys -clcerts 2>/dev/null | openssl x509 -outform DER | base64 -w0");
        EXPECT_EQ(certDer, Sh("base64 -w0 '" + cer + "'"));
        // Both bags carry the same local key identifier: the SHA-1 of the certificate.
        std::string bags = Sh("openssl pkcs12 -legacy -in '" + der + "' -passin 'pass:" + password + "' -nodes 2>/dev/null");
        std::string sha1 = Sh("openssl dgst -sha1 -r '" + cer + "' | cut -c1-40");
        std::string id;
        for (std::size_t i = 0; i + 1 < sha1.size(); i += 2) {
            id += (id.empty() ? "" : " ") + std::string(1, static_cast<char>(std::toupper(sha1[i]))) +
                  static_cast<char>(std::toupper(sha1[i + 1]));
        }
        std::size_t first = bags.find("localKeyID: " + id);
        EXPECT_NE(first, std::string::npos) << bags;
        EXPECT_NE(bags.find("localKeyID: " + id, first + 1), std::string::npos) << bags;
        // Version, bag identifiers, iteration counts and salt lengths, walked in the DER.
        std::string top = Sh("openssl asn1parse -inform DER -in '" + der + "'");
        EXPECT_NE(top.find("d=1  hl=2 l=   1 prim: INTEGER           :03"), std::string::npos) << top;
        const std::string safe = OffsetOf(top, "d=3", "prim: OCTET STRING");
        std::string contents = Sh("openssl asn1parse -inform DER -in '" + der + "' -strparse " + safe);
        EXPECT_NE(contents.find(":pbeWithSHA1And40BitRC2-CBC"), std::string::npos) << contents;
        EXPECT_EQ(SaltLengths(contents), "8");
        std::string keyBag = Sh("openssl asn1parse -inform DER -in '" + der + "' -strparse " + safe + " -strparse " +
                                OffsetOf(contents, "d=3", "prim: OCTET STRING"));
        EXPECT_NE(keyBag.find(":pkcs8ShroudedKeyBag"), std::string::npos) << keyBag;
        EXPECT_NE(keyBag.find(":pbeWithSHA1And3-KeyTripleDES-CBC"), std::string::npos) << keyBag;
        EXPECT_EQ(SaltLengths(keyBag), "8");
        std::string hexId = sha1.substr(0, 40);
        for (char& ch : hexId) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        EXPECT_NE(keyBag.find(":localKeyID"), std::string::npos);
        EXPECT_NE(keyBag.find("[HEX DUMP]:" + hexId), std::string::npos) << keyBag;
    }
}

// Two PFX files of one key and certificate under one password share no salt: not the
// certificate bag's, the key bag's (their IVs follow from them) nor the MAC's. openssl
// opens both.
TEST_F(PfxExport, TwoFilesOfOneKeyShareNoSalt) {
    const std::string cer = Credential("test-csd-1024.cer"), key = Credential("test-rsa1024-p12-3des.der");
    // The salts of a PFX (8-byte OCTET STRINGs followed by the iteration count 2048): the
    // MAC's at the top, the certificate bag's in the safe contents, the key bag's inside.
    auto salts = [&](const std::string& der) {
        std::string top = Sh("openssl asn1parse -inform DER -in '" + der + "'");
        const std::string safe = OffsetOf(top, "d=3", "prim: OCTET STRING");
        std::string contents = Sh("openssl asn1parse -inform DER -in '" + der + "' -strparse " + safe);
        std::string keyBag = Sh("openssl asn1parse -inform DER -in '" + der + "' -strparse " + safe + " -strparse " +
                                OffsetOf(contents, "d=3", "prim: OCTET STRING"));
        std::vector<std::string> found;
        for (const std::string& dump : {top, contents, keyBag}) {
            std::istringstream lines(dump);
            std::string previous;
            for (std::string line; std::getline(lines, line); previous = line) {
                std::size_t hex = previous.find("l=   8 prim: OCTET STRING      [HEX DUMP]:");
                if (line.find("prim: INTEGER           :0800") != std::string::npos && hex != std::string::npos) {
                    found.push_back(previous.substr(previous.find(':', hex) + 1));
                }
            }
        }
        return found;
    };
    std::vector<std::string> seen[2];
    for (int i = 0; i < 2; ++i) {
        const std::string out = File("same-" + std::to_string(i) + ".pfx"), der = out + ".der";
        ASSERT_EQ(KVN_WritePfxFile(out.c_str(), "pfx-secret", key.c_str(), "test-password", cer.c_str(), 0), 0) << LastError();
        Sh("base64 -d '" + out + "' > '" + der + "'");
        int status = -1;
        std::string text = Sh("openssl pkcs12 -legacy -in '" + der + "' -passin pass:pfx-secret -nodes 2>&1", &status);
        EXPECT_EQ(status, 0) << text;
        seen[i] = salts(der);
        ASSERT_EQ(seen[i].size(), 3u) << "MAC, certificate bag and key bag salts";
    }
    for (const std::string& a : seen[0]) {
        for (const std::string& b : seen[1]) EXPECT_NE(a, b);
    }
    EXPECT_NE(seen[0][0], seen[0][1]);
    EXPECT_NE(seen[0][1], seen[0][2]);
}

TEST_F(PfxExport, BadInput) {
    const std::string cer = Credential("test-csd-1024.cer"), key = Credential("test-rsa1024-p12-3des.der");
    const std::string out = File("out.pfx");
    EXPECT_EQ(KVN_WritePfxFile(out.c_str(), "x", "", "test-password", cer.c_str(), 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_WritePfxFile(out.c_str(), "x", key.c_str(), "test-password", nullptr, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_WritePfxFile("", "x", key.c_str(), "test-password", cer.c_str(), 0), -BAD_PARAM_ERROR);

    EXPECT_EQ(KVN_WritePfxFile(out.c_str(), "x", key.c_str(), "test-password", Credential("test-csd-2048.cer").c_str(), 0),
              -NO_MATCH_ERROR);
    EXPECT_NE(LastError().find("Private key does not match key in certificate/La clave privada no coincide con la clave del certificado"),
              std::string::npos) << LastError();
    EXPECT_EQ(KVN_WritePfxFile(out.c_str(), "x", key.c_str(), "wrong", cer.c_str(), 0), -DECRYPT_ERROR);
    EXPECT_NE(LastError().find("Cannot read private key/No se puede leer la clave privada"), std::string::npos);
    EXPECT_TRUE(Sh("ls -A '" + out + "' 2>/dev/null").empty());  // no output file

    const std::string missing = File("no/such/dir/out.pfx");
    int rc = KVN_WritePfxFile(missing.c_str(), "x", key.c_str(), "test-password", cer.c_str(), 0);
    EXPECT_LT(rc, 0);
    EXPECT_NE(LastError().find("Cannot create file '" + missing + "'/No se puede crear el archivo"), std::string::npos)
        << LastError();
    EXPECT_TRUE(TempIsEmpty());
}

// A PFX of each of the tax authority's test credentials opens with openssl.
TEST_F(PfxExport, CorpusCredentials) {
    std::ifstream list(Corpus("passwords.txt"));
    ASSERT_TRUE(list);
    int made = 0;
    for (std::string line; std::getline(list, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::string keyName = line.substr(0, line.find('\t'));
        std::string password = line.substr(line.find('\t') + 1);
        while (!password.empty() && (password.back() == '\r' || password.back() == '\n')) password.pop_back();
        const std::string cer = Corpus(keyName.substr(0, keyName.size() - 4) + ".cer");
        const std::string out = File("corpus.pfx");
        ASSERT_EQ(KVN_WritePfxFile(out.c_str(), "", Corpus(keyName).c_str(), password.c_str(), cer.c_str(), 0), 0)
            << keyName << " " << LastError();
        int status = -1;
        std::string info = Sh("base64 -d '" + out + "' | openssl pkcs12 -legacy -noout -passin 'pass:" + password + "' 2>&1", &status);
        EXPECT_EQ(status, 0) << keyName << info;
        ++made;
    }
    EXPECT_GE(made, 10);
    EXPECT_TRUE(TempIsEmpty());
}

}  // namespace
