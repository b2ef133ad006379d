#include "pki/rsa.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "crypto/cpu.h"
#include "crypto/digest.h"
#include "crypto/mont.h"
#include "kelvane.h"
#include "openssl_peer.h"
#include "pki/base64.h"
#include "pki/rsa_private.h"
#include "support/answer.h"
#include "test_support.h"

namespace kvn {
namespace {

using kvn_test::Credential;
using kvn_test::PeerKey;

// rsa_DecodeSignature and rsa_KeyLength answering their number or the negated error.
int DecodeAnswer(std::uint8_t* out, int capacity, const std::uint8_t* block, int length, int options) {
    int answer = 0;
    Error e = rsa_DecodeSignature(out, capacity, block, length, options, answer);
    return kvn_test::Answer(e, answer);
}
int KeyLengthAnswer(const char* keyString, bool inBytes) {
    int length = 0;
    Error e = rsa_KeyLength(keyString, inBytes, length);
    return kvn_test::Answer(e, length);
}

SecureString PrivateString(const rsa_Key& key) {
    SecureBytes der;
    EXPECT_TRUE(rsa_PrivateDer(key, der));
    SecureString s;
    rsa_MakeKeyString(s, kRsaKindPrivate, der.data(), der.size());
    return s;
}

SecureString PublicString(const rsa_Key& key) {
    SecureBytes der;
    EXPECT_TRUE(rsa_PublicDer(key, der));
    SecureString s;
    rsa_MakeKeyString(s, kRsaKindPublic, der.data(), der.size());
    return s;
}

TEST(Rsa, PrivateOperationMatchesOpenSsl) {
    for (const char* file : {"test-rsa1024-plain.pem", "test-rsa2048-plain.pem"}) {
        PeerKey peer(Credential(file));
        ASSERT_NE(peer.pkey, nullptr) << file;
        RsaKeyPtr key = peer.Record();
        const int len = rsa_KeyBytes(*key);
        std::vector<std::uint8_t> block(static_cast<std::size_t>(len));
        for (int i = 0; i < len; ++i) block[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 7 + 3);
        block[0] = 0x01;
        auto expected = peer.RawPrivate(block);
        ASSERT_FALSE(expected.empty());

        auto ours = block;
        ASSERT_EQ(rsa_PrivateOp(*key, ours.data(), len), kOk);
        EXPECT_EQ(ours, expected) << file << " with CRT";
        // Without CRT parts, c^d mod n directly.
        auto n = peer.Part(OSSL_PKEY_PARAM_RSA_N), e = peer.Part(OSSL_PKEY_PARAM_RSA_E), d = peer.Part(OSSL_PKEY_PARAM_RSA_D);
        RsaKeyPtr plain = rsa_KeyNew();
        rsa_SetPrivate(*plain, {n.data(), n.size()}, {e.data(), e.size()}, {d.data(), d.size()});
        ours = block;
        ASSERT_EQ(rsa_PrivateOp(*plain, ours.data(), len), kOk);
        EXPECT_EQ(ours, expected) << file << " without CRT";
        // And back with the public exponent; through key strings as well.
        ASSERT_EQ(rsa_Public(ours.data(), len, PublicString(*key).c_str(), 0), kOk);
        EXPECT_EQ(ours, block);
        ASSERT_EQ(rsa_Private(ours.data(), len, PrivateString(*key).c_str(), 0), kOk);
        EXPECT_EQ(ours, expected);
    }
}

// A key made from OpenSSL's primes, with its parts in big-endian bytes, and the reference
// private operation c^d mod n by OpenSSL's own arithmetic.
struct BnKey {
    enum Layout { kUsual, kPSmaller, kQMuchLarger };
    std::vector<std::uint8_t> part[kRsaPartCount];
    BIGNUM* n = BN_new();
    BIGNUM* d = BN_new();
    BN_CTX* ctx = BN_CTX_new();

