#include <gtest/gtest.h>

#include <string>

#include "xml/containers.h"

namespace {

// Appending a piece of the buffer to itself must survive the buffer moving as it grows.
TEST(TextBuffer, AppendsACopyOfItsOwnContentAcrossGrowth) {
    kvn::TextBuffer buf;
    kvn::TextBufferInit(&buf, 8, 8);
    ASSERT_TRUE(kvn::TextBufferAppend(&buf, "abcdefg", 7));
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(kvn::TextBufferAppend(&buf, buf.data, buf.length));
    std::string expected = "abcdefg";
    for (int i = 0; i < 6; ++i) expected += expected;
    EXPECT_EQ(std::string(buf.data, buf.length), expected);
    kvn::TextBufferFree(&buf);
}

}  // namespace
