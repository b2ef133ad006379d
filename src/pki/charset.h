// Character-set conversions for certificate names and the library's output texts.
//
// Each takes (out, capacity, input, input length) and sets `produced`: given a buffer, it
// stores characters only while they fit whole and produced is the bytes written; without
// one (out null or capacity 0) produced is the length needed. Errors: INVALID_DATA_ERROR
// for invalid input, OUT_OF_RANGE_ERROR for a character outside the target set,
// BAD_LENGTH_ERROR for a length that is not a whole number of code units.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "base/memory.h"

namespace kvn {

// Latin-1 to UTF-8, counted input.
Error latin1_ToUtf8(char* out, std::size_t capacity, const char* in, std::size_t length, std::size_t& produced);
// Latin-1 to UTF-8 of a NUL-terminated text, whole, into out. BAD_PARAM_ERROR for a null or
// empty text.
Error latin1_ToUtf8Text(String& out, const char* text);
Error utf8_ToLatin1(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length,
                    std::size_t& produced);
Error ucs2_ToLatin1(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length,
                    std::size_t& produced);
Error ucs4_ToLatin1(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length,
                    std::size_t& produced);
Error ucs2_ToUtf8(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length,
                  std::size_t& produced);
Error ucs4_ToUtf8(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length,
                  std::size_t& produced);

}  // namespace kvn
