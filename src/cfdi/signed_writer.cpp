#include "cfdi/signed_writer.h"

#include <cstring>

#include "base/lasterror.h"
#include "cfdi/document.h"
#include "kelvane.h"
#include "xml/parser.h"

namespace kvn {
namespace {

struct WriterContext {
    ReplacingOutput* out;
    int options;
    const AttributeReplacement* replacements;
    int count;
    bool rootSeen = false;
};

WriterContext& Context(void* user) { return *static_cast<WriterContext*>(user); }

// Each handler returns 1 (stop the parse) when the output refuses a write.
int Put(WriterContext& c, const char* s, std::size_t n) { return c.out->Write(s, n) ? 0 : 1; }
int Put(WriterContext& c, const char* s) { return Put(c, s, std::strlen(s)); }

// Writes s with '"', '&', '<' and '>' as entity references; other bytes as they are.
int PutEscaped(WriterContext& c, const char* s, std::size_t n) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char* entity = nullptr;
        switch (s[i]) {
            case '"': entity = "&quot;"; break;
            case '&': entity = "&amp;"; break;
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            default: continue;
        }
        if (Put(c, s + start, i - start) || Put(c, entity)) return 1;
        start = i + 1;
    }
    return Put(c, s + start, n - start);
}

// Namespaces differ only when both are known: an element in no namespace matches any
// replacement of its local name, and a replacement without a URI matches any namespace.
bool SameElement(const AttributeReplacement& r, const char* uri, const char* localName) {
    const bool bothKnown = r.uri && *r.uri && uri && *uri;
    if (bothKnown && std::strcmp(r.uri, uri) != 0) return false;
    return std::strcmp(r.localName, localName) == 0;
}

// The first replacement of this element's attribute, or null.
const char* Replacement(const WriterContext& c, const char* uri, const char* localName,
                        const char* attribute) {
    for (int i = 0; i < c.count; ++i) {
        const AttributeReplacement& r = c.replacements[i];
        if (SameElement(r, uri, localName) && std::strcmp(r.attribute, attribute) == 0) return r.value;
    }
    return nullptr;
}

int OnXmlDecl(void* user, const char* version, const char* /*encoding*/, const char* standalone) {
    WriterContext& c = Context(user);
    if (!(c.options & KVN_OPT_NOBOM) && Put(c, "\xEF\xBB\xBF")) return 1;
    if (Put(c, "<?xml version=\"") || Put(c, version ? version : "1.0") ||
        Put(c, "\" encoding=\"UTF-8\"")) {
        return 1;
    }
    if (standalone && (Put(c, " standalone=\"") || Put(c, standalone) || Put(c, "\""))) return 1;
    return Put(c, "?>\n");
}

int PutAttribute(WriterContext& c, const char* name, const char* value, std::size_t length) {
    return Put(c, " ") || Put(c, name) || Put(c, "=\"") || PutEscaped(c, value, length) || Put(c, "\"");
}

bool HasAttribute(XmlAttributes* attributes, const char* name) {
    for (std::uint32_t i = 0; i < XmlAttributeCount(attributes); ++i) {
        if (std::strcmp(XmlAttributeAt(attributes, i)->qname, name) == 0) return true;
    }
    return false;
}

// The replacements to add to the root, which lacks their attributes.
int PutMissingRootAttributes(WriterContext& c, const char* uri, const char* localName, XmlAttributes* attributes) {
    for (int i = 0; i < c.count; ++i) {
        const AttributeReplacement& r = c.replacements[i];
        if (!r.addToRoot || !SameElement(r, uri, localName) || HasAttribute(attributes, r.attribute)) continue;
        if (Replacement(c, uri, localName, r.attribute) != r.value) continue;  // an earlier one of the name wins
        if (PutAttribute(c, r.attribute, r.value, std::strlen(r.value))) return 1;
    }
    return 0;
}

int OnStartElement(void* user, const char* uri, const char* localName, const char* qname,
                   XmlAttributes* attributes) {
    WriterContext& c = Context(user);
    const char* local = localName && *localName ? localName : qname;
    if (Put(c, "<") || Put(c, qname)) return 1;
    for (std::uint32_t i = 0; i < XmlAttributeCount(attributes); ++i) {
        const XmlAttribute* a = XmlAttributeAt(attributes, i);
        const char* value = Replacement(c, uri, local, a->qname);
        std::size_t length = value ? std::strlen(value) : static_cast<std::size_t>(a->valueLength);
        if (!value) value = a->value;
        if (PutAttribute(c, a->qname, value, length)) return 1;
    }
    if (!c.rootSeen) {
        c.rootSeen = true;
        if (PutMissingRootAttributes(c, uri, local, attributes)) return 1;
    }
    return Put(c, ">");
}

int OnEndElement(void* user, const char*, const char*, const char* qname) {
    WriterContext& c = Context(user);
    return Put(c, "</") || Put(c, qname) || Put(c, ">");
}

int OnText(void* user, const char* text, int len) {
    return PutEscaped(Context(user), text, static_cast<std::size_t>(len));
}

int OnComment(void* user, const char* text, int len) {
    WriterContext& c = Context(user);
    return Put(c, "<!--") || Put(c, text, static_cast<std::size_t>(len)) || Put(c, "-->");
}

int OnProcessingInstruction(void* user, const char* target, const char* data) {
    WriterContext& c = Context(user);
    return Put(c, "<?") || Put(c, target) || Put(c, " ") || Put(c, data ? data : "") || Put(c, "?>");
}

// Documents that declare windows-1251 are read as ISO-8859-1.
const char* OnResolveEncoding(void*, const char* name) {
    return std::strcmp(name, "windows-1251") == 0 ? "ISO-8859-1" : nullptr;
}

int IgnoreError(XmlParser*) { return 0; }

struct ParserDeleter {
    void operator()(XmlParser* p) const noexcept { XmlParserFree(p); }
};

}  // namespace

Error WriteSignedDocument(const char* xmlFile, ReplacingOutput& out, int options,
                          const AttributeReplacement* replacements, int count) {
    FilePtr in = OpenDocument(xmlFile);
    if (!in) return Error::OPEN_ERROR;
    std::unique_ptr<XmlParser, ParserDeleter> parser(XmlParserCreate(nullptr));
    WriterContext context{&out, options, replacements, count};
    parser->userData = &context;
    parser->options |= XML_OPT_KEEP_XMLNS;
    XmlHandlers& h = parser->handlers;
    h.xmlDecl = OnXmlDecl;
    h.startElement = OnStartElement;
    h.endElement = OnEndElement;
    h.characters = OnText;
    h.ignorableWhitespace = OnText;
    h.comment = OnComment;
    h.processingInstruction = OnProcessingInstruction;
    h.resolveEncoding = OnResolveEncoding;
    h.errorHandler = IgnoreError;

    if (XmlParse(parser.get(), XmlFileRead, in.get(), nullptr) == kOk) return kOk;
    if (parser->errorCode == XML_ERROR_ABORTED) {
        RecordError("Unable to write to file '%s'/No es posible escribir en el archivo", out.target());
        return Error::WRITE_ERROR;
    }
    RecordError("XML parsing error/Error al analizar de XML: %s (Line/numero de linea: %d)",
                parser->errorMessage, parser->errorLine);
    return Error::BAD_XML_ERROR;
}

}  // namespace kvn
