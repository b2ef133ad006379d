#define OPENSSL_SUPPRESS_DEPRECATED  // the legacy DES and RC2 interfaces serve as peers
#include "crypto/cipher.h"

#include <gtest/gtest.h>
#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/rc2.h>

#include <cstring>
#include <functional>
#include <string>

#include "base/memory.h"
#include "crypto/cipher_internal.h"
#include "test_util.h"

using namespace kvn;
using kvntest::ByteVec;
using kvntest::FromHex;
using kvntest::ToHex;

namespace {

ByteVec AsVec(const SecureBytes& b) { return ByteVec(b.begin(), b.end()); }

using EncryptFn = std::function<Error(SecureBytes&, const std::uint8_t*, int)>;

// A cipher under test with a key and IV, and its peer in libcrypto (CBC, PKCS#5 padding).
struct Case {
    std::string name;
    int blockSize;
    EncryptFn encrypt, decrypt;
    std::function<ByteVec(const ByteVec&)> peerEncrypt;
};

ByteVec EvpCbc(const EVP_CIPHER* cipher, const ByteVec& key, const ByteVec& iv, const ByteVec& in, bool pad) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ByteVec out(in.size() + 32);
    int n1 = 0, n2 = 0;
    EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv.data());
    EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
    EVP_EncryptUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(n1 + n2));
    return out;
}

ByteVec Pad(const ByteVec& in, int bs) {
    ByteVec out(in);
    int p = bs - static_cast<int>(in.size()) % bs;
    out.insert(out.end(), static_cast<std::size_t>(p), static_cast<std::uint8_t>(p));
    return out;
}

std::vector<Case> Cases(std::mt19937& rng) {
    std::vector<Case> cases;
    for (int bits : {128, 192, 256}) {
        ByteVec key = kvntest::RandomVec(rng, static_cast<std::size_t>(bits / 8)), iv = kvntest::RandomVec(rng, 16);
        const EVP_CIPHER* evp = bits == 128 ? EVP_aes_128_cbc() : bits == 192 ? EVP_aes_192_cbc() : EVP_aes_256_cbc();
        cases.push_back({"AES-" + std::to_string(bits), 16,
                         [=](SecureBytes& o, const std::uint8_t* in, int n) { return AesCbcEncrypt(o, bits, in, n, key.data(), iv.data()); },
                         [=](SecureBytes& o, const std::uint8_t* in, int n) { return AesCbcDecrypt(o, bits, in, n, key.data(), iv.data()); },
                         [=](const ByteVec& in) { return EvpCbc(evp, key, iv, in, true); }});
    }
    {
        ByteVec key = kvntest::RandomVec(rng, 24), iv = kvntest::RandomVec(rng, 8);
        cases.push_back({"3DES", 8,
                         [=](SecureBytes& o, const std::uint8_t* in, int n) { return Des3CbcEncrypt(o, in, n, key.data(), iv.data()); },
                         [=](SecureBytes& o, const std::uint8_t* in, int n) { return Des3CbcDecrypt(o, in, n, key.data(), iv.data()); },
                         [=](const ByteVec& in) { return EvpCbc(EVP_des_ede3_cbc(), key, iv, in, true); }});
    }
    {
        ByteVec key = kvntest::RandomVec(rng, 8), iv = kvntest::RandomVec(rng, 8);
        cases.push_back({"DES", 8,
                         [=](SecureBytes& o, const std::uint8_t* in, int n) { return DesCbcEncrypt(o, in, n, key.data(), iv.data()); },
                         [=](SecureBytes& o, const std::uint8_t* in, int n) { return DesCbcDecrypt(o, in, n, key.data(), iv.data()); },
                         [=](const ByteVec& in) {
                             DES_key_schedule ks;
                             DES_cblock k, v;
                             std::memcpy(k, key.data(), 8);
                             std::memcpy(v, iv.data(), 8);
                             DES_set_key_unchecked(&k, &ks);
                             ByteVec padded = Pad(in, 8), out(padded.size());
                             DES_ncbc_encrypt(padded.data(), out.data(), static_cast<long>(padded.size()), &ks, &v, DES_ENCRYPT);
                             return out;
                         }});
    }
    for (auto [keyLen, effBits] : {std::pair{5, 40}, std::pair{16, 128}, std::pair{16, 64}, std::pair{33, 129},
                                   std::pair{128, 1024}, std::pair{7, 0}}) {
        ByteVec key = kvntest::RandomVec(rng, static_cast<std::size_t>(keyLen)), iv = kvntest::RandomVec(rng, 8);
        int kl = keyLen, eb = effBits;
        cases.push_back({"RC2 key " + std::to_string(kl) + " bits " + std::to_string(eb), 8,
                         [=](SecureBytes& o, const std::uint8_t* in, int n) { return Rc2CbcEncrypt(o, in, n, key.data(), kl, eb, iv.data()); },
                         [=](SecureBytes& o, const std::uint8_t* in, int n) { return Rc2CbcDecrypt(o, in, n, key.data(), kl, eb, iv.data()); },
                         [=](const ByteVec& in) {
                             RC2_KEY ks;
                             RC2_set_key(&ks, kl, key.data(), eb == 0 ? 1024 : eb);
                             ByteVec padded = Pad(in, 8), out(padded.size()), v(iv);
                             RC2_cbc_encrypt(padded.data(), out.data(), static_cast<long>(padded.size()), &ks, v.data(), RC2_ENCRYPT);
                             return out;
                         }});
    }
    return cases;
}

}  // namespace

