// Document structure: prolog, character data, start and end tags, comments, processing
// instructions, CDATA sections and the document type declaration.
#include <cstring>

#include "xml/parser_internal.h"

namespace kvn {
namespace {

constexpr std::size_t kTextPiece = 4091;   // option 0x100: deliver text at this size
constexpr std::size_t kCDataPiece = 4090;  // option 0x100: deliver CDATA beyond this size

// Largest n' <= n that does not cut a UTF-8 sequence of text[0..n).
std::size_t CharBoundary(const char* text, std::size_t n) {
    std::size_t i = n;
    while (i > 0 && (static_cast<unsigned char>(text[i - 1]) & 0xC0) == 0x80) --i;
    if (i == 0) return n;
    std::size_t lead = i - 1;
    std::size_t len = XmlSequenceLength(static_cast<unsigned char>(text[lead]));
    return lead + len <= n ? n : lead;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Document

void XmlParserState::ParseDocument() {
    DetectEncoding();
    ReadXmlDeclaration(true);
    startDocumentCalled = true;
    if (H().startDocument) Check(H().startDocument(User()));
    if (Opt(XML_OPT_PROLOG_ONLY)) {
        prologOnly = true;
        return;
    }
    ParseContent();
}

void XmlParserState::FinishDocument() {
    if (prologOnly) return;
    while (!elements.empty()) {
        XmlElementFrame& f = elements.back();
        if (parser->errorCode == 0) XmlReportError(parser, XML_ERROR_TAG_NOT_CLOSED, f.qname, nullptr);
        elements.pop_back();
    }
    if (parser->errorCode != 0) {
        attributes.clear();
        text.clear();
    } else if (!sawRoot) {
        XmlReportError(parser, XML_ERROR_EXPECTED, "document element", nullptr);
    }
    if (startDocumentCalled && H().endDocument && H().endDocument(User()) == 1)
        XmlReportError(parser, XML_ERROR_ABORTED, nullptr, nullptr);
}

// ---------------------------------------------------------------------------------------
// Content

void XmlParserState::ParseContent() {
    for (;;) {
        ReadText();
        int c = Peek();
        if (c < 0) {
            if (Depth() > 1) {
                EndOfEntityInContent();
                continue;
            }
            FlushText();
            return;
        }
        FlushText();
        ReaderCompact(Top());
        ParseMarkup();
        if (aborted) return;
    }
}

// Collects character data up to the next '<' or the end of the current entity.
void XmlParserState::ReadText() {
    for (;;) {
        XmlReaderState* s = In();
        const char* p = s->buf + s->pos;
        const char* end = s->buf + s->len;
        const char* q = p;
        if (textIsWhitespace) {
            while (q < end && XmlIsSpace(*q)) ++q;
        }
        while (q < end && *q != '<' && *q != '&' && *q != ']') ++q;
        if (q > p) {
            if (textIsWhitespace) {
                for (const char* w = p; w < q; ++w)
                    if (!XmlIsSpace(*w)) {
                        if (elements.empty()) {
                            s->pos = static_cast<std::size_t>(w - s->buf);
                            Fail(XML_ERROR_TOP_LEVEL);
                        }
                        textIsWhitespace = false;
                        break;
                    }
            }
            AppendText(p, static_cast<std::size_t>(q - p));
            s = In();
            s->pos += static_cast<std::size_t>(q - p);
        }
        int c = Peek();
        if (c < 0 || c == '<') return;
        if (c == '&') {
            if (elements.empty()) Fail(XML_ERROR_TOP_LEVEL);
            ContentReference();
        } else if (c == ']') {
            if (LookingAt("]]>")) Fail(XML_ERROR_INVALID_TOKEN);
            if (elements.empty()) Fail(XML_ERROR_TOP_LEVEL);
            textIsWhitespace = false;
            AppendText("]", 1);
            Advance();
        }
    }
}

// Adds bytes to the pending text run; with option 0x100 long runs go out in pieces.
void XmlParserState::AppendText(const char* p, std::size_t n) {
    if (elements.empty()) return;  // whitespace outside the root element is dropped
    if (!Opt(XML_OPT_CHUNKED_TEXT)) {
        text.append(p, n);
        return;
    }
    while (n > 0) {
        std::size_t room = kTextPiece - text.size();
        std::size_t take = n < room ? n : room;
        text.append(p, take);
        p += take;
        n -= take;
        if (text.size() >= kTextPiece) {
            std::size_t cut = CharBoundary(text.data(), text.size());
            String rest(text.data() + cut, text.size() - cut);
            text.resize(cut);
            DeliverPiece(false);
            text.append(rest.data(), rest.size());
        }
    }
}

void XmlParserState::DeliverPiece(bool whitespaceAllowed) {
    int len = static_cast<int>(text.size());
    if (whitespaceAllowed && textIsWhitespace) {
        if (H().ignorableWhitespace) Check(H().ignorableWhitespace(User(), text.data(), len));
    } else if (H().characters) {
        Check(H().characters(User(), text.data(), len));
    }
    text.clear();
    ReaderCompact(Top());
}

void XmlParserState::FlushText() {
    if (text.size() > 0 && !elements.empty()) DeliverPiece(true);
    text.clear();
    textIsWhitespace = true;
}

void XmlParserState::EndOfEntityInContent() {
    FlushText();
    if (!elements.empty() && elements.back().readerDepth == Depth())
        Fail(XML_ERROR_TAG_NOT_CLOSED, elements.back().qname);
    XmlEntity* e = Top()->entity;
    PopReader();
    if (e && H().endEntity) Check(H().endEntity(User(), e));
}

void XmlParserState::ParseMarkup() {
    int c = PeekAt(1);
    if (c == '/') {
        ParseEndTag();
    } else if (c == '?') {
        ParsePI(false);
    } else if (c == '!') {
        if (LookingAt("<!--"))
            ParseComment(false);
        else if (LookingAt("<![CDATA["))
            ParseCData();
        else if (LookingAt("<!DOCTYPE"))
            ParseDoctype();
        else
            Fail(XML_ERROR_INVALID_TOKEN);
    } else {
        ParseStartTag();
    }
}

// ---------------------------------------------------------------------------------------
// Tags

void XmlParserState::ParseStartTag() {
    Advance();  // '<'
    int first = Peek();
    if (first >= 0 && XmlIsSpace(first)) Fail(XML_ERROR_WHITESPACE_NOT_ALLOWED);
    if (elements.empty() && sawRoot) Fail(XML_ERROR_SECOND_ROOT);
    tag.clear();
    spans.clear();
    std::size_t qnameLength = ReadName(&tag);
    tag.push_back(static_cast<char>(0));
    CheckNameEnd("/>");
    if (!sawRoot) {
        sawRoot = true;
        parser->rootName = estrdup(tag.data());
        if (!dtdDone && installedSubset) ProcessInstalledSubset();
    }
    bool empty = false;
    for (;;) {
        bool space = SkipSpace();
        int c = Peek();
        if (c == '>') {
            Advance();
            break;
        }
        if (c == '/') {
            Advance();
            if (Peek() != '>') Fail(XML_ERROR_EXPECTED, ">");
            Advance();
            empty = true;
            break;
        }
        if (c < 0) Fail(XML_ERROR_TAG_NOT_CLOSED, tag.data());
        if (!space) Fail(XML_ERROR_WHITESPACE_REQUIRED);
        XmlAttributeSpan sp{};
        sp.qname = tag.size();
        sp.qnameLength = ReadName(&tag);
        tag.push_back(static_cast<char>(0));
        CheckNameEnd("=");
        SkipSpace();
        if (Peek() != '=') Fail(XML_ERROR_EXPECTED, "=");
        Advance();
        SkipSpace();
        int quote = Peek();
        if (quote != '"' && quote != '\'') Fail(XML_ERROR_EXPECTED, "String");
        Advance();
        sp.value = tag.size();
        ReadAttributeValue(quote, &tag);
        sp.valueLength = tag.size() - sp.value;
        tag.push_back(static_cast<char>(0));
        spans.push_back(sp);
    }
    CheckDuplicateAttributes();
    ApplyDefaults();
    BuildAttributeList();
    XmlElementFrame frame{};
    frame.qnameLength = qnameLength;
    frame.readerDepth = Depth();
    if (openNames.size() <= elements.size()) openNames.emplace_back();
    String& name = openNames[elements.size()];
    name.assign(tag.data(), qnameLength);
    frame.qname = name.data();
    ResolveNamespaces(frame);
    elements.push_back(frame);
    XmlElementFrame& top = elements.back();
    if (H().startElement && Stopped(H().startElement(User(), top.uri, top.localName, top.qname, &attributes))) {
        attributes.clear();
        return;
    }
    attributes.clear();
    if (empty) CloseElement(elements.back());
}

void XmlParserState::ParseEndTag() {
    Advance(2);
    int first = Peek();
    if (first >= 0 && XmlIsSpace(first)) Fail(XML_ERROR_WHITESPACE_NOT_ALLOWED);
    scratch.clear();
    ReadName(&scratch);
    CheckNameEnd(">");
    SkipSpace();
    if (Peek() != '>') Fail(XML_ERROR_EXPECTED, ">");
    Advance();
    if (elements.empty() || elements.back().readerDepth != Depth())
        Fail(XML_ERROR_UNEXPECTED_END_TAG, scratch.data());
    XmlElementFrame& top = elements.back();
    if (std::strcmp(top.qname, scratch.data()) != 0) Fail(XML_ERROR_EXPECTED_FOUND, top.qname, scratch.data());
    CloseElement(top);
}

// Reports the end of the innermost element and pops it with its namespace scope.
void XmlParserState::CloseElement(XmlElementFrame& frame) {
    if (H().endElement && Stopped(H().endElement(User(), frame.uri, frame.localName, frame.qname))) return;
    while (bindings.size() > frame.bindingMark) {
        efree(bindings.back().prefix);
        efree(bindings.back().uri);
        bindings.pop_back();
    }
    while (scoped.size() > frame.scopeMark) {
        efree(scoped.back().name);
        efree(scoped.back().value);
        scoped.pop_back();
    }
    elements.pop_back();
    if (elements.empty()) rootClosed = true;
}

// ---------------------------------------------------------------------------------------
// Comments, processing instructions, CDATA

void XmlParserState::ParseComment(bool /*inDtd*/) {
    Advance(4);
    bool keep = H().comment != nullptr;
    scratch.clear();
    for (;;) {
        XmlReaderState* s = In();
        const char* p = s->buf + s->pos;
        const char* end = s->buf + s->len;
        const char* dash = static_cast<const char*>(std::memchr(p, '-', static_cast<std::size_t>(end - p)));
        const char* stop = dash ? dash : end;
        if (keep && stop > p) scratch.append(p, static_cast<std::size_t>(stop - p));
        s->pos = static_cast<std::size_t>(stop - s->buf);
        if (!dash) {
            if (Peek() < 0) Fail(XML_ERROR_EXPECTED, "-->");
            continue;
        }
        if (PeekAt(1) == '-') {
            Advance(2);
            int c = Peek();
            if (c == '>') {
                Advance();
                break;
            }
            if (c < 0) Fail(XML_ERROR_EXPECTED, "-->");
            if (XmlIsSpace(c)) Fail(XML_ERROR_WHITESPACE_NOT_ALLOWED);
            Fail(XML_ERROR_EXPECTED, ">");
        }
        if (keep) scratch.push_back('-');
        Advance();
    }
    if (keep) {
        Check(H().comment(User(), scratch.data(), static_cast<int>(scratch.size())));
    }
}

void XmlParserState::ParsePI(bool /*inDtd*/) {
    Advance(2);
    scratch.clear();
    std::size_t targetLength = ReadName(&scratch);
    scratch.push_back(static_cast<char>(0));
    CheckNameEnd("?");
    if (targetLength == 3 && (scratch.data()[0] | 0x20) == 'x' && (scratch.data()[1] | 0x20) == 'm' &&
        (scratch.data()[2] | 0x20) == 'l')
        Fail(XML_ERROR_INVALID_DECLARATION, "xml");
    if (!Accept("?>")) {
        if (!SkipSpace()) Fail(XML_ERROR_WHITESPACE_REQUIRED);
        for (;;) {
            int c = Peek();
            if (c < 0) Fail(XML_ERROR_EXPECTED, "?>");
            if (c == '?' && PeekAt(1) == '>') {
                Advance(2);
                break;
            }
            scratch.push_back(static_cast<char>(c));
            Advance();
        }
    }
    if (H().processingInstruction)
        Check(H().processingInstruction(User(), scratch.data(), scratch.data() + targetLength + 1));
}

void XmlParserState::ParseCData() {
    if (elements.empty()) Fail(XML_ERROR_TOP_LEVEL);
    Advance(9);
    if (H().startCDATA) Check(H().startCDATA(User()));
    text.clear();
    bool chunked = Opt(XML_OPT_CHUNKED_TEXT);
    for (;;) {
        XmlReaderState* s = In();
        const char* p = s->buf + s->pos;
        const char* end = s->buf + s->len;
        const char* br = static_cast<const char*>(std::memchr(p, ']', static_cast<std::size_t>(end - p)));
        const char* stop = br ? br : end;
        if (stop > p) text.append(p, static_cast<std::size_t>(stop - p));
        s->pos = static_cast<std::size_t>(stop - s->buf);
        if (chunked && text.size() > kCDataPiece) {
            std::size_t cut = CharBoundary(text.data(), text.size());
            String rest(text.data() + cut, text.size() - cut);
            text.resize(cut);
            textIsWhitespace = false;
            DeliverPiece(false);
            text.append(rest.data(), rest.size());
        }
        if (!br) {
            if (Peek() < 0) Fail(XML_ERROR_EXPECTED, "]]>");
            continue;
        }
        if (LookingAt("]]>")) {
            Advance(3);
            break;
        }
        text.push_back(']');
        Advance();
    }
    if (text.size() > 0) {
        textIsWhitespace = false;
        DeliverPiece(false);
    }
    textIsWhitespace = true;
    if (H().endCDATA) Check(H().endCDATA(User()));
}

// ---------------------------------------------------------------------------------------
// Document type declaration

void XmlParserState::ParseDoctype() {
    if (sawRoot || sawDoctype) Fail(XML_ERROR_INVALID_TOKEN);
    sawDoctype = true;
    Advance(9);
    if (!SkipSpace()) Fail(XML_ERROR_WHITESPACE_REQUIRED);
    scratch.clear();
    ReadName(&scratch);
    CheckNameEnd(">[");
    char* name = arena.Copy(scratch.data(), scratch.size());
    char* publicId = nullptr;
    char* systemId = nullptr;
    bool space = SkipSpace();
    if (LookingAt("SYSTEM") || LookingAt("PUBLIC")) {
        bool isPublic = LookingAt("PUBLIC");
        Advance(6);
        if (!space || !SkipSpace()) Fail(XML_ERROR_INVALID_DECLARATION, "doctype");
        if (isPublic) {
            publicId = ReadQuoted("doctype", true);
            if (!SkipSpace()) Fail(XML_ERROR_INVALID_DECLARATION, "doctype");
        }
        systemId = ReadQuoted("doctype", false);
        SkipSpace();
    }
    bool internal = Peek() == '[';
    if (!internal && Peek() != '>') Fail(XML_ERROR_INVALID_DECLARATION, "doctype");
    if (H().startDTD) Check(H().startDTD(User(), name, publicId, systemId, internal ? 1 : 0));
    if (installedSubset) ReadExternalSubset(installedSubset);
    if (internal) {
        Advance();
        ReadInternalSubset();
        SkipSpace();
    }
    if (Peek() != '>') Fail(XML_ERROR_INVALID_DECLARATION, "doctype");
    Advance();
    if (systemId) {
        hasExternalDtdParts = true;
        auto* e = static_cast<XmlEntity*>(arena.Alloc(sizeof(XmlEntity)));
        *e = XmlEntity{};
        e->kind = XML_ENTITY_EXTERNAL_SUBSET;
        e->name = "[dtd]";
        e->publicId = publicId;
        e->systemId = systemId;
        ReadExternalSubset(e);
    }
    EndDtd();
}

// The installed subset of a document without DOCTYPE, just before the root's attributes.
// A compiled one is adopted as it is: no declaration of the document can combine with it.
void XmlParserState::ProcessInstalledSubset() {
    if (H().startDTD)
        Check(H().startDTD(User(), parser->rootName, installedSubset->publicId,
                           installedSubset->systemId, 0));
    if (compiledSubset) {
        AdoptCompiledDtd();
    } else {
        ReadExternalSubset(installedSubset);
    }
    EndDtd();
}

void XmlParserState::EndDtd() {
    dtdDone = true;
    if (H().endDTD) Check(H().endDTD(User()));
}

}  // namespace kvn
