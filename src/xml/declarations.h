// Records of DTD declarations, as the declaration reader hands them to the
// elementDecl / attributeDecl / entityDecl handlers and keeps them for attribute
// defaulting and validation.
//
// Ownership: every record here belongs to the parser that read it. Records stay valid
// until XmlParse returns (with XML_OPT_KEEP_DECLARATIONS) or, without that option, until
// the end of the handler call that receives them. A validator that compiles content models
// keeps its automata in its own memory and may point into these records only while the
// parse runs.
#pragma once

#include <cstdint>

#include "base/memory.h"

namespace kvn {

// Content kind of an element declaration; kinds 1, 2, 3 and 6 are also particle kinds.
enum XmlContentKind : int {
    XML_CONTENT_CHOICE = 1,    // ( a | b )
    XML_CONTENT_SEQUENCE = 2,  // ( a , b )
    XML_CONTENT_MIXED = 3,     // (#PCDATA) or (#PCDATA | a | b)*
    XML_CONTENT_EMPTY = 4,
    XML_CONTENT_ANY = 5,
    XML_CONTENT_NAME = 6,      // a single element name (leaf of a model)
};

enum XmlOccurrence : int {
    XML_OCCURS_ONCE = 0,
    XML_OCCURS_OPTIONAL = 1,   // ?
    XML_OCCURS_ANY = 2,        // *
    XML_OCCURS_ONE_OR_MORE = 3 // +
};

// One node of a content model tree. Groups list their children through firstChild /
// nextSibling; leaves (kind XML_CONTENT_NAME) carry the element name. A mixed model is a
// node of kind XML_CONTENT_MIXED whose children are the named leaves (none for (#PCDATA)).
// Trees may be arbitrarily deep: walk them with an explicit stack, never by recursion.
struct XmlContentParticle {
    int kind;
    int occurrence;
    const char* name;  // leaves only, else null
    XmlContentParticle* firstChild;
    XmlContentParticle* nextSibling;
};

// Attribute types and default kinds of <!ATTLIST>.
enum XmlAttributeType : int {
    XML_ATTR_CDATA = 1,
    XML_ATTR_ID = 2,
    XML_ATTR_IDREF = 3,
    XML_ATTR_IDREFS = 4,
    XML_ATTR_ENTITY = 5,
    XML_ATTR_ENTITIES = 6,
    XML_ATTR_NMTOKEN = 7,
    XML_ATTR_NMTOKENS = 8,
    XML_ATTR_NOTATION = 9,     // NOTATION ( a | b )
    XML_ATTR_ENUMERATION = 10, // ( a | b )
};

enum XmlDefaultKind : int {
    XML_DEFAULT_VALUE = 0,  // a plain default value
    XML_DEFAULT_FIXED = 1,
    XML_DEFAULT_REQUIRED = 2,
    XML_DEFAULT_IMPLIED = 3,
};

// One attribute definition. The default value is normalised as an attribute value (and
// collapsed for types other than CDATA); null for #REQUIRED and #IMPLIED.
struct XmlAttributeDef {
    const char* name;
    const char* defaultValue;
    int type;
    int defaultKind;
    const char* enumerationText;  // types 9 and 10: "(a|b)" as declared, else null
    const char* const* values;    // types 9 and 10: the listed values, null-terminated
    int valueCount;
};

// One <!ELEMENT> declaration. `model` is the content model tree (null for EMPTY and ANY).
// `automaton` and `startState` belong to whoever compiles the model (the validator); the
// parser leaves them null.
struct XmlElementDecl {
    const char* name;
    int kind;
    XmlContentParticle* model;
    void* automaton;
    void* startState;
};

struct XmlParser;

// The attribute definitions read for an element so far, in declaration order, or null when
// the element has none. Valid while the
// declarations are (see above).
const Vec<const XmlAttributeDef*>* XmlGetAttributeDefs(XmlParser* parser, const char* elementName);

// The content model rebuilt as declaration text ("EMPTY", "ANY", "(#PCDATA|a|b)*",
// "(a,(b|c)+)?", ...), appended to `out` and zero-terminated. Returns out's data.
char* XmlContentModelText(const XmlElementDecl* decl, String* out);

}  // namespace kvn
