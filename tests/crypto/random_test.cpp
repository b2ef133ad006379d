#include "crypto/random.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/lasterror.h"
#include "base/os_random.h"
#include "kelvane.h"

using namespace kvn;

namespace {

// Every byte value turns up in 64 KiB of a uniform source (a miss has odds below 2^-300),
// and two draws differ.
void ExpectLooksRandom() {
    std::vector<std::uint8_t> a(65536), b(65536);
    ASSERT_EQ(RandomBytes(a.data(), a.size()), kOk);
    ASSERT_EQ(RandomBytes(b.data(), b.size()), kOk);
    EXPECT_NE(a, b);
    bool seen[256] = {};
    for (std::uint8_t v : a) seen[v] = true;
    for (int v = 0; v < 256; ++v) EXPECT_TRUE(seen[v]) << "byte " << v << " never drawn";
}

struct SourcesGuard {
    explicit SourcesGuard(OsRandomSources s) { SetOsRandomSourcesForTesting(s); }
    ~SourcesGuard() { SetOsRandomSourcesForTesting(OsRandomSources::kAll); }
};

}  // namespace

TEST(Random, OperatingSystemBytesAndTheUrandomFallback) {
    ExpectLooksRandom();
    SourcesGuard only(OsRandomSources::kDevUrandomOnly);
    ExpectLooksRandom();
}

TEST(Random, ZeroCountWritesNothing) {
    std::uint8_t untouched = 0xAB;
    EXPECT_EQ(RandomBytes(&untouched, 0), kOk);
    EXPECT_EQ(untouched, 0xAB);
}

TEST(Random, NoSourceIsAClearError) {
    SourcesGuard none(OsRandomSources::kNone);
    ClearLastError();
    std::uint8_t salt[8];
    EXPECT_EQ(RandomBytes(salt, sizeof salt), Error::MISC_ERROR);
    EXPECT_STREQ(LastErrorText(),
                 "Cannot get random bytes from the operating system/No se pueden obtener bytes aleatorios del sistema operativo");
}
