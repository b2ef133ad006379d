#include "pki/charset.h"

#include <cstring>


namespace kvn {
namespace {

// Collects output bytes, storing a character only when all of it fits.
struct Sink {
    char* out;
    std::size_t capacity;
    std::size_t needed = 0;
    std::size_t written = 0;
    bool stopped = false;
    void Put(const std::uint8_t* bytes, std::size_t n) {
        needed += n;
        if (!out || stopped) return;
        if (capacity - written < n) {
            stopped = true;
            return;
        }
        std::memcpy(out + written, bytes, n);
        written += n;
    }
    void Put(std::uint8_t b) { Put(&b, 1); }
    Error Result(std::size_t& produced) const {
        produced = out ? written : needed;
        return kOk;
    }
};

// Standard UTF-8 of a code point; 0 bytes at 0x110000 and above.
std::size_t EncodeUtf8(std::uint32_t cp, std::uint8_t* b) {
    if (cp < 0x80) {
        b[0] = static_cast<std::uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        b[0] = static_cast<std::uint8_t>(0xC0 | cp >> 6);
        b[1] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        b[0] = static_cast<std::uint8_t>(0xE0 | cp >> 12);
        b[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp < 0x110000) {
        b[0] = static_cast<std::uint8_t>(0xF0 | cp >> 18);
        b[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
        return 4;
    }
    return 0;
}

Sink MakeSink(char* out, std::size_t capacity) { return Sink{capacity ? out : nullptr, capacity}; }

}  // namespace

Error latin1_ToUtf8(char* out, std::size_t capacity, const char* in, std::size_t length, std::size_t& produced) {
    Sink sink = MakeSink(out, capacity);
    std::uint8_t b[2];
    for (std::size_t i = 0; i < length; ++i) sink.Put(b, EncodeUtf8(static_cast<unsigned char>(in[i]), b));
    return sink.Result(produced);
}

Error latin1_ToUtf8Text(String& out, const char* text) {
    out.clear();
    if (!text || !*text) return Error::BAD_PARAM_ERROR;
    const std::size_t length = std::strlen(text);
    std::size_t needed = 0;
    (void)latin1_ToUtf8(nullptr, 0, text, length, needed);
    out.resize(needed);
    return latin1_ToUtf8(out.data(), out.size(), text, length, needed);
}

Error utf8_ToLatin1(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length, std::size_t& produced) {
    Sink sink = MakeSink(out, capacity);
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t c = in[i];
        if (c < 0x80) {
            sink.Put(c);
            continue;
        }
        if (c == 0xFE || c == 0xFF) return Error::INVALID_DATA_ERROR;
        if ((c & 0xE0) != 0xC0 || (c & 0x1F) > 3) return Error::OUT_OF_RANGE_ERROR;
        if (c == 0xC0 || c == 0xC1) return Error::INVALID_DATA_ERROR;
        if (i + 1 >= length || (in[i + 1] & 0xC0) != 0x80) return Error::INVALID_DATA_ERROR;
        sink.Put(static_cast<std::uint8_t>((c & 0x1F) << 6 | (in[i + 1] & 0x3F)));
        ++i;
    }
    return sink.Result(produced);
}

Error ucs2_ToLatin1(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length, std::size_t& produced) {
    if (length % 2) return Error::BAD_LENGTH_ERROR;
    Sink sink = MakeSink(out, capacity);
    for (std::size_t i = 0; i < length; i += 2) {
        if (in[i]) return Error::OUT_OF_RANGE_ERROR;
        sink.Put(in[i + 1]);
    }
    return sink.Result(produced);
}

Error ucs4_ToLatin1(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length, std::size_t& produced) {
    if (length % 4) return Error::BAD_LENGTH_ERROR;
    Sink sink = MakeSink(out, capacity);
    for (std::size_t i = 0; i < length; i += 4) {
        if (in[i] || in[i + 1] || in[i + 2]) return Error::OUT_OF_RANGE_ERROR;
        sink.Put(in[i + 3]);
    }
    return sink.Result(produced);
}

Error ucs2_ToUtf8(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length, std::size_t& produced) {
    if (length % 2) return Error::BAD_LENGTH_ERROR;
    Sink sink = MakeSink(out, capacity);
    std::uint8_t b[4];
    for (std::size_t i = 0; i < length; i += 2) {
        sink.Put(b, EncodeUtf8(static_cast<std::uint32_t>(in[i]) << 8 | in[i + 1], b));
    }
    produced = sink.needed;
    return kOk;
}

Error ucs4_ToUtf8(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t length, std::size_t& produced) {
    if (length % 4) return Error::BAD_LENGTH_ERROR;
    Sink sink = MakeSink(out, capacity);
    std::uint8_t b[4];
    for (std::size_t i = 0; i < length; i += 4) {
        std::uint32_t cp = static_cast<std::uint32_t>(in[i]) << 24 | static_cast<std::uint32_t>(in[i + 1]) << 16 |
                           static_cast<std::uint32_t>(in[i + 2]) << 8 | in[i + 3];
        sink.Put(b, EncodeUtf8(cp, b));
    }
    produced = sink.needed;
    return kOk;
}

}  // namespace kvn