    BnKey(int bits, unsigned long exponent, Layout layout) {
        BIGNUM *p = BN_new(), *q = BN_new(), *e = BN_new(), *p1 = BN_new(), *q1 = BN_new(), *phi = BN_new();
        BIGNUM *dp = BN_new(), *dq = BN_new(), *qinv = BN_new(), *g = BN_new();
        BN_set_word(e, exponent);
        const int pBits = layout == kQMuchLarger ? bits / 2 - 16 : bits / 2;
        for (;;) {
            BN_generate_prime_ex(p, pBits, 0, nullptr, nullptr, nullptr);
            BN_generate_prime_ex(q, bits - pBits, 0, nullptr, nullptr, nullptr);
            if ((layout == kPSmaller) != (BN_cmp(p, q) < 0)) BN_swap(p, q);
            BN_sub(p1, p, BN_value_one());
            BN_sub(q1, q, BN_value_one());
            BN_mul(phi, p1, q1, ctx);
            BN_gcd(g, e, phi, ctx);
            BN_mul(n, p, q, ctx);
            if (BN_is_one(g) && BN_num_bits(n) == bits && BN_cmp(p, q) != 0) break;
        }
        BN_mod_inverse(d, e, phi, ctx);
        BN_mod(dp, d, p1, ctx);
        BN_mod(dq, d, q1, ctx);
        BN_mod_inverse(qinv, q, p, ctx);
        const BIGNUM* all[kRsaPartCount] = {n, e, d, p, q, dp, dq, qinv};
        for (int i = 0; i < kRsaPartCount; ++i) part[i] = Bytes(all[i]);
        for (BIGNUM* b : {p, q, e, p1, q1, phi, dp, dq, qinv, g}) BN_free(b);
    }
    ~BnKey() {
        BN_free(n);
        BN_clear_free(d);
        BN_CTX_free(ctx);
    }
    BnKey(const BnKey&) = delete;
    BnKey& operator=(const BnKey&) = delete;

