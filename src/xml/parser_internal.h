// Internal state of the XML parser, shared by its modules (document and prolog,
// content, references, declarations). Nothing outside src/xml includes this.
//
// Control flow: an error is reported with Fail(), which stores it in the parser and
// throws XmlStop; XmlParse catches it, while std::bad_alloc passes through to the caller.
// So the reading code is straight-line, and every resource lives in XmlParserState, which
// XmlParse releases on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <utility>

#include "base/memory.h"
#include "xml/names.h"
#include "xml/parser.h"
#include "xml/reader.h"

namespace kvn {

struct XmlStop {};

// An open element. The qualified name lives in the parser's name buffer of the element's
// depth (XmlParserState::openNames).
struct XmlElementFrame {
    char* qname;
    std::size_t qnameLength;
    const char* uri;
    const char* localName;
    std::uint32_t bindingMark;  // namespace bindings made by this element start here
    std::uint32_t scopeMark;    // xml: scope entries made by this element start here
    std::size_t readerDepth;    // the entity level it was opened in
};

struct XmlBinding {
    char* prefix;  // "" for the default namespace
    char* uri;
};

struct XmlScopedValue {
    char* name;
    char* value;
};

// Attribute definitions of one element, in declaration order.
struct XmlAttlist {
    Vec<const XmlAttributeDef*> defs;
    bool anyCollapsed = false;  // some attribute has a type other than CDATA
    bool anyDefault = false;    // some attribute has a default value
};

// Bump allocator for DTD records and strings; everything goes at the end of the parse.
class XmlArena {
public:
    XmlArena() = default;
    XmlArena(const XmlArena&) = delete;
    XmlArena& operator=(const XmlArena&) = delete;
    ~XmlArena() { Clear(); }
    void Swap(XmlArena& other) noexcept { std::swap(head_, other.head_); }
    void* Alloc(std::size_t n);
    char* Copy(const char* s, std::size_t n);  // zero-terminated copy of n bytes
    char* Copy(const char* s) { return s ? Copy(s, std::strlen(s)) : nullptr; }
    void Clear();

private:
    struct Chunk {
        Chunk* next;
        std::size_t used;
        std::size_t size;
    };
    Chunk* head_ = nullptr;
};

// Attribute being read: offsets into the tag buffer, fixed up to pointers at the end.
struct XmlAttributeSpan {
    std::size_t qname, qnameLength, value, valueLength, prefix, prefixLength;
    bool defaulted;
};

struct ValidatorDeclarations;  // xml/validator.cpp

// A DTD read once (xml/compiled_dtd.h): the parser's tables of its declarations, the
// validator's compiled content models, and the arena their records and names live in.
// Nothing changes in it once made; a parse that adopts it copies the records it would
// change (the general entities, which carry their expansion state).
struct XmlCompiledDtd {
    XmlArena arena;
    TextMap<XmlEntity*> generalEntities;
    TextMap<XmlEntity*> parameterEntities;
    TextMap<XmlAttlist> attlists;
    ValidatorDeclarations* declarations = nullptr;  // owned
    String systemId;
    ~XmlCompiledDtd();
};

struct XmlParserState {
    XmlParser* parser = nullptr;
    Vec<XmlReader*> readers;       // readers[0] is the document entity's
    XmlAttributes attributes;      // handed to startElement
    Vec<XmlAttributeSpan> spans;
    Vec<XmlElementFrame> elements;
    Vec<XmlBinding> bindings;
    Vec<XmlScopedValue> scoped;
    String text;               // character data builder
    String tag;                // names and values of the current start tag
    String scratch;            // references, names, declaration parts
    String scratch2;
    // Names of the open elements, one buffer per depth: a buffer keeps its capacity for the
    // next element at that depth, and a deque never moves the buffers it holds.
    std::deque<String, Allocator<String>> openNames;
    TextSet attributeNames;           // duplicate detection for long attribute lists
    // DTD tables; keys and records live in the arena.
    TextMap<XmlEntity*> generalEntities;
    TextMap<XmlEntity*> parameterEntities;
    TextMap<XmlAttlist> attlists;
    XmlArena arena;
    XmlEntity* installedSubset = nullptr;  // from XmlSetExternalSubset
    const XmlCompiledDtd* compiledSubset = nullptr;  // the installed subset, compiled (XmlUseCompiledDtd)
    const XmlCompiledDtd* adoptedDtd = nullptr;      // its tables, in use for this document
    XmlReadFn documentRead = nullptr;
    std::uint64_t expandedBytes = 0;       // bytes produced by entity expansion
    std::uint64_t documentBytesDone = 0;   // input bytes of external entities already closed
    bool startDocumentCalled = false;
    bool prologOnly = false;
    bool sawDoctype = false;
    bool sawRoot = false;
    bool rootClosed = false;
    bool aborted = false;          // an element handler stopped the parse (Stopped())
    bool dtdDone = false;          // the DTD (or the installed subset) has been processed
    bool textIsWhitespace = true;  // the pending text run is whitespace only
    bool standalone = false;
    bool hasExternalDtdParts = false;  // external subset or parameter entities seen
    int conditionalDepth = 0;

