#include "xml/reader.h"

#include <cstring>

#include "base/memory.h"

namespace kvn {
namespace {

// Allowed XML 1.0 characters beyond the byte-level checks: no surrogates, U+FFFE, U+FFFF
// or code points above U+10FFFF.
bool AllowedCodePoint(std::uint32_t cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    if (cp == 0xFFFE || cp == 0xFFFF) return false;
    return cp <= 0x10FFFF;
}

void Reserve(XmlReaderState* s, std::size_t extra) {
    if (s->len + extra <= s->cap) return;
    std::size_t want = s->len + extra;
    if (want > kXmlBufferLimit) throw AllocError("XML input buffer limit reached.");
    // Grow geometrically so that a long construct is not copied once per block.
    if (want < s->cap * 2) want = s->cap * 2 < kXmlBufferLimit ? s->cap * 2 : kXmlBufferLimit;
    std::size_t cap = (want + kXmlReadBlock - 1) / kXmlReadBlock * kXmlReadBlock;
    char* fresh = static_cast<char*>(emalloc(cap));
    if (s->len) std::memcpy(fresh, s->buf, s->len);
    efree(s->buf);
    s->buf = fresh;
    s->cap = cap;
}

// Outcome of decoding one raw run: bytes consumed from raw; a failure stops decoding.
struct DecodeResult {
    std::size_t used;
    std::uint32_t failure;
};

// Handles one ASCII byte (shared by the decoders). Returns the raw bytes used (0 to wait
// for more input, for a CR at the end of a block), or -1 for a disallowed control.
int DecodeAscii(const unsigned char* in, std::size_t avail, bool final, char*& out) {
    unsigned char b = in[0];
    if (b == '\r') {
        if (avail < 2 && !final) return 0;
        *out++ = '\n';
        return (avail >= 2 && in[1] == '\n') ? 2 : 1;
    }
    if (b < 0x20 && b != '\t' && b != '\n') return -1;
    *out++ = static_cast<char>(b);
    return 1;
}

DecodeResult DecodeUtf8(const unsigned char* in, std::size_t n, bool final, char* out,
                        std::size_t* produced, bool stopAfterGt) {
    char* const start = out;
    std::size_t i = 0;
    std::uint32_t failure = 0;
    while (i < n) {
        if (!stopAfterGt) {
            // Runs of printable ASCII, eight bytes at a time: no byte has its top bit
            // set and none is below 0x20.
            std::size_t j = i;
            while (j + 8 <= n) {
                std::uint64_t w;
                std::memcpy(&w, in + j, 8);
                if ((w & 0x8080808080808080ull) ||
                    ((w - 0x2020202020202020ull) & ~w & 0x8080808080808080ull))
                    break;
                j += 8;
            }
            while (j < n && in[j] >= 0x20 && in[j] < 0x80) ++j;
            if (j > i) {
                std::memcpy(out, in + i, j - i);
                out += j - i;
                i = j;
                continue;
            }
        }
        unsigned char b = in[i];
        if (b >= 0x20 && b < 0x80) {
            *out++ = static_cast<char>(b);
            ++i;
            if (stopAfterGt && b == '>') break;
            continue;
        }
        if (b < 0x80) {
            int used = DecodeAscii(in + i, n - i, final, out);
            if (used == 0) break;
            if (used < 0) { failure = XML_ERROR_ILLEGAL_CHARACTER; break; }
            i += static_cast<std::size_t>(used);
            continue;
        }
        int extra;
        std::uint32_t cp;
        if (b < 0xC0 || b >= 0xFE) { failure = XML_ERROR_ENCODING; break; }
        if (b < 0xE0) { extra = 1; cp = b & 0x1F; }
        else if (b < 0xF0) { extra = 2; cp = b & 0x0F; }
        else if (b < 0xF8) { extra = 3; cp = b & 0x07; }
        else if (b < 0xFC) { extra = 4; cp = b & 0x03; }
        else { extra = 5; cp = b & 0x01; }
        if (i + static_cast<std::size_t>(extra) >= n) {
            if (!final) break;  // cut by the block end: wait for the rest
            failure = XML_ERROR_ENCODING;
            break;
        }
        bool bad = false;
        for (int k = 1; k <= extra; ++k) {
            unsigned char c = in[i + k];
            if ((c & 0xC0) != 0x80) { bad = true; break; }
            cp = (cp << 6) | (c & 0x3F);
        }
        static const std::uint32_t kMinimum[6] = {0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
        if (bad || cp < kMinimum[extra]) { failure = XML_ERROR_ENCODING; break; }
        if (extra > 3 || !AllowedCodePoint(cp)) { failure = XML_ERROR_ILLEGAL_CHARACTER; break; }
        std::memcpy(out, in + i, static_cast<std::size_t>(extra) + 1);
        out += extra + 1;
        i += static_cast<std::size_t>(extra) + 1;
    }
    *produced = static_cast<std::size_t>(out - start);
    return {i, failure};
}

DecodeResult DecodeLatin1(const unsigned char* in, std::size_t n, bool final, char* out,
                          std::size_t* produced) {
    char* const start = out;
    std::size_t i = 0;
    std::uint32_t failure = 0;
    while (i < n) {
        unsigned char b = in[i];
        if (b >= 0x80) {
            *out++ = static_cast<char>(0xC0 | (b >> 6));
            *out++ = static_cast<char>(0x80 | (b & 0x3F));
            ++i;
        } else if (b >= 0x20) {
            *out++ = static_cast<char>(b);
            ++i;
        } else {
            int used = DecodeAscii(in + i, n - i, final, out);
            if (used == 0) break;
            if (used < 0) { failure = XML_ERROR_ILLEGAL_CHARACTER; break; }
            i += static_cast<std::size_t>(used);
        }
    }
    *produced = static_cast<std::size_t>(out - start);
    return {i, failure};
}

// Declaration read in 2- or 4-byte units without a byte-order mark: each unit up to the
// first '>' is narrowed to one byte; a unit of 128 or more fails the declaration.
DecodeResult NarrowUnits(const XmlReaderState* s, const unsigned char* in, std::size_t n,
                         char* out, std::size_t* produced) {
    std::size_t w = static_cast<std::size_t>(s->unitWidth), i = 0, k = 0;
    std::uint32_t failure = 0;
    while (i + w <= n) {
        std::uint32_t unit = 0;
        for (std::size_t j = 0; j < w; ++j) {
            std::size_t at = s->bigEndian ? j : w - 1 - j;
            unit = (unit << 8) | in[i + at];
        }
        if (unit >= 128) { failure = XML_ERROR_INVALID_DECLARATION; break; }
        out[k++] = static_cast<char>(unit);
        i += w;
        if (unit == '>') break;
    }
    *produced = k;
    return {i, failure};
}

void ReadBlock(XmlReader* reader) {
    XmlReaderState* s = reader->state;
    if (s->eof) return;
    int got = 0;
    int room = static_cast<int>(sizeof(s->raw) - s->rawLen);
    if (room > static_cast<int>(kXmlReadBlock)) room = static_cast<int>(kXmlReadBlock);
    int rc = reader->read ? reader->read(s->raw + s->rawLen, room, &got, reader->readArg) : 1;
    if (got < 0 || got > room) {
        s->status = XML_ERROR_IO;
        s->eof = true;
        return;
    }
    s->rawLen += static_cast<std::size_t>(got);
    s->bytesRead += static_cast<std::uint64_t>(got);
    if (rc != 0 || got == 0) s->eof = true;  // short reads are allowed before the end
}

// Decodes what raw holds into the buffer; returns the number of bytes produced.
std::size_t DecodeRaw(XmlReaderState* s) {
    if (s->rawLen == 0) return 0;
    Reserve(s, s->rawLen * 2 + 8);
    std::size_t produced = 0;
    DecodeResult r{};
    char* out = s->buf + s->len;
    bool final = s->eof;
    if (s->decoder == XML_DECODE_LATIN1)
        r = DecodeLatin1(s->raw, s->rawLen, final, out, &produced);
    else if (s->decoder == XML_DECODE_DECLARATION && s->unitWidth > 1)
        r = NarrowUnits(s, s->raw, s->rawLen, out, &produced);
    else
        r = DecodeUtf8(s->raw, s->rawLen, final, out, &produced,
                       s->decoder == XML_DECODE_DECLARATION);
    s->len += produced;
    std::memmove(s->raw, s->raw + r.used, s->rawLen - r.used);
    s->rawLen -= r.used;
    if (r.failure) s->status = r.failure;
    return produced;
}

}  // namespace

void ReaderInitStream(XmlReader* reader, XmlReadFn read, void* arg, XmlEntity* entity) {
    reader->read = read;
    reader->readArg = arg;
    reader->entity = entity;
    if (!reader->state) reader->state = MakeUnique<XmlReaderState>().release();
    XmlReaderState* s = reader->state;
    char* keep = s->borrowed ? nullptr : s->buf;
    std::size_t keepCap = s->borrowed ? 0 : s->cap;
    *s = XmlReaderState{};
    s->buf = keep;
    s->cap = keepCap;
}

void ReaderInitText(XmlReader* reader, const char* text, std::size_t length, XmlEntity* entity) {
    ReaderInitStream(reader, nullptr, nullptr, entity);
    XmlReaderState* s = reader->state;
    efree(s->buf);
    s->buf = const_cast<char*>(text);
    s->cap = s->len = length;
    s->borrowed = true;
    s->eof = true;
    s->decoder = XML_DECODE_UTF8;
}

void ReaderRelease(XmlReader* reader) {
    if (!reader->state) return;
    if (!reader->state->borrowed) efree(reader->state->buf);
    Deleter<XmlReaderState>()(reader->state);
    reader->state = nullptr;
}

bool ReaderFill(XmlReader* reader, std::size_t need) {
    XmlReaderState* s = reader->state;
    while (s->len - s->pos < need) {
        if (s->status || s->borrowed) return false;
        if (s->eof && s->rawLen == 0) return false;
        std::size_t rawBefore = s->rawLen;
        bool eofBefore = s->eof;
        if (!s->eof) ReadBlock(reader);
        std::size_t produced = DecodeRaw(s);
        if (produced == 0 && !s->status && eofBefore && s->rawLen == rawBefore) {
            // No progress is possible. In declaration mode the caller settles the
            // encoding and asks again; otherwise the leftover bytes cannot be decoded.
            if (s->decoder != XML_DECODE_DECLARATION) s->status = XML_ERROR_ENCODING;
            return false;
        }
    }
    return true;
}

void ReaderPeekRaw(XmlReader* reader, std::size_t n) {
    XmlReaderState* s = reader->state;
    while (s->rawLen < n && !s->eof) ReadBlock(reader);
}

void ReaderDropRaw(XmlReader* reader, std::size_t n) {
    XmlReaderState* s = reader->state;
    if (n > s->rawLen) n = s->rawLen;
    std::memmove(s->raw, s->raw + n, s->rawLen - n);
    s->rawLen -= n;
}

namespace {

void ScanLines(XmlReaderState* s) {
    if (s->lineScan > s->pos) s->lineScan = s->pos;
    const char* p = s->buf + s->lineScan;
    const char* end = s->buf + s->pos;
    while (p < end) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (!nl) break;
        p = static_cast<const char*>(nl) + 1;
        ++s->lines;
        s->lineStart = static_cast<std::size_t>(p - s->buf);
        s->lineStartLost = false;
    }
    s->lineScan = s->pos;
}

}  // namespace

void ReaderCompact(XmlReader* reader) {
    XmlReaderState* s = reader->state;
    if (s->borrowed || s->pos <= 1000) return;
    ScanLines(s);
    std::size_t drop;
    if (s->pos < 4097) {
        drop = s->lineStart;
    } else {
        drop = s->pos;
        if (s->lineStart < drop) s->lineStartLost = true;
    }
    if (drop == 0) return;
    std::memmove(s->buf, s->buf + drop, s->len - drop);
    s->len -= drop;
    s->pos -= drop;
    s->lineScan -= drop;
    s->lineStart = s->lineStart > drop ? s->lineStart - drop : 0;
}

int ReaderLine(XmlReader* reader) {
    XmlReaderState* s = reader->state;
    ScanLines(s);
    return static_cast<int>(s->lines + 1);
}

int ReaderColumn(XmlReader* reader) {
    XmlReaderState* s = reader->state;
    ScanLines(s);
    if (s->lineStartLost) return static_cast<int>(s->pos - s->lineStart + 1);
    int column = 1;
    std::size_t i = s->lineStart;
    while (i < s->pos) {
        unsigned char b = static_cast<unsigned char>(s->buf[i]);
        std::size_t step = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF8 ? 4 : b <= 0xFB ? 5 : 6;
        i += step;
        ++column;
    }
    return column;
}

}  // namespace kvn
