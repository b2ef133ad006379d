#include "crypto/hmac.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <string>

#include "kelvane.h"
#include "support/answer.h"
#include "test_util.h"

using namespace kvn;
using kvntest::ByteVec;
using kvntest::FromHex;
using kvntest::ToHex;

namespace {

// HmacData answering the length or the negated error.
int HmacAnswer(std::uint8_t* out, int outLen, const void* message, int messageLen, const void* key, int keyLen,
               unsigned options) {
    int length = 0;
    Error e = HmacData(out, outLen, message, messageLen, key, keyLen, options, length);
    return kvn_test::Answer(e, length);
}

std::string Mac(const ByteVec& key, const ByteVec& msg, unsigned id) {
    std::uint8_t out[64];
    int n = HmacAnswer(out, 64, msg.data(), static_cast<int>(msg.size()), key.data(), static_cast<int>(key.size()), id);
    return n > 0 ? ToHex(out, static_cast<std::size_t>(n)) : "error " + std::to_string(n);
}

ByteVec Fill(std::size_t n, std::uint8_t b) { return ByteVec(n, b); }
ByteVec Seq25() {
    ByteVec k;
    for (int i = 1; i <= 25; ++i) k.push_back(static_cast<std::uint8_t>(i));
    return k;
}

struct MacVector {
    unsigned id;
    ByteVec key;
    ByteVec message;
    std::string mac;
};

const std::string kBigKeyMsg = "Test Using Larger Than Block-Size Key - Hash Key First";
const std::string kBigKeyBigData = "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data";
const std::string kRfc4231Case7 =
    "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
    "hashed before being used by the HMAC algorithm.";

std::vector<MacVector> Vectors() {
    using kvntest::Bytes;
    std::vector<MacVector> v = {
        // RFC 2202 section 2 (HMAC-MD5) and section 3 (HMAC-SHA-1).
        {kHashMd5, Fill(16, 0x0b), Bytes("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d"},
        {kHashMd5, Bytes("Jefe"), Bytes("what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738"},
        {kHashMd5, Fill(16, 0xaa), Fill(50, 0xdd), "56be34521d144c88dbb8c733f0e8b3f6"},
        {kHashMd5, Seq25(), Fill(50, 0xcd), "697eaf0aca3a3aea3a75164746ffaa79"},
        {kHashMd5, Fill(16, 0x0c), Bytes("Test With Truncation"), "56461ef2342edc00f9bab995690efd4c"},
        {kHashMd5, Fill(80, 0xaa), Bytes(kBigKeyMsg), "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {kHashMd5, Fill(80, 0xaa), Bytes(kBigKeyBigData), "6f630fad67cda0ee1fb1f562db3aa53e"},
        {kHashSha1, Fill(20, 0x0b), Bytes("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {kHashSha1, Bytes("Jefe"), Bytes("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {kHashSha1, Fill(20, 0xaa), Fill(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {kHashSha1, Seq25(), Fill(50, 0xcd), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {kHashSha1, Fill(20, 0x0c), Bytes("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {kHashSha1, Fill(80, 0xaa), Bytes(kBigKeyMsg), "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {kHashSha1, Fill(80, 0xaa), Bytes(kBigKeyBigData), "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    // RFC 4231 section 4, test cases 1, 2, 3, 4, 6 and 7 (case 5 is a truncated MAC).
    struct Case {
        ByteVec key, message;
        const char *h224, *h256, *h384, *h512;
    };
    const Case cases[] = {
        {Fill(20, 0x0b), Bytes("Hi There"), "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
        {Bytes("Jefe"), Bytes("what do ya want for nothing?"), "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
         "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649",
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
        {Fill(20, 0xaa), Fill(50, 0xdd), "7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea",
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
         "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6e101a34f27",
         "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485a47e67c807b946a337bee8942674278859e13292fb"},
        {Seq25(), Fill(50, 0xcd), "6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a",
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
         "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e6801dd23c4a7d679ccf8a386c674cffb",
         "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3dba91ca5c11aa25eb4d679275cc5788063a5f19741120c4f2de2adebeb10a298dd"},
        {Fill(131, 0xaa), Bytes(kBigKeyMsg), "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952",
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"},
        {Fill(131, 0xaa), Bytes(kRfc4231Case7), "3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2",
         "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110c46523e",
         "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb55c3e4de15134676fb6de0446065c97440fa8c6a58"},
    };
    for (const auto& c : cases) {
        v.push_back({kHashSha224, c.key, c.message, c.h224});
        v.push_back({kHashSha256, c.key, c.message, c.h256});
        v.push_back({kHashSha384, c.key, c.message, c.h384});
        v.push_back({kHashSha512, c.key, c.message, c.h512});
    }
    return v;
}

const EVP_MD* PeerDigest(unsigned id) {
    switch (id) {
        case kHashSha1: return EVP_sha1();
        case kHashMd5: return EVP_md5();
        case kHashSha256: return EVP_sha256();
        case kHashSha384: return EVP_sha384();
        case kHashSha512: return EVP_sha512();
        case kHashSha224: return EVP_sha224();
    }
    return nullptr;
}

}  // namespace

TEST(Hmac, PublishedVectors) {
    for (const auto& v : Vectors())
        EXPECT_EQ(Mac(v.key, v.message, v.id), v.mac) << DigestName(v.id) << " key " << v.key.size() << " bytes";
}

TEST(Hmac, MatchesOpenSslAroundTheBlockSizeKeyPath) {
    // Keys of block size - 1, block size and block size + 1 take the copy and the hash path.
    std::mt19937 rng(3);
    for (unsigned id : {0u, 1u, 3u, 4u, 5u, 6u}) {
        int block = DigestBlockLength(id);
        for (int keyLen : {0, 1, block - 1, block, block + 1, 2 * block + 7}) {
            for (std::size_t msgLen : {0u, 1u, 63u, 64u, 65u, 200u}) {
                ByteVec key = kvntest::RandomVec(rng, static_cast<std::size_t>(keyLen));
                ByteVec msg = kvntest::RandomVec(rng, msgLen);
                std::uint8_t ref[64];
                unsigned refLen = 0;
                static const std::uint8_t kNoKey = 0;
                const std::uint8_t* keyPtr = key.empty() ? &kNoKey : key.data();
                ASSERT_NE(HMAC(PeerDigest(id), keyPtr, keyLen, msg.data(), msg.size(), ref, &refLen), nullptr);
                ASSERT_EQ(Mac(key, msg, id), ToHex(ref, refLen)) << DigestName(id) << " key " << keyLen;
            }
        }
    }
}

TEST(Hmac, ReturnRules) {
    const std::uint8_t msg[] = "message", key[] = "key";
    std::uint8_t out[64];
    const int lens[] = {20, 16, 0, 32, 48, 64, 28};
    for (unsigned id : {0u, 1u, 3u, 4u, 5u, 6u}) {
        EXPECT_EQ(HmacAnswer(nullptr, 64, msg, 7, key, 3, id), lens[id]);
        EXPECT_EQ(HmacAnswer(out, 0, msg, 7, key, 3, id), lens[id]);
    }
    EXPECT_EQ(HmacAnswer(out, 5, msg, 7, key, 3, kHashSha256), 5);
    EXPECT_EQ(HmacAnswer(out, 64, msg, 7, key, 3, kHashMd2), -BAD_FLAG_ERROR);
    for (unsigned id = 7; id < 16; ++id) EXPECT_EQ(HmacAnswer(out, 64, msg, 7, key, 3, id), -BAD_FLAG_ERROR);
    EXPECT_EQ(HmacAnswer(out, 64, msg, 7, key, 3, 16), 20);
    EXPECT_EQ(HmacAnswer(out, 64, msg, -1, key, 3, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(HmacAnswer(out, 64, nullptr, 7, key, 3, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(HmacAnswer(out, 64, msg, 7, nullptr, 3, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(HmacAnswer(out, 64, nullptr, 0, nullptr, 0, 0), 20);

    std::uint8_t direct[20];
    HmacSha1(direct, msg, 7, key, 3);
    ASSERT_EQ(HmacAnswer(out, 64, msg, 7, key, 3, kHashSha1), 20);
    EXPECT_EQ(ToHex(direct, 20), ToHex(out, 20));
}

namespace {

struct KdfVector {
    std::string password, salt;
    unsigned iterations;
    std::string derived;
};

// RFC 6070 section 2 (PBKDF2-HMAC-SHA1); the 16777216-iteration case is left out for time.
const KdfVector kRfc6070[] = {
    {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
    {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
    {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
    {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
     "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
    {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
};

}  // namespace

TEST(Pbkdf2, Rfc6070Vectors) {
    for (const auto& v : kRfc6070) {
        ByteVec out(v.derived.size() / 2);
        ASSERT_EQ(Pbkdf2(out.data(), out.size(), v.password.data(), v.password.size(), v.salt.data(), v.salt.size(),
                         v.iterations, kHashSha1),
                  kOk);
        EXPECT_EQ(ToHex(out), v.derived) << v.iterations;
    }
}

TEST(Pbkdf2, MatchesOpenSslForEveryPrfAndPartialBlocks) {
    std::mt19937 rng(4);
    for (unsigned prf : {0u, 3u, 4u, 5u, 6u}) {
        for (std::size_t len : {1u, 20u, 25u, 28u, 33u, 64u, 100u}) {
            ByteVec password = kvntest::RandomVec(rng, 1 + rng() % 80);
            ByteVec salt = kvntest::RandomVec(rng, rng() % 20);
            unsigned iterations = 1 + rng() % 50;
            ByteVec ours(len), ref(len);
            ASSERT_EQ(Pbkdf2(ours.data(), len, password.data(), password.size(), salt.data(), salt.size(), iterations, prf), kOk);
            ASSERT_EQ(PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()), static_cast<int>(password.size()),
                                        salt.data(), static_cast<int>(salt.size()), static_cast<int>(iterations),
                                        PeerDigest(prf), static_cast<int>(len), ref.data()),
                      1);
            ASSERT_EQ(ToHex(ours), ToHex(ref)) << DigestName(prf) << " length " << len;
        }
    }
}

TEST(Pbkdf2, ErrorsAndZeroIterations) {
    std::uint8_t out[25], one[25];
    const char pw[] = "pw", salt[] = "salt";
    EXPECT_EQ(Pbkdf2(nullptr, 25, pw, 2, salt, 4, 1, 0), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(Pbkdf2(out, 25, nullptr, 2, salt, 4, 1, 0), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(Pbkdf2(out, 25, pw, 2, nullptr, 4, 1, 0), Error::BAD_PARAM_ERROR);
    EXPECT_EQ(Pbkdf2(out, 0, pw, 2, salt, 4, 1, 0), Error::BAD_PARAM_ERROR);
    for (unsigned prf : {1u, 2u, 7u, 16u}) EXPECT_EQ(Pbkdf2(out, 25, pw, 2, salt, 4, 1, prf), Error::BAD_PARAM_ERROR) << prf;
    ASSERT_EQ(Pbkdf2(out, 25, pw, 2, salt, 4, 0, 0), kOk);
    ASSERT_EQ(Pbkdf2(one, 25, pw, 2, salt, 4, 1, 0), kOk);
    EXPECT_EQ(ToHex(out, 25), ToHex(one, 25));
}
