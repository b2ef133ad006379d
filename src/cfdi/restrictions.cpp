// Value restrictions: lexical forms, the RFC and CURP forms, the test of one value
// against one restriction, and the pass that walks a document against its schema table.
#include "cfdi/restrictions.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/document.h"
#include "cfdi/namespaces.h"
#include "kelvane.h"
#include "xml/parser.h"

namespace kvn {
namespace {

using BytePredicate = bool (*)(unsigned char);

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool IsUpperOrDigit(unsigned char c) { return IsUpper(c) || IsDigit(c); }
bool IsZeroOrOne(unsigned char c) { return c == '0' || c == '1'; }
bool IsZeroToThree(unsigned char c) { return c >= '0' && c <= '3'; }
bool IsRfcNameChar(unsigned char c) { return IsUpper(c) || c == 0xD1 || c == '&'; }
bool IsCurpVowel(unsigned char c) { return std::strchr("AEIOUX", c) != nullptr && c != 0; }
bool IsSex(unsigned char c) { return c == 'H' || c == 'M'; }
bool IsConsonant(unsigned char c) {
    return (IsUpper(c) && std::strchr("AEIOU", c) == nullptr) || c == 0xD1;
}

// Walks a value byte by byte against fixed steps; `pos` is the index of the next byte.
struct FormCursor {
    const unsigned char* v;
    std::size_t n;
    std::size_t pos = 0;
    int result = 0;  // first failure, once set

    bool AtEnd() const { return pos >= n; }

