// The certificate and key exports, called as a user calls them, checked against the
// openssl tool.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "kelvane.h"

namespace {

std::string Credential(const std::string& name) { return std::string(KVN_FIXTURES_DIR) + "/credentials/" + name; }
std::string Corpus(const std::string& name) { return std::string(KVN_CORPUS_DIR) + "/certs/" + name; }
constexpr const char* kPassword = "test-password";

std::string Shell(const std::string& command, int* status = nullptr) {
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

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

std::string LastError() {
    char text[4100];
    KVN_LastError(text, 4072);
    return text;
}

// Calls an export twice as the convention asks: once for the length, once for the text.
template <class F>
std::string Answer(F call, int* result = nullptr) {
    int n = call(nullptr, 0);
    if (result) *result = n;
    if (n < 0) return "";
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    int m = call(out.data(), n);
    if (result) *result = m;
    out.resize(m < 0 ? 0 : static_cast<std::size_t>(m));
    return out;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Hex digits as printf octal escapes ("\\101" for 41), so the shell can write the bytes.
std::string OctalEscapes(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        int byte = std::stoi(hex.substr(i, 2), nullptr, 16);
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\%03o", byte);
        out += escape;
    }
    return out;
}

std::string Iso(const std::string& opensslDate) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char mon[4] = {};
    int day, h, m, s, y;
    if (std::sscanf(opensslDate.c_str(), "%3s %d %d:%d:%d %d", mon, &day, &h, &m, &s, &y) != 6) return "?";
    int month = 0;
    while (month < 12 && std::strcmp(kMonths[month], mon) != 0) ++month;
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02dZ", y, month + 1, day, h, m, s);
    return out;
}

TEST(CertExports, CsdShapedCertificate) {
    const std::string cer = Credential("test-csd-1024.cer");
    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_GetCertNumber(o, n, cer.c_str()); }), "30001000000300000123");
    char small[8];
    EXPECT_EQ(KVN_GetCertNumber(small, 5, cer.c_str()), 5);
    EXPECT_STREQ(small, "30001");
    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_QueryCert(o, n, cer.c_str(), "serialNumber", 0); }),
              "30001000000300000123");

    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_QueryCert(o, n, cer.c_str(), "rfc", 0); }), "AAA010101AAA");
    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_QueryCert(o, n, cer.c_str(), "organizationName", 0); }),
              "Pruebas \xC3\x91" "and\xC3\xBA & C\xC3\xAD" "a S.A. de C.V.");
    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_QueryCert(o, n, cer.c_str(), "organizationName", KVN_OPT_LATIN1); }),
              "Pruebas \xD1" "and\xFA & C\xED" "a S.A. de C.V.");

    std::string dates = Shell("openssl x509 -inform DER -in '" + cer + "' -noout -startdate -enddate");
    std::string notBefore = Iso(dates.substr(dates.find('=') + 1));
    std::string notAfter = Iso(dates.substr(dates.rfind('=') + 1));
    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_GetCertExpiry(o, n, cer.c_str(), 0); }), notAfter);
    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_GetCertExpiry(o, n, cer.c_str(), KVN_OPT_NOTBEFORE); }), notBefore);
    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_QueryCert(o, n, cer.c_str(), "notBefore", 0); }), notBefore);
    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_QueryCert(o, n, cer.c_str(), "notAfter", 0); }), notAfter);
    char cut[16];
    EXPECT_EQ(KVN_GetCertExpiry(cut, 10, cer.c_str(), 0), 20);
    EXPECT_EQ(std::string(cut), notAfter.substr(0, 10));

    std::string base64 = Shell("base64 -w0 '" + cer + "'");
    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_GetCertAsString(o, n, cer.c_str()); }), base64);
    std::vector<char> shortBuffer(base64.size());
    EXPECT_EQ(KVN_GetCertAsString(shortBuffer.data(), static_cast<int>(base64.size()) - 1, cer.c_str()), -SHORT_BUF_ERROR);
    // The base64 text itself serves as the certificate argument.
    EXPECT_EQ(Answer([&](char* o, int n) { return KVN_GetCertNumber(o, n, base64.c_str()); }), "30001000000300000123");

    // A GeneralizedTime notAfter keeps its four-digit year.
    std::string later = Answer([&](char* o, int n) { return KVN_GetCertExpiry(o, n, Credential("test-gentime-1024.cer").c_str(), 0); });
    EXPECT_EQ(later.substr(0, 2), "20");
    EXPECT_GE(later.substr(0, 4), "2050");
}

