// The element events of a document, read by the library's streaming parser.
#include "cfdi/xml_events.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/memory.h"
#include "xml/parser.h"

namespace kvn {
namespace {

struct ParserFree {
    void operator()(XmlParser* p) const noexcept { XmlParserFree(p); }
};
using ParserPtr = std::unique_ptr<XmlParser, ParserFree>;

// Carries the sink through the parser's handler slots. An allocation failure in the sink
// passes through the parser, which releases its parse state on the way.
struct Bridge {
    XmlEventSink* sink;
    Vec<ElementAttribute> attributes;
    bool stopped = false;
};

const char* OrEmpty(const char* s) { return s ? s : ""; }

int OnStartElement(void* user, const char* uri, const char* localName, const char* qname, XmlAttributes* list) {
    auto* bridge = static_cast<Bridge*>(user);
    std::uint32_t count = XmlAttributeCount(list);
    if (bridge->attributes.size() < count) bridge->attributes.resize(count);
    ElementAttribute* out = bridge->attributes.data();
    for (std::uint32_t i = 0; i < count; ++i) {
        const XmlAttribute& a = (*list)[i];
        out[i] = {a.qname, OrEmpty(a.value), OrEmpty(a.uri), OrEmpty(a.localName)};
    }
    if (bridge->sink->OnStartElement(OrEmpty(uri), OrEmpty(localName), qname, out, count)) return 0;
    bridge->stopped = true;
    return 1;
}

int OnEndElement(void* user, const char* uri, const char* localName, const char* qname) {
    auto* bridge = static_cast<Bridge*>(user);
    if (bridge->sink->OnEndElement(OrEmpty(uri), OrEmpty(localName), qname)) return 0;
    bridge->stopped = true;
    return 1;
}

int OnCharacters(void* user, const char* text, int len) {
    auto* bridge = static_cast<Bridge*>(user);
    if (bridge->sink->OnCharacters(text, static_cast<std::size_t>(len))) return 0;
    bridge->stopped = true;
    return 1;
}

// Present so that the parser formats its message and position; the caller reports them.
int OnError(XmlParser*) { return 0; }

}  // namespace

XmlParseResult ParseXmlEvents(std::FILE* document, XmlEventSink& sink, unsigned options) {
    XmlParseResult result;
    ParserPtr parser(XmlParserCreate(nullptr));
    Bridge bridge{&sink, {}};
    parser->userData = &bridge;
    if (options & kXmlKeepNamespaceDeclarations) parser->options |= XML_OPT_KEEP_XMLNS;
    parser->handlers.startElement = OnStartElement;
    parser->handlers.endElement = OnEndElement;
    parser->handlers.characters = OnCharacters;
    if (options & kXmlWhitespaceText) parser->handlers.ignorableWhitespace = OnCharacters;
    parser->handlers.errorHandler = OnError;

    const bool ok = XmlParse(parser.get(), XmlFileRead, document, nullptr) == kOk;
    if (bridge.stopped) {
        result.status = XmlParseStatus::kStopped;
    } else if (!ok) {
        result.status = XmlParseStatus::kError;
        std::memcpy(result.message, parser->errorMessage, sizeof result.message);
        result.message[sizeof result.message - 1] = '\0';
        result.line = parser->errorLine;
    }
    return result;
}

}  // namespace kvn