    // Consumes one byte that must satisfy `fits`; records the failure otherwise.
    bool Expect(BytePredicate fits) {
        if (result != 0) return false;
        if (AtEnd()) {
            result = kIncomplete;
            return false;
        }
        if (!fits(v[pos])) {
            result = static_cast<int>(pos) + 1;
            return false;
        }
        ++pos;
        return true;
    }
    bool ExpectByte(char c) {
        if (result != 0) return false;
        if (AtEnd()) {
            result = kIncomplete;
            return false;
        }
        if (v[pos] != static_cast<unsigned char>(c)) {
            result = static_cast<int>(pos) + 1;
            return false;
        }
        ++pos;
        return true;
    }
    // The value must end here.
    int Finish() {
        if (result == 0 && !AtEnd()) result = static_cast<int>(pos) + 1;
        return result;
    }
};

// Optional time zone: Z, or +hh:mm / -hh:mm.
void MatchTimeZone(FormCursor& c) {
    if (c.result != 0 || c.AtEnd()) return;
    unsigned char b = c.v[c.pos];
    if (b == 'Z') {
        ++c.pos;
        return;
    }
    if (b != '+' && b != '-') return;  // Finish() reports the byte
    ++c.pos;
    c.Expect(IsDigit) && c.Expect(IsDigit) && c.ExpectByte(':') && c.Expect(IsDigit) && c.Expect(IsDigit);
}

// yyyy-mm-dd with four or more year digits.
void MatchDatePart(FormCursor& c) {
    for (int k = 0; k < 4; ++k) {
        if (!c.Expect(IsDigit)) return;
    }
    while (!c.AtEnd() && IsDigit(c.v[c.pos])) ++c.pos;
    c.ExpectByte('-') && c.Expect(IsDigit) && c.Expect(IsDigit) && c.ExpectByte('-') && c.Expect(IsDigit) &&
        c.Expect(IsDigit);
}

int MatchDate(FormCursor c) {
    MatchDatePart(c);
    MatchTimeZone(c);
    return c.Finish();
}

int MatchDateTime(FormCursor c) {
    MatchDatePart(c);
    c.ExpectByte('T') && c.Expect(IsDigit) && c.Expect(IsDigit) && c.ExpectByte(':') && c.Expect(IsDigit) &&
        c.Expect(IsDigit) && c.ExpectByte(':') && c.Expect(IsDigit) && c.Expect(IsDigit);
    if (c.result == 0 && !c.AtEnd() && c.v[c.pos] == '.') {
        ++c.pos;
        if (!c.Expect(IsDigit)) return c.result;
        while (!c.AtEnd() && IsDigit(c.v[c.pos])) ++c.pos;
    }
    MatchTimeZone(c);
    return c.Finish();
}

// Optional sign, then digits with an optional '.', at least one digit in all.
int MatchDecimal(const unsigned char* v, std::size_t n) {
    std::size_t i = 0;
    std::size_t digits = 0;
    if (i < n && (v[i] == '+' || v[i] == '-')) ++i;
    for (; i < n && IsDigit(v[i]); ++i) ++digits;
    if (i < n && v[i] == '.') {
        for (++i; i < n && IsDigit(v[i]); ++i) ++digits;
    }
    if (i < n) return static_cast<int>(i) + 1;
    return digits != 0 ? 0 : kIncomplete;
}

int MatchInteger(const unsigned char* v, std::size_t n, bool allowSign) {
    std::size_t i = 0;
    if (allowSign && i < n && (v[i] == '+' || v[i] == '-')) ++i;
    std::size_t first = i;
    while (i < n && IsDigit(v[i])) ++i;
    if (i < n) return static_cast<int>(i) + 1;
    return i > first ? 0 : kIncomplete;
}

// Appends a check's detail; the formats are the messages of the library.
void FormatFormFailure(char* detail, const char* value, const char* name, int match) {
    if (match == kIncomplete) {
        std::snprintf(detail, kDetailSize,
                      "'%s' fails %s restriction/No cumple con la restriccion: value is incomplete or ends with "
                      "invalid character/valor es incompleta o termina con un caracter no valido",
                      value, name);
    } else {
        std::snprintf(detail, kDetailSize,
                      "'%s' fails %s restriction/No cumple con la restriccion: '%c' at position %d is not "
                      "allowed/caracter en la posicion no esta permitido",
                      value, name, value[match - 1], match);
    }
}

bool CheckLength(const Restriction& r, const char* value, std::size_t n, char* detail) {
    if (r.minLength >= 1 && n < static_cast<std::size_t>(r.minLength)) {
        std::snprintf(detail, kDetailSize,
                      "'%s' is too short/es demasiado corto, minimum length/longitud minima=%d", value, r.minLength);
        return false;
    }
    if (r.maxLength >= 1 && n > static_cast<std::size_t>(r.maxLength)) {
        std::snprintf(detail, kDetailSize,
                      "'%s' is too long/es demasiado largo, maximum length/longitud maxima=%d", value, r.maxLength);
        return false;
    }
    return true;
}

// True when `value` equals one of the '|'-separated words of `set`.
bool InEnumeration(const char* set, const char* value, std::size_t n) {
    const char* word = set;
    for (;;) {
        const char* bar = std::strchr(word, '|');
        std::size_t len = bar ? static_cast<std::size_t>(bar - word) : std::strlen(word);
        if (len == n && std::memcmp(word, value, n) == 0) return true;
        if (!bar) return false;
        word = bar + 1;
    }
}

// Digits directly after the first '.', up to the first non-digit.
int CountFractionDigits(const char* value) {
    const char* dot = std::strchr(value, '.');
    if (!dot) return 0;
    int count = 0;
    for (const char* p = dot + 1; IsDigit(static_cast<unsigned char>(*p)); ++p) ++count;
    return count;
}

bool RunCheck(const Restriction& r, const char* value, std::size_t n, char* detail) {
    const char* arg = r.checkArgument ? r.checkArgument : "";
    switch (r.check) {
        case kFixedValue:
            if (std::strlen(arg) == n && std::memcmp(arg, value, n) == 0) return true;
            std::snprintf(detail, kDetailSize, "Expected/esperado '%s', found/encontrado '%s'", arg, value);
            return false;
        case kEnumeration:
            if (InEnumeration(arg, value, n)) return true;
            std::snprintf(detail, kDetailSize,
                          "Expected value in set {%s} but found '%s'/Valor esperado en el conjunto, pero encontro otro",
                          arg, value);
            return false;
        case kFractionDigits: {
            int bound = std::atoi(arg);
            int found = CountFractionDigits(value);
            if (found <= bound) return true;
            std::snprintf(detail, kDetailSize,
                          "'%s': expected at most %d fraction digits, found %d/Demasiados digitos de fraccion", value,
                          bound, found);
            return false;
        }
        case kMinimumValue: {
            int bound = std::atoi(arg);
            if (std::strtol(value, nullptr, 10) >= bound) return true;
            std::snprintf(detail, kDetailSize, "'%s': expected minimum value %d/valor m\xEDnimo esperado", value,
                          bound);
            return false;
        }
        case kRfcPattern:
        case kCurpPattern: {
            bool rfc = r.check == kRfcPattern;
            int match = rfc ? MatchRfc(value, n) : MatchCurp(value, n);
            if (match == 0) return true;
            FormatFormFailure(detail, value, rfc ? "RFC" : "CURP", match);
            return false;
        }
        case kNoCheck:
            break;
    }
    return true;
}

// --- the pass over a document ---------------------------------------------------------

constexpr std::size_t kPathSlots = 50;
constexpr std::size_t kPathNameMax = 63;

// The row named `name` in a null-terminated attribute list, searched from `from` to the end
// and then from the start; null when there is none.
const AttributeRow* FindAttributeRowFrom(const AttributeRow* list, const AttributeRow* from, const char* name) {
    for (const AttributeRow* r = from; r->name; ++r) {
        if (r->name[0] == name[0] && std::strcmp(r->name, name) == 0) return r;
    }
    for (const AttributeRow* r = list; r != from && r->name; ++r) {
        if (r->name[0] == name[0] && std::strcmp(r->name, name) == 0) return r;
    }
    return nullptr;
}

// Whether narrowing and collapsing would leave the value as it is: printable ASCII with
// no white space but single spaces between other characters (nearly every value).
bool AlreadyNormal(const char* text, std::size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    if (n == 0) return true;
    if (p[0] == ' ' || p[n - 1] == ' ') return false;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c > ' ' && c < 0x80) continue;
        if (c != ' ' || p[i + 1] == ' ') return false;
    }
    return true;
}

