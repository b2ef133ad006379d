// One input through the tool's ZIP reader as an archive: its central directory, then every
// entry read. Shared by the libFuzzer target and the test that replays
// fuzz/regressions/zip_reader/.
//
// Properties: an entry read is exactly its declared size, at most kZipMaxEntry, and XML;
// a refused entry always has a reason.
#pragma once

#include <cstdint>
#include <string>

#include "../tools/kelvane/zip_reader.h"
#include "input_file.h"

namespace kvn_fuzz {

inline void FuzzZipReader(const std::uint8_t* data, std::size_t size) {
    cli::ZipArchive archive;
    std::string error;
    if (!archive.OpenBytes(std::string(reinterpret_cast<const char*>(data), size), &error)) {
        KVN_FUZZ_CHECK(!error.empty());
        return;
    }
    for (const cli::ZipEntry& e : archive.entries()) {
        std::string content, reason;
        if (archive.Read(e, &content, &reason)) {
            KVN_FUZZ_CHECK(reason.empty() && content.size() == e.size && e.size <= cli::kZipMaxEntry);
        } else {
            KVN_FUZZ_CHECK(!reason.empty());
        }
    }
}

}  // namespace kvn_fuzz
