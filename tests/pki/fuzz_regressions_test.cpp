// Replays every input kept under fuzz/regressions/pki_*/ through the reader that once
// failed on it, and a few hostile shapes written here: none may crash, hang or overrun.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../../fuzz/pki_targets.h"

namespace {

using Target = void (*)(const std::uint8_t*, std::size_t);

void Replay(const char* folder, Target target) {
    std::filesystem::path dir = std::filesystem::path(KVN_SOURCE_DIR) / "fuzz/regressions" / folder;
    if (!std::filesystem::exists(dir)) return;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        target(data.data(), data.size());
    }
}

TEST(PkiFuzzRegressions, KeptInputs) {
    Replay("pki_asn1", kvn_fuzz::FuzzAsn1);
    Replay("pki_keyfile", kvn_fuzz::FuzzKeyFile);
    Replay("pki_x509", kvn_fuzz::FuzzX509);
    Replay("pki_pem", kvn_fuzz::FuzzPem);
    Replay("pki_sigblock", kvn_fuzz::FuzzSignatureBlock);
}

TEST(PkiFuzzRegressions, HostileShapes) {
    std::vector<std::vector<std::uint8_t>> inputs;
    inputs.push_back(std::vector<std::uint8_t>(100000, 0x30));                  // 30 30 30 ...: nested forever
    std::vector<std::uint8_t> indefinite;
    for (int i = 0; i < 50000; ++i) indefinite.insert(indefinite.end(), {0x30, 0x80});
    inputs.push_back(indefinite);                                                // deep indefinite nesting
    inputs.push_back({0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x84, 0x3F, 0xFF, 0xFF, 0xFF});  // huge lengths
    inputs.push_back({0x30, 0x80, 0x00, 0x00, 0x00, 0x00});
    inputs.push_back({0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00});
    for (const auto& input : inputs) {
        kvn_fuzz::FuzzAsn1(input.data(), input.size());
        kvn_fuzz::FuzzKeyFile(input.data(), input.size());
        kvn_fuzz::FuzzX509(input.data(), input.size());
        kvn_fuzz::FuzzPem(input.data(), input.size());
        kvn_fuzz::FuzzSignatureBlock(input.data(), input.size());
    }
}

}  // namespace
