// Replays the inputs kept under fuzz/regressions/data_json/, and the fixture invoices,
// through the data fuzz target: none may crash or leak, and its properties hold (the JSON
// is well-formed, text and file give the same JSON and rows).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../../fuzz/data_targets.h"

namespace {

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Replay(const std::filesystem::path& dir, const char* suffix) {
    ASSERT_TRUE(std::filesystem::exists(dir)) << dir;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.path().string().ends_with(suffix)) continue;
        const std::vector<std::uint8_t> data = ReadBytes(entry.path());
        SCOPED_TRACE(entry.path().string());
        const long live = kvn::LiveBlocks();
        kvn_fuzz::FuzzDocumentData(data.data(), data.size());
        EXPECT_EQ(kvn::LiveBlocks(), live);
    }
}

TEST(DataFuzzRegressions, KeptInputsAndFixtures) {
    Replay(std::filesystem::path(KVN_SOURCE_DIR) / "fuzz/regressions/data_json", "");
    Replay(std::filesystem::path(KVN_FIXTURES_DIR) / "invoices", ".xml");
}

}  // namespace