    // --- character access on the current reader -------------------------------------
    XmlReader* Top() const { return readers.back(); }
    XmlReaderState* In() const { return readers.back()->state; }
    // The byte at the read position, or -1 at the end of the current entity.
    int Peek() {
        XmlReaderState* s = In();
        if (s->pos < s->len) return static_cast<unsigned char>(s->buf[s->pos]);
        return PeekSlow(0);
    }
    int PeekAt(std::size_t ahead) {
        XmlReaderState* s = In();
        if (s->pos + ahead < s->len) return static_cast<unsigned char>(s->buf[s->pos + ahead]);
        return PeekSlow(ahead);
    }
    int PeekSlow(std::size_t ahead);
    void Advance(std::size_t n = 1) { In()->pos += n; }
    // Whether the input continues with `literal` (not consumed).
    bool LookingAt(const char* literal);
    bool Accept(const char* literal) {
        if (!LookingAt(literal)) return false;
        Advance(std::strlen(literal));
        return true;
    }
    // Skips whitespace; returns whether there was any.
    bool SkipSpace() {
        XmlReaderState* s = In();
        std::size_t start = s->pos, p = start;
        while (p < s->len && XmlIsSpace(s->buf[p])) ++p;
        s->pos = p;
        if (p < s->len) return p != start;
        bool more = SkipSpaceRun();  // the run reaches the end of what is buffered
        return more || p != start;
    }
    bool SkipSpaceRun();
    // Length of the name at the read position (the whole name is made available), 0 when
    // no name starts here.
    std::size_t ScanName() {
        // ASCII names wholly inside the buffer are settled here; the rest goes on from
        // where this stopped.
        XmlReaderState* s = In();
        const auto* p = reinterpret_cast<const unsigned char*>(s->buf + s->pos);
        std::size_t avail = s->len - s->pos;
        const std::uint8_t* classes = kXmlByteClass.bits;
        if (avail == 0 || !(classes[p[0]] & 1)) return ScanNameFrom(0);
        std::size_t n = 1;
        while (n < avail && (classes[p[n]] & 2)) ++n;
        if (n < avail && p[n] < 0x80) return n;
        return ScanNameFrom(n);
    }
    // Goes on with a name whose first n bytes have been accepted.
    std::size_t ScanNameFrom(std::size_t n);
    // Reads a name into `out` (appended, not terminated) or fails with "Name".
    std::size_t ReadName(String* out);
    // Checks that the name just read is followed by whitespace or one of `delimiters`.
    void CheckNameEnd(const char* delimiters) {
        XmlReaderState* s = In();
        if (s->pos < s->len) {
            char c = s->buf[s->pos];
            if (c == delimiters[0] || XmlIsSpace(c)) return;
        }
        CheckNameEndSlow(delimiters);
    }
    void CheckNameEndSlow(const char* delimiters);

    // --- errors and handlers -------------------------------------------------------
    [[noreturn]] void Fail(std::uint32_t code, const char* arg1 = nullptr, const char* arg2 = nullptr);
    [[noreturn]] void FailReader(XmlReaderState* s);
    void Check(int handlerResult) {
        if (handlerResult == 1) Fail(XML_ERROR_ABORTED);
    }
    // The same for the element handlers, without an exception: early stops there are
    // common (queries that read only the first elements), so the parse returns up to
    // ParseContent(), which ends on `aborted`.
    bool Stopped(int handlerResult) {
        if (handlerResult != 1) return false;
        XmlReportError(parser, XML_ERROR_ABORTED, nullptr, nullptr);
        aborted = true;
        return true;
    }
    XmlHandlers& H() { return parser->handlers; }
    void* User() { return parser->userData; }
    bool Opt(std::uint32_t bit) const { return (parser->options & bit) != 0; }

