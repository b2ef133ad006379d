// Value restrictions of invoice documents: the lexical forms, lengths, fixed values,
// enumerations, fraction digits, minimum values and the RFC and CURP forms that the schema
// tables attach to attributes and element texts, and the pass that applies them to a
// document.
//
// Values are tested in single-byte form: UTF-8 text is first narrowed to Latin-1
// (ToSingleByte) and its whitespace collapsed, so that lengths count characters of the
// Latin-1 range and the table texts (stored in Latin-1) compare byte for byte.
#pragma once

#include <cstddef>

#include "base/memory.h"
#include "cfdi/namespaces.h"
#include "cfdi/schema_tables.h"
#include "xml/parser.h"

namespace kvn {

// Size of the buffer every failure detail is formatted into (longer texts are cut).
inline constexpr std::size_t kDetailSize = 512;

// Result of matching a value against a form: 0 the value fits; a positive number is the
// 1-based position of the first byte that does not fit; kIncomplete when the value ends
// before the form is complete.
inline constexpr int kIncomplete = -1;

// Lexical forms of the type codes 2-6 (decimal, date, dateTime, integer,
// unsignedInteger); type codes 0 and 1 (and unknown ones) accept any value.
int MatchLexicalForm(int typeCode, const char* value, std::size_t n) noexcept;

// Name used in messages for a type code ("decimal type", ...), null for strings.
const char* LexicalTypeName(int typeCode) noexcept;

// Taxpayer identification (RFC, 12 or 13 bytes) and population-registry code (CURP,
// 18 bytes); the letter N with tilde is the Latin-1 byte D1.
int MatchRfc(const char* value, std::size_t n) noexcept;
int MatchCurp(const char* value, std::size_t n) noexcept;

// Narrows UTF-8 text to single bytes in place: a two-byte sequence of a code point below
// 256 becomes that byte, every other multi-byte sequence becomes '?'. Returns the new
// length; the text is NUL-terminated there.
std::size_t ToSingleByte(char* text, std::size_t n) noexcept;

// Tests a converted, collapsed value against a restriction, in the order length bounds,
// lexical type, check; stops at the first failure. Returns true when the value passes;
// otherwise false with the failure's detail text in `detail` (kDetailSize bytes).
bool CheckRestrictedValue(const Restriction& r, const char* value, std::size_t n, char* detail) noexcept;

// The value-restriction checks of one document, fed the parser's events: every attribute
// and text of the elements the schema table knows is tested, and each failure is a
// violation with its message. The table's cursor only moves forward, one row per end tag,
// and stays on a repeatable row; lookups start at it. Attributes defaulted from a DTD are
// not tested. Deferred, the messages wait for Flush() (so that a caller can drop them);
// otherwise they go to the last-error text at once. Memory exhaustion throws.
class ValueRestrictionPass {
public:
    ValueRestrictionPass(const ElementEntry* table, bool deferred);

    void Start(const char* uri, const char* localName, const char* qname, XmlAttributes* attributes);
    void End(const char* uri, const char* localName, const char* qname);
    void AppendText(const char* text, int len);  // character data and whitespace alike

    int violations() const { return violations_; }
    void Flush();  // records the deferred messages, oldest first

private:
    static const char* LocalPart(const char* localName, const char* qname);
    const ElementEntry* Lookup(const char* uri, const char* local, const char* parent) const;
    void TestAttribute(const char* element, const XmlAttribute* a, const AttributeRow& row);
    void TestText(const char* parent, const char* qname, const ElementEntry& row);
    void Violation(const char* format, ...) __attribute__((format(printf, 2, 3)));

    const ElementEntry* table_;
    const ElementEntry* cursor_;  // the first row lookups see
    bool deferred_;
    Vec<ResolvedName> names_;     // local name and namespace of each row, by row index
    Vec<String> path_;            // qualified names of the open elements (at most 50), "/" first
    std::size_t depth_ = 0;
    String text_;                 // text collected since the last reset
    String value_;                // the attribute value under test
    bool insideAddenda_ = false;
    int violations_ = 0;
    Vec<String> kept_;            // deferred messages
    std::size_t keptLength_ = 0;
};

// The value-restriction pass over a document file: every attribute and text of the
// elements the version's schema table knows is tested; each failure is recorded in the
// last-error text, and `violations` counts them. Failures: BAD_PARAM_ERROR, OPEN_ERROR,
// NOT_SUPPORTED_ERROR, DetectVersion's errors, BAD_XML_ERROR (parse failure). Allocation
// failure throws std::bad_alloc.
Error CheckValueRestrictions(const char* xmlFile, int& violations);

}  // namespace kvn
