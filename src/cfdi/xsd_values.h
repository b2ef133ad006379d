// Values of XML Schema simple types (XML Schema Part 2): the whiteSpace rule, the lexical
// forms and value spaces of the primitives the authority's schemas build on (string,
// NMTOKEN, decimal and the integer types, date, dateTime, base64Binary), and the facets of
// schema_model.h, patterns included. Decimals are compared digit by digit, never through
// binary floating point.
//
// Every text is UTF-8 as the parser delivers it (well-formed; no check is repeated here).
#pragma once

#include <cstdint>
#include <string_view>

#include "base/memory.h"
#include "cfdi/schema_model.h"

namespace kvn {

// What is wrong with a value: the first failed check, in the order lexical form, length,
// pattern, enumeration, bounds, digits.
enum class XsdFault : std::uint8_t { kNone, kLexical, kLength, kPattern, kEnumeration, kRange, kDigits };

// Applies a whiteSpace rule: replace turns TAB, LF and CR into spaces; collapse also joins
// runs of spaces into one and drops them at both ends. `out` receives the result.
void XsdApplyWhiteSpace(XsdWhiteSpace rule, std::string_view raw, String& out);

// Checks a value, already through its type's whiteSpace rule, against the type's lexical
// form and facets. Catalog types pass here (their values are looked up by the caller).
// On a fault, `message` holds an English/Spanish description naming the value.
XsdFault XsdCheckValue(const XsdSimpleType& type, std::string_view value, String& message);

// Whether a value (after its type's whiteSpace rule) equals a fixed value of the type:
// decimals and integers by value, everything else character for character.
bool XsdEqualsFixed(const XsdSimpleType& type, std::string_view value, const char* fixed);

// Runs a pattern automaton over the code points of a value.
bool XsdMatchesPattern(const XsdPattern& pattern, std::string_view value) noexcept;

// A decimal literal read into its parts: the integer digits without leading zeros and the
// fraction digits without trailing zeros (so that equal values have equal parts).
struct XsdDecimal {
    bool negative = false;
    std::string_view whole;     // "" for zero
    std::string_view fraction;  // "" when none
};

// Reads [+-]?(digits(.digits?)?|.digits) (integerOnly: [+-]?digits). False when the text
// is not of that form.
bool XsdParseDecimal(std::string_view text, bool integerOnly, XsdDecimal& out) noexcept;

// -1, 0 or 1 as a is below, equal to or above b.
int XsdCompareDecimals(const XsdDecimal& a, const XsdDecimal& b) noexcept;

// The canonical text of a decimal: "-" only below zero, the integer digits ("0" when
// none), and "." with the fraction digits when there are any ("1.5", "0", "-12").
void XsdCanonicalDecimal(const XsdDecimal& d, String& out);

// A date or dateTime read into its fields (XML Schema Part 2, sections 3.2.7 and 3.2.9).
struct XsdMoment {
    std::int64_t year = 0;   // never 0; at most 9 digits
    int month = 0, day = 0, hour = 0, minute = 0, second = 0;
    std::string_view fraction;  // digits of the second's fraction, trailing zeros removed
    bool hasZone = false;
    int zoneMinutes = 0;     // offset east of UTC
};

// Reads a date (withTime false) or a dateTime: the form and the ranges of every field,
// February 29 only in leap years, 24:00:00 as the end of a day. False otherwise.
bool XsdParseMoment(std::string_view text, bool withTime, XsdMoment& out) noexcept;

// The order of XML Schema Part 2, section 3.2.7.4: -1, 0 or 1, or 2 when a value with a
// time zone and one without are too close to be ordered.
int XsdCompareMoments(const XsdMoment& a, const XsdMoment& b) noexcept;

}  // namespace kvn
