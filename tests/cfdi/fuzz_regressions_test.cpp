// Replays every input kept under fuzz/regressions/cfdi_*/ through the invoice-layer fuzz
// target that once failed on it (a crash, a leak or a broken property aborts), and the
// fixture invoices through all three: none may crash, and the properties the targets check
// (cut and whole answers agree, the signed writer writes well-formed documents) hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../../fuzz/cfdi_targets.h"

namespace {

using Target = void (*)(const std::uint8_t*, std::size_t);

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Replay(const std::filesystem::path& dir, std::initializer_list<Target> targets, const char* suffix = "") {
    if (!std::filesystem::exists(dir)) return;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.path().string().ends_with(suffix)) continue;
        const std::vector<std::uint8_t> data = ReadBytes(entry.path());
        SCOPED_TRACE(entry.path().string());
        const long live = kvn::LiveBlocks();
        for (Target target : targets) target(data.data(), data.size());
        EXPECT_EQ(kvn::LiveBlocks(), live);
    }
}

TEST(CfdiFuzzRegressions, KeptInputs) {
    const std::filesystem::path root = std::filesystem::path(KVN_SOURCE_DIR) / "fuzz/regressions";
    Replay(root / "cfdi_attribute_query", {kvn_fuzz::FuzzAttributeQuery});
    Replay(root / "cfdi_pipe_string", {kvn_fuzz::FuzzPipeString});
    Replay(root / "cfdi_signed_writer", {kvn_fuzz::FuzzSignedWriter});
}

TEST(CfdiFuzzRegressions, FixtureInvoicesKeepTheTargetsProperties) {
    Replay(std::filesystem::path(KVN_FIXTURES_DIR) / "invoices",
           {kvn_fuzz::FuzzAttributeQuery, kvn_fuzz::FuzzPipeString, kvn_fuzz::FuzzSignedWriter}, ".xml");
}

}  // namespace