// Narrows and collapses a value in place; returns its new length.
std::size_t Normalise(String& value) {
    if (AlreadyNormal(value.data(), value.size())) return value.size();
    std::size_t n = ToSingleByte(value.data(), value.size());
    n = static_cast<std::size_t>(XmlCollapseWhitespace(value.data(), static_cast<int>(n)));
    value.resize(n);
    return n;
}

// Parser callbacks; userData is the pass. An allocation failure passes through the parser
// to the export.
ValueRestrictionPass& PassOf(void* user) { return *static_cast<ValueRestrictionPass*>(user); }

int OnStart(void* user, const char* uri, const char* localName, const char* qname, XmlAttributes* attributes) {
    PassOf(user).Start(uri, localName, qname, attributes);
    return 0;
}
int OnEnd(void* user, const char* uri, const char* localName, const char* qname) {
    PassOf(user).End(uri, localName, qname);
    return 0;
}
int OnText(void* user, const char* text, int len) {
    PassOf(user).AppendText(text, len);
    return 0;
}
int OnParseError(XmlParser* parser) {
    if (parser->errorCode != XML_ERROR_ABORTED) {
        RecordError("Error: %s (Line: %d)", parser->errorMessage, parser->errorLine);
    }
    return 0;
}

struct ParserDeleter {
    void operator()(XmlParser* p) const noexcept { XmlParserFree(p); }
};

}  // namespace

ValueRestrictionPass::ValueRestrictionPass(const ElementEntry* table, bool deferred)
    : table_(table), cursor_(table), deferred_(deferred) {
    path_.push_back(String("/"));
    for (const ElementEntry* row = table; row->name; ++row) names_.push_back(ResolvePrefixedName(row->name));
}

void ValueRestrictionPass::Start(const char* uri, const char* localName, const char* qname, XmlAttributes* attributes) {
    if (path_.size() < kPathSlots) path_.push_back(String(qname, ::strnlen(qname, kPathNameMax)));
    ++depth_;
    const char* local = LocalPart(localName, qname);
    if (std::strcmp(local, "Addenda") == 0) insideAddenda_ = true;
    if (insideAddenda_) return;
    const ElementEntry* row = Lookup(uri, local, nullptr);
    if (!row) return;
    if (row->kind == kEmpty || row->kind == kText) text_.clear();
    if (!row->attributes) return;
    // Documents mostly write attributes in the table's order: each search starts after
    // the row found last and wraps around.
    const AttributeRow* hint = row->attributes;
    for (std::uint32_t i = 0; i < XmlAttributeCount(attributes); ++i) {
        const XmlAttribute* a = XmlAttributeAt(attributes, i);
        if (a->defaulted) continue;  // only what the document says is tested
        const AttributeRow* attr = FindAttributeRowFrom(row->attributes, hint, a->qname);
        if (!attr) continue;
        hint = attr + 1;
        TestAttribute(qname, a, *attr);
    }
}

