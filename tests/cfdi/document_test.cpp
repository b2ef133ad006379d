#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
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

std::string ReadStream(std::FILE* f) {
    std::string text;
    char buf[64];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    return text;
}

// A held document is read once: every pass opened inside the scope sees the bytes of that
// moment, even when the file changes or goes; other names, and the same name after the
// scope, are read from disk.
TEST(HeldDocumentScope, PassesReadTheCopyOfThatName) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("kvn-held-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string doc = (dir / "doc.xml").string(), other = (dir / "other.xml").string(),
                      empty = (dir / "empty.xml").string();
    std::ofstream(doc) << "<a>first</a>";
    std::ofstream(other) << "<b/>";
    std::ofstream(empty).flush();
    {
        const kvn::HeldDocumentScope held(doc.c_str());
        std::ofstream(doc) << "<a>second, longer</a>";
        for (int pass = 0; pass < 2; ++pass) EXPECT_EQ(ReadStream(kvn::OpenDocument(doc.c_str()).get()), "<a>first</a>");
        fs::remove(doc);
        EXPECT_EQ(ReadStream(kvn::OpenDocument(doc.c_str()).get()), "<a>first</a>");
        EXPECT_EQ(ReadStream(kvn::OpenDocument(other.c_str()).get()), "<b/>");
        {
            const kvn::HeldDocumentScope inner(empty.c_str());
            const kvn::FilePtr f = kvn::OpenDocument(empty.c_str());
            ASSERT_TRUE(f);
            EXPECT_EQ(std::fgetc(f.get()), EOF);
        }
        EXPECT_EQ(ReadStream(kvn::OpenDocument(doc.c_str()).get()), "<a>first</a>");  // the outer scope again
    }
    EXPECT_FALSE(kvn::OpenDocument(doc.c_str()));  // gone from disk, and no longer held
    {
        // A name that is no readable file is held by nobody: it fails as it would anyway.
        const kvn::HeldDocumentScope held(dir.c_str());
        EXPECT_FALSE(kvn::OpenDocument(dir.c_str()));
    }
    fs::remove_all(dir);
}

}  // namespace
