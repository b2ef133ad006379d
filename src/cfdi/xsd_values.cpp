// Values of XML Schema simple types: whitespace, lexical forms, value comparison, facets.
#include "cfdi/xsd_values.h"

#include <cstring>

#include "cfdi/findings.h"
#include "xml/names.h"

namespace kvn {
namespace {

const XsdTypeTables& Types() { return kXsdTypeTables; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The code point at p (a complete UTF-8 sequence of the parser's output) and its length.
std::uint32_t DecodeAt(const unsigned char* p, std::size_t left, std::size_t& length) noexcept {
    unsigned char c = p[0];
    std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (n > left) n = left;
    length = n;
    if (n == 1) return c;
    std::uint32_t cp = c & (n == 2 ? 0x1Fu : n == 3 ? 0x0Fu : 0x07u);
    for (std::size_t i = 1; i < n; ++i) cp = (cp << 6) | (p[i] & 0x3Fu);
    return cp;
}

std::size_t CodePoints(std::string_view v) noexcept {
    std::size_t count = 0;
    for (unsigned char c : v) count += (c & 0xC0) != 0x80;
    return count;
}

// The value as messages show it: at most 80 characters, cut at a character boundary.
String Shown(std::string_view v) {
    if (v.size() <= 80) return String(v.data(), v.size());
    std::size_t cut = 77;
    while (cut > 0 && (static_cast<unsigned char>(v[cut]) & 0xC0) == 0x80) --cut;
    String s(v.data(), cut);
    s += "...";
    return s;
}

const char* PrimitiveName(const XsdSimpleType& t) {
    switch (t.primitive) {
    case XsdPrimitive::kNmtoken: return "NMTOKEN";
    case XsdPrimitive::kDecimal: return "decimal";
    case XsdPrimitive::kInteger: return "integer";
    case XsdPrimitive::kDate: return "date";
    case XsdPrimitive::kDateTime: return "dateTime";
    case XsdPrimitive::kBase64Binary: return "base64Binary";
    default: return "string";
    }
}

bool IsNmtoken(std::string_view v) noexcept {
    if (v.empty()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(v.data());
    std::size_t at = 0;
    while (at < v.size()) {
        std::size_t n = XmlSequenceLength(p[at]);
        if (n > v.size() - at || !XmlNameCharAt(p + at, n, false)) return false;
        at += n;
    }
    return true;
}

// base64Binary as the reference validator reads it: white space anywhere is skipped; the
// other characters come in groups of four, '=' padding only at the end, and the bits the
// padding leaves unused are zero (XML Schema Part 2, section 3.2.16). `octets` is the
// decoded length.
bool ReadBase64(std::string_view v, std::size_t& octets) noexcept {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t chars = 0, pads = 0;
    int last = -1;  // value of the last character before the padding
    for (char c : v) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        if (c == '=') {
            ++pads;
            ++chars;
            continue;
        }
        const char* at = std::strchr(kAlphabet, c);
        if (c == '\0' || !at || pads > 0) return false;
        last = static_cast<int>(at - kAlphabet);
        ++chars;
    }
    if (chars % 4 != 0 || pads > 2) return false;
    if (pads == 1 && (last & 0x03) != 0) return false;
    if (pads == 2 && (last & 0x0F) != 0) return false;
    octets = chars / 4 * 3 - pads;
    return true;
}

int DaysInMonth(std::int64_t year, int month) noexcept {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
    return kDays[month - 1];
}

// Reads exactly n digits at v[at]; advances at.
bool Digits(std::string_view v, std::size_t& at, int n, int& out) noexcept {
    if (at + static_cast<std::size_t>(n) > v.size()) return false;
    int value = 0;
    for (int i = 0; i < n; ++i) {
        char c = v[at + static_cast<std::size_t>(i)];
        if (!IsDigit(c)) return false;
        value = value * 10 + (c - '0');
    }
    at += static_cast<std::size_t>(n);
    out = value;
    return true;
}

bool Expect(std::string_view v, std::size_t& at, char c) noexcept {
    if (at >= v.size() || v[at] != c) return false;
    ++at;
    return true;
}

// Days from 0001-01-01 of the proleptic Gregorian calendar (negative before it).
std::int64_t DayNumber(std::int64_t y, int m, int d) noexcept {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe;
}

// Seconds of a moment, moved by `shiftMinutes` (its own zone removed when it has one).
std::int64_t Seconds(const XsdMoment& m, int shiftMinutes) noexcept {
    std::int64_t s = DayNumber(m.year, m.month, m.day) * 86400 + m.hour * 3600 + m.minute * 60 + m.second;
    return s - static_cast<std::int64_t>(m.zoneMinutes + shiftMinutes) * 60;
}

int CompareInstants(std::int64_t a, std::string_view af, std::int64_t b, std::string_view bf) noexcept {
    if (a != b) return a < b ? -1 : 1;
    int c = af.compare(bf);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool CheckLength(const XsdSimpleType& t, std::size_t length, std::string_view value, String& message) {
    const String shown = Shown(value);
    if (t.length >= 0 && length != static_cast<std::size_t>(t.length)) {
        AppendFormat(message, "'%s' has a length of %zu, not %d/La longitud del valor no es la requerida", shown.c_str(),
                     length, t.length);
        return false;
    }
    if (t.minLength >= 0 && length < static_cast<std::size_t>(t.minLength)) {
        AppendFormat(message, "'%s' has a length of %zu, less than the minimum %d/El valor es mas corto que el minimo",
                     shown.c_str(), length, t.minLength);
        return false;
    }
    if (t.maxLength >= 0 && length > static_cast<std::size_t>(t.maxLength)) {
        AppendFormat(message, "'%s' has a length of %zu, more than the maximum %d/El valor es mas largo que el maximo",
                     shown.c_str(), length, t.maxLength);
        return false;
    }
    return true;
}

bool CheckPatterns(const XsdSimpleType& t, std::string_view value, String& message) {
    const XsdTypeTables& tables = Types();
    for (std::uint32_t g = 0; g < t.patternGroupCount; ++g) {
        const XsdPatternGroup& group = tables.patternGroups[tables.typePatternGroups[t.firstPatternGroup + g]];
        bool matched = false;
        for (std::uint32_t i = 0; i < group.count && !matched; ++i)
            matched = XsdMatchesPattern(tables.patterns[tables.patternRefs[group.first + i]], value);
        if (!matched) {
            const char* source = tables.patterns[tables.patternRefs[group.first]].source;
            AppendFormat(message, "'%s' does not match the pattern '%s'/El valor no cumple con el patron",
                         Shown(value).c_str(), source);
            return false;
        }
    }
    return true;
}

std::string_view EnumerationValue(std::uint32_t i) noexcept {
    const XsdTypeTables& tables = Types();
    const std::uint32_t begin = tables.enumerationOffsets[i];
    return std::string_view(tables.enumerationText + begin, tables.enumerationOffsets[i + 1] - begin - 1);
}

bool InEnumeration(const XsdSimpleType& t, std::string_view value) noexcept {
    std::uint32_t lo = t.firstEnumeration, hi = t.firstEnumeration + t.enumerationCount;
    while (lo < hi) {
        std::uint32_t mid = lo + (hi - lo) / 2;
        int c = EnumerationValue(mid).compare(value);
        if (c == 0) return true;
        if (c < 0) lo = mid + 1;
        else hi = mid;
    }
    return false;
}

bool CheckEnumeration(const XsdSimpleType& t, std::string_view value, std::string_view key, String& message) {
    if (!t.hasEnumeration || InEnumeration(t, key)) return true;
    // Short lists are worth showing.
    String allowed;
    for (std::uint32_t i = 0; i < t.enumerationCount && allowed.size() < 80; ++i) {
        if (i) allowed += ", ";
        std::string_view v = EnumerationValue(t.firstEnumeration + i);
        allowed.append(v.data(), v.size());
    }
    if (allowed.size() >= 80) allowed.clear();
    const String shown = Shown(value);
    if (!allowed.empty())
        AppendFormat(message, "'%s' is not one of %s/El valor no esta entre los permitidos", shown.c_str(), allowed.c_str());
    else if (*t.name)
        AppendFormat(message, "'%s' is not a value of %s/El valor no esta entre los permitidos", shown.c_str(), t.name);
    else
        AppendFormat(message, "'%s' is not one of the values allowed/El valor no esta entre los permitidos", shown.c_str());
    return false;
}

// Bounds of decimals and integers.
bool CheckDecimalBounds(const XsdSimpleType& t, const XsdDecimal& d, std::string_view value, String& message) {
    struct Bound {
        const char* text;
        int failsWhen;  // the comparison result (value against bound) that breaks it
        int failsToo;
        const char* format;
    };
    const Bound bounds[] = {
        {t.minInclusive, -1, -1, "'%s' is less than the minimum %s/El valor es menor que el minimo"},
        {t.maxInclusive, 1, 1, "'%s' is greater than the maximum %s/El valor es mayor que el maximo"},
        {t.minExclusive, -1, 0, "'%s' must be greater than %s/El valor debe ser mayor que el limite"},
        {t.maxExclusive, 1, 0, "'%s' must be less than %s/El valor debe ser menor que el limite"},
    };
    for (const Bound& b : bounds) {
        if (!b.text) continue;
        XsdDecimal bound;
        if (!XsdParseDecimal(b.text, false, bound)) continue;
        int c = XsdCompareDecimals(d, bound);
        if (c == b.failsWhen || c == b.failsToo) {
            AppendFormat(message, b.format, Shown(value).c_str(), b.text);
            return false;
        }
    }
    return true;
}

bool CheckMomentBounds(const XsdSimpleType& t, const XsdMoment& m, std::string_view value, String& message) {
    const bool withTime = t.primitive == XsdPrimitive::kDateTime;
    struct Bound {
        const char* text;
        int passes;  // the comparison result (value against bound) that keeps it
        int passesToo;
        const char* format;
    };
    const Bound bounds[] = {
        {t.minInclusive, 1, 0, "'%s' is before the minimum %s/El valor es anterior al minimo"},
        {t.maxInclusive, -1, 0, "'%s' is after the maximum %s/El valor es posterior al maximo"},
        {t.minExclusive, 1, 1, "'%s' must be after %s/El valor debe ser posterior al limite"},
        {t.maxExclusive, -1, -1, "'%s' must be before %s/El valor debe ser anterior al limite"},
    };
    for (const Bound& b : bounds) {
        if (!b.text) continue;
        XsdMoment bound;
        if (!XsdParseMoment(b.text, withTime, bound)) continue;
        // An order that cannot be settled (2) breaks the bound: the value is not shown to
        // keep it.
        int c = XsdCompareMoments(m, bound);
        if (c != b.passes && c != b.passesToo) {
            AppendFormat(message, b.format, Shown(value).c_str(), b.text);
            return false;
        }
    }
    return true;
}

bool CheckDigits(const XsdSimpleType& t, const XsdDecimal& d, std::string_view value, String& message) {
    const std::size_t total = d.whole.size() + d.fraction.size();
    if (t.totalDigits >= 0 && total > static_cast<std::size_t>(t.totalDigits)) {
        AppendFormat(message, "'%s' has %zu digits, more than %d/El valor tiene demasiados digitos", Shown(value).c_str(),
                     total, t.totalDigits);
        return false;
    }
    if (t.fractionDigits >= 0 && d.fraction.size() > static_cast<std::size_t>(t.fractionDigits)) {
        AppendFormat(message, "'%s' has %zu fraction digits, more than %d/El valor tiene demasiados decimales",
                     Shown(value).c_str(), d.fraction.size(), t.fractionDigits);
        return false;
    }
    return true;
}

XsdFault Lexical(const XsdSimpleType& t, std::string_view value, String& message) {
    AppendFormat(message, "'%s' is not a valid %s/El valor no es valido para su tipo", Shown(value).c_str(),
                 PrimitiveName(t));
    return XsdFault::kLexical;
}

}  // namespace

void XsdApplyWhiteSpace(XsdWhiteSpace rule, std::string_view raw, String& out) {
    out.clear();
    if (rule == XsdWhiteSpace::kPreserve) {
        out.append(raw.data(), raw.size());
        return;
    }
    out.reserve(raw.size());
    bool pendingSpace = false;
    for (char c : raw) {
        const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (rule == XsdWhiteSpace::kReplace) {
            out += space ? ' ' : c;
            continue;
        }
        if (space) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace) out += ' ';
        pendingSpace = false;
        out += c;
    }
}

bool XsdMatchesPattern(const XsdPattern& p, std::string_view value) noexcept {
    const XsdTypeTables& t = Types();
    const std::uint16_t* transitions = t.transitions + p.firstTransition;
    const auto* s = reinterpret_cast<const unsigned char*>(value.data());
    std::size_t at = 0;
    std::uint32_t state = 0;
    while (at < value.size()) {
        std::uint32_t cls;
        if (s[at] < 0x80) {
            cls = t.asciiClasses[p.firstAscii + s[at]];
            ++at;
        } else {
            std::size_t n;
            std::uint32_t cp = DecodeAt(s + at, value.size() - at, n);
            at += n;
            // The last range starting at or before cp.
            const std::uint32_t* starts = t.rangeStarts + p.firstRange;
            std::uint32_t lo = 0, hi = p.rangeCount - 1;
            while (lo < hi) {
                std::uint32_t mid = (lo + hi + 1) / 2;
                if (starts[mid] <= cp) lo = mid;
                else hi = mid - 1;
            }
            cls = t.rangeClasses[p.firstRange + lo];
        }
        std::uint16_t next = transitions[state * p.classCount + cls];
        if (next == kXsdNoState) return false;
        state = next;
    }
    return t.accepting[p.firstAccepting + state] != 0;
}

bool XsdParseDecimal(std::string_view text, bool integerOnly, XsdDecimal& out) noexcept {
    std::size_t at = 0;
    out = XsdDecimal();
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) out.negative = text[at++] == '-';
    const std::size_t wholeBegin = at;
    while (at < text.size() && IsDigit(text[at])) ++at;
    std::size_t wholeEnd = at, fractionBegin = at, fractionEnd = at;
    if (at < text.size() && text[at] == '.' && !integerOnly) {
        fractionBegin = ++at;
        while (at < text.size() && IsDigit(text[at])) ++at;
        fractionEnd = at;
    }
    if (at != text.size() || (wholeEnd == wholeBegin && fractionEnd == fractionBegin)) return false;
    std::size_t w = wholeBegin;
    while (w < wholeEnd && text[w] == '0') ++w;
    std::size_t f = fractionEnd;
    while (f > fractionBegin && text[f - 1] == '0') --f;
    out.whole = text.substr(w, wholeEnd - w);
    out.fraction = text.substr(fractionBegin, f - fractionBegin);
    if (out.whole.empty() && out.fraction.empty()) out.negative = false;
    return true;
}

int XsdCompareDecimals(const XsdDecimal& a, const XsdDecimal& b) noexcept {
    if (a.negative != b.negative) return a.negative ? -1 : 1;
    const int sign = a.negative ? -1 : 1;
    if (a.whole.size() != b.whole.size()) return a.whole.size() < b.whole.size() ? -sign : sign;
    int c = a.whole.compare(b.whole);
    if (c == 0) c = a.fraction.compare(b.fraction);  // no trailing zeros: text order is value order
    return c < 0 ? -sign : c > 0 ? sign : 0;
}

void XsdCanonicalDecimal(const XsdDecimal& d, String& out) {
    out.clear();
    if (d.negative) out += '-';
    if (d.whole.empty()) out += '0';
    else out.append(d.whole.data(), d.whole.size());
    if (!d.fraction.empty()) {
        out += '.';
        out.append(d.fraction.data(), d.fraction.size());
    }
}

bool XsdParseMoment(std::string_view v, bool withTime, XsdMoment& out) noexcept {
    out = XsdMoment();
    std::size_t at = 0;
    bool negative = Expect(v, at, '-');
    const std::size_t yearBegin = at;
    while (at < v.size() && IsDigit(v[at])) ++at;
    const std::size_t yearDigits = at - yearBegin;
    // Four digits at least; more only without a leading zero; at most nine here.
    if (yearDigits < 4 || yearDigits > 9 || (yearDigits > 4 && v[yearBegin] == '0')) return false;
    std::int64_t year = 0;
    for (std::size_t i = yearBegin; i < at; ++i) year = year * 10 + (v[i] - '0');
    if (year == 0) return false;
    out.year = negative ? -year : year;
    if (!Expect(v, at, '-') || !Digits(v, at, 2, out.month) || !Expect(v, at, '-') || !Digits(v, at, 2, out.day))
        return false;
    if (out.month < 1 || out.month > 12 || out.day < 1 || out.day > DaysInMonth(out.year, out.month)) return false;
    if (withTime) {
        if (!Expect(v, at, 'T') || !Digits(v, at, 2, out.hour) || !Expect(v, at, ':') || !Digits(v, at, 2, out.minute) ||
            !Expect(v, at, ':') || !Digits(v, at, 2, out.second))
            return false;
        if (at < v.size() && v[at] == '.') {
            const std::size_t begin = ++at;
            while (at < v.size() && IsDigit(v[at])) ++at;
            if (at == begin) return false;
            std::size_t end = at;
            while (end > begin && v[end - 1] == '0') --end;
            out.fraction = v.substr(begin, end - begin);
        }
        if (out.minute > 59 || out.second > 59) return false;
        if (out.hour > 24 || (out.hour == 24 && (out.minute || out.second || !out.fraction.empty()))) return false;
    }
    if (at < v.size()) {
        if (v[at] == 'Z') {
            ++at;
            out.hasZone = true;
        } else if (v[at] == '+' || v[at] == '-') {
            const int sign = v[at++] == '-' ? -1 : 1;
            int hh, mm;
            if (!Digits(v, at, 2, hh) || !Expect(v, at, ':') || !Digits(v, at, 2, mm)) return false;
            if (mm > 59 || hh > 14 || (hh == 14 && mm != 0)) return false;
            out.hasZone = true;
            out.zoneMinutes = sign * (hh * 60 + mm);
        }
    }
    return at == v.size();
}

int XsdCompareMoments(const XsdMoment& a, const XsdMoment& b) noexcept {
    if (a.hasZone == b.hasZone) return CompareInstants(Seconds(a, 0), a.fraction, Seconds(b, 0), b.fraction);
    // One side without a zone may lie anywhere from 14 hours before to 14 hours after.
    const XsdMoment& zoned = a.hasZone ? a : b;
    const XsdMoment& local = a.hasZone ? b : a;
    const std::int64_t z = Seconds(zoned, 0);
    const int sign = a.hasZone ? 1 : -1;  // results are for (zoned against local)
    if (CompareInstants(z, zoned.fraction, Seconds(local, 14 * 60), local.fraction) < 0) return -sign;
    if (CompareInstants(z, zoned.fraction, Seconds(local, -14 * 60), local.fraction) > 0) return sign;
    return 2;
}

bool XsdEqualsFixed(const XsdSimpleType& type, std::string_view value, const char* fixed) {
    if (type.primitive == XsdPrimitive::kDecimal || type.primitive == XsdPrimitive::kInteger) {
        XsdDecimal d;
        if (!XsdParseDecimal(value, type.primitive == XsdPrimitive::kInteger, d)) return false;
        String canonical;
        XsdCanonicalDecimal(d, canonical);
        return canonical == fixed;
    }
    return value == fixed;
}

XsdFault XsdCheckValue(const XsdSimpleType& t, std::string_view value, String& message) {
    switch (t.primitive) {
    case XsdPrimitive::kCatalog:
        return XsdFault::kNone;
    case XsdPrimitive::kString:
    case XsdPrimitive::kNmtoken:
        if (t.primitive == XsdPrimitive::kNmtoken && !IsNmtoken(value)) return Lexical(t, value, message);
        if (!CheckLength(t, CodePoints(value), value, message)) return XsdFault::kLength;
        if (!CheckPatterns(t, value, message)) return XsdFault::kPattern;
        if (!CheckEnumeration(t, value, value, message)) return XsdFault::kEnumeration;
        return XsdFault::kNone;
    case XsdPrimitive::kBase64Binary: {
        std::size_t octets = 0;
        if (!ReadBase64(value, octets)) return Lexical(t, value, message);
        if (!CheckLength(t, octets, value, message)) return XsdFault::kLength;
        if (!CheckPatterns(t, value, message)) return XsdFault::kPattern;
        return XsdFault::kNone;
    }
    case XsdPrimitive::kDecimal:
    case XsdPrimitive::kInteger: {
        XsdDecimal d;
        if (!XsdParseDecimal(value, t.primitive == XsdPrimitive::kInteger, d)) return Lexical(t, value, message);
        if (!CheckPatterns(t, value, message)) return XsdFault::kPattern;
        if (t.hasEnumeration) {
            String canonical;
            XsdCanonicalDecimal(d, canonical);
            if (!CheckEnumeration(t, value, canonical, message)) return XsdFault::kEnumeration;
        }
        if (!CheckDecimalBounds(t, d, value, message)) return XsdFault::kRange;
        if (!CheckDigits(t, d, value, message)) return XsdFault::kDigits;
        return XsdFault::kNone;
    }
    case XsdPrimitive::kDate:
    case XsdPrimitive::kDateTime: {
        XsdMoment m;
        if (!XsdParseMoment(value, t.primitive == XsdPrimitive::kDateTime, m)) return Lexical(t, value, message);
        if (!CheckPatterns(t, value, message)) return XsdFault::kPattern;
        if (!CheckMomentBounds(t, m, value, message)) return XsdFault::kRange;
        return XsdFault::kNone;
    }
    }
    return XsdFault::kNone;
}

}  // namespace kvn