void ValueRestrictionPass::End(const char* uri, const char* localName, const char* qname) {
    if (depth_ <= path_.size() - 1 && path_.size() > 1) path_.pop_back();
    const char* parent = path_.back().c_str();
    --depth_;
    const char* local = LocalPart(localName, qname);
    const ElementEntry* row = Lookup(uri, local, parent);
    if (row && !insideAddenda_) TestText(parent, qname, *row);
    text_.clear();
    if (cursor_->name && !cursor_->repeatable) ++cursor_;
    if (std::strcmp(local, "Addenda") == 0) insideAddenda_ = false;
}

void ValueRestrictionPass::AppendText(const char* text, int len) { text_.append(text, static_cast<std::size_t>(len)); }

void ValueRestrictionPass::Flush() {
    for (const String& message : kept_) RecordError("%s", message.c_str());
    kept_.clear();
}

const char* ValueRestrictionPass::LocalPart(const char* localName, const char* qname) {
    if (localName && *localName) return localName;
    const char* colon = std::strchr(qname, ':');
    return colon ? colon + 1 : qname;
}

const ElementEntry* ValueRestrictionPass::Lookup(const char* uri, const char* local, const char* parent) const {
    for (const ElementEntry* row = cursor_; row->name; ++row) {
        const ResolvedName& name = names_[static_cast<std::size_t>(row - table_)];
        if (name.local[0] != local[0] || std::strcmp(name.local, local) != 0) continue;
        if (name.uri && std::strcmp(name.uri, uri ? uri : "") != 0) continue;
        if (parent && row->parent && std::strcmp(row->parent, parent) != 0) continue;
        return row;
    }
    return nullptr;
}

void ValueRestrictionPass::TestAttribute(const char* element, const XmlAttribute* a, const AttributeRow& row) {
    // A value that is already normal is tested where the parser left it.
    const char* value = a->value;
    std::size_t n = std::strlen(value);
    if (!AlreadyNormal(value, n)) {
        value_.assign(value, n);
        n = Normalise(value_);
        value = value_.c_str();
    }
    char detail[kDetailSize];
    if (CheckRestrictedValue(row.restriction, value, n, detail)) return;
    Violation("Bad attribute/atributo mal [%s/@%s]: %s", element, a->qname, detail);
}

void ValueRestrictionPass::TestText(const char* parent, const char* qname, const ElementEntry& row) {
    if (row.kind == kEmpty) {
        if (!text_.empty()) Violation("Element [%s/%s] must be empty/El elemento debe estar vacio", parent, qname);
        return;
    }
    if (row.textRestriction.typeCode == kString) return;
    std::size_t n = Normalise(text_);
    char detail[kDetailSize];
    if (CheckRestrictedValue(row.textRestriction, text_.c_str(), n, detail)) return;
    Violation("Bad element/mal elemento [%s/%s]: %s", parent, qname, detail);
}

