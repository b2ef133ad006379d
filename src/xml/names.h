// XML 1.0 name characters over UTF-8 (Appendix B classes for 2- and 3-byte characters;
// 4-byte characters are never name characters).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn {

extern const std::uint32_t kXmlNameBitmaps[][8];
extern const std::uint8_t kXmlNameStartPages[256];
extern const std::uint8_t kXmlNameCharPages[256];

// ASCII classes: bit 1 name-start, bit 2 name character, bit 4 whitespace.
extern const std::uint8_t kXmlAsciiClass[128];

// The same classes for every byte value, 0 from 0x80 on (a lead or continuation byte),
// so that scanning ASCII names needs one load and one test per byte.
struct XmlByteClassTable {
    std::uint8_t bits[256];
    constexpr XmlByteClassTable() : bits() {
        for (int c = 0; c < 128; ++c) {
            bool start = c == ':' || c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            bool name = start || c == '-' || c == '.' || (c >= '0' && c <= '9');
            bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
            bits[c] = static_cast<std::uint8_t>((start ? 1 : 0) | (name ? 2 : 0) | (space ? 4 : 0));
        }
    }
};
inline constexpr XmlByteClassTable kXmlByteClass;

inline bool XmlIsSpace(int c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// Length of the UTF-8 sequence at p (its lead byte decides), given n >= 1 bytes.
inline std::size_t XmlSequenceLength(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : lead <= 0xFB ? 5 : 6;
}

// Whether the character at p (of length len, a complete checked sequence) is a
// name-start / name character.
inline bool XmlNameCharAt(const unsigned char* p, std::size_t len, bool start) {
    std::uint32_t cp;
    if (len == 1) return (kXmlAsciiClass[p[0] & 0x7F] & (start ? 1 : 2)) != 0 && p[0] < 0x80;
    if (len == 2) cp = ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    else if (len == 3) cp = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    else return false;
    const std::uint8_t* pages = start ? kXmlNameStartPages : kXmlNameCharPages;
    const std::uint32_t* bits = kXmlNameBitmaps[pages[cp >> 8]];
    return (bits[(cp & 0xFF) >> 5] >> (cp & 31)) & 1u;
}

// True when s (zero-terminated UTF-8) is a Name / an Nmtoken.
bool XmlIsName(const char* s);
bool XmlIsNmtoken(const char* s);

}  // namespace kvn
