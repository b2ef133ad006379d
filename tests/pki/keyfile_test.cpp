#include "pki/keyfile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <algorithm>

#include "kelvane.h"
#include "openssl_peer.h"
#include "pki/pbe.h"
#include "pki/rsa.h"
#include "test_support.h"

namespace kvn {
namespace {

using kvn_test::Credential;
constexpr const char* kPassword = "test-password";

std::vector<std::uint8_t> ModulusOf(const SecureString& privateKey) {
    RsaKeyPtr key = rsa_KeyNew();
    if (Failed(rsa_ReadPrivateString(*key, privateKey.c_str()))) return {};
    SecureBytes n;
    rsa_GetPart(*key, kRsaN, n);
    return std::vector<std::uint8_t>(n.begin(), n.end());
}

// Every scheme openssl writes decrypts to the key openssl holds.
TEST(KeyFile, ReadsEverySchemeOpenSslWrites) {
    const char* schemes[] = {"p12-3des",          "p12-rc2-40",        "p12-rc2-128",      "pbes1-md5-des",
                             "pbes1-sha1-des",    "pbes1-md5-rc2",     "pbes1-sha1-rc2",   "pbes2-3des-sha1",
                             "pbes2-3des-sha256", "pbes2-des-sha1",    "pbes2-rc2-sha1",   "pbes2-aes128-sha1",
                             "pbes2-aes128-sha256", "pbes2-aes192-sha512", "pbes2-aes256-sha1", "pbes2-aes256-sha256"};
    for (int bits : {1024, 2048}) {
        kvn_test::PeerKey peer(Credential("test-rsa" + std::to_string(bits) + "-plain.pem"));
        const auto modulus = peer.Modulus();
        for (const char* scheme : schemes) {
            for (const char* ext : {".der", ".pem"}) {
                std::string file = Credential("test-rsa" + std::to_string(bits) + "-" + scheme + ext);
                SecureString key;
                ASSERT_EQ(key_ReadEncrypted(key, file.c_str(), kPassword), kOk) << file;
                EXPECT_EQ(ModulusOf(key), modulus) << file;
            }
        }
    }
    // PEM text given in place of a file name.
    auto pem = kvn_test::ReadFileBytes(Credential("test-rsa1024-pbes2-aes256-sha256.pem"));
    std::string text(pem.begin(), pem.end());
    SecureString key;
    EXPECT_EQ(key_ReadEncrypted(key, text.c_str(), kPassword), kOk);
    // Empty password with a PKCS#12 scheme: the BMPString is just 00 00.
    EXPECT_EQ(key_ReadEncrypted(key, Credential("test-rsa1024-p12-3des-emptypass.der").c_str(), ""), kOk);
    EXPECT_EQ(key_ReadEncrypted(key, Credential("test-rsa1024-p12-3des-emptypass.der").c_str(), nullptr), kOk);
}

TEST(KeyFile, Failures) {
    kvn_test::ScratchDir dir;
    std::ofstream(dir.File("garbage.der"), std::ios::binary) << "\x30\x82\x05";
    std::ofstream(dir.File("text.txt")) << "not a key at all, no PEM lines here either";
    std::ofstream(dir.File("int.der"), std::ios::binary) << std::string("\x02\x01\x05", 3);
    auto der = kvn_test::ReadFileBytes(Credential("test-rsa1024-p12-3des.der"));
    std::string b64 = kvn_test::Run("base64 -w0 '" + Credential("test-rsa1024-p12-3des.der") + "'");
    struct Case {
        std::string file;
        const char* password;
        Error code;
    } cases[] = {
        {Credential("test-rsa1024-p12-3des.der"), "wrong-password", Error::DECRYPT_ERROR},
        {Credential("test-rsa1024-pbes2-aes256-sha256.pem"), "wrong-password", Error::DECRYPT_ERROR},
        {Credential("test-rsa1024-p12-3des-corrupt.der"), kPassword, Error::DECRYPT_ERROR},
        {Credential("test-rsa1024-p12-3des.der"), "", Error::DECRYPT_ERROR},
        {dir.path(), kPassword, Error::OPEN_ERROR},  // a directory
        {dir.File("missing.key"), kPassword, Error::OPEN_ERROR},
        {b64, kPassword, Error::OPEN_ERROR},         // bare base64 is tried as a file name
        {dir.File("garbage.der"), kPassword, Error::BAD_FORMAT_ERROR},
        {dir.File("text.txt"), kPassword, Error::BAD_FORMAT_ERROR},
        {dir.File("int.der"), kPassword, Error::BAD_FORMAT_ERROR},  // an element, but not a SEQUENCE
        {"", kPassword, Error::BAD_PARAM_ERROR},
        {Credential("test-csd-1024.cer"), kPassword, Error::DECRYPT_ERROR},  // a certificate
    };
    for (const Case& c : cases) {
        SecureString key;
        EXPECT_EQ(key_ReadEncrypted(key, c.file.c_str(), c.password), c.code) << c.file.substr(0, 100);
        EXPECT_TRUE(key.empty());
    }
}

// Every options row of the writer, read back by openssl pkcs8 (MD2 only by us).
TEST(KeyFile, WritesFilesOpenSslReads) {
    kvn_test::ScratchDir dir;
    SecureString key;
    ASSERT_EQ(key_ReadEncrypted(key, Credential("test-rsa1024-p12-3des.der").c_str(), kPassword), kOk);
    const auto modulus = ModulusOf(key);
    struct Row {
        int options;
        const char* scheme;
    } rows[] = {
        {0, "pbeWithSHA1And3-KeyTripleDES-CBC"}, {1, "pbeWithMD5AndDES-CBC"}, {2, "pbeWithMD2AndDES-CBC"},
        {3, "pbeWithSHA1AndDES-CBC"},           {4, "PBES2"},               {0x1000, "PBES2"},
        {0x1023, "PBES2"},                      {0x1034, "PBES2"},          {0x1045, "PBES2"},
        {0x1006, "PBES2"},                      {0x10000, "pbeWithSHA1And3-KeyTripleDES-CBC"},
        {0x20000 | 0x1020, "PBES2"},
    };
    for (const Row& row : rows) {
        std::string file = dir.File("key-" + std::to_string(row.options));
        ASSERT_EQ(key_WriteEncrypted(file.c_str(), key.c_str(), 2048, kPassword, row.options), kOk) << row.options;
        SecureString back;
        ASSERT_EQ(key_ReadEncrypted(back, file.c_str(), kPassword), kOk) << row.options;
        EXPECT_EQ(ModulusOf(back), modulus) << row.options;
        const bool pem = row.options >= 0x10000;
        std::string form = pem ? "PEM" : "DER";
        std::string dump = kvn_test::Run("openssl asn1parse -inform " + form + " -in '" + file + "' 2>&1");
        EXPECT_NE(dump.find(row.scheme), std::string::npos) << row.options << dump;
        EXPECT_NE(dump.find(":0800"), std::string::npos) << row.options;  // 2048 iterations
        if (row.options == 2) continue;  // openssl has no MD2
        int status = -1;
        std::string out = kvn_test::Run("openssl pkcs8 -provider default -provider legacy -inform " + form + " -in '" + file +
                                            "' -passin pass:" + kPassword + " | openssl rsa -noout -modulus 2>&1",
                                        &status);
        EXPECT_EQ(status, 0) << row.options << out;
        std::string expected = "Modulus=" + kvn_test::Run("openssl rsa -in '" + Credential("test-rsa1024-plain.pem") +
                                                          "' -noout -modulus | cut -d= -f2");
        EXPECT_EQ(out, expected) << row.options;
    }
    EXPECT_EQ(key_WriteEncrypted(dir.File("no/dir/key").c_str(), key.c_str(), 2048, kPassword, 0), Error::CREATE_ERROR);
    EXPECT_NE(key_WriteEncrypted(dir.File("x").c_str(), "not a key", 2048, kPassword, 0), kOk);
}

// Two files of one key under one password share no salt, IV or ciphertext, whatever the
// scheme (the PBES1 IVs follow from the salt), and openssl reads both.
TEST(KeyFile, TwoFilesOfOneKeyDifferInSaltAndIv) {
    kvn_test::ScratchDir dir;
    SecureString key;
    ASSERT_EQ(key_ReadEncrypted(key, Credential("test-rsa1024-p12-3des.der").c_str(), kPassword), kOk);
    const std::string expected = "Modulus=" + kvn_test::Run("openssl rsa -in '" + Credential("test-rsa1024-plain.pem") +
                                                            "' -noout -modulus | cut -d= -f2");
    struct Parts {
        std::vector<std::uint8_t> salt, iv, ciphertext;
    };
    auto write = [&](int options, const std::string& name) {
        std::string file = dir.File(name);
        EXPECT_EQ(key_WriteEncrypted(file.c_str(), key.c_str(), 16, kPassword, options), kOk);
        std::string out = kvn_test::Run("openssl pkcs8 -provider default -provider legacy -inform DER -in '" + file +
                                        "' -passin pass:" + kPassword + " | openssl rsa -noout -modulus 2>&1");
        EXPECT_EQ(out, expected) << name;
        auto der = kvn_test::ReadFileBytes(file);
        AsnList list;
        Parts parts;
        EXPECT_EQ(asn_ReadMemory(der.data(), der.size(), list), kOk) << name;
        if (!list) return parts;
        auto bytes = [](asn_Node* n) {
            return n ? std::vector<std::uint8_t>(n->content, n->content + n->length) : std::vector<std::uint8_t>();
        };
        const bool pbes2 = asn_FindTagLevel(list.get(), kTagOctetString, 5) != nullptr;
        parts.salt = bytes(asn_FindTagLevel(list.get(), kTagOctetString, pbes2 ? 5 : 3));
        if (pbes2) parts.iv = bytes(asn_FindTagLevel(list.get(), kTagOctetString, 4));
        parts.ciphertext = bytes(asn_FindTagLevel(list.get(), kTagOctetString, 1));
        return parts;
    };
    for (int options : {0, 1, 3, 4, 0x1023}) {
        Parts a = write(options, "a-" + std::to_string(options)), b = write(options, "b-" + std::to_string(options));
        EXPECT_EQ(a.salt.size(), 8u) << options;
        EXPECT_NE(a.salt, b.salt) << options;
        if (options >= 4) {
            EXPECT_EQ(a.iv.size(), options == 4 ? 8u : 16u);
            EXPECT_NE(a.iv, b.iv) << options;
        }
        EXPECT_NE(a.ciphertext, b.ciphertext) << options;
    }
}

// Byte-level edits of openssl's files for the corners of the parameter readers.
TEST(KeyFile, ParameterCorners) {
    kvn_test::ScratchDir dir;
    auto readEdited = [&](std::vector<std::uint8_t> bytes) {
        std::string file = dir.File("edited.der");
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        SecureString key;
        return key_ReadEncrypted(key, file.c_str(), kPassword);
    };
    auto replaced = [&](const char* source, const std::string& from, const std::string& to) {
        auto bytes = kvn_test::ReadFileBytes(Credential(source));
        auto f = kvn_test::Hex(from), t = kvn_test::Hex(to);
        auto at = std::search(bytes.begin(), bytes.end(), f.begin(), f.end());
        EXPECT_NE(at, bytes.end()) << from;
        if (at != bytes.end()) std::copy(t.begin(), t.end(), at);
        return bytes;
    };
    // Offset of "04 08 <salt> 02 02 08 00": an 8-byte salt and 2048 iterations.
    auto saltAt = [](const std::vector<std::uint8_t>& b) {
        for (std::size_t i = 0; i + 14 <= b.size(); ++i) {
            if (b[i] == 4 && b[i + 1] == 8 && b[i + 10] == 2 && b[i + 11] == 2 && b[i + 12] == 8 && b[i + 13] == 0) return i;
        }
        ADD_FAILURE() << "no salt";
        return std::size_t{0};
    };

    // RC2 parameter version 58 is a 128-bit key; 100 is not a version.
    EXPECT_EQ(readEdited(replaced("test-rsa1024-pbes2-rc2-sha1.der", "0201 3A 0408", "0201 3A 0408")), kOk);
    EXPECT_EQ(readEdited(replaced("test-rsa1024-pbes2-rc2-sha1.der", "0201 3A 0408", "0201 64 0408")), Error::DECRYPT_ERROR);
    // A file made with hmacWithSHA256 but labelled hmacWithSHA512 fails both attempts; an
    // unknown PRF is refused.
    EXPECT_EQ(readEdited(replaced("test-rsa1024-pbes2-3des-sha256.der", "2A864886F70D0209", "2A864886F70D020B")), Error::DECRYPT_ERROR);
    EXPECT_EQ(readEdited(replaced("test-rsa1024-pbes2-3des-sha256.der", "2A864886F70D0209", "2A864886F70D0263")), Error::DECRYPT_ERROR);

    // PBKDF1 hashes exactly 8 salt bytes: a 9-byte salt is refused (iterations become 16).
    auto nine = kvn_test::ReadFileBytes(Credential("test-rsa1024-pbes1-md5-des.der"));
    std::size_t i = saltAt(nine);
    nine[i + 1] = 9;
    nine[i + 10] = 0x00;
    nine[i + 11] = 0x02;
    nine[i + 12] = 0x01;
    nine[i + 13] = 0x10;
    EXPECT_EQ(readEdited(nine), Error::DECRYPT_ERROR);
    // Iteration counts past the limit are refused rather than run (salt cut to 6 bytes).
    auto huge = kvn_test::ReadFileBytes(Credential("test-rsa1024-p12-3des.der"));
    i = saltAt(huge);
    huge[i + 1] = 6;
    const std::uint8_t count[] = {0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF};
    std::copy(count, count + 6, huge.begin() + static_cast<long>(i) + 8);
    EXPECT_EQ(readEdited(huge), Error::DECRYPT_ERROR);
}

// A PBES2 file that names hmacWithSHA256 but was made with hmacWithSHA1 still opens: the
// decryption is tried once more with the default PRF.
TEST(KeyFile, MislabelledPrfFallsBackToSha1) {
    auto der = kvn_test::ReadFileBytes(Credential("test-rsa1024-pbes2-3des-sha1.der"));
    AsnList file;
    ASSERT_EQ(asn_ReadMemory(der.data(), der.size(), file), kOk);
    // The parts of openssl's file: salt, iteration count, IV and ciphertext.
    asn_Node* salt = asn_FindTagLevel(file.get(), kTagOctetString, 5);
    asn_Node* iterations = asn_FindTagLevel(file.get(), kTagInteger, 5);
    asn_Node* iv = asn_FindTagLevel(file.get(), kTagOctetString, 4);
    asn_Node* data = asn_FindTagLevel(file.get(), kTagOctetString, 1);
    ASSERT_TRUE(salt && iterations && iv && data);
    auto copy = [](asn_Node* n) { return asn_NewPrimitive(kAsnUniversal, n->tag, n->content, n->length); };
    AsnList prfId = asn_NewOid("hmacWithSHA256"), prfNull = asn_NewNull();
    asn_LinkAll(prfId, prfNull);
    AsnList prf = asn_Sequence(std::move(prfId));
    AsnList kdfSalt = copy(salt), kdfCount = copy(iterations);
    asn_LinkAll(kdfSalt, kdfCount, prf);
    AsnList kdfId = asn_NewOid("pkcs5PBKDF2"), kdfParams = asn_Sequence(std::move(kdfSalt));
    asn_LinkAll(kdfId, kdfParams);
    AsnList kdf = asn_Sequence(std::move(kdfId));
    AsnList cipherId = asn_NewOid("des-EDE3-CBC"), cipherIv = copy(iv);
    asn_LinkAll(cipherId, cipherIv);
    AsnList scheme = asn_Sequence(std::move(cipherId));
    asn_LinkAll(kdf, scheme);
    AsnList pbes2 = asn_NewOid("pkcs5PBES2"), params = asn_Sequence(std::move(kdf));
    asn_LinkAll(pbes2, params);
    AsnList algorithm = asn_Sequence(std::move(pbes2)), ciphertext = copy(data);
    asn_LinkAll(algorithm, ciphertext);
    AsnList info = asn_Sequence(std::move(algorithm));
    SecureBytes out;
    ASSERT_EQ(asn_Encode(info.get(), out), kOk);
    kvn_test::ScratchDir dir;
    std::string file2 = dir.File("relabelled.der");
    std::ofstream(file2, std::ios::binary).write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    EXPECT_NE(kvn_test::Run("openssl asn1parse -inform DER -in '" + file2 + "'").find("hmacWithSHA256"), std::string::npos);
    SecureString key;
    ASSERT_EQ(key_ReadEncrypted(key, file2.c_str(), kPassword), kOk);
    EXPECT_EQ(ModulusOf(key), kvn_test::PeerKey(Credential("test-rsa1024-plain.pem")).Modulus());
}

// A key file may not ask for more work than its key derivation's cap (iterations times the
// digest outputs derived, about a second's worth each), and its key length must fit its
// cipher: both are checked before anything is derived. openssl made these files with the
// right password, so only the checks refuse them.
TEST(KeyFile, CostAndKeyLengthAreCheckedBeforeDeriving) {
    const struct {
        const char* file;
        Error expected;
    } capped[] = {
        {"test-rsa1024-pbes2-aes256-sha256-1048576.der", kOk},               // 2^20 x 1 block: the cap
        {"test-rsa1024-pbes2-aes256-sha512-524289.der", Error::DECRYPT_ERROR},  // 2^19 + 1
        {"test-rsa1024-pbes1-md5-des-2097153.der", Error::DECRYPT_ERROR},       // 2^21 + 1
        {"test-rsa1024-p12-3des-1398102.der", Error::DECRYPT_ERROR},            // 3 blocks: over 2^22
    };
    for (const auto& c : capped) {
        SecureString key;
        EXPECT_EQ(key_ReadEncrypted(key, Credential(c.file).c_str(), kPassword), c.expected) << c.file;
    }

    // aes256-CBC relabelled aes128-CBC with a key length of 32: the key length does not fit
    // the cipher named, so the file is refused (it used to run as AES-256).
    auto der = kvn_test::ReadFileBytes(Credential("test-rsa1024-pbes2-aes256-sha1.der"));
    AsnList file;
    ASSERT_EQ(asn_ReadMemory(der.data(), der.size(), file), kOk);
    asn_Node* salt = asn_FindTagLevel(file.get(), kTagOctetString, 5);
    asn_Node* iterations = asn_FindTagLevel(file.get(), kTagInteger, 5);
    asn_Node* iv = asn_FindTagLevel(file.get(), kTagOctetString, 4);
    asn_Node* data = asn_FindTagLevel(file.get(), kTagOctetString, 1);
    ASSERT_TRUE(salt && iterations && iv && data);
    kvn_test::ScratchDir dir;
    for (const char* cipher : {"aes256-CBC", "aes128-CBC"}) {
        auto copy = [](asn_Node* n) { return asn_NewPrimitive(kAsnUniversal, n->tag, n->content, n->length); };
        AsnList kdfSalt = copy(salt), kdfCount = copy(iterations), keyLength = asn_NewIntegerU32(32);
        asn_LinkAll(kdfSalt, kdfCount, keyLength);
        AsnList kdfId = asn_NewOid("pkcs5PBKDF2"), kdfParams = asn_Sequence(std::move(kdfSalt));
        asn_LinkAll(kdfId, kdfParams);
        AsnList kdf = asn_Sequence(std::move(kdfId));
        AsnList cipherId = asn_NewOid(cipher), cipherIv = copy(iv);
        asn_LinkAll(cipherId, cipherIv);
        AsnList scheme = asn_Sequence(std::move(cipherId));
        asn_LinkAll(kdf, scheme);
        AsnList pbes2 = asn_NewOid("pkcs5PBES2"), params = asn_Sequence(std::move(kdf));
        asn_LinkAll(pbes2, params);
        AsnList algorithm = asn_Sequence(std::move(pbes2)), ciphertext = copy(data);
        asn_LinkAll(algorithm, ciphertext);
        AsnList info = asn_Sequence(std::move(algorithm));
        SecureBytes out;
        ASSERT_EQ(asn_Encode(info.get(), out), kOk);
        const std::string path = dir.File("relabelled.der");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                    static_cast<std::streamsize>(out.size()));
        SecureString key;
        EXPECT_EQ(key_ReadEncrypted(key, path.c_str(), kPassword),
                  std::string(cipher) == "aes256-CBC" ? kOk : Error::DECRYPT_ERROR)
            << cipher;
    }
}

TEST(KeyFile, Pkcs12KdfMatchesOpenSsl) {
    // RFC 7292 B.2 with SHA-1, checked against libcrypto's PKCS12_key_gen_uni.
    pbe_Params p;
    const char* pw = "smeg";
    p.password.assign(pw, pw + 4);
    pbe_MakeBmpPassword(p);
    p.salt = {0x0A, 0x58, 0xCF, 0x64, 0x53, 0x0D, 0x82, 0x3F};
    std::uint8_t ours[24], theirs[24];
    for (int id : {1, 2, 3}) {
        pbe_Pkcs12Kdf(ours, sizeof ours, id, p.password, p.salt, 1);
        ASSERT_EQ(PKCS12_key_gen_uni(p.password.data(), static_cast<int>(p.password.size()), p.salt.data(), 8, id, 1,
                                     sizeof theirs, theirs, EVP_sha1()),
                  1);
        EXPECT_EQ(std::memcmp(ours, theirs, sizeof ours), 0) << id;
        pbe_Pkcs12Kdf(ours, 20, id, p.password, p.salt, 1000);
        ASSERT_EQ(PKCS12_key_gen_uni(p.password.data(), static_cast<int>(p.password.size()), p.salt.data(), 8, id, 1000,
                                     20, theirs, EVP_sha1()),
                  1);
        EXPECT_EQ(std::memcmp(ours, theirs, 20), 0) << id;
    }
}

}  // namespace
}  // namespace kvn

