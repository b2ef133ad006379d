// Helpers shared by the PKI module tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kvn_test {

inline std::string Credential(const std::string& name) { return std::string(KVN_FIXTURES_DIR) + "/credentials/" + name; }
inline std::string CorpusCert(const std::string& name) { return std::string(KVN_CORPUS_DIR) + "/certs/" + name; }

inline std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
    std::vector<std::uint8_t> data;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF) data.push_back(static_cast<std::uint8_t>(c));
        std::fclose(f);
    }
    return data;
}

inline std::vector<std::uint8_t> Hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : hex) {
        int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

// Output of a shell command (stdout), and its exit status.
inline std::string Run(const std::string& command, int* status = nullptr) {
    std::string output;
    if (std::FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) output.append(buffer, n);
        int rc = pclose(p);
        if (status) *status = rc;
    } else if (status) {
        *status = -1;
    }
    return output;
}

// A scratch directory removed at the end of the test.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/kvn-pki-XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~ScratchDir() { Run("rm -rf '" + path_ + "'"); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace kvn_test
