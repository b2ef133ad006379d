#include <gtest/gtest.h>

#include <string>

#include "cfdi/document.h"

namespace {

int Check(const std::string& s) {
    return kvn::Utf8Check(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

TEST(Utf8Check, Classification) {
    const struct {
        const char* bytes;
        int expected;
    } cases[] = {
        {"", 1},
        {"plain ascii", 1},
        {"a\xC3\xB1o \xC2\xA9", 2},                 // ñ ©: Latin-1 range only
        {"\xE2\x82\xAC", 3},                        // €
        {"\xF0\x9F\x98\x80", 3},                    // four-byte sequence
        {"\xC3\xB1\xE2\x82\xAC", 3},
        {"\xC0\x80", 0},                            // overlong two-byte forms
        {"\xC1\xBF", 0},
        {"\x80", 0},                                // stray continuation
        {"a\xBF", 0},
        {"\xFE", 0},
        {"\xFF", 0},
        {"\xC3", 0},                                // ends inside a sequence
        {"\xE2\x82", 0},
        {"\xC3\x41", 0},                            // continuation expected
        {"\xE0\x80\x80", 0},                        // overlong three-byte
        {"\xE0\x9F\xBF", 0},
        {"\xE0\xA0\x80", 3},
        {"\xF0\x80\x80\x80", 0},                    // overlong four-byte
        {"\xF0\x8F\xBF\xBF", 0},
        {"\xF0\x90\x80\x80", 3},
        {"\xEF\xBF\xBE", 0},                        // U+FFFE, U+FFFF
        {"\xEF\xBF\xBF", 0},
        {"\xEF\xBF\xBD", 3},                        // U+FFFD is fine
        {"\xED\xA0\x80", 0},                        // surrogate boundaries
        {"\xED\xAD\xBF", 0},
        {"\xED\xAE\x80", 0},
        {"\xED\xAF\xBF", 0},
        {"\xED\xB0\x80", 0},
        {"\xED\xBE\x80", 0},
        {"\xED\xBF\xBF", 0},
        {"\xED\x9F\xBF", 3},
        {"\xF8\x88\x80\x80\x80", 3},                // five- and six-byte forms are accepted
        {"\xF8\x80\x80\x80\x80", 0},
        {"\xFC\x84\x80\x80\x80\x80", 3},
    };
    for (const auto& c : cases) EXPECT_EQ(Check(c.bytes), c.expected) << testing::PrintToString(std::string(c.bytes));
    EXPECT_EQ(kvn::Utf8Check(nullptr, 0), 1);
}

}  // namespace
