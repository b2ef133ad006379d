// The accelerated digests and ciphers against their portable code, block function by
// block function. The whole crypto suite also runs once with KVN_PORTABLE_CRYPTO=1
// (CTest's crypto_portable), so every vector and streaming test sees both paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "crypto/cipher_internal.h"
#include "crypto/cpu.h"
#include "crypto/digest_internal.h"

namespace kvn {
namespace {

std::vector<std::uint8_t> RandomBytesOf(std::size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::vector<std::uint8_t> out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(g());
    return out;
}

TEST(CpuPaths, PortableSwitchTakesEffect) {
    const char* env = std::getenv("KVN_PORTABLE_CRYPTO");
    if (env && std::strcmp(env, "1") == 0) {
        EXPECT_FALSE(cpu_UseShaNi());
        EXPECT_FALSE(cpu_UseAesNi());
    } else {
        EXPECT_EQ(cpu_UseShaNi(), cpu_HasShaNi());
        EXPECT_EQ(cpu_UseAesNi(), cpu_HasAesNi());
    }
}

#if defined(__x86_64__) || defined(__i386__)
TEST(CpuPaths, ShaExtensionsAgreeWithPortableCode) {
    if (!cpu_HasShaNi()) GTEST_SKIP() << "this processor has no SHA extensions: only the portable code was tested";
    for (std::size_t blocks : {1u, 2u, 5u, 16u}) {
        const auto data = RandomBytesOf(64 * blocks, static_cast<unsigned>(blocks));
        std::uint32_t a1[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0}, b1[5];
        std::memcpy(b1, a1, sizeof a1);
        Sha1CompressPortable(a1, data.data(), blocks);
        Sha1CompressNi(b1, data.data(), blocks);
        EXPECT_EQ(0, std::memcmp(a1, b1, sizeof a1)) << "SHA-1, " << blocks << " blocks";
        std::uint32_t a2[8], b2[8];
        for (int i = 0; i < 8; ++i) a2[i] = b2[i] = 0x01234567u * static_cast<std::uint32_t>(i + 1);
        Sha256CompressPortable(a2, data.data(), blocks);
        Sha256CompressNi(b2, data.data(), blocks);
        EXPECT_EQ(0, std::memcmp(a2, b2, sizeof a2)) << "SHA-256, " << blocks << " blocks";
    }
}

// The key schedule made with AESKEYGENASSIST and AESIMC is the portable code's, round key
// for round key, for every key size and both directions.
TEST(CpuPaths, AesNiKeyScheduleAgreesWithPortableCode) {
    if (!cpu_UseAesNi()) GTEST_SKIP() << "AES-NI is not in use: only the portable key schedule was tested";
    for (int bits : {128, 192, 256}) {
        for (unsigned seed = 0; seed < 20; ++seed) {
            const auto key = RandomBytesOf(32, seed * 7 + static_cast<unsigned>(bits));
            for (bool decrypt : {false, true}) {
                AesCtx ni{}, portable{};
                ASSERT_EQ(AesSetKey(&ni, key.data(), bits, decrypt), kOk);
                ASSERT_EQ(AesSetKeyPortable(&portable, key.data(), bits, decrypt), kOk);
                EXPECT_EQ(0, std::memcmp(&ni, &portable, sizeof ni)) << bits << " bits, seed " << seed << (decrypt ? ", decrypt" : "");
            }
        }
    }
}

TEST(CpuPaths, AesNiCbcAgreesWithPortableCode) {
    if (!cpu_HasAesNi()) GTEST_SKIP() << "this processor has no AES-NI: only the portable code was tested";
    for (int bits : {128, 192, 256}) {
        const auto key = RandomBytesOf(32, static_cast<unsigned>(bits));
        for (std::size_t blocks : {1u, 3u, 4u, 9u}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << blocks << " blocks");
            const auto plain = RandomBytesOf(16 * blocks, static_cast<unsigned>(blocks));
            const auto iv = RandomBytesOf(16, 99);
            for (bool decrypt : {false, true}) {
                AesCtx ctx;
                ASSERT_EQ(AesSetKey(&ctx, key.data(), bits, decrypt), kOk);
                std::vector<std::uint8_t> expected(plain.size()), ours(plain.size());
                std::uint8_t chain[16], chainNi[16];
                std::memcpy(chain, iv.data(), 16);
                std::memcpy(chainNi, iv.data(), 16);
                for (std::size_t off = 0; off < plain.size(); off += 16) {
                    std::uint8_t block[16];
                    if (!decrypt) {
                        for (int i = 0; i < 16; ++i) block[i] = plain[off + i] ^ chain[i];
                        AesEncryptBlock(&ctx, &expected[off], block);
                        std::memcpy(chain, &expected[off], 16);
                    } else {
                        AesDecryptBlock(&ctx, block, &plain[off]);
                        for (int i = 0; i < 16; ++i) expected[off + i] = block[i] ^ chain[i];
                        std::memcpy(chain, &plain[off], 16);
                    }
                }
                if (decrypt) {
                    AesCbcDecryptNi(&ctx, chainNi, ours.data(), plain.data(), plain.size());
                } else {
                    AesCbcEncryptNi(&ctx, chainNi, ours.data(), plain.data(), plain.size());
                }
                EXPECT_EQ(ours, expected) << (decrypt ? "decrypt" : "encrypt");
                EXPECT_EQ(0, std::memcmp(chain, chainNi, 16));
            }
        }
    }
}
#endif

}  // namespace
}  // namespace kvn
