#include "crypto/digest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <functional>
#include <string>

#include "kelvane.h"
#include "support/answer.h"
#include "test_util.h"

using namespace kvn;
using kvntest::ByteVec;
using kvntest::ToHex;

namespace {

// DigestData and DigestHex answering the length or the negated error.
int DigestAnswer(std::uint8_t* out, int outLen, const void* data, int dataLen, unsigned options) {
    int length = 0;
    Error e = DigestData(out, outLen, data, dataLen, options, length);
    return kvn_test::Answer(e, length);
}
int HexAnswer(char* out, int maxChars, const void* data, int dataLen, unsigned options) {
    int length = 0;
    Error e = DigestHex(out, maxChars, data, dataLen, options, length);
    return kvn_test::Answer(e, length);
}

// Drives the named streaming functions of one algorithm.
struct Streamer {
    unsigned id;
    std::function<std::string(const std::vector<std::pair<const std::uint8_t*, std::size_t>>&)> run;
};

template <class Ctx, class Init, class Update, class Final>
std::string Stream(Init init, Update update, Final fin, int len,
                   const std::vector<std::pair<const std::uint8_t*, std::size_t>>& parts) {
    Ctx ctx;
    init(&ctx);
    for (auto& p : parts) update(&ctx, p.first, p.second);
    std::uint8_t out[64];
    fin(out, &ctx);
    return ToHex(out, static_cast<std::size_t>(len));
}

const std::vector<Streamer>& Streamers() {
    using Parts = std::vector<std::pair<const std::uint8_t*, std::size_t>>;
    static const std::vector<Streamer> all = {
        {kHashSha1, [](const Parts& p) { return Stream<Sha1Ctx>(Sha1Init, Sha1Update, Sha1Final, 20, p); }},
        {kHashMd5, [](const Parts& p) { return Stream<Md5Ctx>(Md5Init, Md5Update, Md5Final, 16, p); }},
        {kHashMd2, [](const Parts& p) { return Stream<Md2Ctx>(Md2Init, Md2Update, Md2Final, 16, p); }},
        {kHashSha256, [](const Parts& p) { return Stream<Sha256Ctx>(Sha256Init, Sha256Update, Sha256Final, 32, p); }},
        {kHashSha384, [](const Parts& p) { return Stream<Sha512Ctx>(Sha384Init, Sha384Update, Sha384Final, 48, p); }},
        {kHashSha512, [](const Parts& p) { return Stream<Sha512Ctx>(Sha512Init, Sha512Update, Sha512Final, 64, p); }},
        {kHashSha224, [](const Parts& p) { return Stream<Sha256Ctx>(Sha224Init, Sha224Update, Sha224Final, 28, p); }},
    };
    return all;
}

std::string OneShotHex(const ByteVec& msg, unsigned id) {
    std::uint8_t out[64];
    int n = DigestAnswer(out, 64, msg.data(), static_cast<int>(msg.size()), id);
    return n > 0 ? ToHex(out, static_cast<std::size_t>(n)) : std::string("error ") + std::to_string(n);
}

const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
const std::string kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const std::string kDigits80 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

struct Vector {
    unsigned id;
    std::string message;
    std::string digest;
};

// RFC 1319 appendix A.5 (MD2), RFC 1321 appendix A.5 (MD5), and the FIPS 180-4 examples
// published by NIST (SHA-1, SHA-224, SHA-256, SHA-384, SHA-512).
const Vector kVectors[] = {
    {kHashMd2, "", "8350e5a3e24c153df2275c9f80692773"},
    {kHashMd2, "a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
    {kHashMd2, "abc", "da853b0d3f88d99b30283a69e6ded6bb"},
    {kHashMd2, "message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
    {kHashMd2, "abcdefghijklmnopqrstuvwxyz", "4e8ddff3650292ab5a4108c3aa47940b"},
    {kHashMd2, kAlnum, "da33def2a42df13975352846c30338cd"},
    {kHashMd2, kDigits80, "d5976f79d83d3a0dc9806c3c66f3efd8"},
    {kHashMd5, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {kHashMd5, "a", "0cc175b9c0f1b6a831c399e269772661"},
    {kHashMd5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {kHashMd5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {kHashMd5, "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {kHashMd5, kAlnum, "d174ab98d277d9f5a5611c2c9f419d9f"},
    {kHashMd5, kDigits80, "57edf4a22be3c955ac49da2e2107b67a"},
    {kHashSha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {kHashSha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {kHashSha1, k448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {kHashSha224, "", "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f"},
    {kHashSha224, "abc", "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
    {kHashSha224, k448, "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
    {kHashSha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {kHashSha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {kHashSha256, k448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {kHashSha384, "",
     "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
    {kHashSha384, "abc",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {kHashSha384, k896,
     "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
    {kHashSha512, "",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
    {kHashSha512, "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    {kHashSha512, k896,
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
};

// The one-million-"a" message of the FIPS 180-4 examples.
const Vector kMillionA[] = {
    {kHashSha1, "", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {kHashSha224, "", "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67"},
    {kHashSha256, "", "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {kHashSha384, "",
     "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
    {kHashSha512, "",
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
};

}  // namespace

TEST(Digest, PublishedVectors) {
    for (const auto& v : kVectors)
        EXPECT_EQ(OneShotHex(kvntest::Bytes(v.message), v.id), v.digest) << DigestName(v.id) << " '" << v.message << "'";
}

TEST(Digest, MillionA) {
    ByteVec msg(1000000, 'a');
    for (const auto& v : kMillionA) EXPECT_EQ(OneShotHex(msg, v.id), v.digest) << DigestName(v.id);
}

TEST(Digest, StreamingWholeBytewiseAndEverySplitAgree) {
    std::mt19937 rng(1);
    ByteVec msg = kvntest::RandomVec(rng, 300);
    for (const auto& s : Streamers()) {
        std::string whole = s.run({{msg.data(), msg.size()}});
        EXPECT_EQ(whole, OneShotHex(msg, s.id));
        std::vector<std::pair<const std::uint8_t*, std::size_t>> bytes;
        for (std::size_t i = 0; i < msg.size(); ++i) bytes.push_back({msg.data() + i, 1});
        bytes.push_back({msg.data(), 0});  // a zero-length update changes nothing
        EXPECT_EQ(s.run(bytes), whole) << DigestName(s.id);
        for (std::size_t cut = 0; cut <= msg.size(); ++cut)
            ASSERT_EQ(s.run({{msg.data(), cut}, {msg.data() + cut, msg.size() - cut}}), whole)
                << DigestName(s.id) << " split at " << cut;
    }
}

TEST(Digest, MatchesOpenSslAtEveryLengthAcrossPaddingBoundaries) {
    // Every length 0..300 covers 55/56/64 and 111/112/128; a few longer random messages.
    const std::pair<unsigned, const EVP_MD*> peers[] = {
        {kHashSha1, EVP_sha1()},     {kHashMd5, EVP_md5()},       {kHashSha256, EVP_sha256()},
        {kHashSha384, EVP_sha384()}, {kHashSha512, EVP_sha512()}, {kHashSha224, EVP_sha224()},
    };
    std::mt19937 rng(2);
    ByteVec msg = kvntest::RandomVec(rng, 5000);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (std::size_t n : {1000u, 4095u, 4096u, 5000u}) lengths.push_back(n);
    for (auto [id, md] : peers) {
        for (std::size_t n : lengths) {
            std::uint8_t ref[64];
            unsigned refLen = 0;
            ASSERT_EQ(EVP_Digest(msg.data(), n, ref, &refLen, md, nullptr), 1);
            ByteVec part(msg.begin(), msg.begin() + static_cast<long>(n));
            ASSERT_EQ(OneShotHex(part, id), ToHex(ref, refLen)) << DigestName(id) << " length " << n;
        }
    }
}

TEST(Digest, DigestDataReturnRules) {
    const std::uint8_t msg[] = "abc";
    std::uint8_t out[64] = {};
    // Short buffer truncates silently.
    EXPECT_EQ(DigestAnswer(out, 5, msg, 3, kHashSha256), 5);
    EXPECT_EQ(ToHex(out, 6), "ba7816bf8f00");
    // Length queries write nothing.
    std::uint8_t untouched[64];
    std::memset(untouched, 0xEE, sizeof untouched);
    EXPECT_EQ(DigestAnswer(untouched, 0, msg, 3, kHashSha256), 32);
    EXPECT_EQ(DigestAnswer(nullptr, 64, msg, 3, kHashSha256), 32);
    EXPECT_EQ(untouched[0], 0xEE);
    // Errors.
    EXPECT_EQ(DigestAnswer(out, 64, msg, -1, kHashSha1), -BAD_PARAM_ERROR);
    EXPECT_EQ(DigestAnswer(out, 64, nullptr, 3, kHashSha1), -BAD_PARAM_ERROR);  // would read through null
    EXPECT_EQ(DigestAnswer(out, 64, nullptr, 0, kHashSha1), 20);
    for (unsigned id = 7; id < 16; ++id) EXPECT_EQ(DigestAnswer(out, 64, msg, 3, id), -BAD_FLAG_ERROR) << id;
    // Only the low four bits select the algorithm.
    EXPECT_EQ(OneShotHex(kvntest::Bytes("abc"), 16), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(OneShotHex(kvntest::Bytes("abc"), 0x100 | kHashMd5), "900150983cd24fb0d6963f7d28e17f72");
    // Lengths and names in id order.
    const char* names[] = {"sha1", "md5", "md2", "sha256", "sha384", "sha512", "sha224"};
    const int lens[] = {20, 16, 16, 32, 48, 64, 28};
    for (unsigned id = 0; id < 7; ++id) {
        EXPECT_STREQ(DigestName(id), names[id]);
        EXPECT_EQ(DigestLength(id), lens[id]);
        EXPECT_EQ(DigestAnswer(nullptr, 0, msg, 3, id), lens[id]);
    }
    EXPECT_EQ(DigestName(7), nullptr);
}

TEST(Digest, DigestHexReturnRules) {
    const char* msg = "abc";
    char text[200];
    EXPECT_EQ(HexAnswer(text, 32, msg, 3, kHashMd5), 32);
    EXPECT_STREQ(text, "900150983cd24fb0d6963f7d28e17f72");
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(HexAnswer(text, 31, msg, 3, kHashMd5), 30);
    EXPECT_EQ(std::string(text), "900150983cd24fb0d6963f7d28e17f");
    EXPECT_EQ(HexAnswer(text, 1, msg, 3, kHashMd5), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(HexAnswer(nullptr, 100, msg, 3, kHashSha512), 128);
    EXPECT_EQ(HexAnswer(text, 0, msg, 3, kHashSha1), 40);
    EXPECT_EQ(HexAnswer(text, 100, msg, -3, kHashSha1), -BAD_PARAM_ERROR);
    EXPECT_EQ(HexAnswer(text, 100, msg, 3, 9), -BAD_FLAG_ERROR);
}
