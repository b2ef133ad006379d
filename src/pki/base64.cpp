#include "pki/base64.h"

#include <cstring>

#include "kelvane.h"

namespace kvn {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for the alphabet, 64 for "=", -1 for everything else.
int Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return 64;
    return -1;
}

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool b64_IsAlphabet(unsigned char c) { return Value(c) >= 0 && Value(c) < 64; }

int b64_Encode(char* out, std::size_t capacity, const std::uint8_t* data, std::size_t length) {
    if (!out || capacity == 0) return 0;
    std::size_t o = 0, i = 0;
    while (i < length && capacity - o >= 5) {
        std::uint32_t b0 = data[i];
        std::uint32_t b1 = i + 1 < length ? data[i + 1] : 0;
        std::uint32_t b2 = i + 2 < length ? data[i + 2] : 0;
        std::uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        out[o++] = kAlphabet[(v >> 18) & 63];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = i + 1 < length ? kAlphabet[(v >> 6) & 63] : '=';
        out[o++] = i + 2 < length ? kAlphabet[v & 63] : '=';
        i += 3;
    }
    out[o] = '\0';
    return static_cast<int>(o);
}

int b64_Decode(std::uint8_t* out, std::size_t capacity, const char* text) {
    if (!text) return 0;
    std::size_t o = 0;
    std::uint32_t group = 0;
    int have = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        int v = Value(*p);
        if (v == 64) break;
        if (v < 0) continue;
        group = (group << 6) | static_cast<std::uint32_t>(v);
        if (++have == 4) {
            if (capacity - o < 3) return static_cast<int>(o);
            out[o++] = static_cast<std::uint8_t>(group >> 16);
            out[o++] = static_cast<std::uint8_t>(group >> 8);
            out[o++] = static_cast<std::uint8_t>(group);
            group = 0;
            have = 0;
        }
    }
    if (have == 2 && capacity - o >= 1) {
        out[o++] = static_cast<std::uint8_t>(group >> 4);
    } else if (have == 3 && capacity - o >= 2) {
        out[o++] = static_cast<std::uint8_t>(group >> 10);
        out[o++] = static_cast<std::uint8_t>(group >> 2);
    }
    return static_cast<int>(o);
}

int hex_Encode(char* out, std::size_t capacity, const std::uint8_t* data, std::size_t length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (!out || capacity == 0) return 0;
    std::size_t o = 0;
    for (std::size_t i = 0; i < length && capacity - o >= 3; ++i) {
        out[o++] = kDigits[data[i] >> 4];
        out[o++] = kDigits[data[i] & 15];
    }
    out[o] = '\0';
    return static_cast<int>(o);
}

void hex_EncodeLower(char* out, const std::uint8_t* data, std::size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < length; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 15];
    }
    out[2 * length] = '\0';
}

int hex_Decode(std::uint8_t* out, std::size_t capacity, const char* text) {
    if (!text) return 0;
    std::size_t o = 0;
    int high = -1;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p && o < capacity; ++p) {
        int v = HexValue(*p);
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out[o++] = static_cast<std::uint8_t>(high << 4 | v);
            high = -1;
        }
    }
    return static_cast<int>(o);
}

void b64_EncodeTo(SecureString& out, const std::uint8_t* data, std::size_t length) {
    out.assign(4 * ((length + 2) / 3), '\0');
    SecureBytes scratch(out.size() + 1);
    int n = b64_Encode(reinterpret_cast<char*>(scratch.data()), scratch.size(), data, length);
    std::memcpy(out.data(), scratch.data(), static_cast<std::size_t>(n));
}

void b64_DecodeTo(SecureBytes& out, const char* text) {
    out.assign(text ? 3 * ((std::strlen(text) + 3) / 4) + 1 : 0, 0);
    int n = text ? b64_Decode(out.data(), out.size(), text) : 0;
    out.resize(static_cast<std::size_t>(n));
}

}  // namespace kvn
