// Character-set conversions for certificate names and the library's output texts.
//
// Each takes (out, capacity, input, input length). Given a buffer it stores characters
// only while they fit whole and returns the bytes written; without one (out null or
// capacity 0) it returns the length needed. Failures are negative codes:
// -8 invalid input, -11 a character outside the target set, -26 a length that is not a
// whole number of code units.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn {

// Latin-1 to UTF-8, counted input.
int latin1_ToUtf8(char* out, std::size_t capacity, const char* in, std::size_t length);
// Latin-1 to UTF-8 of a NUL-terminated text; out holds capacity + 1 bytes and stays
// NUL-terminated. -6 for a null or empty text. Returns the text length in out, or the
// length needed without a buffer.
int latin1_ToUtf8Text(char* out, std::size_t capacity, const char* text);
int utf8_ToLatin1(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length);
int ucs2_ToLatin1(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length);
int ucs4_ToLatin1(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length);
int ucs2_ToUtf8(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length);
int ucs4_ToUtf8(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length);

}  // namespace kvn
