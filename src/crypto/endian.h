// Byte-order helpers of the cryptographic code.
#pragma once

#include <cstdint>

namespace kvn {

inline std::uint32_t LoadBe32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline std::uint32_t LoadLe32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}
inline std::uint64_t LoadBe64(const std::uint8_t* p) noexcept {
    return (std::uint64_t{LoadBe32(p)} << 32) | LoadBe32(p + 4);
}
inline void StoreBe32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
inline void StoreLe32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline void StoreBe64(std::uint8_t* p, std::uint64_t v) noexcept {
    StoreBe32(p, static_cast<std::uint32_t>(v >> 32));
    StoreBe32(p + 4, static_cast<std::uint32_t>(v));
}
inline std::uint32_t Rotl32(std::uint32_t x, int n) noexcept { return (x << n) | (x >> (32 - n)); }
inline std::uint32_t Rotr32(std::uint32_t x, int n) noexcept { return (x >> n) | (x << (32 - n)); }
inline std::uint64_t Rotr64(std::uint64_t x, int n) noexcept { return (x >> n) | (x << (64 - n)); }

}  // namespace kvn
