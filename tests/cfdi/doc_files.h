// Small helpers for tests that need a document on disk.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

namespace kvn::testing {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string FixturePath(const std::string& name) { return std::string(KVN_FIXTURES_DIR) + "/invoices/" + name; }

// The text with the first occurrence of `from` replaced by `to`; a missing `from` fails the
// test (an edit that silently does nothing would make its case pass for the wrong reason).
inline std::string Edit(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// Writes text to a file in the test temp directory and returns its path. The name carries
// the process id: test processes of other builds may run at the same time.
inline std::string WriteTempDoc(const std::string& name, const std::string& text) {
    std::string path = ::testing::TempDir() + "kvn_cfdi_" + std::to_string(getpid()) + "_" + name;
    std::ofstream out(path, std::ios::binary);
    out << text;
    return path;
}

}  // namespace kvn::testing
