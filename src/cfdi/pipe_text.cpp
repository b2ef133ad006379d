#include "cfdi/pipe_text.h"

#include <cstring>

namespace kvn {

std::size_t Utf8ToLatin1InPlace(char* text, std::size_t n) noexcept {
    auto* bytes = reinterpret_cast<unsigned char*>(text);
    std::size_t in = 0;
    std::size_t out = 0;
    while (in < n) {
        unsigned lead = bytes[in];
        if (lead < 0x80) {
            bytes[out++] = static_cast<unsigned char>(lead);
            ++in;
            continue;
        }
        std::size_t length = lead <= 0xDF ? 2 : lead <= 0xEF ? 3 : lead <= 0xF7 ? 4 : lead <= 0xFB ? 5 : 6;
        if (n - in < length) break;
        unsigned char result = '?';
        if (length == 2) {
            unsigned codePoint = ((lead & 0x1Fu) << 6) + (bytes[in + 1] & 0x3Fu);
            if (codePoint < 256) result = static_cast<unsigned char>(codePoint);
        }
        bytes[out++] = result;
        in += length;
    }
    bytes[out] = '\0';
    return out;
}

}  // namespace kvn