TEST(Cipher, EveryCipherAndKeySizeMatchesOpenSslAndRoundTrips) {
    std::mt19937 rng(11);
    for (const Case& c : Cases(rng)) {
        for (int len = 0; len <= 3 * c.blockSize + 1; ++len) {
            ByteVec msg = kvntest::RandomVec(rng, static_cast<std::size_t>(len));
            SecureBytes ct, pt;
            ASSERT_EQ(c.encrypt(ct, msg.data(), len), kOk) << c.name << " length " << len;
            ASSERT_EQ(static_cast<int>(ct.size()), (len / c.blockSize + 1) * c.blockSize) << c.name << " length " << len;
            ASSERT_EQ(ToHex(AsVec(ct)), ToHex(c.peerEncrypt(msg))) << c.name << " length " << len;
            ASSERT_EQ(c.decrypt(pt, ct.data(), static_cast<int>(ct.size())), kOk) << c.name;
            ASSERT_EQ(ToHex(AsVec(pt)), ToHex(msg)) << c.name;
        }
    }
}

TEST(Cipher, EmptyAndAlignedInputsGainAWholeBlockOfPadding) {
    std::mt19937 rng(12);
    for (const Case& c : Cases(rng)) {
        SecureBytes ct;
        ASSERT_EQ(c.encrypt(ct, nullptr, 0), kOk) << c.name;
        EXPECT_EQ(static_cast<int>(ct.size()), c.blockSize) << c.name;
        ByteVec msg(static_cast<std::size_t>(c.blockSize), 0x41);
        ASSERT_EQ(c.encrypt(ct, msg.data(), c.blockSize), kOk) << c.name;
        EXPECT_EQ(static_cast<int>(ct.size()), 2 * c.blockSize) << c.name;
    }
    const std::uint8_t key[24] = {}, iv[16] = {};
    // The padding of an empty message is one full block of value 16 (AES) or 8.
    SecureBytes ct;
    ASSERT_EQ(AesCbcEncrypt(ct, 128, nullptr, 0, key, iv), kOk);
    AesCtx ctx;
    ASSERT_EQ(AesSetKey(&ctx, key, 128, true), kOk);
    std::uint8_t plain[16];
    AesDecryptBlock(&ctx, plain, ct.data());
    EXPECT_EQ(ToHex(plain, 16), "10101010101010101010101010101010");
    ASSERT_EQ(Des3CbcEncrypt(ct, nullptr, 0, key, iv), kOk);
    Des3Ctx d3;
    ASSERT_EQ(Des3CbcInit(&d3, key, iv, 0), kOk);
    ASSERT_EQ(Des3CbcProcess(&d3, plain, ct.data(), 8), kOk);
    EXPECT_EQ(ToHex(plain, 8), "0808080808080808");
}