    static std::vector<std::uint8_t> Bytes(const BIGNUM* b) {
        std::vector<std::uint8_t> out(static_cast<std::size_t>(BN_num_bytes(b)));
        BN_bn2bin(b, out.data());
        if (out.empty()) out.push_back(0);
        return out;
    }
    std::size_t Length() const { return part[kRsaN].size(); }
    RsaKeyPtr Record() const {
        rsa_Bytes bytes[kRsaPartCount];
        for (int i = 0; i < kRsaPartCount; ++i) bytes[i] = {part[i].data(), part[i].size()};
        RsaKeyPtr key = rsa_KeyNew();
        rsa_SetPrivateCrt(*key, bytes);
        return key;
    }
    RsaKeyPtr RecordWithoutCrt() const {
        RsaKeyPtr key = rsa_KeyNew();
        rsa_SetPrivate(*key, {part[kRsaN].data(), part[kRsaN].size()}, {part[kRsaE].data(), part[kRsaE].size()},
                       {part[kRsaD].data(), part[kRsaD].size()});
        return key;
    }
    // A random block below n and its c^d mod n by OpenSSL.
    void Sample(std::vector<std::uint8_t>& c, std::vector<std::uint8_t>& m) const {
        BIGNUM *x = BN_new(), *y = BN_new();
        BN_rand_range(x, n);
        BN_mod_exp(y, x, d, n, ctx);
        c.assign(Length(), 0);
        m.assign(Length(), 0);
        BN_bn2binpad(x, c.data(), static_cast<int>(c.size()));
        BN_bn2binpad(y, m.data(), static_cast<int>(m.size()));
        BN_free(x);
        BN_free(y);
    }
};

// Every private result equals OpenSSL's, with CRT and without, for key sizes from 1024 to
// 4096 bits, both exponents in use, p below q, and q much larger than p.
TEST(Rsa, RandomKeysMatchOpenSsl) {
    const struct {
        int bits;
        unsigned long e;
        BnKey::Layout layout;
    } kCases[] = {
        {1024, 65537, BnKey::kUsual},      {1024, 3, BnKey::kPSmaller},   {1032, 65537, BnKey::kQMuchLarger},
        {1536, 3, BnKey::kUsual},          {2048, 65537, BnKey::kPSmaller}, {2048, 65537, BnKey::kQMuchLarger},
        {2056, 3, BnKey::kUsual},          {3072, 65537, BnKey::kUsual},  {4096, 65537, BnKey::kPSmaller},
    };
    for (const auto& tc : kCases) {
        SCOPED_TRACE(testing::Message() << tc.bits << " bits, e = " << tc.e << ", layout " << tc.layout);
        BnKey peer(tc.bits, tc.e, tc.layout);
        RsaKeyPtr crt = peer.Record(), plain = peer.RecordWithoutCrt();
        const int len = static_cast<int>(peer.Length());
        for (int i = 0; i < 3; ++i) {
            std::vector<std::uint8_t> c, m;
            peer.Sample(c, m);
            auto ours = c;
            ASSERT_EQ(rsa_PrivateOp(*crt, ours.data(), len), kOk);
            EXPECT_EQ(ours, m);
            if (i == 0) {
                ours = c;
                ASSERT_EQ(rsa_PrivateOp(*plain, ours.data(), len), kOk);
                EXPECT_EQ(ours, m) << "without CRT";
            }
            ASSERT_EQ(rsa_PublicOp(*crt, ours.data(), len), kOk);
            EXPECT_EQ(ours, c);
        }
    }
}

// A prepared key keeps its blinding pairs from one operation to the next and squares them
// after each use, drawing anew after rsa_Blinding::kUses: every result still equals
// OpenSSL's, through several redraws on one thread and from more threads at once than
// the key keeps pairs for (those without a free pair draw their own).
TEST(Rsa, PreparedKeyKeepsBlindingAcrossOperations) {
    BnKey peer(1024, 65537, BnKey::kUsual);
    RsaPreparedPtr prepared;
    ASSERT_EQ(rsa_PreparePrivate(prepared, *peer.Record()), kOk);
    const int len = static_cast<int>(peer.Length());
    constexpr int kSerial = 2 * rsa_Blinding::kUses + 5, kThreads = 10, kEach = 6;
    std::vector<std::vector<std::uint8_t>> c(kSerial + kThreads * kEach), m(c.size());
    for (std::size_t i = 0; i < c.size(); ++i) peer.Sample(c[i], m[i]);
    auto matches = [&](std::size_t i) {
        auto block = c[i];
        return rsa_PrivateOpPrepared(*prepared, block.data(), len) == kOk && block == m[i];
    };
    for (int i = 0; i < kSerial; ++i) EXPECT_TRUE(matches(static_cast<std::size_t>(i))) << "operation " << i;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kEach; ++k) {
                if (!matches(static_cast<std::size_t>(kSerial + t * kEach + k))) ++wrong;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// The radix-2^52 kernels of the IFMA path, run here on their emulated lanes (the real ones
// where the processor has them), sign as OpenSSL does, with CRT and without, at the
// 2048-bit size they are unrolled for and at others.
TEST(Rsa, Radix52KernelsMatchOpenSsl) {
    std::vector<int> modes = {1};
    if (cpu_HasAvx512Ifma()) modes.push_back(-1);
    const struct {
        int bits;
        BnKey::Layout layout;
    } kCases[] = {{2048, BnKey::kUsual}, {1032, BnKey::kQMuchLarger}, {3072, BnKey::kPSmaller}};
    for (const auto& tc : kCases) {
        BnKey peer(tc.bits, 65537, tc.layout);
        const int len = static_cast<int>(peer.Length());
        std::vector<std::uint8_t> c, m;
        peer.Sample(c, m);
        for (int mode : modes) {
            SCOPED_TRACE(testing::Message() << tc.bits << " bits, mode " << mode);
            mont_UseRadix52ForTesting(mode);
            RsaKeyPtr crt = peer.Record(), plain = peer.RecordWithoutCrt();
            auto ours = c;
            EXPECT_EQ(rsa_PrivateOp(*crt, ours.data(), len), kOk);
            EXPECT_EQ(ours, m);
            ours = c;
            EXPECT_EQ(rsa_PrivateOp(*plain, ours.data(), len), kOk);
            EXPECT_EQ(ours, m) << "without CRT";
            mont_UseRadix52ForTesting(-1);
        }
    }
}

// A damaged CRT part or private exponent never yields a result: the operation fails as
// the key check has always failed such keys, and the block is left untouched.
TEST(Rsa, DamagedPrivatePartGivesNoResult) {
    BnKey peer(1024, 65537, BnKey::kUsual);
    const int len = static_cast<int>(peer.Length());
    std::vector<std::uint8_t> c, m;
    peer.Sample(c, m);
    for (rsa_Part which : {kRsaD, kRsaP, kRsaQ, kRsaDP, kRsaDQ, kRsaQInv}) {
        for (std::size_t bit : {std::size_t{1}, std::size_t{8 * 20 + 3}}) {
            BnKey* base = &peer;
            std::vector<std::uint8_t> saved = base->part[which];
            base->part[which][saved.size() - 1 - bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            RsaKeyPtr key = which == kRsaD ? base->RecordWithoutCrt() : base->Record();
            base->part[which] = saved;
            auto block = c;
            EXPECT_EQ(rsa_PrivateOp(*key, block.data(), len), Error::INVALID_DATA_ERROR) << "part " << which << " bit " << bit;
            EXPECT_EQ(block, c);
            EXPECT_NE(rsa_CheckKey(*key), kOk);
        }
    }
}

// Keys whose operations would not end in bounded time, or that no RSA key generation
// makes, are refused before any arithmetic: set directly, read from an RSAPrivateKey or
// RSAPublicKey, signed or verified with. Keys at the limits are taken.
TEST(Rsa, RefusesKeysTheArithmeticDoesNotTake) {
    BnKey peer(1024, 65537, BnKey::kUsual);
    using Part = std::vector<std::uint8_t>;
    Part evenN = peer.part[kRsaN];
    evenN.back() ^= 1;
    Part evenQ = peer.part[kRsaQ];
    evenQ.back() ^= 1;
    Part hugeN(2049, 0);  // 16385 bits
    hugeN[0] = 0x01;
    hugeN.back() = 0x01;
    const Part largestN(2048, 0xFF);  // 16384 bits
    const Part e65 = {0x01, 0, 0, 0, 0, 0, 0, 0, 0x01};
    const Part e64 = Part(8, 0xFF);
    const Part three = {0x03}, five = {0x05};
    const struct {
        const char* what;
        rsa_Part part;
        Part value;
        bool privateOk;  // the whole key
        bool publicOk;   // its public part alone
    } kCases[] = {
        {"even modulus", kRsaN, evenN, false, false},
        {"modulus over 16384 bits", kRsaN, hugeN, false, false},
        {"even exponent", kRsaE, {0x01, 0x00, 0x00}, false, false},
        {"exponent 1", kRsaE, {0x01}, false, false},
        {"exponent of 65 bits", kRsaE, e65, false, false},
        {"p = 2", kRsaP, {0x02}, false, true},
        {"even q", kRsaQ, evenQ, false, true},
        {"primes far shorter than the modulus", kRsaP, three, false, true},  // and q = 5
        {"modulus of 16384 bits", kRsaN, largestN, false, true},              // its primes are too short
        {"exponent 3", kRsaE, three, true, true},
        {"exponent of 64 bits", kRsaE, e64, true, true},
    };
    auto expected = [](bool ok) { return ok ? kOk : Error::NOT_SUPPORTED_ERROR; };
    for (const auto& tc : kCases) {
        SCOPED_TRACE(tc.what);
        rsa_Bytes parts[kRsaPartCount];
        for (int i = 0; i < kRsaPartCount; ++i) {
            const Part& v = i == tc.part ? tc.value : peer.part[i];
            parts[i] = {v.data(), v.size()};
        }
        if (tc.part == kRsaP && tc.value == three) parts[kRsaQ] = {five.data(), five.size()};
        RsaKeyPtr key = rsa_KeyNew(), pub = rsa_KeyNew();
        rsa_SetPrivateCrt(*key, parts);
        rsa_SetPublic(*pub, parts[kRsaN], parts[kRsaE]);
        EXPECT_EQ(rsa_CheckSupported(*key), expected(tc.privateOk));
        EXPECT_EQ(rsa_CheckSupported(*pub), expected(tc.publicOk));
        // Through the DER readers (plain base64 DER stands for a key string).
        SecureBytes der;
        SecureString text;
        RsaKeyPtr read = rsa_KeyNew();
        ASSERT_TRUE(rsa_PrivateDer(*key, der));
        b64_EncodeTo(text, der.data(), der.size());
        EXPECT_EQ(rsa_ReadPrivateString(*read, text.c_str()), expected(tc.privateOk));
        ASSERT_TRUE(rsa_PublicDer(*key, der));
        b64_EncodeTo(text, der.data(), der.size());
        EXPECT_EQ(rsa_ReadPublicString(*read, text.c_str()), expected(tc.publicOk));

        std::vector<std::uint8_t> block(static_cast<std::size_t>(rsa_KeyBytes(*key)), 0);
        block[1] = 0x01;
        if (!tc.privateOk) {
            EXPECT_EQ(rsa_PrivateOp(*key, block.data(), rsa_KeyBytes(*key)), Error::NOT_SUPPORTED_ERROR);
        }
        if (!tc.publicOk) {
            EXPECT_EQ(rsa_PublicOp(*pub, block.data(), rsa_KeyBytes(*pub)), Error::NOT_SUPPORTED_ERROR);
        }
    }
}

TEST(Rsa, OperationErrors) {
    PeerKey peer(Credential("test-rsa1024-plain.pem"));
    RsaKeyPtr key = peer.Record();
    auto n = peer.Modulus();
    auto block = n;
    EXPECT_EQ(rsa_PrivateOp(*key, block.data(), static_cast<int>(block.size())), Error::OUT_OF_RANGE_ERROR);  // equal to n
    EXPECT_EQ(rsa_PublicOp(*key, block.data(), static_cast<int>(block.size()) - 1), Error::OUT_OF_RANGE_ERROR);
    EXPECT_EQ(rsa_PublicOp(*key, nullptr, 128), Error::BAD_PARAM_ERROR);
    RsaKeyPtr empty = rsa_KeyNew();
    EXPECT_EQ(rsa_PrivateOp(*empty, block.data(), 128), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(rsa_Private(block.data(), 128, "", 0), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(rsa_Private(block.data(), 128, "AAAA", 0), Error::OUT_OF_RANGE_ERROR);  // DER too short for a private key
    EXPECT_EQ(rsa_Private(block.data(), 128, std::string(200, 'Q').c_str(), 0), Error::INVALID_DATA_ERROR);
    // A public key string has no private part: its reading as private fails.
    EXPECT_NE(rsa_Private(block.data(), 128, PublicString(*key).c_str(), 0), kOk);
}

TEST(Rsa, SignatureBlocks) {
    const char* data = "||3.2|pipe string||";
    std::uint8_t block[256];
    ASSERT_EQ(rsa_EncodeSignature(block, 256, reinterpret_cast<const std::uint8_t*>(data), 19, kRsaSigBlockType1), kOk);
    EXPECT_EQ(block[0], 0x00);
    EXPECT_EQ(block[1], 0x01);
    for (int i = 2; i < 220; ++i) ASSERT_EQ(block[i], 0xFF) << i;
    EXPECT_EQ(block[220], 0x00);
    EXPECT_EQ(std::vector<std::uint8_t>(block + 221, block + 236), kvn_test::Hex("3021300906052B0E03021A05000414"));
    std::uint8_t digest[20];
    int digestLength = 0;
    ASSERT_EQ(DigestData(digest, 20, data, 19, kHashSha1, digestLength), kOk);
    EXPECT_EQ(std::memcmp(block + 236, digest, 20), 0);

    std::uint8_t out[64];
    EXPECT_EQ(DecodeAnswer(out, sizeof out, block, 256, 0), 20);
    EXPECT_EQ(std::memcmp(out, digest, 20), 0);
    EXPECT_EQ(DecodeAnswer(out, sizeof out, block, 256, kRsaSigWholeDigestInfo), 35);
    EXPECT_EQ(DecodeAnswer(nullptr, 0, block, 256, kRsaSigHashIdOnly), 0);

    // Every hash id round-trips; a given digest must have the right length.
    for (int id = 0; id < 7; ++id) {
        ASSERT_EQ(rsa_EncodeSignature(block, 128, reinterpret_cast<const std::uint8_t*>(data), 19, 0x20 | id), kOk);
        EXPECT_EQ(DecodeAnswer(nullptr, 0, block, 128, kRsaSigHashIdOnly), id);
    }
    EXPECT_EQ(rsa_EncodeSignature(block, 128, digest, 20, 0x20 | kRsaSigIsDigest), kOk);
    EXPECT_EQ(rsa_EncodeSignature(block, 128, digest, 19, 0x20 | kRsaSigIsDigest), Error::BAD_LENGTH_ERROR);
    EXPECT_EQ(rsa_EncodeSignature(block, 64, digest, 20, 0x25), Error::SHORT_BUF_ERROR);  // SHA-512 needs 83 + 11 bytes
    EXPECT_EQ(rsa_EncodeSignature(block, 128, digest, 20, 0x27), Error::BAD_FLAG_ERROR);

    struct Bad {
        const char* what;
        int at;
        std::uint8_t value;
    } bad[] = {{"first byte", 0, 0x01}, {"block type", 1, 0x02}, {"only seven FF", 9, 0x00}, {"no separator", 93, 0xFF}};
    for (const Bad& b : bad) {
        ASSERT_EQ(rsa_EncodeSignature(block, 128, digest, 20, 0x20 | kRsaSigIsDigest), kOk);
        if (std::strcmp(b.what, "no separator") == 0) std::memset(block + 2, 0xFF, 126);
        block[b.at] = b.value;
        EXPECT_EQ(DecodeAnswer(out, sizeof out, block, 128, 0), -DECRYPT_ERROR) << b.what;
    }

    // The DigestInfo must be exactly a prefix and a digest of the length that prefix names:
    // a SHA-256 digest under the SHA-1 or MD5 prefix, or one byte more or less, is no block.
    const auto sha1Prefix = kvn_test::Hex("3021300906052B0E03021A05000414");
    const auto md5Prefix = kvn_test::Hex("3020300C06082A864886F70D020505000410");
    const struct {
        const char* what;
        std::vector<std::uint8_t> prefix;
        std::size_t digestLength;
        int hashId;  // the decoded hash id, or -1 when the block is refused
    } shapes[] = {
        {"SHA-1, 20 bytes", sha1Prefix, 20, 0},
        {"SHA-1 prefix, 32 bytes", sha1Prefix, 32, -1},
        {"SHA-1 prefix, 19 bytes", sha1Prefix, 19, -1},
        {"SHA-1 prefix, 21 bytes", sha1Prefix, 21, -1},
        {"MD5, 16 bytes", md5Prefix, 16, 1},
        {"MD5 prefix, 32 bytes", md5Prefix, 32, -1},
        {"MD5 prefix, 20 bytes", md5Prefix, 20, -1},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.what);
        std::vector<std::uint8_t> t = shape.prefix;
        for (std::size_t i = 0; i < shape.digestLength; ++i) t.push_back(static_cast<std::uint8_t>(0xA0 + i));
        std::memset(block, 0xFF, 128);
        block[0] = 0x00;
        block[1] = 0x01;
        block[128 - t.size() - 1] = 0x00;
        std::memcpy(block + 128 - t.size(), t.data(), t.size());
        const int expected = shape.hashId < 0 ? -DECRYPT_ERROR : static_cast<int>(shape.digestLength);
        EXPECT_EQ(DecodeAnswer(out, sizeof out, block, 128, 0), expected);
        EXPECT_EQ(DecodeAnswer(nullptr, 0, block, 128, kRsaSigHashIdOnly), shape.hashId < 0 ? -DECRYPT_ERROR : shape.hashId);
        EXPECT_EQ(DecodeAnswer(out, sizeof out, block, 128, kRsaSigWholeDigestInfo), static_cast<int>(t.size()));
    }
}

// A signature made by rsa_EncodeSignature + rsa_Private verifies with the openssl tool.
TEST(Rsa, SignatureVerifiesWithOpenSslTool) {
    kvn_test::ScratchDir dir;
    PeerKey peer(Credential("test-rsa2048-plain.pem"));
    RsaKeyPtr key = peer.Record();
    const std::string data = "||3.2|2026-12-10T12:00:00|ingreso|AAA010101AAA|1160.00||";
    std::uint8_t block[256];
    ASSERT_EQ(rsa_EncodeSignature(block, 256, reinterpret_cast<const std::uint8_t*>(data.data()),
                                  static_cast<int>(data.size()), kRsaSigBlockType1),
              kOk);
    ASSERT_EQ(rsa_Private(block, 256, PrivateString(*key).c_str(), 0), kOk);
    std::ofstream(dir.File("sig"), std::ios::binary).write(reinterpret_cast<char*>(block), 256);
    std::ofstream(dir.File("data"), std::ios::binary) << data;
    int status = -1;
    std::string cmd = "openssl pkey -in '" + Credential("test-rsa2048-plain.pem") + "' -pubout -out '" + dir.File("pub.pem") +
                      "' && openssl dgst -sha1 -binary -out '" + dir.File("digest") + "' '" + dir.File("data") +
                      "' && openssl pkeyutl -verify -pubin -inkey '" + dir.File("pub.pem") + "' -in '" + dir.File("digest") +
                      "' -sigfile '" + dir.File("sig") + "' -pkeyopt digest:sha1 2>&1";
    std::string out = kvn_test::Run(cmd, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Signature Verified Successfully"), std::string::npos) << out;
}

TEST(Rsa, KeyStrings) {
    PeerKey peer(Credential("test-rsa1024-plain.pem"));
    RsaKeyPtr key = peer.Record();
    SecureString a = PrivateString(*key), b = PrivateString(*key);
    EXPECT_NE(a, b);  // random padding and IV
    EXPECT_EQ(a.compare(0, 4, "PVTR"), 0);
    EXPECT_EQ(PublicString(*key).compare(0, 4, "PUBR"), 0);
    SecureBytes da, db;
    int kind;
    ASSERT_EQ(rsa_ReadKeyString(da, kind, a.c_str()), kOk);
    EXPECT_EQ(kind, kRsaKindPrivate);
    ASSERT_EQ(rsa_ReadKeyString(db, kind, b.c_str()), kOk);
    EXPECT_EQ(da, db);

    // Any flipped character of the wrapped part makes the string unreadable.
    SecureString broken = a;
    broken[40] = broken[40] == 'A' ? 'B' : 'A';
    EXPECT_EQ(rsa_ReadKeyString(da, kind, broken.c_str()), Error::INVALID_DATA_ERROR);
    EXPECT_EQ(rsa_ReadKeyString(da, kind, ""), Error::BAD_PARAM_ERROR);

    // Plain base64 DER is accepted where a public key string is.
    SecureBytes der;
    ASSERT_TRUE(rsa_PublicDer(*key, der));
    SecureString plain;
    rsa_MakeKeyString(plain, 0, der.data(), der.size());
    RsaKeyPtr loaded = rsa_KeyNew();
    ASSERT_EQ(rsa_ReadPublicString(*loaded, plain.c_str()), kOk);
    EXPECT_EQ(rsa_KeyBits(*loaded), 1024);
    EXPECT_EQ(rsa_ReadPublicString(*loaded, nullptr), Error::NULL_KEY_ERROR);
    EXPECT_EQ(rsa_ReadPublicString(*loaded, ""), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(rsa_ReadPublicString(*loaded, a.c_str()), Error::INVALID_DATA_ERROR);  // a private key: a third INTEGER
    EXPECT_EQ(KeyLengthAnswer(a.c_str(), false), 1024);
    EXPECT_EQ(KeyLengthAnswer(plain.c_str(), true), 128);
}

TEST(Rsa, KeyMatch) {
    PeerKey k1(Credential("test-rsa1024-plain.pem")), k2(Credential("test-rsa2048-plain.pem"));
    RsaKeyPtr a = k1.Record(), b = k2.Record();
    EXPECT_EQ(rsa_KeyMatch(PrivateString(*a).c_str(), PublicString(*a).c_str()), kOk);
    EXPECT_EQ(rsa_KeyMatch(PrivateString(*a).c_str(), PublicString(*b).c_str()), Error::NO_MATCH_ERROR);  // lengths differ
    EXPECT_EQ(rsa_KeyMatch(PrivateString(*a).c_str(), ""), Error::BAD_PARAM_ERROR);
    // A private key whose d is wrong fails its self-test.
    auto n = k1.Part(OSSL_PKEY_PARAM_RSA_N), e = k1.Part(OSSL_PKEY_PARAM_RSA_E), d = k1.Part(OSSL_PKEY_PARAM_RSA_D);
    d.back() ^= 2;
    RsaKeyPtr bad = rsa_KeyNew();
    rsa_SetPrivate(*bad, {n.data(), n.size()}, {e.data(), e.size()}, {d.data(), d.size()});
    EXPECT_EQ(rsa_KeyMatch(PrivateString(*bad).c_str(), PublicString(*a).c_str()), Error::INVALID_DATA_ERROR);
    // Same length, another modulus.
    std::vector<std::uint8_t> other = n;
    other[5] ^= 1;
    RsaKeyPtr pub = rsa_KeyNew();
    rsa_SetPublic(*pub, {other.data(), other.size()}, {e.data(), e.size()});
    EXPECT_EQ(rsa_KeyMatch(PrivateString(*a).c_str(), PublicString(*pub).c_str()), Error::NO_MATCH_ERROR);

    // A 16-bit key (p = 251, q = 241) cannot pass the self-test: its only test value is 1.
    const std::uint8_t tn[] = {0xEC, 0x4B}, te[] = {0x07}, td[] = {0x42, 0xF7};  // n = 60491, d = 7^-1 mod 60000
    RsaKeyPtr tiny = rsa_KeyNew();
    rsa_SetPrivate(*tiny, {tn, 2}, {te, 1}, {td, 2});
    EXPECT_NE(rsa_CheckKey(*tiny), kOk);
}

TEST(Rsa, LoadsPrivateKeyWithoutCrtParts) {
    PeerKey peer(Credential("test-rsa1024-plain.pem"));
    RsaKeyPtr full = peer.Record();
    // RSAPrivateKey whose p, q, dP, dQ and qInv are each the single byte 0.
    auto n = peer.Part(OSSL_PKEY_PARAM_RSA_N), e = peer.Part(OSSL_PKEY_PARAM_RSA_E), d = peer.Part(OSSL_PKEY_PARAM_RSA_D);
    AsnList items = asn_NewIntegerU32(0);
    for (auto* part : {&n, &e, &d}) {
        AsnList item = asn_NewInteger(part->data(), part->size());
        asn_Link(items, item);
    }
    for (int i = 0; i < 5; ++i) {
        AsnList zero = asn_NewIntegerU32(0);
        asn_Link(items, zero);
    }
    AsnList seq = asn_Sequence(std::move(items));
    RsaKeyPtr key = rsa_KeyNew();
    ASSERT_EQ(rsa_LoadPrivate(*key, seq.get()), kOk);
    EXPECT_EQ(key->flags, kRsaHasPublic | kRsaHasPrivate);
    std::vector<std::uint8_t> x(128, 0x42), y(128, 0x42);
    x[0] = y[0] = 0;
    ASSERT_EQ(rsa_PrivateOp(*key, x.data(), 128), kOk);
    ASSERT_EQ(rsa_PrivateOp(*full, y.data(), 128), kOk);
    EXPECT_EQ(x, y);
    SecureString xml;
    EXPECT_EQ(rsa_KeyToXml(xml, PrivateString(*key).c_str(), 0), kOk);
    EXPECT_TRUE(xml.empty());  // a private key without all its parts has no XML form

    // Version 1 is not supported; eight INTEGERs are not a key.
    asn_Node* version = seq->next;
    version->content[0] = 1;
    EXPECT_EQ(rsa_LoadPrivate(*key, seq.get()), Error::NOT_SUPPORTED_ERROR);
    AsnList eight = asn_NewIntegerU32(0);
    for (int i = 0; i < 7; ++i) {
        AsnList item = asn_NewIntegerU32(5);
        asn_Link(eight, item);
    }
    AsnList short8 = asn_Sequence(std::move(eight));
    EXPECT_EQ(rsa_LoadPrivate(*key, short8.get()), Error::INVALID_DATA_ERROR);
}

TEST(Rsa, XmlForms) {
    PeerKey peer(Credential("test-rsa1024-plain.pem"));
    RsaKeyPtr key = peer.Record();
    auto b64 = [](const std::vector<std::uint8_t>& v) {
        SecureString s;
        b64_EncodeTo(s, v.data(), v.size());
        return std::string(s.data(), s.size());
    };
    const std::string modulus = b64(peer.Modulus()), exponent = b64(peer.Part(OSSL_PKEY_PARAM_RSA_E));
    SecureString xml;
    ASSERT_EQ(rsa_KeyToXml(xml, PublicString(*key).c_str(), 0), kOk);
    EXPECT_EQ(std::string(xml.data(), xml.size()),
              "<RSAKeyValue><Modulus>" + modulus + "</Modulus><Exponent>" + exponent + "</Exponent></RSAKeyValue>");
    ASSERT_EQ(rsa_KeyToXml(xml, PrivateString(*key).c_str(), kRsaXmlKeyValueRoot), kOk);
    std::string text(xml.data(), xml.size());
    EXPECT_EQ(text.rfind("<RSAKeyValue><Modulus>" + modulus + "</Modulus><Exponent>" + exponent + "</Exponent><P>", 0), 0u);
    for (const char* element : {"<Q>", "<DP>", "<DQ>", "<InverseQ>", "<D>"}) {
        EXPECT_NE(text.find(element), std::string::npos) << element;
    }
    EXPECT_EQ(text.substr(text.size() - 14), "</RSAKeyValue>");
    ASSERT_EQ(rsa_KeyToXml(xml, PrivateString(*key).c_str(), 0), kOk);
    EXPECT_EQ(std::string(xml.data(), 12), "<RSAKeyPair>");
    ASSERT_EQ(rsa_KeyToXml(xml, PrivateString(*key).c_str(), kRsaXmlPublicOnly | kRsaXmlHex), kOk);
    auto n = peer.Modulus();
    std::string hex(2 * n.size() + 1, '\0');
    hex_Encode(hex.data(), hex.size(), n.data(), n.size());
    hex.pop_back();
    EXPECT_EQ(std::string(xml.data(), xml.size()).rfind("<RSAKeyValue><Modulus EncodingType=\"hexBinary\">" + hex + "</Modulus>", 0), 0u);
    EXPECT_EQ(rsa_KeyToXml(xml, "", 0), Error::BAD_PARAM_ERROR);
}

}  // namespace
}  // namespace kvn