    // --- readers and entities ------------------------------------------------------
    XmlReader* NewReader();
    // Pushes an internal entity's replacement text; counts it against the expansion guard.
    void PushInternalEntity(XmlEntity* e);
    // Resolves and pushes an external entity; returns false when the handler skipped it.
    bool PushExternalEntity(XmlEntity* e);
    // Pops the top reader, calling closeEntity for external ones (not endEntity).
    void PopReader();
    void CountExpansion(XmlEntity* e, std::size_t bytes);
    std::size_t Depth() const { return readers.size(); }
    // Reads a text declaration at the start of an external entity, if there is one,
    // and settles the entity's encoding.
    void ReadTextDeclaration();
    void SelectEncoding(XmlReaderState* s, const char* name);
    XmlEntity* FindGeneralEntity(const char* name);
    XmlEntity* FindParameterEntity(const char* name);

    // --- document ------------------------------------------------------------------
    void ParseDocument();
    void FinishDocument();
    void DetectEncoding();
    void ReadXmlDeclaration(bool document);
    void ParseContent();
    void ParseMarkup();
    void ParseStartTag();
    void ParseEndTag();
    void ParseComment(bool inDtd);
    void ParsePI(bool inDtd);
    void ParseCData();
    void ParseDoctype();
    void ReadText();
    void AppendText(const char* p, std::size_t n);
    void DeliverPiece(bool whitespaceAllowed);
    void FlushText();
    void ContentReference();
    void EndOfEntityInContent();
    void CloseElement(XmlElementFrame& frame);

    // --- references and attributes ------------------------------------------------
    std::uint32_t ReadCharReference();       // after "&#"
    void ReadReferenceName(String* name);    // after "&"
    // A reference inside replacement text [p, end) starting at '&'; returns its length.
    int ParseReference(const char* p, const char* end, std::uint32_t* cp, String* name, int* kind);
    void AppendCodePoint(String* out, std::uint32_t cp);
    // Appends the normalised value of a quoted literal (after the opening quote) to out.
    void ReadAttributeValue(int quote, String* out);
    void ExpandEntityInValue(XmlEntity* e, String* out);
    XmlEntity* EntityForValueReference(const char* name);
    void CheckDuplicateAttributes();
    void ApplyDefaults();
    void BuildAttributeList();
    // The URI bound to the prefix of n bytes ("" and 0 for the default namespace).
    const char* LookupNamespace(const char* prefix, std::size_t n) const;
    void ResolveNamespaces(XmlElementFrame& frame);

    // --- DTD -----------------------------------------------------------------------
    void ReadInternalSubset();
    void ReadExternalSubset(XmlEntity* subset);
    void ReadDeclarations(bool internal, std::size_t baseDepth);
    void ProcessInstalledSubset();
    void AdoptCompiledDtd();
    // The attribute lists in force: the adopted DTD's, else those read for this document.
    const TextMap<XmlAttlist>& Attlists() const { return adoptedDtd ? adoptedDtd->attlists : attlists; }
    void EndDtd();
    bool DtdSkipSpace();
    void DtdRequireSpace(const char* keyword);
    void ParameterReference(bool inDeclaration);
    void ParseConditional();
    void ParseEntityDecl();
    void ParseElementDecl();
    void ParseAttlistDecl();
    void ParseNotationDecl();
    char* ReadDtdName(const char* keyword);
    // A quoted system or public literal (public: checks the PubidChar set).
    char* ReadQuoted(const char* keyword, bool publicId);
    void ReadEntityValue(int quote, String* out);
    XmlContentParticle* NewParticle(int kind, const char* name);
    void ReadMixedModel(XmlElementDecl* decl);
    void ReadChildrenModel(XmlElementDecl* decl);
    void ReadEnumeration(XmlAttributeDef* def);
    bool InExternalContext() const;
};

// Names of the fixed namespaces.
inline constexpr const char* kXmlNamespaceUri = "http://www.w3.org/XML/1998/namespace";
inline constexpr const char* kXmlnsNamespaceUri = "http://www.w3.org/2000/xmlns/";

}  // namespace kvn