TEST(Cipher, BadPaddingAndBadLengthsAreDecryptErrors) {
    const std::uint8_t key24[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    const std::uint8_t iv[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    // Encrypt chosen final blocks without padding, then ask for a padded decryption.
    const char* lastBlocks[] = {"4142434445464700", "4142434445464709", "41424344450303ff", "4142434445460302",
                                "0909090909090909"};
    for (const char* hex : lastBlocks) {
        ByteVec plain = FromHex("1111111111111111" + std::string(hex)), ct(plain.size());
        Des3Ctx ctx;
        ASSERT_EQ(Des3CbcInit(&ctx, key24, iv, 1), kOk);
        ASSERT_EQ(Des3CbcProcess(&ctx, ct.data(), plain.data(), plain.size()), kOk);
        SecureBytes out(5, 0x77);
        EXPECT_EQ(Des3CbcDecrypt(out, ct.data(), 16, key24, iv), Error::DECRYPT_ERROR) << hex;
        EXPECT_TRUE(out.empty());
    }
    // The same for AES through libcrypto without padding: byte 0x11 > 16, and 0x00.
    for (const char* hex : {"00112233445566778899aabbccddee11", "00112233445566778899aabbccddee00",
                            "00112233445566778899aabbcc030203"}) {
        ByteVec key(key24, key24 + 16), ivv(iv, iv + 16);
        ByteVec ct = EvpCbc(EVP_aes_128_cbc(), key, ivv, FromHex(hex), false);
        SecureBytes out(5, 0x77);
        EXPECT_EQ(AesCbcDecrypt(out, 128, ct.data(), 16, key24, iv), Error::DECRYPT_ERROR) << hex;
        EXPECT_TRUE(out.empty());
    }
    // Lengths that are not a whole, non-zero number of blocks.
    std::uint8_t buf[32] = {};
    SecureBytes out;
    for (int len : {0, 7, 12, 17}) {
        EXPECT_EQ(Des3CbcDecrypt(out, buf, len, key24, iv), Error::DECRYPT_ERROR) << len;
        EXPECT_EQ(DesCbcDecrypt(out, buf, len, key24, iv), Error::DECRYPT_ERROR) << len;
        EXPECT_EQ(Rc2CbcDecrypt(out, buf, len, key24, 16, 128, iv), Error::DECRYPT_ERROR) << len;
    }
    for (int len : {0, 8, 24}) EXPECT_EQ(AesCbcDecrypt(out, 128, buf, len, key24, iv), Error::DECRYPT_ERROR) << len;
    EXPECT_TRUE(out.empty());
}

TEST(Cipher, KeyAndArgumentErrors) {
    const std::uint8_t key[128] = {7}, iv[16] = {};
    const std::uint8_t msg[5] = {1, 2, 3, 4, 5};
    SecureBytes out(3, 0x77);
    for (int bits : {0, 64, 127, 129, 512}) {
        EXPECT_EQ(AesCbcEncrypt(out, bits, msg, 5, key, iv), Error::BAD_LENGTH_ERROR) << bits;
        EXPECT_TRUE(out.empty());
        out.assign(3, 0x77);
        EXPECT_EQ(AesCbcDecrypt(out, bits, msg, 16, key, iv), Error::BAD_LENGTH_ERROR) << bits;
        EXPECT_TRUE(out.empty());
    }
    for (auto [keyLen, eff] : {std::pair{0, 64}, std::pair{129, 64}, std::pair{-1, 64}, std::pair{8, 1025}, std::pair{8, -1}}) {
        out.assign(3, 0x77);
        EXPECT_EQ(Rc2CbcEncrypt(out, msg, 5, key, keyLen, eff, iv), Error::BAD_LENGTH_ERROR) << keyLen << " " << eff;
        EXPECT_TRUE(out.empty());
    }
    EXPECT_EQ(DesCbcEncrypt(out, msg, 5, nullptr, iv), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(DesCbcEncrypt(out, msg, 5, key, nullptr), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(Des3CbcEncrypt(out, msg, 5, nullptr, iv), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(AesCbcEncrypt(out, 128, msg, 5, key, nullptr), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(Rc2CbcEncrypt(out, msg, 5, nullptr, 8, 64, iv), Error::BAD_PARAM_ERROR);
    out.assign(3, 0x77);
    EXPECT_EQ(Des3CbcEncrypt(out, msg, -1, key, iv), Error::BAD_PARAM_ERROR);
    EXPECT_TRUE(out.empty());

    // Effective bits 0 behave as 1024.
    SecureBytes c0, c1024;
    ASSERT_EQ(Rc2CbcEncrypt(c0, msg, 5, key, 16, 0, iv), kOk);
    ASSERT_EQ(Rc2CbcEncrypt(c1024, msg, 5, key, 16, 1024, iv), kOk);
    EXPECT_EQ(ToHex(AsVec(c0)), ToHex(AsVec(c1024)));
}

TEST(Cipher, PadPkcs5) {
    std::uint8_t out[40];
    const std::uint8_t in[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    int padded = -1;
    EXPECT_EQ(PadPkcs5(out, 40, in, 5, 12, padded), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(PadPkcs5(out, 40, in, -1, 8, padded), Error::BAD_PARAM_ERROR);
    ASSERT_EQ(PadPkcs5(nullptr, 40, in, 5, 8, padded), kOk);
    EXPECT_EQ(padded, 8);
    ASSERT_EQ(PadPkcs5(out, 0, in, 16, 16, padded), kOk);
    EXPECT_EQ(padded, 32);
    EXPECT_EQ(PadPkcs5(out, 7, in, 5, 8, padded), Error::SHORT_BUF_ERROR);
    ASSERT_EQ(PadPkcs5(out, 40, in, 5, 8, padded), kOk);
    EXPECT_EQ(padded, 8);
    EXPECT_EQ(ToHex(out, 8), "0102030405030303");
    ASSERT_EQ(PadPkcs5(out, 40, in, 16, 8, padded), kOk);
    EXPECT_EQ(padded, 24);
    EXPECT_EQ(ToHex(out + 16, 8), "0808080808080808");
    ASSERT_EQ(PadPkcs5(out, 40, in, 15, 16, padded), kOk);
    EXPECT_EQ(padded, 16);
    EXPECT_EQ(out[15], 1);
    ASSERT_EQ(PadPkcs5(out, 40, nullptr, 0, 16, padded), kOk);
    EXPECT_EQ(padded, 16);
    EXPECT_EQ(ToHex(out, 16), "10101010101010101010101010101010");
}

namespace {

struct BlockVector {
    const char *key, *plain, *cipher;
};

}  // namespace

TEST(Cipher, PublishedBlockVectors) {
    // FIPS 197 appendix C.1, C.2, C.3.
    const BlockVector aes[] = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
         "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "00112233445566778899aabbccddeeff",
         "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto& v : aes) {
        ByteVec key = FromHex(v.key), pt = FromHex(v.plain);
        AesCtx enc, dec;
        ASSERT_EQ(AesSetKey(&enc, key.data(), static_cast<int>(key.size() * 8), false), kOk);
        ASSERT_EQ(AesSetKey(&dec, key.data(), static_cast<int>(key.size() * 8), true), kOk);
        std::uint8_t ct[16], back[16];
        AesEncryptBlock(&enc, ct, pt.data());
        EXPECT_EQ(ToHex(ct, 16), v.cipher) << key.size();
        AesDecryptBlock(&dec, back, ct);
        EXPECT_EQ(ToHex(back, 16), v.plain);
    }
    // DES: FIPS 81 appendix B ("Now is t"), the worked example of the standard's key
    // schedule (key 133457799BBCDFF1), and SP 800-17 variable-plaintext entry 1.
    const BlockVector des[] = {
        {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
        {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
        {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},
    };
    for (const auto& v : des) {
        ByteVec key = FromHex(v.key), pt = FromHex(v.plain);
        std::uint32_t enc[32], dec[32];
        DesKeySchedule(enc, key.data(), false);
        DesKeySchedule(dec, key.data(), true);
        std::uint8_t ct[8], back[8];
        DesBlock(enc, ct, pt.data());
        EXPECT_EQ(ToHex(ct, 8), v.cipher) << v.key;
        DesBlock(dec, back, ct);
        EXPECT_EQ(ToHex(back, 8), v.plain);
    }
    // NIST SP 800-67 appendix B: three-key Triple DES, three blocks (ECB = CBC with a
    // zero IV one block at a time).
    ByteVec key3 = FromHex("0123456789abcdef 23456789abcdef01 456789abcdef0123");
    ByteVec pt3 = FromHex("5468652071756663 6b2062726f776e20 666f78206a756d70");
    const std::string ct3 = "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900";
    std::uint8_t zero[8] = {}, got[24];
    for (int b = 0; b < 3; ++b) {
        Des3Ctx ctx;
        ASSERT_EQ(Des3CbcInit(&ctx, key3.data(), zero, 1), kOk);
        ASSERT_EQ(Des3CbcProcess(&ctx, got + 8 * b, pt3.data() + 8 * b, 8), kOk);
    }
    EXPECT_EQ(ToHex(got, 24), ct3);
}

TEST(Cipher, Rc2Rfc2268Vectors) {
    // RFC 2268 section 5: key, effective key bits, plaintext, ciphertext.
    struct Rc2Vector {
        const char* key;
        int bits;
        const char *plain, *cipher;
    };
    const Rc2Vector vectors[] = {
        {"0000000000000000", 63, "0000000000000000", "ebb773f993278eff"},
        {"ffffffffffffffff", 64, "ffffffffffffffff", "278b27e42e2f0d49"},
        {"3000000000000000", 64, "1000000000000001", "30649edf9be7d2c2"},
        {"88", 64, "0000000000000000", "61a8a244adacccf0"},
        {"88bca90e90875a", 64, "0000000000000000", "6ccf4308974c267f"},
        {"88bca90e90875a7f0f79c384627bafb2", 64, "0000000000000000", "1a807d272bbe5db1"},
        {"88bca90e90875a7f0f79c384627bafb2", 128, "0000000000000000", "2269552ab0f85ca6"},
        {"88bca90e90875a7f0f79c384627bafb216f80a6f85920584c42fceb0be255daf1e", 129, "0000000000000000",
         "5b78d3a43dfff1f1"},
    };
    for (const auto& v : vectors) {
        ByteVec key = FromHex(v.key), pt = FromHex(v.plain);
        Rc2Ctx ctx;
        ASSERT_EQ(Rc2SetKey(&ctx, key.data(), static_cast<int>(key.size()), v.bits), kOk);
        std::uint8_t ct[8], back[8];
        Rc2EncryptBlock(&ctx, ct, pt.data());
        EXPECT_EQ(ToHex(ct, 8), v.cipher) << v.key << " " << v.bits;
        Rc2DecryptBlock(&ctx, back, ct);
        EXPECT_EQ(ToHex(back, 8), v.plain);
    }
}

TEST(Cipher, TripleDesWithEqualKeysIsSingleDes) {
    std::mt19937 rng(13);
    ByteVec k = kvntest::RandomVec(rng, 8), iv = kvntest::RandomVec(rng, 8), msg = kvntest::RandomVec(rng, 45);
    ByteVec k3(k);
    k3.insert(k3.end(), k.begin(), k.end());
    k3.insert(k3.end(), k.begin(), k.end());
    SecureBytes single, triple;
    ASSERT_EQ(DesCbcEncrypt(single, msg.data(), 45, k.data(), iv.data()), kOk);
    ASSERT_EQ(Des3CbcEncrypt(triple, msg.data(), 45, k3.data(), iv.data()), kOk);
    EXPECT_EQ(ToHex(AsVec(single)), ToHex(AsVec(triple)));
}

TEST(Cipher, Des3ContextContinuesTheChainAcrossCalls) {
    std::mt19937 rng(14);
    ByteVec key = kvntest::RandomVec(rng, 24), iv = kvntest::RandomVec(rng, 8), msg = kvntest::RandomVec(rng, 64);
    for (int encrypt : {1, 0}) {
        Des3Ctx whole;
        ASSERT_EQ(Des3CbcInit(&whole, key.data(), iv.data(), encrypt), kOk);
        ByteVec expected(64);
        ASSERT_EQ(Des3CbcProcess(&whole, expected.data(), msg.data(), 64), kOk);
        // Split at every block boundary, in place.
        for (std::size_t cut = 0; cut <= 64; cut += 8) {
            Des3Ctx ctx;
            ASSERT_EQ(Des3CbcInit(&ctx, key.data(), iv.data(), encrypt), kOk);
            ByteVec buf(msg);
            ASSERT_EQ(Des3CbcProcess(&ctx, buf.data(), buf.data(), cut), kOk);
            ASSERT_EQ(Des3CbcProcess(&ctx, buf.data() + cut, buf.data() + cut, 64 - cut), kOk);
            ASSERT_EQ(ToHex(buf), ToHex(expected)) << "encrypt " << encrypt << " cut " << cut;
        }
        // A length that is not a multiple of 8 leaves output and chain untouched.
        Des3Ctx ctx;
        ASSERT_EQ(Des3CbcInit(&ctx, key.data(), iv.data(), encrypt), kOk);
        ByteVec out(24, 0xEE);
        EXPECT_EQ(Des3CbcProcess(&ctx, out.data(), msg.data(), 12), Error::BAD_LENGTH_ERROR);
        EXPECT_EQ(ToHex(out), std::string(48, 'e'));
        ASSERT_EQ(Des3CbcProcess(&ctx, out.data(), msg.data(), 8), kOk);
        ASSERT_EQ(Des3CbcProcess(&ctx, out.data() + 8, msg.data() + 8, 16), kOk);
        EXPECT_EQ(ToHex(out), ToHex(ByteVec(expected.begin(), expected.begin() + 24)));
        Des3Wipe(&ctx);
        const Des3Ctx zero{};
        EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
    }
    Des3Ctx ctx;
    EXPECT_EQ(Des3CbcInit(&ctx, nullptr, iv.data(), 1), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(Des3CbcInit(&ctx, key.data(), nullptr, 1), Error::BAD_PARAM_ERROR);
}
