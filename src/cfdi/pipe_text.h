// Text steps of the pipe string: white-space cleaning (XPath's normalize-space) and the
// in-place conversion from UTF-8 to Latin-1.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kvn {

// The white space that cleaning drops or folds: space, tab, LF and CR. All of them sort
// at or below ' ', so most bytes are told apart by the first comparison.
inline bool IsCleanedSpace(char c) noexcept {
    return static_cast<unsigned char>(c) <= ' ' && (c == ' ' || c == '\t' || c == '\n' || c == '\r');
}

// Writes `value` cleaned to `out`, which has room for n characters: leading and trailing
// space, tab, LF and CR dropped, every remaining run of them replaced by one space (other
// characters, U+00A0 among them, stay). Returns the end of what it wrote. Inline: it runs
// once per value of the pipe string.
inline char* CopyCleaned(char* out, const char* value, std::size_t n) noexcept {
    const char* p = value;
    const char* end = value + n;
    while (p < end && IsCleanedSpace(*p)) ++p;
    while (end > p && IsCleanedSpace(end[-1])) --end;
    // end[-1] is not white space now, so every run of it inside ends before `end`.
    // Cleaning never lengthens the text, so out stays at or behind the matching input
    // position and the eight-byte stores below stay within the room given.
    while (p < end) {
        if constexpr (std::endian::native == std::endian::little) {
            if (end - p >= 8) {
                // Eight bytes at a time up to the first one at or below ' ': the lowest
                // flagged byte of `low` is always a true one.
                std::uint64_t w;
                std::memcpy(&w, p, 8);
                std::uint64_t low = (w - 0x2121212121212121u) & ~w & 0x8080808080808080u;
                std::memcpy(out, &w, 8);
                if (low == 0) {
                    p += 8;
                    out += 8;
                    continue;
                }
                std::size_t k = static_cast<std::size_t>(std::countr_zero(low)) / 8;
                p += k;
                out += k;
            }
        }
        char c = *p++;
        if (!IsCleanedSpace(c)) {
            *out++ = c;
            continue;
        }
        while (IsCleanedSpace(*p)) ++p;
        *out++ = ' ';
    }
    return out;
}

// Converts NUL-terminated UTF-8 `text` of length n to Latin-1 in place: a byte below 0x80
// is copied; a lead byte 0x80-0xDF and its follower give one byte when the code point is
// below 256, else '?'; lead bytes E0-EF, F0-F7, F8-FB and FC-FF give '?' and consume
// 3, 4, 5 or 6 bytes. A sequence cut short by the end of the text ends the conversion.
// Returns the new length; the text stays NUL-terminated.
std::size_t Utf8ToLatin1InPlace(char* text, std::size_t n) noexcept;

}  // namespace kvn
