#include "crypto/random.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kvn;

TEST(Random, GeneratorStep) {
    EXPECT_EQ(ParkMillerStep(1), 16807u);
    EXPECT_EQ(ParkMillerStep(16807), 282475249u);
    // Park and Miller's check value: the 10000th state from 1 is 1043618065.
    std::uint32_t x = 1;
    for (int i = 0; i < 10000; ++i) x = ParkMillerStep(x);
    EXPECT_EQ(x, 1043618065u);
    // A multiple of the modulus maps to 2^31 - 1, never 0.
    EXPECT_EQ(ParkMillerStep(0), 0x7FFFFFFFu);
    EXPECT_EQ(ParkMillerStep(0x7FFFFFFF), 0x7FFFFFFFu);
}

TEST(Random, OutputFollowsFromTheSeedState) {
    std::uint32_t saved = RandomSeedState();
    SetRandomSeedState(41);  // the next draw starts from 42
    std::uint8_t got[6];
    ASSERT_EQ(RandomBytes(got, sizeof got), 0);

    std::uint32_t x1 = ParkMillerStep(42), x2 = ParkMillerStep(x1);
    std::uint32_t s = (x2 & 0xFFFF) | ((x1 << 16) & 0x7FFFFFFF);
    EXPECT_EQ(RandomSeedState(), s);
    std::uint32_t x = s;
    for (std::uint8_t b : got) {
        x = ParkMillerStep(x);
        EXPECT_EQ(b, static_cast<std::uint8_t>(x));
    }
    SetRandomSeedState(saved);
}

TEST(Random, SuccessiveCallsDifferAndZeroCountWritesNothing) {
    std::uint8_t a[24], b[24];
    RandomBytes(a, sizeof a);
    RandomBytes(b, sizeof b);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    std::uint8_t untouched = 0xAB;
    EXPECT_EQ(RandomBytes(&untouched, 0), 0);
    EXPECT_EQ(untouched, 0xAB);
}
