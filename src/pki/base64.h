// Base64 (RFC 4648 alphabet, "=" padding, no line breaks) and hex.
//
// The functions take (buffer, capacity) where capacity counts every byte of the buffer,
// the terminating NUL of text outputs included, and return the count written; they cannot
// fail (decoders skip what is not theirs). Sizes: encoding n bytes needs 4 * ((n + 2) / 3)
// + 1 places; decoding a text of n characters at most 3 * ((n + 3) / 4) bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/memory.h"

namespace kvn {

// Encodes whole groups while five places (four characters and the NUL) remain; always
// NUL-terminates when capacity > 0. Returns the characters written.
int b64_Encode(char* out, std::size_t capacity, const std::uint8_t* data, std::size_t length);
// Decodes up to the NUL or the first "=", skipping characters outside the alphabet.
// Returns the bytes written (never more than capacity).
int b64_Decode(std::uint8_t* out, std::size_t capacity, const char* text);
// Upper-case hex, NUL-terminated, two digits per byte while three places remain.
int hex_Encode(char* out, std::size_t capacity, const std::uint8_t* data, std::size_t length);
// Lower-case hex into out, which holds 2 * length + 1 bytes.
void hex_EncodeLower(char* out, const std::uint8_t* data, std::size_t length);
// Pairs hex digits (non-hex characters skipped, an odd last digit dropped).
int hex_Decode(std::uint8_t* out, std::size_t capacity, const char* text);

// Whole-buffer helpers for the layer's own use.
void b64_EncodeTo(SecureString& out, const std::uint8_t* data, std::size_t length);
void b64_DecodeTo(SecureBytes& out, const char* text);

bool b64_IsAlphabet(unsigned char c);  // a base64 character (not "=")

}  // namespace kvn
