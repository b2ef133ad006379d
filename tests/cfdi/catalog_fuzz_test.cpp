// Replays every input kept under fuzz/regressions/catalog_csv/ through the catalog fuzz
// target, and the snapshot's own catalog files: none may crash or leak, and the target's
// properties (key order, every key found, the table written back reads the same) hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../../fuzz/catalog_targets.h"

namespace {

void Replay(const std::filesystem::path& dir, bool recursive) {
    ASSERT_TRUE(std::filesystem::exists(dir)) << dir;
    auto replay = [](const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(path.string());
        const long live = kvn::LiveBlocks();
        kvn_fuzz::FuzzCatalogCsv(data.data(), data.size());
        EXPECT_EQ(kvn::LiveBlocks(), live);
    };
    if (recursive) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
            if (entry.path().extension() == ".csv") replay(entry.path());
    } else {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) replay(entry.path());
    }
}

TEST(CatalogFuzzRegressions, KeptInputs) {
    Replay(std::filesystem::path(KVN_SOURCE_DIR) / "fuzz/regressions/catalog_csv", false);
}

TEST(CatalogFuzzRegressions, SnapshotFilesKeepTheTargetsProperties) { Replay(KVN_CATALOGS_DIR, true); }

}  // namespace
