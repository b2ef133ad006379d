// Schema tables of the invoice documents: for each supported version (2.0, 2.2, 3.0, 3.2)
// and for the TimbreFiscalDigital stamp, the element kinds in document order, how they
// nest, which attributes (and, for a few elements, texts) enter the pipe string, which are
// mandatory and which value restrictions apply.
//
// The tables are the format: the pipe string of a document is exactly the values these
// tables select, in the tables' order. They are read-only and shared by every operation
// (pipe string, validation of value restrictions).
//
// Layout: a table is an array of ElementEntry ending with an entry whose name is null; an
// attribute list is an array of AttributeRow ending with a row whose name is null.
// Strings are stored as Latin-1 bytes (the "e acute" of "Profesional tecnico" and "Aerea"
// is the single byte E9).
#pragma once

#include <cstddef>

namespace kvn {

// Value type of a restriction (typeCode). 0 and 1 both mean a plain string.
enum ValueTypeCode : int {
    kString = 0,
    kStringType = 1,
    kDecimal = 2,
    kDate = 3,
    kDateTime = 4,
    kInteger = 5,
    kUnsignedInteger = 6,
};

// The value check of a restriction; its argument is Restriction::checkArgument.
enum ValueCheck : int {
    kNoCheck = 0,
    kFixedValue,      // the value must equal the argument
    kEnumeration,     // the value must be one of the argument's words, separated by '|'
    kFractionDigits,  // at most the argument's number of decimal places
    kMinimumValue,    // numeric value at least the argument
    kRfcPattern,      // the form of a taxpayer identification (no argument)
    kCurpPattern,     // the form of a population-registry code (no argument)
};

// A value restriction. Length bounds count characters; 0 means no bound.
struct Restriction {
    int typeCode = kString;
    int minLength = 0;
    int maxLength = 0;
    ValueCheck check = kNoCheck;
    const char* checkArgument = nullptr;  // Latin-1; null when the check takes none
};

struct AttributeRow {
    const char* name = nullptr;  // null ends a list
    bool inPipeString = false;
    bool mandatory = false;
    Restriction restriction{};
};

// Content kind of an element.
enum ContentKind : int {
    kAny = 0,       // any content, left alone
    kEmpty = 1,     // attributes only
    kChildren = 2,  // element content
    kText = 3,      // text only
};

struct ElementEntry {
    const char* name = nullptr;    // qualified name with its prefix; null ends a table
    const char* parent = nullptr;  // qualified name of the enclosing element; null: any parent
    int depth = 0;                 // nesting level, the root being 0
    bool hasText = false;          // the character content is a value of the pipe string
    int minOccurs = 0;             // 1 required, 0 optional
    ContentKind kind = kAny;
    bool repeatable = false;       // may occur more than once in a row
    const AttributeRow* attributes = nullptr;  // pipe-string order; null when none
    const char* const* moveToEnd = nullptr;    // attribute names, null-terminated; null when none
    Restriction textRestriction{};             // restriction of the text when hasText is set
};

// The table of a version number (20, 22, 30, 32); null for any other number.
const ElementEntry* SchemaTableForVersion(int versionNumber) noexcept;

// The stamp table (cfdi:Comprobante / cfdi:Complemento / tfd:TimbreFiscalDigital).
const ElementEntry* StampSchemaTable() noexcept;

// Number of entries of a table, not counting the terminating one.
std::size_t SchemaTableSize(const ElementEntry* table) noexcept;

// The row named `name` (exact, case-sensitive) in the entry's attribute list, or null.
const AttributeRow* FindAttributeRow(const ElementEntry& entry, const char* name) noexcept;

// The local part of an entry name: the text after its first ':' (the whole name when
// it has no prefix).
const char* EntryLocalName(const ElementEntry& entry) noexcept;

}  // namespace kvn
