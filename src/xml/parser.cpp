// Parser object, error reporting, readers and entities, encoding detection and the
// XML / text declaration.
#include <cstdio>
#include <cstring>
#include <new>

#include "xml/parser_internal.h"

namespace kvn {
namespace {

const char* const kFormats[] = {
    nullptr,
    "Out of memory",
    "Fatal error (code: %d)",
    "Invalid token",
    "Invalid name",
    "End tag '%s' was not expected here",
    "Reference to undefined entity '%s'",
    "Whitespace not allowed here",
    "Whitespace required",
    "Tag '%s' was not closed",
    "Expected '%s', found '%s'",
    "Expected '%s'",
    "Only one top level element is allowed",
    "Invalid at the top level of the document",
    "Undefined namespace prefix '%s'",
    "Duplicate attribute '%s'",
    "Encoding error",
    "Unsupported encoding '%s'",
    "Invalid %s declaration",
    "Invalid value for attribute '%s'",
    "Parsing aborted",
    "Illegal character",
    "Recursive reference in entity '%s'",
    "I/O error",
    "Switch from encoding '%s' to '%s' is not supported",
    "Entity expansion limit exceeded in '%s'",
};

// Entity expansion may produce at most this many bytes beyond 100 times the input read.
constexpr std::uint64_t kExpansionFloor = 8u << 20;
constexpr std::uint64_t kExpansionRatio = 100;

bool SameIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return *a == *b;
}

void FreeParserState(XmlParserState* st);

}  // namespace

const char* XmlErrorFormat(std::uint32_t code) {
    if (code >= 1 && code < sizeof(kFormats) / sizeof(kFormats[0])) return kFormats[code];
    return nullptr;
}

void XmlFormatErrorMessage(char out[128], std::uint32_t code, const char* arg1, const char* arg2) {
    const char* format = XmlErrorFormat(code);
    if (!format) {
        std::snprintf(out, 128, "Fatal error (code: %u)", code);
        return;
    }
    if (code == XML_ERROR_FATAL) {
        std::snprintf(out, 128, format, arg1 ? std::atoi(arg1) : 0);
        return;
    }
    const char* a = arg1 ? arg1 : "";
    const char* b = arg2 ? arg2 : "";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    std::snprintf(out, 128, format, a, b);
#pragma GCC diagnostic pop
    out[127] = '\0';
}

