#include "libxml2_events.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace kvn::testing {
namespace {

struct Driver {
    XmlEventSink* sink;
    unsigned options;
    xmlParserCtxtPtr context = nullptr;
    bool stopped = false;
    bool outOfMemory = false;
    std::vector<std::string> storage;
    std::vector<ElementAttribute> attributes;
    std::string error;
    int errorLine = 0;
};

const char* Text(const xmlChar* s) { return s ? reinterpret_cast<const char*>(s) : ""; }

std::string Qualified(const xmlChar* prefix, const xmlChar* local) {
    std::string q;
    if (prefix) q.append(Text(prefix)).append(":");
    return q.append(Text(local));
}

void Stop(Driver* d) {
    d->stopped = true;
    xmlStopParser(d->context);
}

void OnStart(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri, int nbNamespaces,
             const xmlChar** namespaces, int nbAttributes, int, const xmlChar** attrs) {
    auto* d = static_cast<Driver*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
    if (d->stopped) return;
    d->storage.clear();
    d->storage.reserve(static_cast<std::size_t>(4 * (nbAttributes + nbNamespaces) + 1));
    if (d->options & kXmlKeepNamespaceDeclarations) {
        for (int i = 0; i < nbNamespaces; ++i) {
            d->storage.push_back(namespaces[2 * i] ? "xmlns:" + std::string(Text(namespaces[2 * i])) : "xmlns");
            d->storage.push_back(Text(namespaces[2 * i + 1]));
        }
    }
    for (int i = 0; i < nbAttributes; ++i) {
        const xmlChar** a = attrs + 5 * i;
        d->storage.push_back(Qualified(a[1], a[0]));
        d->storage.emplace_back(reinterpret_cast<const char*>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
        d->storage.push_back(Text(a[2]));
        d->storage.push_back(Text(a[0]));
    }
    d->attributes.clear();
    std::size_t i = 0;
    if (d->options & kXmlKeepNamespaceDeclarations) {
        for (int n = 0; n < nbNamespaces; ++n, i += 2) {
            d->attributes.push_back({d->storage[i].c_str(), d->storage[i + 1].c_str(),
                                     "http://www.w3.org/2000/xmlns/", ""});
        }
    }
    for (; i < d->storage.size(); i += 4) {
        d->attributes.push_back({d->storage[i].c_str(), d->storage[i + 1].c_str(), d->storage[i + 2].c_str(),
                                 d->storage[i + 3].c_str()});
    }
    std::string qname = Qualified(prefix, localname);
    const char* ns = Text(uri);
    const char* local = *ns ? Text(localname) : "";
    try {
        if (!d->sink->OnStartElement(ns, local, qname.c_str(), d->attributes.data(), d->attributes.size())) Stop(d);
    } catch (const std::bad_alloc&) {
        d->outOfMemory = true;
        Stop(d);
    }
}

void OnEnd(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri) {
    auto* d = static_cast<Driver*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
    if (d->stopped) return;
    std::string qname = Qualified(prefix, localname);
    const char* ns = Text(uri);
    try {
        if (!d->sink->OnEndElement(ns, *ns ? Text(localname) : "", qname.c_str())) Stop(d);
    } catch (const std::bad_alloc&) {
        d->outOfMemory = true;
        Stop(d);
    }
}

void OnText(void* ctx, const xmlChar* text, int n) {
    auto* d = static_cast<Driver*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
    if (d->stopped) return;
    bool blank = true;
    for (int i = 0; i < n && blank; ++i) blank = std::strchr(" \t\r\n", text[i]) != nullptr;
    if (blank) return;
    try {
        if (!d->sink->OnCharacters(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n))) Stop(d);
    } catch (const std::bad_alloc&) {
        d->outOfMemory = true;
        Stop(d);
    }
}

}  // namespace

XmlParseResult ParseXmlEventsWithLibxml2(std::FILE* document, XmlEventSink& sink, unsigned options) {
    Driver d{&sink, options};
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = OnStart;
    sax.endElementNs = OnEnd;
    sax.characters = OnText;
    sax.cdataBlock = OnText;
    XmlParseResult result;
    d.context = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, nullptr);
    if (!d.context) throw std::bad_alloc();
    d.context->_private = &d;
    xmlCtxtUseOptions(d.context, XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_HUGE);
    char block[4096];
    int ok = 1;
    for (;;) {
        std::size_t n = std::fread(block, 1, sizeof block, document);
        bool last = n < sizeof block;
        int rc = xmlParseChunk(d.context, block, static_cast<int>(n), last ? 1 : 0);
        if (d.stopped) break;
        if (rc != 0) {
            ok = 0;
            break;
        }
        if (last) break;
    }
    if (!d.stopped && (!ok || !d.context->wellFormed)) {
        xmlErrorPtr e = xmlCtxtGetLastError(d.context);
        if (e && e->message) {
            d.error = e->message;
            while (!d.error.empty() && d.error.back() == '\n') d.error.pop_back();
            d.errorLine = e->line;
        }
        result.status = XmlParseStatus::kError;
        std::snprintf(result.message, sizeof result.message, "%s", d.error.empty() ? "error" : d.error.c_str());
        result.line = d.errorLine;
    } else if (d.stopped) {
        result.status = XmlParseStatus::kStopped;
    }
    xmlFreeParserCtxt(d.context);
    if (d.outOfMemory) throw std::bad_alloc();
    return result;
}

}  // namespace kvn::testing
