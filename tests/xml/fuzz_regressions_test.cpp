// Replays every input kept under fuzz/regressions/xml_parse/ through the parser: none may
// crash or leak (the sanitizer build checks both).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/memory.h"
#include "xml/parser.h"

TEST(XmlFuzzRegressions, KeptInputsParseWithoutCrashing) {
    std::filesystem::path dir = std::filesystem::path(KVN_SOURCE_DIR) / "fuzz/regressions/xml_parse";
    ASSERT_TRUE(std::filesystem::is_directory(dir));
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        long before = kvn::LiveBlocks();
        kvn::XmlParser* parser = kvn::XmlParserCreate(nullptr);
        (void)kvn::XmlParseMemory(parser, data.data(), data.size(), nullptr);
        kvn::XmlParserFree(parser);
        EXPECT_EQ(kvn::LiveBlocks(), before) << entry.path();
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}