int XmlReportError(XmlParser* parser, std::uint32_t code, const char* arg1, const char* arg2) {
    if (parser->errorCode != XML_ERROR_VALIDATION || code == XML_ERROR_VALIDATION)
        parser->errorCode = code;
    if (parser->handlers.errorHandler) {
        XmlFormatErrorMessage(parser->errorMessage, code, arg1, arg2);
        parser->errorLine = XmlGetLine(parser);
        parser->errorColumn = XmlGetColumn(parser);
        parser->handlers.errorHandler(parser);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------
// Arena

void* XmlArena::Alloc(std::size_t n) {
    n = (n + 7) & ~std::size_t{7};
    if (!head_ || head_->size - head_->used < n) {
        std::size_t size = n > 4000 ? n : 4000;
        auto* chunk = static_cast<Chunk*>(emalloc(sizeof(Chunk) + size));
        chunk->next = head_;
        chunk->used = 0;
        chunk->size = size;
        head_ = chunk;
    }
    void* p = reinterpret_cast<unsigned char*>(head_ + 1) + head_->used;
    head_->used += n;
    return p;
}

char* XmlArena::Copy(const char* s, std::size_t n) {
    char* p = static_cast<char*>(Alloc(n + 1));
    if (n) std::memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

void XmlArena::Clear() {
    while (head_) {
        Chunk* next = head_->next;
        efree(head_);
        head_ = next;
    }
}

// ---------------------------------------------------------------------------------------
// Character access and errors

int XmlParserState::PeekSlow(std::size_t ahead) {
    XmlReaderState* s = In();
    if (ReaderFill(Top(), ahead + 1)) return static_cast<unsigned char>(s->buf[s->pos + ahead]);
    if (s->status && s->len - s->pos <= ahead) {
        // Only a failure at the byte the parser actually wants is reported.
        if (ahead == 0) FailReader(s);
        return -1;
    }
    return -1;
}

bool XmlParserState::LookingAt(const char* literal) {
    std::size_t n = std::strlen(literal);
    XmlReaderState* s = In();
    if (s->len - s->pos < n && !ReaderFill(Top(), n)) return false;
    return std::memcmp(s->buf + s->pos, literal, n) == 0;
}

bool XmlParserState::SkipSpaceRun() {
    bool any = false;
    for (;;) {
        XmlReaderState* s = In();
        while (s->pos < s->len && XmlIsSpace(s->buf[s->pos])) {
            ++s->pos;
            any = true;
        }
        if (s->pos < s->len || Peek() < 0) return any;
    }
}

std::size_t XmlParserState::ScanNameFrom(std::size_t n) {
    for (;;) {
        int c = PeekAt(n);
        if (c < 0) return n;
        std::size_t len = XmlSequenceLength(static_cast<unsigned char>(c));
        if (len > 1 && PeekAt(n + len - 1) < 0) return n;
        const auto* p = reinterpret_cast<const unsigned char*>(In()->buf + In()->pos + n);
        if (!XmlNameCharAt(p, len, n == 0)) return n;
        n += len;
    }
}

std::size_t XmlParserState::ReadName(String* out) {
    std::size_t n = ScanName();
    if (n == 0) {
        int c = Peek();
        if (c >= 0 && !XmlIsSpace(c) && !std::strchr("<>/=;[]\"'%&()|,?*+", c))
            Fail(XML_ERROR_INVALID_NAME);
        Fail(XML_ERROR_EXPECTED, "Name");
    }
    out->append(In()->buf + In()->pos, n);
    Advance(n);
    return n;
}

void XmlParserState::CheckNameEndSlow(const char* delimiters) {
    int c = Peek();
    if (c < 0 || XmlIsSpace(c) || c == delimiters[0] || (c != 0 && std::strchr(delimiters, c))) return;
    Fail(XML_ERROR_INVALID_NAME);
}

void XmlParserState::Fail(std::uint32_t code, const char* arg1, const char* arg2) {
    XmlReportError(parser, code, arg1, arg2);
    throw XmlStop{};
}

void XmlParserState::FailReader(XmlReaderState* s) {
    switch (s->status) {
        case XML_ERROR_NO_MEMORY:
        case XML_ERROR_ENCODING:
        case XML_ERROR_ILLEGAL_CHARACTER:
        case XML_ERROR_IO:
            Fail(s->status);
        case XML_ERROR_INVALID_DECLARATION:
            Fail(XML_ERROR_INVALID_DECLARATION, "XML");
        default: {
            char number[16];
            std::snprintf(number, sizeof number, "%u", s->status);
            Fail(XML_ERROR_FATAL, number);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Readers and entities

XmlReader* XmlParserState::NewReader() {
    auto* r = static_cast<XmlReader*>(ecalloc(1, sizeof(XmlReader)));
    try {
        readers.push_back(r);
    } catch (...) {
        efree(r);
        throw;
    }
    return r;
}

void XmlParserState::CountExpansion(XmlEntity* e, std::size_t bytes) {
    expandedBytes += bytes;
    if (expandedBytes <= kExpansionFloor) return;
    std::uint64_t input = 0;
    for (XmlReader* r : readers) input += r->state ? r->state->bytesRead : 0;
    if (expandedBytes > kExpansionRatio * (input + documentBytesDone))
        Fail(XML_ERROR_ENTITY_EXPANSION, e ? e->name : "");
}

void XmlParserState::PushInternalEntity(XmlEntity* e) {
    CountExpansion(e, static_cast<std::size_t>(e->textLength));
    XmlReader* r = NewReader();
    ReaderInitText(r, e->text, static_cast<std::size_t>(e->textLength), e);
    e->inUse = 1;
}

bool XmlParserState::PushExternalEntity(XmlEntity* e) {
    if (!H().resolveEntity) return false;
    XmlReader* r = NewReader();
    ReaderInitStream(r, documentRead, nullptr, e);
    Check(H().resolveEntity(User(), e, r));
    if (!r->readArg) {
        ReaderRelease(r);
        efree(r);
        readers.pop_back();
        return false;
    }
    e->inUse = 1;
    DetectEncoding();
    ReadTextDeclaration();
    return true;
}

void XmlParserState::PopReader() {
    XmlReader* r = readers.back();
    XmlEntity* e = r->entity;
    if (r->state && !r->state->borrowed) documentBytesDone += r->state->bytesRead;
    bool external = r->state && !r->state->borrowed;
    readers.pop_back();
    if (e) e->inUse = 0;
    int rc = 0;
    if (external && e && H().closeEntity) rc = H().closeEntity(User(), e, r);
    ReaderRelease(r);
    efree(r);
    Check(rc);
}

namespace {

XmlEntity* FindEntity(const TextMap<XmlEntity*>& table, const char* name) {
    if (table.empty()) return nullptr;  // most documents declare none
    auto found = table.find(name);
    return found == table.end() ? nullptr : found->second;
}

}  // namespace

XmlEntity* XmlParserState::FindGeneralEntity(const char* name) { return FindEntity(generalEntities, name); }

XmlEntity* XmlParserState::FindParameterEntity(const char* name) { return FindEntity(parameterEntities, name); }

// ---------------------------------------------------------------------------------------
// Encoding detection and selection

void XmlParserState::SelectEncoding(XmlReaderState* s, const char* name) {
    if (H().resolveEncoding) {
        const char* replaced = H().resolveEncoding(User(), name);
        if (replaced) name = replaced;
    }
    if (s->decoder != XML_DECODE_DECLARATION) {
        // A decoder is already active (forced by the caller): only a declaration that
        // agrees with it is accepted.
        if (SameIgnoringCase(name, "UTF-8") && s->encodingName[0] == '\0') return;
        if (!SameIgnoringCase(name, s->encodingName))
            Fail(XML_ERROR_ENCODING_SWITCH, s->encodingName[0] ? s->encodingName : "UTF-8", name);
        return;
    }
    int decoder;
    if (SameIgnoringCase(name, "UTF-8"))
        decoder = XML_DECODE_UTF8;
    else if (SameIgnoringCase(name, "ISO-8859-1") || SameIgnoringCase(name, "US-ASCII"))
        decoder = XML_DECODE_LATIN1;
    else
        Fail(XML_ERROR_UNSUPPORTED_ENCODING, name);
    s->decoder = decoder;
    s->unitWidth = 1;
    if (decoder != XML_DECODE_UTF8) {
        std::strncpy(s->encodingName, name, sizeof s->encodingName - 1);
        s->encodingName[sizeof s->encodingName - 1] = '\0';
    }
}

// Looks at the first four raw bytes of the current (stream) reader.
void XmlParserState::DetectEncoding() {
    XmlReader* r = Top();
    XmlReaderState* s = r->state;
    ReaderPeekRaw(r, 4);
    const unsigned char* b = s->raw;
    std::size_t n = s->rawLen;
    auto starts = [&](std::initializer_list<int> bytes) {
        if (n < bytes.size()) return false;
        std::size_t i = 0;
        for (int v : bytes)
            if (b[i++] != v) return false;
        return true;
    };
    const char* markName = nullptr;
    std::size_t markLength = 0;
    if (starts({0xEF, 0xBB, 0xBF})) {
        ReaderDropRaw(r, 3);
        return;
    }
    if (starts({0xFF, 0xFE, 0, 0}) || starts({0, 0, 0xFE, 0xFF})) {
        markName = "UCS-4";
        markLength = 4;
    } else if (starts({0xFF, 0xFE}) || starts({0xFE, 0xFF})) {
        markName = "UTF-16";
        markLength = 2;
    } else if (starts({0x3C, 0, 0, 0}) || starts({0, 0, 0, 0x3C})) {
        s->unitWidth = 4;
        s->bigEndian = b[0] == 0;
    } else if (starts({0x3C, 0}) || starts({0, 0x3C})) {
        s->unitWidth = 2;
        s->bigEndian = b[0] == 0;
    }
    if (markName) {
        SelectEncoding(s, markName);
        ReaderDropRaw(r, markLength);
    }
}

// XML declaration (document entity) or text declaration (external entity), when the
// input starts with "<?xml" and whitespace. Settles the decoder either way.
void XmlParserState::ReadXmlDeclaration(bool document) {
    XmlReaderState* s = In();
    bool wide = s->decoder == XML_DECODE_DECLARATION && s->unitWidth > 1;
    if (wide) {
        ReaderPeekRaw(Top(), static_cast<std::size_t>(s->unitWidth) * 5);
    }
    bool present = LookingAt("<?xml") && XmlIsSpace(PeekAt(5));
    if (!present) {
        if (wide) Fail(XML_ERROR_EXPECTED, "EncodingDecl");
        if (s->decoder == XML_DECODE_DECLARATION) s->decoder = XML_DECODE_UTF8;
        return;
    }
    Advance(5);
    auto fail = [&]() { Fail(XML_ERROR_INVALID_DECLARATION, "XML"); };
    char* values[3] = {nullptr, nullptr, nullptr};
    static const char* const kNames[3] = {"version", "encoding", "standalone"};
    int next = 0;
    scratch.clear();
    for (;;) {
        bool space = SkipSpace();
        if (Accept("?>")) break;
        if (!space) fail();
        int which = -1;
        for (int i = next; i < 3 && which < 0; ++i)
            if (Accept(kNames[i])) which = i;
        if (which < 0) fail();
        SkipSpace();
        if (!Accept("=")) fail();
        SkipSpace();
        int quote = Peek();
        if (quote != '"' && quote != '\'') fail();
        Advance();
        std::size_t start = scratch.size();
        for (int c = Peek(); c != quote; c = Peek()) {
            if (c < 0 || c == '<' || c == '>') fail();
            scratch.push_back(static_cast<char>(c));
            Advance();
        }
        Advance();
        scratch.push_back(static_cast<char>(0));
        values[which] = reinterpret_cast<char*>(start + 1);  // offset + 1, fixed up below
        next = which + 1;
    }
    const char* v[3];
    for (int i = 0; i < 3; ++i)
        v[i] = values[i] ? scratch.data() + (reinterpret_cast<std::size_t>(values[i]) - 1) : nullptr;
    if (document && !v[0]) fail();
    if (v[0] && std::strcmp(v[0], "1.0") != 0) fail();
    if (!document && !v[1]) fail();
    if (v[2] && (!document || (std::strcmp(v[2], "yes") != 0 && std::strcmp(v[2], "no") != 0)))
        fail();
    if (v[1]) {
        const char* e = v[1];
        bool ok = (*e >= 'A' && *e <= 'Z') || (*e >= 'a' && *e <= 'z');
        for (const char* p = e + 1; ok && *p; ++p)
            ok = (*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') ||
                 *p == '.' || *p == '_' || *p == '-';
        if (!ok) fail();
        String name(e);
        SelectEncoding(s, name.c_str());
    } else if (s->decoder == XML_DECODE_DECLARATION) {
        if (wide) Fail(XML_ERROR_EXPECTED, "EncodingDecl");
        s->decoder = XML_DECODE_UTF8;
    }
    if (document) {
        standalone = v[2] && std::strcmp(v[2], "yes") == 0;
        if (H().xmlDecl) {
            String version(v[0]);
            String encoding(v[1] ? v[1] : "");
            String alone(v[2] ? v[2] : "");
            Check(H().xmlDecl(User(), version.c_str(), v[1] ? encoding.c_str() : nullptr,
                              v[2] ? alone.c_str() : nullptr));
        }
    }
}

void XmlParserState::ReadTextDeclaration() { ReadXmlDeclaration(false); }

// ---------------------------------------------------------------------------------------
// Lifecycle

namespace {

void ResetDocumentState(XmlParserState* st) {
    while (st->readers.size() > 0) {
        XmlReader* r = st->readers.back();
        st->readers.pop_back();
        ReaderRelease(r);
        efree(r);
    }
    st->elements.clear();
    for (XmlBinding& b : st->bindings) {
        efree(b.prefix);
        efree(b.uri);
    }
    st->bindings.clear();
    for (XmlScopedValue& v : st->scoped) {
        efree(v.name);
        efree(v.value);
    }
    st->scoped.clear();
    st->attributes.clear();
    st->spans.clear();
    st->text.clear();
    st->tag.clear();
    // The tables' keys and records are in the arena: the tables go first.
    st->attlists.clear();
    st->generalEntities.clear();
    st->parameterEntities.clear();
    st->arena.Clear();
    st->adoptedDtd = nullptr;
    st->expandedBytes = 0;
    st->documentBytesDone = 0;
    st->startDocumentCalled = st->sawDoctype = st->sawRoot = st->rootClosed = st->aborted = false;
    st->dtdDone = false;
    st->textIsWhitespace = true;
    st->standalone = false;
    st->hasExternalDtdParts = false;
    st->conditionalDepth = 0;
}

void FreeInstalledSubset(XmlParserState* st) {
    if (XmlEntity* e = st->installedSubset) {
        efree(const_cast<char*>(e->publicId));
        efree(const_cast<char*>(e->systemId));
        efree(e);
        st->installedSubset = nullptr;
    }
    st->compiledSubset = nullptr;
}

void FreeParserState(XmlParserState* st) {
    if (!st) return;
    ResetDocumentState(st);
    FreeInstalledSubset(st);
    Deleter<XmlParserState>()(st);
}

}  // namespace

XmlParser* XmlParserCreate(XmlParser** out) {
    if (out) *out = nullptr;
    auto* parser = static_cast<XmlParser*>(ecalloc(1, sizeof(XmlParser)));
    try {
        parser->options = XML_OPT_DEFAULT;
        parser->errorLine = parser->errorColumn = -1;
        XmlParserState* st = MakeUnique<XmlParserState>().release();
        parser->state = st;
        st->parser = parser;
        st->attributes.reserve(16);
        st->elements.reserve(16);
    } catch (...) {
        XmlParserFree(parser);
        throw;
    }
    if (out) *out = parser;
    return parser;
}

void XmlParserFree(XmlParser* parser) {
    if (!parser) return;
    FreeParserState(parser->state);
    efree(parser->rootName);
    efree(parser);
}

XmlEntity* XmlSetExternalSubset(XmlParser* parser, const char* publicId, const char* systemId) {
    XmlParserState* st = parser->state;
    FreeInstalledSubset(st);
    auto* e = static_cast<XmlEntity*>(ecalloc(1, sizeof(XmlEntity)));
    e->kind = XML_ENTITY_EXTERNAL_SUBSET;
    e->name = "[dtd]";
    st->installedSubset = e;
    try {
        e->publicId = publicId ? estrdup(publicId) : nullptr;
        e->systemId = systemId ? estrdup(systemId) : nullptr;
    } catch (...) {
        FreeInstalledSubset(st);
        throw;
    }
    return e;
}

namespace {

// Closes every nested external entity still open and releases the document's state; runs
// when a parse ends, normally or by an exception.
void EndParse(XmlParser* parser) noexcept {
    XmlParserState* st = parser->state;
    while (st->readers.size() > 1) {
        try {
            st->PopReader();
        } catch (...) {
        }
    }
    parser->reader = nullptr;
    ResetDocumentState(st);
}

}  // namespace

Error XmlParse(XmlParser* parser, XmlReadFn readFn, void* readArg, const char* encodingName) {
    XmlParserState* st = parser->state;
    ResetDocumentState(st);
    efree(parser->rootName);
    parser->rootName = nullptr;
    parser->errorCode = 0;
    parser->errorMessage[0] = '\0';
    parser->errorLine = parser->errorColumn = -1;
    st->documentRead = readFn;
    try {
        try {
            XmlReader* r = st->NewReader();
            ReaderInitStream(r, readFn, readArg, nullptr);
            parser->reader = r;
            if (encodingName) st->SelectEncoding(r->state, encodingName);
            if (readFn) st->ParseDocument();
        } catch (const XmlStop&) {
        }
        // End of document: unclosed elements, missing root, endDocument.
        try {
            st->FinishDocument();
        } catch (const XmlStop&) {
        }
    } catch (...) {
        EndParse(parser);
        throw;
    }
    EndParse(parser);
    return parser->errorCode == 0 ? kOk : Error::BAD_XML_ERROR;
}

Error XmlParseMemory(XmlParser* parser, const char* data, std::size_t length, const char* encodingName) {
    MemorySource source{data, length, 0};
    return XmlParse(parser, MemoryRead, &source, encodingName);
}

int MemoryRead(void* buffer, int size, int* got, void* source) {
    auto* src = static_cast<MemorySource*>(source);
    std::size_t left = src->length - src->position;
    std::size_t n = size > 0 ? static_cast<std::size_t>(size) : 0;
    if (n > left) n = left;
    if (n) std::memcpy(buffer, src->data + src->position, n);
    src->position += n;
    *got = static_cast<int>(n);
    return src->position >= src->length ? 1 : 0;
}

int XmlFileRead(void* buffer, int size, int* got, void* arg) {
    auto* f = static_cast<std::FILE*>(arg);
    std::size_t n = std::fread(buffer, 1, size > 0 ? static_cast<std::size_t>(size) : 0, f);
    *got = static_cast<int>(n);
    if (n < static_cast<std::size_t>(size) && std::ferror(f)) *got = -1;
    return n < static_cast<std::size_t>(size) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// Queries

int XmlGetLine(XmlParser* parser) {
    XmlParserState* st = parser->state;
    if (!st || st->readers.empty() || !st->Top()->state) return -1;
    XmlReaderState* s = st->In();
    if (s->len == 0 && s->pos == 0 && s->bytesRead == 0 && !s->borrowed) return -1;
    return ReaderLine(st->Top());
}

int XmlGetColumn(XmlParser* parser) {
    XmlParserState* st = parser->state;
    if (!st || st->readers.empty() || !st->Top()->state) return -1;
    XmlReaderState* s = st->In();
    if (s->len == 0 && s->pos == 0 && s->bytesRead == 0 && !s->borrowed) return -1;
    return ReaderColumn(st->Top());
}

XmlEntity* XmlGetCurrentEntity(XmlParser* parser) {
    XmlParserState* st = parser->state;
    if (!st || st->readers.empty()) return nullptr;
    return st->Top()->entity;
}

const char* XmlGetCurrentSystemId(XmlParser* parser) {
    XmlParserState* st = parser->state;
    for (std::size_t i = st->readers.size(); i-- > 1;) {
        XmlReader* r = st->readers[i];
        if (r->state && !r->state->borrowed && r->entity) return r->entity->systemId;
    }
    return nullptr;
}

const char* XmlGetScopedAttribute(XmlParser* parser, const char* name) {
    XmlParserState* st = parser->state;
    for (std::size_t i = st->scoped.size(); i-- > 0;)
        if (std::strcmp(st->scoped[i].name, name) == 0) return st->scoped[i].value;
    return nullptr;
}

XmlAttribute* XmlGetAttribute(XmlParser* parser, const char* qname) {
    for (XmlAttribute& a : parser->state->attributes)
        if (std::strcmp(a.qname, qname) == 0) return &a;
    return nullptr;
}

int XmlCollapseWhitespace(char* text, int length) {
    int out = 0;
    bool pendingSpace = false;
    for (int i = 0; i < length; ++i) {
        char c = text[i];
        if (XmlIsSpace(c)) {
            pendingSpace = out > 0;
            continue;
        }
        if (pendingSpace) text[out++] = ' ';
        pendingSpace = false;
        text[out++] = c;
    }
    if (out < length) text[out] = '\0';
    return out;
}

}  // namespace kvn
