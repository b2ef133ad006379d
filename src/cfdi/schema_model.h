// The tax authority's XML schemas as data. scripts/gen_schema_tables.py compiles the schemas
// of each document kind (the main schema, the complements its stylesheet includes, the
// stamp, and the schemas they import) into the tables below, in generated/schema_*.cpp:
//
//   - element declarations, each with a complex type or a simple type;
//   - complex types: attribute uses and the content, either empty, simple (a simple type),
//     or elements (with or without text between them) given as a deterministic automaton
//     over element declarations and wildcards;
//   - simple types with every facet gathered along their derivation: the whiteSpace rule,
//     length bounds, value bounds, digit counts, pattern automata (each an automaton over
//     character classes) and sorted enumeration values;
//   - catalog types, named after a catalog that the catalog tables answer (catalogs.h);
//   - per document kind, its root declaration and, by namespace, the global declarations a
//     wildcard may stand for (the complements).
//
// Every index into another table is a plain integer; kXsdNone marks "none". The tables are
// constant and shared by every thread. The validation pass that walks them is
// schema_pass.h; the value checks are xsd_values.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cfdi/catalogs.h"

namespace kvn {

inline constexpr std::uint32_t kXsdNone = 0xFFFFFFFF;

// The value space and lexical form a simple type is built on (its primitive type, with
// integer standing for every integer type and kCatalog for the types of an absent catalog
// schema, whose values are looked up in the catalog tables).
enum class XsdPrimitive : std::uint8_t { kString, kNmtoken, kDecimal, kInteger, kDate, kDateTime, kBase64Binary, kCatalog };

// XML Schema Part 2, section 4.3.6: what happens to TAB, LF, CR and spaces before the
// facets see a value.
enum class XsdWhiteSpace : std::uint8_t { kPreserve, kReplace, kCollapse };

// A pattern automaton. The code points are cut into ranges; rangeStarts[firstRange + i] is
// the first code point of range i (the first range starts at 0) and rangeClasses the
// character class of each. asciiClasses[firstAscii + c] is the class of code point c below
// 128. transitions[firstTransition + state * classCount + class] is the next state, 0xFFFF
// where the value can no longer match; state 0 starts, accepting[firstAccepting + state]
// tells whether a value may end there.
struct XsdPattern {
    std::uint32_t firstRange;
    std::uint32_t rangeCount;
    std::uint32_t classCount;
    std::uint32_t firstTransition;
    std::uint32_t stateCount;
    std::uint32_t firstAccepting;
    std::uint32_t firstAscii;
    const char* source;  // the pattern as the schema writes it, for messages
};

inline constexpr std::uint16_t kXsdNoState = 0xFFFF;

// Patterns of one derivation step: a value must match one of them (XML Schema Part 2,
// section 4.3.4.3). refs[first, first + count) are pattern indices.
struct XsdPatternGroup {
    std::uint32_t first;
    std::uint32_t count;
};

struct XsdSimpleType {
    const char* name;  // the type's name ("t_RFC", "c_Moneda", "decimal"), "" for an anonymous one
    XsdPrimitive primitive;
    XsdWhiteSpace whiteSpace;
    std::uint16_t catalog;  // kCatalog: index into XsdTypeTables::catalogNames
    std::int32_t length;    // length facets, -1 when absent: characters of strings and
    std::int32_t minLength; // NMTOKENs, octets of base64Binary
    std::int32_t maxLength;
    std::int32_t totalDigits;     // -1 when absent
    std::int32_t fractionDigits;  // -1 when absent
    // Bounds, null when absent: decimal literals for decimals and integers (the integer
    // types' own bounds included), lexical dates and dateTimes for those.
    const char* minInclusive;
    const char* maxInclusive;
    const char* minExclusive;
    const char* maxExclusive;
    // Pattern groups: typePatternGroups[firstPatternGroup, + patternGroupCount) are indices
    // into patternGroups; every group must match (one per derivation step).
    std::uint32_t firstPatternGroup;
    std::uint32_t patternGroupCount;
    // Enumeration: enumerationOffsets[firstEnumeration, + enumerationCount) locate the
    // allowed values in enumerationText, sorted bytewise; decimal and integer values are in
    // canonical form (XsdCanonicalDecimal).
    std::uint32_t firstEnumeration;
    std::uint32_t enumerationCount;
    std::uint8_t hasEnumeration;
};

struct XsdTypeTables {
    const XsdSimpleType* simpleTypes;
    std::uint32_t simpleTypeCount;
    const XsdPattern* patterns;
    std::uint32_t patternCount;
    const std::uint32_t* rangeStarts;
    const std::uint8_t* rangeClasses;
    const std::uint8_t* asciiClasses;
    const std::uint16_t* transitions;
    const std::uint8_t* accepting;
    const XsdPatternGroup* patternGroups;
    const std::uint16_t* patternRefs;
    const std::uint16_t* typePatternGroups;
    // Value i is the NUL-terminated text at enumerationText + enumerationOffsets[i]; the
    // offsets have one more entry, the end of the text.
    const char* enumerationText;
    const std::uint32_t* enumerationOffsets;
    const char* const* catalogNames;
    std::uint32_t catalogCount;
};

struct XsdAttributeUse {
    const char* name;    // unqualified: the attribute has no namespace
    std::uint32_t type;  // simple type
    std::uint8_t required;
    const char* fixed;   // the value it must have (after its type's whitespace rule; decimals
                         // in canonical form), or null
};

enum class XsdContent : std::uint8_t {
    kEmpty,     // attributes only: no elements, no text
    kElements,  // elements (model); text between them only when it is whitespace
    kMixed,     // elements (model) and any text between them
    kSimple,    // text of simpleType, no elements
};

struct XsdComplexType {
    std::uint32_t firstAttribute;  // into XsdElementTables::attributes
    std::uint32_t attributeCount;
    XsdContent content;
    std::uint32_t model;       // kElements, kMixed: content automaton
    std::uint32_t simpleType;  // kSimple: the text's type
};

struct XsdElement {
    const char* local;
    const char* ns;            // "" for no namespace
    std::uint32_t complexType; // or kXsdNone: then the element has simpleType as its text
    std::uint32_t simpleType;  // and no attributes
};

// An edge of a content automaton: an element declaration, or a wildcard (kXsdWildcard with
// the processContents in the low bits) that any element may take.
inline constexpr std::uint32_t kXsdWildcard = 0x80000000u;
enum XsdProcessContents : std::uint32_t { kXsdStrict = 0, kXsdLax = 1, kXsdSkip = 2 };

struct XsdModelEdge {
    std::uint32_t symbol;  // element declaration, or kXsdWildcard | XsdProcessContents
    std::uint32_t next;    // state, relative to the model's first
};

// State s of a model is states[model.firstState + s]; its edges are edges[firstEdge,
// + edgeCount), declarations before wildcards. State 0 starts.
struct XsdModelState {
    std::uint32_t firstEdge;
    std::uint32_t edgeCount;
    std::uint8_t accepting;  // the element may end here
};

struct XsdModel {
    std::uint32_t firstState;
    std::uint32_t stateCount;
};

struct XsdElementTables {
    const XsdElement* elements;
    std::uint32_t elementCount;
    const XsdComplexType* complexTypes;
    std::uint32_t complexTypeCount;
    const XsdAttributeUse* attributes;
    const XsdModel* models;
    std::uint32_t modelCount;
    const XsdModelState* states;
    const XsdModelEdge* edges;
};

// The global declarations of one namespace: globals[first, + count) of its set, sorted by
// local name.
struct XsdNamespace {
    const char* uri;
    std::uint32_t first;
    std::uint32_t count;
};

// A document kind.
struct XsdSchemaSet {
    const char* name;              // "CFDI 4.0"
    int versionNumber;             // the document's version number (KVN_XmlReceiptVersion)
    std::uint32_t root;            // declaration of the root element
    const XsdNamespace* namespaces; // sorted by URI: where strict wildcards find declarations
    std::uint32_t namespaceCount;
    const std::uint32_t* globals;
    CatalogSet catalogs;           // the catalog folder of its catalog types
    const char* dateAttribute;     // root attribute whose date selects catalog rows
};

extern const XsdTypeTables kXsdTypeTables;
extern const XsdElementTables kXsdElementTables;
extern const XsdSchemaSet kXsdSchemaSets[];
extern const std::size_t kXsdSchemaSetCount;

// The schema set of a version number, or null.
const XsdSchemaSet* SchemaSetFor(int versionNumber) noexcept;

}  // namespace kvn