void ValueRestrictionPass::Violation(const char* format, ...) {
    ++violations_;
    if (deferred_ && keptLength_ > kLastErrorMax) return;  // the last-error text is full by now
    char message[kLastErrorMax + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (!deferred_) {
        RecordError("%s", message);
        return;
    }
    kept_.push_back(String(message));
    keptLength_ += kept_.back().size() + 2;
}

Error CheckValueRestrictions(const char* xmlFile, int& violations) {
    violations = 0;
    if (!xmlFile) return Error::BAD_PARAM_ERROR;
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return Error::OPEN_ERROR;
    double version = 0;
    if (Error rc = DetectVersion(document.get(), version); Failed(rc)) return rc;
    const ElementEntry* table = SchemaTableForVersion(static_cast<int>(std::trunc(version * 10.0)));
    if (!table) {
        RecordError("Version '%.1f' not supported/La version no es compatible", version);
        return Error::NOT_SUPPORTED_ERROR;
    }
    std::rewind(document.get());

    std::unique_ptr<XmlParser, ParserDeleter> parser(XmlParserCreate(nullptr));
    ValueRestrictionPass pass(table, false);
    parser->userData = &pass;
    parser->handlers.startElement = OnStart;
    parser->handlers.endElement = OnEnd;
    parser->handlers.characters = OnText;
    parser->handlers.ignorableWhitespace = OnText;
    parser->handlers.errorHandler = OnParseError;
    if (Failed(XmlParse(parser.get(), XmlFileRead, document.get(), nullptr))) return Error::BAD_XML_ERROR;
    violations = pass.violations();
    return kOk;
}

int MatchLexicalForm(int typeCode, const char* value, std::size_t n) noexcept {
    const auto* v = reinterpret_cast<const unsigned char*>(value);
    switch (typeCode) {
        case kDecimal: return MatchDecimal(v, n);
        case kDate: return MatchDate(FormCursor{v, n});
        case kDateTime: return MatchDateTime(FormCursor{v, n});
        case kInteger: return MatchInteger(v, n, true);
        case kUnsignedInteger: return MatchInteger(v, n, false);
        default: return 0;
    }
}

const char* LexicalTypeName(int typeCode) noexcept {
    switch (typeCode) {
        case kDecimal: return "decimal type";
        case kDate: return "date type";
        case kDateTime: return "dateTime type";
        case kInteger: return "integer type";
        case kUnsignedInteger: return "unsignedInteger type";
        default: return nullptr;
    }
}

int MatchRfc(const char* value, std::size_t n) noexcept {
    FormCursor c{reinterpret_cast<const unsigned char*>(value), n};
    for (int k = 0; k < 3; ++k) c.Expect(IsRfcNameChar);
    if (c.result == 0 && !c.AtEnd() && IsRfcNameChar(c.v[c.pos])) ++c.pos;
    static constexpr BytePredicate kDateDigits[] = {IsDigit, IsDigit, IsZeroOrOne, IsDigit, IsZeroToThree, IsDigit};
    for (BytePredicate p : kDateDigits) c.Expect(p);
    for (int k = 0; k < 3; ++k) c.Expect(IsUpperOrDigit);
    return c.Finish();
}

int MatchCurp(const char* value, std::size_t n) noexcept {
    static constexpr BytePredicate kSteps[] = {
        IsUpper, IsCurpVowel, IsUpper,       IsUpper,     IsDigit,     IsDigit,     IsZeroOrOne, IsDigit,        IsZeroToThree,
        IsDigit, IsSex,       IsUpper,       IsUpper,     IsConsonant, IsConsonant, IsConsonant, IsUpperOrDigit, IsDigit,
    };
    FormCursor c{reinterpret_cast<const unsigned char*>(value), n};
    for (BytePredicate p : kSteps) c.Expect(p);
    return c.Finish();
}

std::size_t ToSingleByte(char* text, std::size_t n) noexcept {
    auto* s = reinterpret_cast<unsigned char*>(text);
    std::size_t out = 0;
    for (std::size_t i = 0; i < n;) {
        unsigned char lead = s[i];
        std::size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : lead < 0xFC ? 5 : 6;
        if (len > n - i) len = n - i;
        if (len == 1) {
            s[out++] = lead;
        } else {
            unsigned code = len == 2 ? ((lead & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu) : 256;
            s[out++] = code < 256 ? static_cast<unsigned char>(code) : '?';
        }
        i += len;
    }
    s[out] = 0;
    return out;
}

bool CheckRestrictedValue(const Restriction& r, const char* value, std::size_t n, char* detail) noexcept {
    if (!CheckLength(r, value, n, detail)) return false;
    int match = MatchLexicalForm(r.typeCode, value, n);
    if (match != 0) {
        FormatFormFailure(detail, value, LexicalTypeName(r.typeCode), match);
        return false;
    }
    return RunCheck(r, value, n, detail);
}

}  // namespace kvn