namespace kvn {
namespace {

std::string LastErrorText() {
    char text[512] = {};
    KVN_LastError(text, sizeof text - 1);
    return text;
}

// A key file holding the 1024-bit test key with one CRT part damaged: the key check, the
// signing with a certificate and the signing without one all refuse it, and no seal or
// signed file comes out of it.
TEST(KeyFile, DamagedCrtPartNeverSeals) {
    const std::string keyFile = Credential("test-rsa1024-pbes2-3des-sha1.der");
    const std::string cert = Credential("test-csd-1024.cer");
    const std::string invoice = std::string(KVN_FIXTURES_DIR) + "/invoices/cfdi32.xml";
    RsaKeyPtr key = rsa_KeyNew();
    Error stringError = Error::MISC_ERROR;
    ASSERT_EQ(key_ReadPrivateKey(*key, stringError, keyFile.c_str(), kPassword), kOk);
    EXPECT_EQ(stringError, kOk);
    ASSERT_EQ(KVN_CheckKeyAndCert(keyFile.c_str(), kPassword, cert.c_str()), 0);

    SecureBytes parts[kRsaPartCount];
    rsa_Bytes bytes[kRsaPartCount];
    for (int i = 0; i < kRsaPartCount; ++i) {
        rsa_GetPart(*key, static_cast<rsa_Part>(i), parts[i]);
        bytes[i] = {parts[i].data(), parts[i].size()};
    }
    parts[kRsaDQ][10] ^= 0x10;
    RsaKeyPtr damaged = rsa_KeyNew();
    rsa_SetPrivateCrt(*damaged, bytes);
    SecureBytes der;
    ASSERT_TRUE(rsa_PrivateDer(*damaged, der));
    SecureString keyString;
    rsa_MakeKeyString(keyString, kRsaKindPrivate, der.data(), der.size());
    const std::string dir = ::testing::TempDir();
    const std::string damagedFile = dir + "/damaged-dq.key", out = dir + "/damaged-signed.xml";
    ASSERT_EQ(key_WriteEncrypted(damagedFile.c_str(), keyString.c_str(), 2048, kPassword, kKeyPbes2), kOk);
    std::remove(out.c_str());

    const std::string mismatch = "Private key does not match key in certificate";
    EXPECT_EQ(KVN_CheckKeyAndCert(damagedFile.c_str(), kPassword, cert.c_str()), -INVALID_DATA_ERROR);
    EXPECT_NE(LastErrorText().find(mismatch), std::string::npos) << LastErrorText();
    EXPECT_EQ(KVN_SignXml(out.c_str(), invoice.c_str(), damagedFile.c_str(), kPassword, cert.c_str(), 0),
              -INVALID_DATA_ERROR);
    EXPECT_NE(LastErrorText().find(mismatch), std::string::npos) << LastErrorText();
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    EXPECT_EQ(KVN_SignXml(out.c_str(), invoice.c_str(), damagedFile.c_str(), kPassword, nullptr, 0),
              -INVALID_DATA_ERROR);
    EXPECT_NE(LastErrorText().find("Signature encryption error"), std::string::npos) << LastErrorText();
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    char seal[400] = {};
    EXPECT_EQ(KVN_MakeSignatureFromXml(seal, 399, invoice.c_str(), damagedFile.c_str(), kPassword),
              -INVALID_DATA_ERROR);
    EXPECT_EQ(seal[0], '\0');
    std::remove(damagedFile.c_str());
}

}  // namespace
}  // namespace kvn
