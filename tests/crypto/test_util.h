// Helpers shared by the cryptographic tests.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace kvntest {

using ByteVec = std::vector<std::uint8_t>;

inline ByteVec FromHex(const std::string& hex) {
    ByteVec out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    int hi = -1;
    for (char c : hex) {
        int v = nibble(c);
        if (v < 0) continue;  // spaces allowed between groups
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

inline std::string ToHex(const std::uint8_t* p, std::size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}
inline std::string ToHex(const ByteVec& v) { return ToHex(v.data(), v.size()); }

inline ByteVec Bytes(const std::string& s) { return ByteVec(s.begin(), s.end()); }

// Deterministic pseudo-random bytes for cross-checks (fixed seed: failures reproduce).
inline ByteVec RandomVec(std::mt19937& rng, std::size_t n) {
    ByteVec v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

}  // namespace kvntest
