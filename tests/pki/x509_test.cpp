#include "pki/x509.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "openssl_peer.h"
#include "pki/base64.h"
#include "test_support.h"

namespace kvn {
namespace {

using kvn_test::Credential;

// openssl's "May 18 03:54:56 2017 GMT" as "2017-05-18T03:54:56Z".
std::string IsoDate(const std::string& text) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char mon[4] = {};
    int day, h, m, s, y;
    if (std::sscanf(text.c_str(), "%3s %d %d:%d:%d %d", mon, &day, &h, &m, &s, &y) != 6) return "?";
    int month = 0;
    while (month < 12 && std::strcmp(kMonths[month], mon) != 0) ++month;
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02dZ", y, month + 1, day, h, m, s);
    return out;
}

std::string Field(const std::string& out, const std::string& key) {
    std::size_t at = out.find(key + "=");
    if (at == std::string::npos) return "";
    std::size_t end = out.find('\n', at);
    return out.substr(at + key.size() + 1, end - at - key.size() - 1);
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Serial, validity and subject values agree with the openssl tool for our fixtures and the
// tax authority's certificates.
TEST(X509, AnswersMatchOpenSslTool) {
    std::vector<std::string> files = {Credential("test-csd-1024.cer"), Credential("test-csd-2048.cer"),
                                      Credential("test-gentime-1024.cer"), Credential("test-plain-1024.cer"),
                                      Credential("test-ec.cer"), Credential("test-rsa4096.cer")};
    std::string list = kvn_test::Run("ls '" + std::string(KVN_CORPUS_DIR) + "/certs/' | grep '\\.cer$'");
    for (std::size_t at = 0, nl; (nl = list.find('\n', at)) != std::string::npos; at = nl + 1) {
        files.push_back(kvn_test::CorpusCert(list.substr(at, nl - at)));
    }
    ASSERT_GT(files.size(), 15u);
    for (const std::string& file : files) {
        std::string out = kvn_test::Run("openssl x509 -inform DER -in '" + file +
                                        "' -noout -serial -dates -subject -nameopt sep_multiline,utf8,-esc_msb,sname");
        String serial;
        ASSERT_EQ(x509_GetSerial(serial, file.c_str()), kOk) << file;
        ASSERT_FALSE(serial.empty()) << file;
        std::string theirs = Lower(Field(out, "serial"));
        // openssl drops the leading 00 of a positive serial whose top bit is set
        EXPECT_EQ(std::string(serial.c_str()).substr(serial.size() - theirs.size()), theirs) << file;
        char time[21];
        ASSERT_EQ(x509_GetTime(time, file.c_str(), 1), kOk) << file;
        EXPECT_EQ(std::string(time), IsoDate(Field(out, "notBefore"))) << file;
        ASSERT_EQ(x509_GetTime(time, file.c_str(), 0), kOk) << file;
        EXPECT_EQ(std::string(time), IsoDate(Field(out, "notAfter"))) << file;
        // Subject: every CN, O and OU value openssl shows is in our UTF-8 text.
        String subject;
        ASSERT_EQ(x509_GetName(subject, file.c_str(), ";", 0, true), kOk) << file;
        ASSERT_FALSE(subject.empty()) << file;
        for (const char* label : {"CN", "O", "OU"}) {
            std::string value = Field(out, std::string("    ") + label);
            if (value.empty()) continue;
            EXPECT_NE(std::string(subject.c_str()).find(std::string(label) + "=" + value), std::string::npos)
                << file << " " << label << " " << subject.c_str();
        }
    }
}

TEST(X509, EveryFormGivesTheSameAnswers) {
    auto der = kvn_test::ReadFileBytes(Credential("test-csd-1024.cer"));
    auto pem = kvn_test::ReadFileBytes(Credential("test-csd-1024.pem"));
    SecureString b64;
    b64_EncodeTo(b64, der.data(), der.size());
    std::string forms[] = {Credential("test-csd-1024.cer"), Credential("test-csd-1024.pem"),
                           std::string(pem.begin(), pem.end()), std::string(b64.data(), b64.size())};
    for (const std::string& form : forms) {
        String base64, serial, subject, issuer;
        EXPECT_EQ(x509_GetBase64(base64, form.c_str()), kOk);
        EXPECT_EQ(std::string(base64.c_str()), std::string(b64.c_str()));
        EXPECT_EQ(x509_GetSerial(serial, form.c_str()), kOk);
        EXPECT_EQ(serial.size(), 40u);
        EXPECT_STREQ(serial.c_str(), "3330303031303030303030333030303030313233");
        EXPECT_EQ(x509_GetName(subject, form.c_str(), ";", kX509NameLatin1, true), kOk);
        EXPECT_STREQ(subject.c_str(),
                     "CN=Contribuyente de Prueba 1024;O=Pruebas \xD1" "and\xFA & C\xED" "a S.A. de C.V.;OU=Unidad de prueba;"
                     "2.5.4.45=AAA010101AAA / HEGT7610034S2;SERIALNUMBER= / HEGT761003MDFRNN09");
        EXPECT_EQ(x509_GetName(issuer, form.c_str(), "|", kX509NameLatin1, false), kOk);
        EXPECT_EQ(std::string(issuer.c_str()).substr(0, 32), "CN=Contribuyente de Prueba 1024|");
    }
    // A base64 string of 256 characters or fewer is not taken as base64.
    std::string cut = forms[3].substr(0, 256);
    String out;
    EXPECT_EQ(x509_GetSerial(out, cut.c_str()), Error::BAD_FORMAT_ERROR);
}

// A certificate-shaped structure built with our own builder, for the corners openssl's
// tools will not write.
std::string SyntheticCertificate(AsnList&& subjectAva, const std::string& serialHex, const char* notAfterHex,
                                 const char* keyAlgorithm = "rsaEncryption") {
    auto list = [](std::initializer_list<AsnList*> items) {
        AsnList head;
        for (AsnList* item : items) asn_Link(head, *item);
        return head;
    };
    auto serialBytes = kvn_test::Hex(serialHex);
    AsnList version = asn_ContextConstructed(0, asn_NewIntegerU32(2));
    AsnList serial = asn_NewPrimitive(kAsnUniversal, kTagInteger, serialBytes.data(), serialBytes.size());
    AsnList sigOid = asn_NewOid("sha256WithRSAEncryption"), sigNull = asn_NewNull();
    AsnList sigAlg = asn_Sequence(list({&sigOid, &sigNull}));
    AsnList cnOid = asn_NewOid("commonName");
    AsnList cnValue = asn_NewPrimitive(kAsnUniversal, kTagPrintableString, "Issuer", 6);
    AsnList issuer = asn_Sequence(asn_Set(asn_Sequence(list({&cnOid, &cnValue}))));
    auto nb = kvn_test::Hex("170D3230303130313030303030305A"), na = kvn_test::Hex(notAfterHex);
    AsnList notBefore = asn_NewPrimitive(kAsnUniversal, kTagUtcTime, nb.data() + 2, nb.size() - 2);
    AsnList notAfter = asn_NewPrimitive(kAsnUniversal, na[0], na.data() + 2, na.size() - 2);
    AsnList validity = asn_Sequence(list({&notBefore, &notAfter}));
    AsnList subject = asn_Sequence(asn_Set(std::move(subjectAva)));
    kvn_test::PeerKey peer(Credential("test-rsa1024-plain.pem"));
    RsaKeyPtr key = peer.Record();
    SecureBytes rsaDer;
    rsa_PublicDer(*key, rsaDer);
    std::vector<std::uint8_t> bits = {0};
    bits.insert(bits.end(), rsaDer.begin(), rsaDer.end());
    AsnList keyOid = asn_NewOid(keyAlgorithm), keyNull = asn_NewNull();
    AsnList keyAlg = asn_Sequence(list({&keyOid, &keyNull}));
    AsnList keyBits = asn_NewPrimitive(kAsnUniversal, kTagBitString, bits.data(), bits.size());
    AsnList spki = asn_Sequence(list({&keyAlg, &keyBits}));
    AsnList tbs = asn_Sequence(list({&version, &serial, &sigAlg, &issuer, &validity, &subject, &spki}));
    AsnList outerOid = asn_NewOid("sha256WithRSAEncryption"), outerNull = asn_NewNull();
    AsnList outerAlg = asn_Sequence(list({&outerOid, &outerNull}));
    const std::uint8_t signature[] = {0, 1, 2, 3};
    AsnList sig = asn_NewPrimitive(kAsnUniversal, kTagBitString, signature, 4);
    AsnList cert = asn_Sequence(list({&tbs, &outerAlg, &sig}));
    SecureBytes der;
    EXPECT_EQ(asn_Encode(cert.get(), der), kOk);
    SecureString text;
    b64_EncodeTo(text, der.data(), der.size());
    return std::string(text.data(), text.size());
}

AsnList Ava(const char* oidName, std::uint32_t tag, const std::string& value) {
    AsnList oid = asn_NewOid(oidName);
    AsnList v = asn_NewPrimitive(kAsnUniversal, tag, value.data(), value.size());
    asn_Link(oid, v);
    return asn_Sequence(std::move(oid));
}

TEST(X509, NameValuesAndTimes) {
    struct Case {
        const char* name;
        AsnList ava;
        const char* latin1;
    };
    Case cases[] = {
        {"octet string", Ava("organizationName", kTagOctetString, "\x01\xAB"), "O=#x01AB"},
        {"utf8 outside latin1", Ava("commonName", kTagUtf8String, "\xC5\x81"), "CN=#xC581"},
        {"bmp", Ava("commonName", kTagBmpString, std::string("\0N\0\xF1", 4)), "CN=N\xF1"},
        {"universal", Ava("givenName", kTagUniversalString, std::string("\0\0\0G", 4)), "G=G"},
        {"known, no short name", Ava("userID", kTagIa5String, "u1"), "UID=u1"},
        {"table name", Ava("subjectKeyIdentifier", kTagIa5String, "k"), "subjectKeyIdentifier=k"},
    };
    for (Case& c : cases) {
        std::string cert = SyntheticCertificate(std::move(c.ava), "02", "170D3439313233313233353935395A");
        String text;
        ASSERT_EQ(x509_GetName(text, cert.c_str(), "", kX509NameLatin1, true), kOk) << c.name;
        EXPECT_STREQ(text.c_str(), c.latin1) << c.name;
    }
    std::string utc49 = SyntheticCertificate(Ava("commonName", kTagPrintableString, "x"), "00FF", "170D3439313233313233353935395A");
    char time[21];
    EXPECT_EQ(x509_GetTime(time, utc49.c_str(), 0), kOk);
    EXPECT_STREQ(time, "2049-12-31T23:59:59Z");
    EXPECT_EQ(x509_GetTime(time, utc49.c_str(), 1), kOk);
    EXPECT_STREQ(time, "2020-01-01T00:00:00Z");
    String serial;
    EXPECT_EQ(x509_GetSerial(serial, utc49.c_str()), kOk);
    EXPECT_EQ(serial.size(), 4u);
    EXPECT_STREQ(serial.c_str(), "00ff");
    EXPECT_EQ(x509_GetTime(time, "", 0), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(x509_GetTime(time, "/no/such/cert", 0), Error::INVALID_DATA_ERROR);

    // A notAfter that is not a time cannot be read; a key file is not a certificate.
    std::string noTime = SyntheticCertificate(Ava("commonName", kTagPrintableString, "x"), "01", "0403414243");
    EXPECT_EQ(x509_GetTime(time, noTime.c_str(), 0), Error::INVALID_DATA_ERROR);
    EXPECT_EQ(x509_GetTime(time, noTime.c_str(), 1), kOk);
    AsnList notCert;
    EXPECT_EQ(x509_Read(Credential("test-rsa1024-p12-3des.der").c_str(), notCert), Error::BAD_FORMAT_ERROR);
    EXPECT_FALSE(notCert);
    // An AVA without a value makes the name unreadable.
    AsnList lonely = asn_Sequence(asn_NewOid("commonName"));
    std::string broken = SyntheticCertificate(std::move(lonely), "01", "170D3439313233313233353935395A");
    String text;
    EXPECT_EQ(x509_GetName(text, broken.c_str(), ";", 0, true), Error::BAD_FORMAT_ERROR);
    // The second rsaEncryption identifier (2.5.8.1.1) also names an RSA key.
    RsaKeyPtr key = rsa_KeyNew();
    std::string x500 = SyntheticCertificate(Ava("commonName", kTagPrintableString, "x"), "01", "170D3439313233313233353935395A");
    EXPECT_EQ(x509_GetPublicKey(*key, x500.c_str()), kOk);
    EXPECT_EQ(rsa_KeyBits(*key), 1024);
    std::string dsa = SyntheticCertificate(Ava("commonName", kTagPrintableString, "x"), "01", "170D3439313233313233353935395A", "dsa");
    EXPECT_EQ(x509_GetPublicKey(*key, dsa.c_str()), Error::NOT_SUPPORTED_ERROR);
}

TEST(X509, PublicKeys) {
    kvn_test::PeerKey peer(Credential("test-rsa2048-plain.pem"));
    RsaKeyPtr key = rsa_KeyNew();
    ASSERT_EQ(x509_GetPublicKey(*key, Credential("test-csd-2048.cer").c_str()), kOk);
    SecureBytes n;
    rsa_GetPart(*key, kRsaN, n);
    EXPECT_EQ(std::vector<std::uint8_t>(n.begin(), n.end()), peer.Modulus());
    SecureString pub;
    EXPECT_EQ(x509_GetPublicKeyString(pub, Credential("test-csd-2048.cer").c_str()), kOk);
    EXPECT_FALSE(pub.empty());
    int bits = 0;
    EXPECT_EQ(rsa_KeyLength(pub.c_str(), false, bits), kOk);
    EXPECT_EQ(bits, 2048);
    EXPECT_EQ(x509_GetPublicKey(*key, Credential("test-ec.cer").c_str()), Error::NOT_SUPPORTED_ERROR);
    EXPECT_EQ(x509_GetPublicKeyString(pub, Credential("test-ec.cer").c_str()), Error::NOT_SUPPORTED_ERROR);
    EXPECT_EQ(x509_GetPublicKeyString(pub, ""), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(x509_GetPublicKeyString(pub, "/no/such/file"), Error::BAD_FORMAT_ERROR);
    RsaKeyPtr empty = rsa_KeyNew();
    EXPECT_EQ(x509_GetPublicKey(*empty, "/no/such/file"), Error::BAD_FORMAT_ERROR);
    EXPECT_EQ(empty->flags, 0u);
}

}  // namespace
}  // namespace kvn
