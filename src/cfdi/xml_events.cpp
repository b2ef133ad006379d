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

// Carries the sink through the parser's handler slots. A handler never lets an exception
// pass into the parser: an allocation failure stops the parse and is raised again once
// the parser has been released.
struct Bridge {
    XmlEventSink* sink;
    Vec<ElementAttribute> attributes;
    bool stopped = false;
    bool outOfMemory = false;
};

const char* OrEmpty(const char* s) { return s ? s : ""; }

int OnStartElement(void* user, const char* uri, const char* localName, const char* qname, XmlAttributes* list) {
    auto* bridge = static_cast<Bridge*>(user);
    try {
        std::uint32_t count = XmlAttributeCount(list);
        if (bridge->attributes.size() < count) bridge->attributes.resize(count);
        ElementAttribute* out = bridge->attributes.data();
        for (std::uint32_t i = 0; i < count; ++i) {
            const XmlAttribute& a = (*list)[i];
            out[i] = {a.qname, OrEmpty(a.value), OrEmpty(a.uri), OrEmpty(a.localName)};
        }
        if (bridge->sink->OnStartElement(OrEmpty(uri), OrEmpty(localName), qname, out, count)) {
            return 0;
        }
        bridge->stopped = true;
    } catch (const std::bad_alloc&) {
        bridge->outOfMemory = true;
    }
    return 1;
}

int OnEndElement(void* user, const char* uri, const char* localName, const char* qname) {
    auto* bridge = static_cast<Bridge*>(user);
    try {
        if (bridge->sink->OnEndElement(OrEmpty(uri), OrEmpty(localName), qname)) return 0;
        bridge->stopped = true;
    } catch (const std::bad_alloc&) {
        bridge->outOfMemory = true;
    }
    return 1;
}

int OnCharacters(void* user, const char* text, int len) {
    auto* bridge = static_cast<Bridge*>(user);
    try {
        if (bridge->sink->OnCharacters(text, static_cast<std::size_t>(len))) return 0;
        bridge->stopped = true;
    } catch (const std::bad_alloc&) {
        bridge->outOfMemory = true;
    }
    return 1;
}

// Present so that the parser formats its message and position; the caller reports them.
int OnError(XmlParser*) { return 0; }

}  // namespace

XmlParseResult ParseXmlEvents(std::FILE* document, XmlEventSink& sink, unsigned options) {
    XmlParseResult result;
    XmlParser* raw = nullptr;
    ParserPtr parser(XmlParserCreate(&raw));
    // The parser is made of nothing but memory: failing to make it is running out of it.
    if (!parser) throw AllocError("malloc failed to allocate memory.");
    Bridge bridge{&sink, {}};
    parser->userData = &bridge;
    if (options & kXmlKeepNamespaceDeclarations) parser->options |= XML_OPT_KEEP_XMLNS;
    parser->handlers.startElement = OnStartElement;
    parser->handlers.endElement = OnEndElement;
    parser->handlers.characters = OnCharacters;
    if (options & kXmlWhitespaceText) parser->handlers.ignorableWhitespace = OnCharacters;
    parser->handlers.errorHandler = OnError;

    int ok = XmlParse(parser.get(), XmlFileRead, document, nullptr) == kOk;
    if (bridge.outOfMemory || parser->errorCode == XML_ERROR_NO_MEMORY) {
        parser.reset();
        throw AllocError("malloc failed to allocate memory.");
    }
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
