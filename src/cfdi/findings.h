// Findings of document validation: what the validation of a CFDI 3.3 or 4.0 document (and
// every later kind) reports. One finding says what is wrong, where, and how sure the check
// is; the exports, the tool and the Python package only present the one list.
//
// A finding's place is the line of the parser at the event that raised it (a start tag's
// attributes: the line where the tag ends; a missing child or an element's text: its end
// tag), and the element's path from the root, each step the qualified name as written with
// its position among same-named siblings when it is not the first
// ("/cfdi:Comprobante/cfdi:Conceptos/cfdi:Concepto[3]").
#pragma once

#include <cstdint>

#include "base/memory.h"

namespace kvn {

enum class FindingKind : std::uint8_t {
    kSchema,      // the authority's schema (structure, types, facets)
    kCatalog,     // a value that is not in its catalog at the document's date
    kNotChecked,  // a check that could not be made (its catalog is absent)
    kRule,        // the authority's rules beyond the schema
};

enum class FindingSeverity : std::uint8_t {
    kError,    // the document is invalid
    kWarning,  // the document may be valid; something was not checked
};

// Codes of the schema and catalog findings. Rules use the authority's own codes.
namespace finding_code {
inline constexpr const char* kElementUnexpected = "XSD-ELEMENT-UNEXPECTED";  // element not allowed here
inline constexpr const char* kElementMissing = "XSD-ELEMENT-MISSING";        // required child absent
inline constexpr const char* kContent = "XSD-CONTENT";                       // text or elements where none may be
inline constexpr const char* kComplementUnknown = "XSD-COMPLEMENT-UNKNOWN";  // no published schema for it
inline constexpr const char* kAttributeUnknown = "XSD-ATTRIBUTE-UNKNOWN";
inline constexpr const char* kAttributeMissing = "XSD-ATTRIBUTE-MISSING";
inline constexpr const char* kAttributeFixed = "XSD-ATTRIBUTE-FIXED";        // differs from its fixed value
inline constexpr const char* kValueType = "XSD-VALUE-TYPE";                  // not a decimal, date, ...
inline constexpr const char* kValueLength = "XSD-VALUE-LENGTH";
inline constexpr const char* kValuePattern = "XSD-VALUE-PATTERN";
inline constexpr const char* kValueEnumeration = "XSD-VALUE-ENUMERATION";
inline constexpr const char* kValueRange = "XSD-VALUE-RANGE";
inline constexpr const char* kValueDigits = "XSD-VALUE-DIGITS";
inline constexpr const char* kValueTooLong = "XSD-VALUE-TOO-LONG";           // text too long to be checked
inline constexpr const char* kCatalogValue = "CATALOG-VALUE";                // not in the catalog at the date
inline constexpr const char* kCatalogAbsent = "CATALOG-ABSENT";              // catalog absent: not checked
}  // namespace finding_code

struct Finding {
    FindingKind kind = FindingKind::kSchema;
    FindingSeverity severity = FindingSeverity::kError;
    const char* code = "";  // static text
    int line = 0;
    String path;
    String attribute;  // qualified name as written; empty when the finding is about the element
    String value;      // the value concerned (attribute value or element text), may be empty
    String message;    // English/Spanish, joined by '/'
};

using FindingList = Vec<Finding>;

const char* FindingKindName(FindingKind kind) noexcept;          // "schema", "catalog", "not-checked", "rule"
const char* FindingSeverityName(FindingSeverity severity) noexcept;  // "error", "warning"

// The text form of a list: one line per finding, fields separated by TAB in the order kind,
// code, severity, line, path, attribute, value, message, each line ended by LF. Inside a
// field a backslash, TAB, LF and CR are written \\, \t, \n and \r, so a line always holds
// eight fields. Appends to `out`.
void WriteFindings(const FindingList& findings, String& out);

// printf into a String (appends).
void AppendFormat(String& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kvn
