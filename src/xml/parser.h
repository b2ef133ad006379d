// The library's streaming XML 1.0 parser with namespaces.
//
// Use: XmlParserCreate, fill handler slots, options and userData, XmlParse with a read
// callback, read errorCode / errorMessage / errorLine / errorColumn, XmlParserFree.
// Every text handed to a handler is UTF-8 and zero-terminated; character data also
// carries its byte length. Pointers handed to handlers are valid only during the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/error.h"
#include "base/memory.h"
#include "xml/declarations.h"

namespace kvn {

// Read callback: stores up to `size` bytes at `buffer` and their count in *got; returns
// nonzero when the input is exhausted (*got < size), zero otherwise. A negative *got or a
// failing source is an I/O error.
using XmlReadFn = int (*)(void* buffer, int size, int* got, void* arg);

// The library's file reader: fread of `size` one-byte items from the FILE* in `arg`.
int XmlFileRead(void* buffer, int size, int* got, void* arg);

// A block of memory read as a document: MemoryRead takes a MemorySource* as its `arg`.
struct MemorySource {
    const char* data = nullptr;
    std::size_t length = 0;
    std::size_t position = 0;
};
int MemoryRead(void* buffer, int size, int* got, void* source);

// ---------------------------------------------------------------------------------------
// Option bits
inline constexpr std::uint32_t XML_OPT_NAMESPACES = 0x001;           // resolve prefixes
inline constexpr std::uint32_t XML_OPT_KEEP_XMLNS = 0x002;           // keep xmlns attributes
inline constexpr std::uint32_t XML_OPT_EXTERNAL_ENTITIES = 0x004;    // expand external parsed
inline constexpr std::uint32_t XML_OPT_NO_EXPAND = 0x008;            // "&name;" as text
inline constexpr std::uint32_t XML_OPT_UNDEFINED_ENTITY_ERROR = 0x010;
inline constexpr std::uint32_t XML_OPT_RAW_ATTRIBUTE_WHITESPACE = 0x020;
inline constexpr std::uint32_t XML_OPT_KEEP_DECLARATIONS = 0x040;
inline constexpr std::uint32_t XML_OPT_CONTINUE_ON_VALIDITY = 0x080;
inline constexpr std::uint32_t XML_OPT_CHUNKED_TEXT = 0x100;
inline constexpr std::uint32_t XML_OPT_PROLOG_ONLY = 0x200;
inline constexpr std::uint32_t XML_OPT_DEFAULT = XML_OPT_NAMESPACES | XML_OPT_EXTERNAL_ENTITIES;

// ---------------------------------------------------------------------------------------
// Error codes (XmlParser::errorCode)
enum XmlErrorCode : std::uint32_t {
    XML_ERROR_NONE = 0,
    XML_ERROR_NO_MEMORY = 1,            // "Out of memory" (never set: exhaustion propagates)
    XML_ERROR_FATAL = 2,                // "Fatal error (code: %d)"
    XML_ERROR_INVALID_TOKEN = 3,        // "Invalid token"
    XML_ERROR_INVALID_NAME = 4,         // "Invalid name"
    XML_ERROR_UNEXPECTED_END_TAG = 5,   // "End tag '%s' was not expected here"
    XML_ERROR_UNDEFINED_ENTITY = 6,     // "Reference to undefined entity '%s'"
    XML_ERROR_WHITESPACE_NOT_ALLOWED = 7,
    XML_ERROR_WHITESPACE_REQUIRED = 8,
    XML_ERROR_TAG_NOT_CLOSED = 9,       // "Tag '%s' was not closed"
    XML_ERROR_EXPECTED_FOUND = 10,      // "Expected '%s', found '%s'"
    XML_ERROR_EXPECTED = 11,            // "Expected '%s'"
    XML_ERROR_SECOND_ROOT = 12,
    XML_ERROR_TOP_LEVEL = 13,
    XML_ERROR_UNDEFINED_PREFIX = 14,    // "Undefined namespace prefix '%s'"
    XML_ERROR_DUPLICATE_ATTRIBUTE = 15, // "Duplicate attribute '%s'"
    XML_ERROR_ENCODING = 16,
    XML_ERROR_UNSUPPORTED_ENCODING = 17,  // "Unsupported encoding '%s'"
    XML_ERROR_INVALID_DECLARATION = 18,   // "Invalid %s declaration"
    XML_ERROR_INVALID_ATTRIBUTE_VALUE = 19,  // "Invalid value for attribute '%s'"
    XML_ERROR_ABORTED = 20,
    XML_ERROR_ILLEGAL_CHARACTER = 21,
    XML_ERROR_RECURSIVE_ENTITY = 22,    // "Recursive reference in entity '%s'"
    XML_ERROR_IO = 23,
    XML_ERROR_ENCODING_SWITCH = 24,     // "Switch from encoding '%s' to '%s' is not supported"
    XML_ERROR_ENTITY_EXPANSION = 25,    // "Entity expansion limit exceeded in '%s'"
    XML_ERROR_VALIDATION = 300,         // set by the DTD validator only
};

// The printf format of a parser error code (1..25), or null for other codes.
const char* XmlErrorFormat(std::uint32_t code);
// Formats code's message with its arguments (unused ones may be null) into out[128];
// the text is cut to 127 bytes and always zero-terminated.
void XmlFormatErrorMessage(char out[128], std::uint32_t code, const char* arg1, const char* arg2);

// ---------------------------------------------------------------------------------------
// Entity records

enum XmlEntityKind : int {
    XML_ENTITY_INTERNAL_GENERAL = 1,
    XML_ENTITY_INTERNAL_PARAMETER = 2,
    XML_ENTITY_EXTERNAL_PARAMETER = 3,
    XML_ENTITY_EXTERNAL_GENERAL = 4,   // external parsed general entity
    XML_ENTITY_UNPARSED = 5,           // external general entity with NDATA
    XML_ENTITY_EXTERNAL_SUBSET = 6,    // an external DTD subset, named "[dtd]"
};

struct XmlEntity {
    int kind;
    const char* name;
    const char* publicId;  // null when absent
    const char* systemId;  // null when absent
    const char* text;      // replacement text of internal entities (UTF-8), else null
    int textLength;
    int inUse;             // nonzero while being expanded (recursion detection)
    const char* notation;  // NDATA name of unparsed entities, else null
    int declaredExternally;  // declared in an external subset or external parameter entity
};

// ---------------------------------------------------------------------------------------
// Input reader. resolveEntity receives a fresh reader whose `read` is the document's read
// callback and whose `readArg` is null; the handler stores its source in readArg (and may
// replace read). Leaving readArg null skips the entity silently. The remaining fields are
// the parser's.
struct XmlReaderState;
struct XmlReader {
    XmlReadFn read;
    void* readArg;
    XmlEntity* entity;       // the entity being read; null for the document entity
    XmlReaderState* state;   // the parser's buffering and decoding state
};

// ---------------------------------------------------------------------------------------
// Attributes handed to startElement: the specified attributes in document order followed
// by those defaulted from the DTD.
struct XmlAttribute {
    const char* qname;
    const char* value;       // normalised value; a validator may replace it by its mark
    const char* uri;         // namespace URI, "" when none
    const char* localName;
    const char* prefix;      // "" when none
    char* text;              // the attribute's own value buffer (value points here)
    int valueLength;
    int defaulted;           // 1 for attributes added from the DTD
};

using XmlAttributes = Vec<XmlAttribute>;

inline std::uint32_t XmlAttributeCount(const XmlAttributes* attributes) {
    return attributes ? static_cast<std::uint32_t>(attributes->size()) : 0;
}
// Null outside 0..count-1.
inline XmlAttribute* XmlAttributeAt(XmlAttributes* attributes, std::uint32_t i) {
    return attributes && i < attributes->size() ? &(*attributes)[i] : nullptr;
}

// ---------------------------------------------------------------------------------------
// Handler slots, in the parser's fixed order. Every handler except errorHandler gets the
// parser's userData first; a return of 1 stops the parse with XML_ERROR_ABORTED.
// Texts are zero-terminated UTF-8; `len` is the byte length.
struct XmlParser;
struct XmlHandlers {
    int (*startDocument)(void* user);                                        // 0
    int (*endDocument)(void* user);                                          // 1
    int (*startCDATA)(void* user);                                           // 2
    int (*endCDATA)(void* user);                                             // 3
    int (*endDTD)(void* user);                                               // 4
    int (*characters)(void* user, const char* text, int len);                // 5
    int (*ignorableWhitespace)(void* user, const char* text, int len);       // 6
    int (*comment)(void* user, const char* text, int len);                   // 7
    // May return a replacement encoding name (kept by the caller) or null.
    const char* (*resolveEncoding)(void* user, const char* name);            // 8
    int (*startElement)(void* user, const char* uri, const char* localName,
                        const char* qname, XmlAttributes* attributes);       // 9
    int (*endElement)(void* user, const char* uri, const char* localName,
                      const char* qname);                                    // 10
    int (*processingInstruction)(void* user, const char* target, const char* data);  // 11
    int (*startDTD)(void* user, const char* rootName, const char* publicId,
                    const char* systemId, int hasInternalSubset);            // 12
    int (*xmlDecl)(void* user, const char* version, const char* encoding,
                   const char* standalone);                                  // 13
    int (*skippedEntity)(void* user, const char* name);                      // 14
    int (*startEntity)(void* user, XmlEntity* entity);                       // 15
    int (*endEntity)(void* user, XmlEntity* entity);                         // 16
    int (*resolveEntity)(void* user, XmlEntity* entity, XmlReader* reader);  // 17
    int (*closeEntity)(void* user, XmlEntity* entity, XmlReader* reader);    // 18
    int (*attributeDecl)(void* user, const char* elementName, const char* attributeName,
                         int type, const char* enumeration, int defaultKind,
                         const char* defaultValue);                          // 19
    // With XML_OPT_KEEP_DECLARATIONS: decl is the record and model null; without it: decl
    // is null and model is the content model as declaration text.
    int (*elementDecl)(void* user, const char* name, XmlElementDecl* decl,
                       const char* model);                                   // 20
    int (*entityDecl)(void* user, XmlEntity* entity);                        // 21
    int (*notationDecl)(void* user, const char* name, const char* publicId,
                        const char* systemId);                               // 22
    int (*errorHandler)(XmlParser* parser);                                  // 23
};

struct XmlParserState;

struct XmlParser {
    XmlReader* reader;          // the reader of the entity being read (null outside a parse)
    XmlParserState* state;      // element stack, attribute list, tables
    char* rootName;             // qualified name of the first start tag, null until then
    char errorMessage[128];
    std::uint32_t errorCode;
    int errorLine;
    int errorColumn;
    void* userData;
    std::uint32_t options;
    XmlHandlers handlers;
};

// Allocates and initialises a parser (options XML_OPT_DEFAULT, no handlers, no user data).
// Stores it in *out (when out is non-null) and returns it; never null (allocation failure
// propagates as std::bad_alloc).
XmlParser* XmlParserCreate(XmlParser** out);
void XmlParserFree(XmlParser* parser);

// Parses one document from readFn/readArg. encodingName (may be null) forces the encoding
// before detection. A null readFn only runs the end-of-document steps.
// Returns kOk when the parse ended with errorCode 0, else BAD_XML_ERROR (errorCode,
// errorMessage, errorLine and errorColumn tell what and where). Memory exhaustion, in the
// parser or in a handler, propagates as std::bad_alloc after the parse state is released.
Error XmlParse(XmlParser* parser, XmlReadFn readFn, void* readArg, const char* encodingName);

// Parses a document held in memory (a MemorySource over data/length).
Error XmlParseMemory(XmlParser* parser, const char* data, std::size_t length,
                   const char* encodingName);

// Installs an external DTD subset read through resolveEntity before the document's own
// declarations (at the DOCTYPE, or just before the first start tag when there is none).
// Returns the entity record (owned by the parser).
XmlEntity* XmlSetExternalSubset(XmlParser* parser, const char* publicId, const char* systemId);

// Current position: line (1-based) and column (1-based, in characters), -1 without input.
int XmlGetLine(XmlParser* parser);
int XmlGetColumn(XmlParser* parser);
// The entity being read, or null in the document entity.
XmlEntity* XmlGetCurrentEntity(XmlParser* parser);
// The system ID of the external entity being read, or null in the document's own reader.
const char* XmlGetCurrentSystemId(XmlParser* parser);
// The value of an inherited xml: attribute ("xml:lang", "xml:space", "xml:base", ...) in
// the scope of the current element, or null.
const char* XmlGetScopedAttribute(XmlParser* parser, const char* name);
// The attribute record of the current start tag with that qualified name, or null.
XmlAttribute* XmlGetAttribute(XmlParser* parser, const char* qname);
// In place: every run of TAB/LF/CR/space becomes one space; leading and trailing
// whitespace goes. Returns the new length (the text is zero-terminated when length allows).
int XmlCollapseWhitespace(char* text, int length);

// Reports a parser error the way the parser itself does (for code 300 the caller formats
// its own message and calls errorHandler itself). Returns 0.
int XmlReportError(XmlParser* parser, std::uint32_t code, const char* arg1, const char* arg2);

}  // namespace kvn