TEST(CertExports, QueryErrors) {
    const std::string cer = Credential("test-csd-1024.cer");
    char out[64];
    EXPECT_EQ(KVN_QueryCert(out, 63, cer.c_str(), "RFC", 0), -BAD_QUERY_ERROR);
    EXPECT_EQ(LastError(), "'RFC' is not a valid query/no es una consulta valida");
    EXPECT_EQ(KVN_QueryCert(out, 63, cer.c_str(), nullptr, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_QueryCert(out, 63, nullptr, "rfc", 0), -BAD_PARAM_ERROR);
    // A subject without organisation or unique identifier.
    const std::string plain = Credential("test-plain-1024.cer");
    EXPECT_EQ(KVN_QueryCert(out, 63, plain.c_str(), "organizationName", 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_QueryCert(out, 63, plain.c_str(), "organizationName", KVN_OPT_LATIN1), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(KVN_QueryCert(out, 63, plain.c_str(), "rfc", KVN_OPT_LATIN1), 0);
    // Its serial 01 FF 7E is not printable text.
    EXPECT_EQ(KVN_GetCertNumber(out, 63, plain.c_str()), -BAD_FORMAT_ERROR);
    // Nor is one of digits with a zero byte inside, however much of it is asked for; a
    // signer refuses to write it as the certificate number.
    const std::string nul = Credential("test-serial-nul-1024.cer");
    for (int outlen : {0, 5, 63}) {
        EXPECT_EQ(KVN_GetCertNumber(outlen ? out : nullptr, outlen, nul.c_str()), -BAD_FORMAT_ERROR) << outlen;
    }
    EXPECT_EQ(KVN_QueryCert(out, 63, nul.c_str(), "serialNumber", 0), -BAD_FORMAT_ERROR);
    const std::string signedOut = std::string(testing::TempDir()) + "kvn-serial-nul.xml";
    EXPECT_EQ(KVN_SignXml(signedOut.c_str(), (std::string(KVN_SOURCE_DIR) + "/examples/cfdi40-invoice.xml").c_str(),
                          Credential("test-rsa1024-p12-3des.der").c_str(), kPassword, nul.c_str(), 0),
              -BAD_FORMAT_ERROR);
    EXPECT_EQ(LastError(), "Invalid serial number in X.509 certificate/Numero de serie no valido en el certificado X.509");
    EXPECT_EQ(std::fopen(signedOut.c_str(), "rb"), nullptr);
    EXPECT_EQ(KVN_GetCertNumber(out, 63, nullptr), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_GetCertExpiry(out, 63, nullptr, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_GetCertAsString(out, 63, nullptr), -BAD_PARAM_ERROR);
}

TEST(CertExports, KeyAndCertificate) {
    EXPECT_EQ(KVN_CheckKeyAndCert(Credential("test-rsa1024-p12-3des.der").c_str(), kPassword,
                                  Credential("test-csd-1024.cer").c_str()), 0);
    EXPECT_EQ(LastError(), "");
    EXPECT_EQ(KVN_CheckKeyAndCert(Credential("test-rsa2048-pbes2-aes256-sha256.pem").c_str(), kPassword,
                                  Credential("test-csd-2048.pem").c_str()), 0);

    struct Case {
        std::string key, password, cert;
        int code;
        const char* message;
    } cases[] = {
        {Credential("test-rsa1024-p12-3des.der"), "wrong", Credential("test-csd-1024.cer"), -DECRYPT_ERROR,
         "Cannot read private key/No se puede leer la clave privada"},
        {Credential("test-rsa1024-p12-3des.der"), "", Credential("test-csd-1024.cer"), -DECRYPT_ERROR,
         "Cannot read private key/No se puede leer la clave privada"},
        {Credential(""), kPassword, Credential("test-csd-1024.cer"), -OPEN_ERROR,
         "Cannot read private key/No se puede leer la clave privada"},
        {"", kPassword, Credential("test-csd-1024.cer"), -BAD_PARAM_ERROR,
         "Cannot read private key/No se puede leer la clave privada"},
        {Credential("test-rsa1024-p12-3des.der"), kPassword, Credential("test-csd-2048.cer"), -NO_MATCH_ERROR,
         "Private key does not match key in certificate/La clave privada no coincide con la clave del certificado"},
        {Credential("test-rsa1024-p12-3des.der"), kPassword, Credential("test-ec.cer"), -NOT_SUPPORTED_ERROR,
         "Cannot read public key in certificate/No se puede leer la clave publica del certificado"},
        {Credential("test-rsa1024-p12-3des.der"), kPassword, Credential("test-rsa1024-p12-3des.der"), -INVALID_DATA_ERROR,
         "Invalid certificate/Certificado no valido"},
        // A 16-bit key is too short to be a key string's private key (code 11).
        {Credential("test-rsa16-p12-3des.der"), kPassword, Credential("test-csd-1024.cer"), -11,
         "Private key does not match key in certificate/La clave privada no coincide con la clave del certificado"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KVN_CheckKeyAndCert(c.key.c_str(), c.password.c_str(), c.cert.c_str()), c.code) << c.key << " " << c.cert;
        std::string error = LastError();
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(CertExports, KeyAsXml) {
    const std::string key = Credential("test-rsa1024-pbes2-3des-sha1.der");
    int result = 0;
    std::string text = Answer([&](char* o, int n) { return KVN_GetKeyAsString(o, n, key.c_str(), kPassword, 0); }, &result);
    ASSERT_GT(result, 0);
    std::string xml = Shell("echo '" + text + "' | base64 -d");
    std::string modulusHex = Trim(Shell("openssl rsa -in '" + Credential("test-rsa1024-plain.pem") +
                                        "' -noout -modulus | cut -d= -f2"));
    std::string modulus = Trim(Shell("printf '" + OctalEscapes(modulusHex) + "' | base64 -w0"));
    EXPECT_EQ(xml.rfind("<RSAKeyValue><Modulus>" + modulus + "</Modulus><Exponent>AQAB</Exponent><P>", 0), 0u) << xml;
    EXPECT_EQ(xml.substr(xml.size() - 14), "</RSAKeyValue>");
    char small[16];
    EXPECT_EQ(KVN_GetKeyAsString(small, 15, key.c_str(), kPassword, 0), -SHORT_BUF_ERROR);
    EXPECT_EQ(KVN_GetKeyAsString(small, 15, key.c_str(), "nope", 0), -DECRYPT_ERROR);
    EXPECT_EQ(LastError(), "Cannot read private key/No se puede leer la clave privada");
    EXPECT_EQ(KVN_GetKeyAsString(small, 15, Credential("test-rsa16-p12-3des.der").c_str(), kPassword, 0), -11);
    EXPECT_EQ(LastError(), "Error with private key/Error con la clave privada");
    EXPECT_EQ(KVN_GetKeyAsString(small, 15, Credential("").c_str(), kPassword, 0), -OPEN_ERROR);
}

// A 4096-bit pair works end to end.
TEST(CertExports, LargeKey) {
    char dir[] = "/tmp/kvn-api-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string key = std::string(dir) + "/k4096.der";
    Shell("openssl pkcs8 -topk8 -v2 aes-256-cbc -in '" + Credential("test-rsa4096-plain.pem") + "' -passout pass:x -outform DER -out '" + key + "'");
    EXPECT_EQ(KVN_CheckKeyAndCert(key.c_str(), "x", Credential("test-rsa4096.cer").c_str()), 0);
    Shell(std::string("rm -rf '") + dir + "'");
}

// The tax authority's test credentials: each reads, answers, decrypts and matches.
TEST(CertExports, CorpusCredentials) {
    std::map<std::string, std::string> passwords;
    std::ifstream list(Corpus("passwords.txt"));
    ASSERT_TRUE(list) << Corpus("passwords.txt");
    for (std::string line; std::getline(list, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::size_t tab = line.find('\t');
        passwords[line.substr(0, tab)] = Trim(line.substr(tab + 1));
    }
    ASSERT_GE(passwords.size(), 10u);
    for (const auto& [keyName, password] : passwords) {
        const std::string key = Corpus(keyName);
        const std::string cer = Corpus(keyName.substr(0, keyName.size() - 4) + ".cer");
        SCOPED_TRACE(cer);
        std::string serial = Trim(Shell("openssl x509 -inform DER -in '" + cer + "' -noout -serial | cut -d= -f2"));
        std::string number = Answer([&](char* o, int n) { return KVN_GetCertNumber(o, n, cer.c_str()); });
        for (char& c : serial) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(Hex(number), serial);
        EXPECT_EQ(number.size(), 20u);
        std::string rfc = Answer([&](char* o, int n) { return KVN_QueryCert(o, n, cer.c_str(), "rfc", 0); });
        EXPECT_GE(rfc.size(), 12u);
        EXPECT_NE(keyName.find(rfc), std::string::npos) << rfc;  // every file name carries the RFC
        std::string org = Answer([&](char* o, int n) { return KVN_QueryCert(o, n, cer.c_str(), "organizationName", 0); });
        std::string theirs = Trim(Shell("openssl x509 -inform DER -in '" + cer +
                                      "' -noout -subject -nameopt sep_multiline,utf8,-esc_msb,sname | grep '^    O=' | cut -d= -f2-"));
        EXPECT_EQ(org, theirs);
        std::string dates = Shell("openssl x509 -inform DER -in '" + cer + "' -noout -enddate");
        EXPECT_EQ(Answer([&](char* o, int n) { return KVN_GetCertExpiry(o, n, cer.c_str(), 0); }),
                  Iso(dates.substr(dates.find('=') + 1)));
        EXPECT_EQ(KVN_CheckKeyAndCert(key.c_str(), password.c_str(), cer.c_str()), 0) << LastError();
    }
}

}  // namespace

namespace {

std::string Invoice(const std::string& name) { return std::string(KVN_CORPUS_DIR) + "/" + name; }

// A signed invoice given where a certificate is expected answers for its certificate.
TEST(CertExports, SignedDocumentStandsInForItsCertificate) {
    struct Case {
        const char* invoice;
        const char* number;
        const char* cer;
    } cases[] = {
        {"cfdi32/bambu_cfdi32_cadena_original.xml", "20001000000100005867", "AAA010101AAA_20001000000100005867.cer"},
        {"cfdi32/bambu_cfdi32_timbrado_1428.xml", "20001000000200001428", "AAA010101AAA_20001000000200001428.cer"},
        {"cfd22/bambu_cfd22_correcto_5867_variant.xml", "20001000000100005867", "AAA010101AAA_20001000000100005867.cer"},
    };
    for (const Case& c : cases) {
        const std::string doc = Invoice(c.invoice), cer = Corpus(c.cer);
        SCOPED_TRACE(doc);
        EXPECT_EQ(Answer([&](char* o, int n) { return KVN_GetCertNumber(o, n, doc.c_str()); }), c.number);
        EXPECT_EQ(Answer([&](char* o, int n) { return KVN_GetCertAsString(o, n, doc.c_str()); }),
                  Answer([&](char* o, int n) { return KVN_GetCertAsString(o, n, cer.c_str()); }));
        EXPECT_EQ(Answer([&](char* o, int n) { return KVN_QueryCert(o, n, doc.c_str(), "rfc", 0); }), "AAA010101AAA");
        EXPECT_EQ(Answer([&](char* o, int n) { return KVN_GetCertExpiry(o, n, doc.c_str(), 0); }),
                  Answer([&](char* o, int n) { return KVN_GetCertExpiry(o, n, cer.c_str(), 0); }));
    }
    EXPECT_EQ(KVN_CheckKeyAndCert(Corpus("AAA010101AAA_20001000000100005867.key").c_str(), "12345678a",
                                  Invoice(cases[0].invoice).c_str()), 0);
    // An unsigned invoice has no certificate to offer.
    const std::string unsigned_ = Invoice("cfdi32/cfdiutils_v32-dirty_unsigned.xml");
    char out[64];
    EXPECT_EQ(KVN_GetCertNumber(out, 63, unsigned_.c_str()), -INVALID_DATA_ERROR);
    EXPECT_EQ(KVN_GetCertExpiry(out, 63, unsigned_.c_str(), 0), -INVALID_DATA_ERROR);
    EXPECT_EQ(KVN_GetCertAsString(out, 63, unsigned_.c_str()), -INVALID_DATA_ERROR);
    EXPECT_EQ(KVN_QueryCert(out, 63, unsigned_.c_str(), "rfc", 0), -MISSING_ERROR);
    // Neither a certificate nor a document.
    EXPECT_EQ(KVN_GetCertNumber(out, 63, "/no/such/file.cer"), -INVALID_DATA_ERROR);
    EXPECT_NE(LastError().find("Cannot open file '/no/such/file.cer'"), std::string::npos) << LastError();
    // A damaged certificate file is read once as a document: its parse message once.
    const std::string damaged = ::testing::TempDir() + "/damaged.cer";
    std::ofstream(damaged, std::ios::binary) << "garbage, not a certificate";
    EXPECT_EQ(KVN_GetCertNumber(out, 63, damaged.c_str()), -INVALID_DATA_ERROR);
    const std::string text = LastError();
    const std::size_t first = text.find("XML parsing error");
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find("XML parsing error", first + 1), std::string::npos) << text;
    std::remove(damaged.c_str());
}

}  // namespace
