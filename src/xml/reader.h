// Input reader of the XML parser: pulls raw bytes through a read callback in 512-byte
// blocks and decodes them into a buffer of checked UTF-8 with XML line ends (CR and
// CR LF become LF). Every character that reaches the buffer is allowed by XML 1.0; a
// decoding or character failure stops decoding at the offending character and is
// reported (as `status`) only when the parser asks for bytes beyond it, so the error
// position is that character's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "xml/parser.h"

namespace kvn {

enum XmlDecoder : int {
    XML_DECODE_DECLARATION = 0,  // before the encoding is settled: stop after the first '>'
    XML_DECODE_UTF8 = 1,
    XML_DECODE_LATIN1 = 2,
};

inline constexpr std::size_t kXmlReadBlock = 512;
inline constexpr std::size_t kXmlBufferLimit = 0x7FFFFFFF;

struct XmlReaderState {
    char* buf = nullptr;       // decoded bytes (owned unless `borrowed`)
    std::size_t cap = 0;
    std::size_t pos = 0;       // read position
    std::size_t len = 0;       // valid decoded length
    bool borrowed = false;     // buf is an internal entity's replacement text
    bool eof = false;          // the source reported its end
    std::uint32_t status = 0;  // failure waiting at buf[len] (an XML_ERROR_* code)
    int decoder = XML_DECODE_DECLARATION;
    int unitWidth = 1;         // 2 or 4 while narrowing a declaration without a mark
    bool bigEndian = false;
    char encodingName[20] = {};  // recorded encoding name (at most 19 characters)
    unsigned char raw[kXmlReadBlock + 8];  // undecoded bytes (a cut sequence, a CR)
    std::size_t rawLen = 0;
    // Lines are counted lazily up to `lineScan`; `lineStart` is the buffer offset where
    // the current line starts (or the cut point when `lineStartLost`).
    long lines = 0;
    std::size_t lineScan = 0;
    std::size_t lineStart = 0;
    bool lineStartLost = false;
    std::uint64_t bytesRead = 0;  // raw bytes taken from the source
};

// Prepares a reader over a read callback (decoder: declaration mode).
void ReaderInitStream(XmlReader* reader, XmlReadFn read, void* arg, XmlEntity* entity);
// Prepares a reader over already-checked UTF-8 (an internal entity's replacement text).
void ReaderInitText(XmlReader* reader, const char* text, std::size_t length, XmlEntity* entity);
void ReaderRelease(XmlReader* reader);

// Makes at least `need` bytes available after pos when the input allows. Returns true
// when they are; false at the end of the entity or at a pending failure (see status).
// Throws std::bad_alloc when the buffer cannot grow.
bool ReaderFill(XmlReader* reader, std::size_t need);

// Reads raw bytes (no decoding) until at least n are held in raw or the source ends.
void ReaderPeekRaw(XmlReader* reader, std::size_t n);
// Drops n raw bytes from the front (a byte-order mark).
void ReaderDropRaw(XmlReader* reader, std::size_t n);

// Drops consumed bytes once the position passes 1000 (keeping the current line while
// the position is below 4097).
void ReaderCompact(XmlReader* reader);

int ReaderLine(XmlReader* reader);    // 1-based
int ReaderColumn(XmlReader* reader);  // 1-based, in characters

}  // namespace kvn
