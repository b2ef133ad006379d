// References (character and entity), attribute values and their normalisation, attribute
// defaulting, the attribute list handed to startElement, and namespace scopes.
#include <cstring>

#include "xml/parser_internal.h"

namespace kvn {
namespace {

// XML 1.0 Char production.
bool AllowedChar(std::uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
           (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

int EncodeUtf8(std::uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// The character of a predefined entity, or 0.
char Predefined(const char* name, std::size_t n) {
    if (n == 2 && name[1] == 't') {
        if (name[0] == 'l') return '<';
        if (name[0] == 'g') return '>';
    }
    if (n == 3 && std::memcmp(name, "amp", 3) == 0) return '&';
    if (n == 4 && std::memcmp(name, "apos", 4) == 0) return '\'';
    if (n == 4 && std::memcmp(name, "quot", 4) == 0) return '"';
    return 0;
}

// Bytes that end a plain run inside an attribute value: both quotes, '<', '&', TAB, LF.
struct ValueStops {
    bool t[256];
    constexpr ValueStops() : t() {
        for (int c : {'"', '\'', '<', '&', '\t', '\n'}) t[c] = true;
    }
};
constexpr ValueStops kValueStopTable;
constexpr const bool* kValueStop = kValueStopTable.t;

// Whether the zero-terminated s equals the literal (compared a byte at a time, so that
// the test stops at the first difference and never reads past s's terminator).
template <std::size_t N>
bool Is(const char* s, const char (&literal)[N]) {
    for (std::size_t i = 0; i < N; ++i)
        if (s[i] != literal[i]) return false;
    return true;
}

int HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void XmlParserState::AppendCodePoint(String* out, std::uint32_t cp) {
    char bytes[4];
    out->append(bytes, static_cast<std::size_t>(EncodeUtf8(cp, bytes)));
}

// After "&#": digits, ';'. Reads from the current reader.
std::uint32_t XmlParserState::ReadCharReference() {
    bool hex = Peek() == 'x';
    if (hex) Advance();
    std::uint32_t cp = 0;
    int digits = 0;
    for (;;) {
        int c = Peek();
        int v = hex ? HexValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (v < 0) break;
        cp = cp > 0x10FFFF ? cp : cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(v);
        ++digits;
        Advance();
    }
    if (digits == 0) Fail(XML_ERROR_INVALID_TOKEN);
    if (Peek() != ';') Fail(XML_ERROR_EXPECTED, ";");
    Advance();
    if (!AllowedChar(cp)) Fail(XML_ERROR_ILLEGAL_CHARACTER);
    return cp;
}

// After '&': the entity name up to ';'.
void XmlParserState::ReadReferenceName(String* name) {
    std::size_t n = ScanName();
    if (n == 0) {
        int c = Peek();
        Fail(c < 0 || XmlIsSpace(c) || c == ';' ? XML_ERROR_EXPECTED : XML_ERROR_INVALID_NAME, "Name");
    }
    name->assign(In()->buf + In()->pos, n);
    Advance(n);
    if (Peek() != ';') Fail(XML_ERROR_EXPECTED, ";");
    Advance();
}

// Parses a reference inside replacement text [p, end) at p ('&'). Returns its byte length;
// sets *cp for a character reference (kind 1) or the name for an entity one (kind 2).
int XmlParserState::ParseReference(const char* p, const char* end, std::uint32_t* cp, String* name,
                                   int* kind) {
    const char* q = p + 1;
    if (q < end && *q == '#') {
        ++q;
        bool hex = q < end && *q == 'x';
        if (hex) ++q;
        std::uint32_t v = 0;
        int digits = 0;
        for (; q < end; ++q, ++digits) {
            int d = hex ? HexValue(*q) : (*q >= '0' && *q <= '9' ? *q - '0' : -1);
            if (d < 0) break;
            v = v > 0x10FFFF ? v : v * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
        }
        if (digits == 0) Fail(XML_ERROR_INVALID_TOKEN);
        if (q >= end || *q != ';') Fail(XML_ERROR_EXPECTED, ";");
        if (!AllowedChar(v)) Fail(XML_ERROR_ILLEGAL_CHARACTER);
        *cp = v;
        *kind = 1;
        return static_cast<int>(q + 1 - p);
    }
    const char* start = q;
    while (q < end) {
        std::size_t len = XmlSequenceLength(static_cast<unsigned char>(*q));
        if (!XmlNameCharAt(reinterpret_cast<const unsigned char*>(q), len, q == start)) break;
        q += len;
    }
    if (q == start) Fail(XML_ERROR_EXPECTED, "Name");
    if (q >= end || *q != ';') Fail(XML_ERROR_EXPECTED, ";");
    name->assign(start, static_cast<std::size_t>(q - start));
    *kind = 2;
    return static_cast<int>(q + 1 - p);
}

// ---------------------------------------------------------------------------------------
// References in content

void XmlParserState::ContentReference() {
    Advance();  // '&'
    char bytes[4];
    if (Peek() == '#') {
        Advance();
        std::uint32_t cp = ReadCharReference();
        textIsWhitespace = false;
        AppendText(bytes, static_cast<std::size_t>(EncodeUtf8(cp, bytes)));
        return;
    }
    String name;
    ReadReferenceName(&name);
    if (char c = Predefined(name.data(), name.size())) {
        textIsWhitespace = false;
        AppendText(&c, 1);
        return;
    }
    if (Opt(XML_OPT_NO_EXPAND)) {
        textIsWhitespace = false;
        AppendText("&", 1);
        AppendText(name.data(), name.size());
        AppendText(";", 1);
        return;
    }
    XmlEntity* e = FindGeneralEntity(name.c_str());
    if (!e) {
        if (Opt(XML_OPT_UNDEFINED_ENTITY_ERROR) || !hasExternalDtdParts || standalone)
            Fail(XML_ERROR_UNDEFINED_ENTITY, name.c_str());
        FlushText();
        if (H().skippedEntity) Check(H().skippedEntity(User(), name.c_str()));
        return;
    }
    if (standalone && e->declaredExternally) Fail(XML_ERROR_UNDEFINED_ENTITY, e->name);
    if (e->kind == XML_ENTITY_UNPARSED) Fail(XML_ERROR_INVALID_TOKEN);
    if (e->inUse) Fail(XML_ERROR_RECURSIVE_ENTITY, e->name);
    FlushText();
    if (e->kind == XML_ENTITY_EXTERNAL_GENERAL) {
        if (!Opt(XML_OPT_EXTERNAL_ENTITIES)) {
            if (H().skippedEntity) Check(H().skippedEntity(User(), e->name));
            return;
        }
        if (H().startEntity) Check(H().startEntity(User(), e));
        if (!PushExternalEntity(e) && H().endEntity) Check(H().endEntity(User(), e));
        return;
    }
    if (H().startEntity) Check(H().startEntity(User(), e));
    PushInternalEntity(e);
}

// ---------------------------------------------------------------------------------------
// Attribute values

XmlEntity* XmlParserState::EntityForValueReference(const char* name) {
    XmlEntity* e = FindGeneralEntity(name);
    if (!e) {
        if (Opt(XML_OPT_UNDEFINED_ENTITY_ERROR) || !hasExternalDtdParts || standalone)
            Fail(XML_ERROR_UNDEFINED_ENTITY, name);
        if (H().skippedEntity) Check(H().skippedEntity(User(), name));
        return nullptr;
    }
    if (standalone && e->declaredExternally) Fail(XML_ERROR_UNDEFINED_ENTITY, e->name);
    if (e->kind != XML_ENTITY_INTERNAL_GENERAL) Fail(XML_ERROR_INVALID_TOKEN);
    if (e->inUse) Fail(XML_ERROR_RECURSIVE_ENTITY, e->name);
    return e;
}

void XmlParserState::ReadAttributeValue(int quote, String* out) {
    bool raw = Opt(XML_OPT_RAW_ATTRIBUTE_WHITESPACE);
    for (;;) {
        XmlReaderState* s = In();
        const char* p = s->buf + s->pos;
        const char* end = s->buf + s->len;
        const char* q = p;
        while (q < end && !kValueStop[static_cast<unsigned char>(*q)]) ++q;
        while (q < end && *q == (quote == '"' ? '\'' : '"')) {  // the other quote is plain text
            ++q;
            while (q < end && !kValueStop[static_cast<unsigned char>(*q)]) ++q;
        }
        if (q > p) {
            out->append(p, static_cast<std::size_t>(q - p));
            In()->pos += static_cast<std::size_t>(q - p);
        }
        int c = Peek();
        if (c < 0) Fail(XML_ERROR_EXPECTED, quote == '"' ? "\"" : "'");
        if (c == quote) {
            Advance();
            return;
        }
        if (c == '<') Fail(XML_ERROR_INVALID_TOKEN);
        if (c == '\t' || c == '\n') {
            out->push_back(static_cast<char>(raw ? c : ' '));
            Advance();
            continue;
        }
        if (c != '&') continue;  // the run stopped at the end of the buffer
        Advance();
        if (Peek() == '#') {
            Advance();
            AppendCodePoint(out, ReadCharReference());
            continue;
        }
        String name;
        ReadReferenceName(&name);
        if (char ch = Predefined(name.data(), name.size())) {
            out->push_back(static_cast<char>(ch));
            continue;
        }
        if (XmlEntity* e = EntityForValueReference(name.c_str())) ExpandEntityInValue(e, out);
    }
}

// Expands an internal entity inside an attribute value with an explicit stack, so that
// nesting depth is bounded by memory, not by the C stack.
void XmlParserState::ExpandEntityInValue(XmlEntity* e, String* out) {
    struct Frame {
        const char* p;
        const char* end;
        XmlEntity* entity;
    };
    Vec<Frame> stack;
    bool raw = Opt(XML_OPT_RAW_ATTRIBUTE_WHITESPACE);
    auto push = [&](XmlEntity* x) {
        CountExpansion(x, static_cast<std::size_t>(x->textLength));
        stack.push_back({x->text, x->text + x->textLength, x});
        x->inUse = 1;
    };
    struct Unmark {
        Vec<Frame>* s;
        ~Unmark() {
            for (Frame& f : *s) f.entity->inUse = 0;
        }
    } unmark{&stack};
    push(e);
    String name;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.p >= f.end) {
            f.entity->inUse = 0;
            stack.pop_back();
            continue;
        }
        char c = *f.p;
        if (c == '<') Fail(XML_ERROR_INVALID_TOKEN);
        if (c == '\t' || c == '\n' || c == '\r') {
            out->push_back(static_cast<char>(raw ? c : ' '));
            ++f.p;
            continue;
        }
        if (c != '&') {
            const char* q = f.p;
            while (q < f.end && *q != '<' && *q != '&' && *q != '\t' && *q != '\n' && *q != '\r') ++q;
            out->append(f.p, static_cast<std::size_t>(q - f.p));
            f.p = q;
            continue;
        }
        std::uint32_t cp = 0;
        int kind = 0;
        int used = ParseReference(f.p, f.end, &cp, &name, &kind);
        f.p += used;
        if (kind == 1) {
            AppendCodePoint(out, cp);
        } else if (char ch = Predefined(name.data(), name.size())) {
            out->push_back(static_cast<char>(ch));
        } else if (XmlEntity* inner = EntityForValueReference(name.c_str())) {
            push(inner);
        }
    }
}

// ---------------------------------------------------------------------------------------
// The attribute list of a start tag

void XmlParserState::CheckDuplicateAttributes() {
    std::size_t n = spans.size();
    if (n <= 16) {
        for (std::size_t i = 1; i < n; ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (spans[i].qnameLength == spans[j].qnameLength &&
                    std::memcmp(tag.data() + spans[i].qname, tag.data() + spans[j].qname, spans[i].qnameLength) == 0)
                    Fail(XML_ERROR_DUPLICATE_ATTRIBUTE, tag.data() + spans[i].qname);
        return;
    }
    // The names are views into the tag buffer, which does not change while they are checked.
    struct Clear {
        TextSet& names;
        ~Clear() { names.clear(); }
    } clear{attributeNames};
    for (const XmlAttributeSpan& sp : spans) {
        const char* qname = tag.data() + sp.qname;
        if (!attributeNames.insert(std::string_view(qname, sp.qnameLength)).second)
            Fail(XML_ERROR_DUPLICATE_ATTRIBUTE, qname);
    }
}

// Adds the DTD's defaults for absent attributes and collapses the specified values of
// attributes declared with a type other than CDATA.
void XmlParserState::ApplyDefaults() {
    const TextMap<XmlAttlist>& lists = Attlists();
    if (lists.empty()) return;
    auto found = lists.find(tag.data());
    if (found == lists.end()) return;
    const XmlAttlist* list = &found->second;
    std::size_t specified = spans.size();
    for (std::size_t i = 0; i < specified && list->anyCollapsed; ++i) {
        XmlAttributeSpan& sp = spans[i];
        for (const XmlAttributeDef* def : list->defs) {
            const char* qname = tag.data() + sp.qname;
            if (def->type == XML_ATTR_CDATA || def->name[0] != qname[0] || std::strcmp(def->name, qname) != 0)
                continue;
            sp.valueLength = static_cast<std::size_t>(
                XmlCollapseWhitespace(tag.data() + sp.value, static_cast<int>(sp.valueLength)));
            tag.data()[sp.value + sp.valueLength] = '\0';
            break;
        }
    }
    for (std::size_t k = 0; k < list->defs.size() && list->anyDefault; ++k) {
        const XmlAttributeDef* def = list->defs[k];
        if (!def->defaultValue) continue;
        bool present = false;
        for (std::size_t i = 0; i < specified && !present; ++i)
            present = def->name[0] == tag.data()[spans[i].qname] && std::strcmp(def->name, tag.data() + spans[i].qname) == 0;
        if (present) continue;
        XmlAttributeSpan sp{};
        sp.qname = tag.size();
        sp.qnameLength = std::strlen(def->name);
        tag.append(def->name, sp.qnameLength + 1);
        sp.value = tag.size();
        sp.valueLength = std::strlen(def->defaultValue);
        tag.append(def->defaultValue, sp.valueLength + 1);
        sp.defaulted = true;
        spans.push_back(sp);
    }
}

void XmlParserState::BuildAttributeList() {
    // Prefix copies go to the end of the tag buffer first; then offsets become pointers.
    // An unprefixed name (the usual case) gets the shared empty prefix.
    for (XmlAttributeSpan& sp : spans) {
        const char* qname = tag.data() + sp.qname;
        const char* colon = sp.qnameLength > 1 ? static_cast<const char*>(
                                                     std::memchr(qname + 1, ':', sp.qnameLength - 1))
                                               : nullptr;
        sp.prefixLength = colon ? static_cast<std::size_t>(colon - qname) : 0;
        if (!colon) continue;
        sp.prefix = tag.size();
        tag.append(tag.data() + sp.qname, sp.prefixLength);
        tag.push_back(static_cast<char>(0));
    }
    attributes.clear();
    for (const XmlAttributeSpan& sp : spans) {
        XmlAttribute* a = &attributes.emplace_back();
        char* base = tag.data();
        a->qname = base + sp.qname;
        a->text = base + sp.value;
        a->value = a->text;
        a->valueLength = static_cast<int>(sp.valueLength);
        a->prefix = sp.prefixLength ? base + sp.prefix : "";
        a->localName = sp.prefixLength ? a->qname + sp.prefixLength + 1 : a->qname;
        a->uri = "";
        a->defaulted = sp.defaulted ? 1 : 0;
    }
}

// ---------------------------------------------------------------------------------------
// Namespaces

const char* XmlParserState::LookupNamespace(const char* prefix, std::size_t n) const {
    for (std::size_t i = bindings.size(); i-- > 0;) {
        const char* bound = bindings[i].prefix;
        if (std::strncmp(bound, prefix, n) == 0 && bound[n] == '\0') return bindings[i].uri;
    }
    return nullptr;
}

void XmlParserState::ResolveNamespaces(XmlElementFrame& frame) {
    frame.bindingMark = static_cast<std::uint32_t>(bindings.size());
    frame.scopeMark = static_cast<std::uint32_t>(scoped.size());
    const char* colon = frame.qnameLength > 1 ? std::strchr(frame.qname + 1, ':') : nullptr;
    if (!Opt(XML_OPT_NAMESPACES)) {
        frame.uri = "";
        frame.localName = "";
        return;
    }
    const auto n = static_cast<std::uint32_t>(attributes.size());
    // Declarations first: they apply to the element's own name and attributes.
    for (std::uint32_t i = 0; i < n; ++i) {
        XmlAttribute* a = XmlAttributeAt(&attributes, i);
        bool isDefault = Is(a->qname, "xmlns");
        if (!isDefault && !Is(a->prefix, "xmlns")) continue;
        const char* prefix = isDefault ? "" : a->localName;
        if (!isDefault && a->valueLength == 0) Fail(XML_ERROR_INVALID_ATTRIBUTE_VALUE, a->qname);
        bool xmlPrefix = std::strcmp(prefix, "xml") == 0;
        bool xmlUri = std::strcmp(a->value, kXmlNamespaceUri) == 0;
        if (std::strcmp(prefix, "xmlns") == 0 || xmlPrefix != xmlUri ||
            std::strcmp(a->value, kXmlnsNamespaceUri) == 0)
            Fail(XML_ERROR_INVALID_ATTRIBUTE_VALUE, a->qname);
        XmlBinding b{estrdup(prefix), nullptr};
        try {
            b.uri = estrdup(a->value);
            bindings.push_back(b);
        } catch (...) {
            efree(b.prefix);
            efree(b.uri);
            throw;
        }
        a->uri = kXmlnsNamespaceUri;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        XmlAttribute* a = XmlAttributeAt(&attributes, i);
        if (a->uri == kXmlnsNamespaceUri || a->prefix[0] == '\0') continue;
        if (Is(a->prefix, "xml")) {
            a->uri = kXmlNamespaceUri;
            if (std::strcmp(a->localName, "space") == 0 && std::strcmp(a->value, "default") != 0 &&
                std::strcmp(a->value, "preserve") != 0)
                Fail(XML_ERROR_INVALID_ATTRIBUTE_VALUE, a->qname);
            if (std::strcmp(a->localName, "id") != 0) {
                XmlScopedValue v{estrdup(a->qname), nullptr};
                try {
                    v.value = estrdup(a->value);
                    scoped.push_back(v);
                } catch (...) {
                    efree(v.name);
                    efree(v.value);
                    throw;
                }
            }
            continue;
        }
        const char* uri = LookupNamespace(a->prefix, std::strlen(a->prefix));
        if (!uri || !*uri) Fail(XML_ERROR_UNDEFINED_PREFIX, a->prefix);
        a->uri = uri;
    }
    if (colon) {
        std::size_t prefixLength = static_cast<std::size_t>(colon - frame.qname);
        if ((prefixLength == 3 && std::memcmp(frame.qname, "xml", 3) == 0) ||
            (prefixLength == 5 && std::memcmp(frame.qname, "xmlns", 5) == 0))
            Fail(XML_ERROR_INVALID_NAME);
        const char* uri = LookupNamespace(frame.qname, prefixLength);
        if (!uri || !*uri) Fail(XML_ERROR_UNDEFINED_PREFIX, String(frame.qname, prefixLength).c_str());
        frame.uri = uri;
        frame.localName = colon + 1;
    } else {
        const char* uri = LookupNamespace("", 0);
        bool bound = uri && *uri;
        frame.uri = bound ? uri : "";
        frame.localName = bound ? frame.qname : "";
    }
    if (!Opt(XML_OPT_KEEP_XMLNS)) {
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            XmlAttribute* a = XmlAttributeAt(&attributes, i);
            if (a->uri == kXmlnsNamespaceUri) continue;
            if (kept != i) *XmlAttributeAt(&attributes, kept) = *a;
            ++kept;
        }
        attributes.resize(kept);
    }
}

}  // namespace kvn
