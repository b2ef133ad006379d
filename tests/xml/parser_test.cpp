// Parser behaviour: events, errors with their messages and positions, feeding in
// blocks, namespaces, DTD declarations, entity expansion limits and deep nesting.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/memory.h"
#include "support/fault_sim.h"
#include "xml/parser.h"

namespace {

using namespace kvn;

// Records every event as one line of text.
struct Recorder {
    std::string events;
    XmlParser* parser = nullptr;
};

Recorder* R(void* user) { return static_cast<Recorder*>(user); }

int StartElement(void* u, const char* uri, const char* local, const char* qname, XmlAttributes* attrs) {
    std::string& e = R(u)->events;
    e += "<" + std::string(qname) + "{" + uri + "}" + local;
    for (std::uint32_t i = 0; i < XmlAttributeCount(attrs); ++i) {
        XmlAttribute* a = XmlAttributeAt(attrs, i);
        e += std::string(" ") + a->qname + "{" + a->uri + "}" + a->localName + "=[" + a->value + "]";
        if (a->defaulted) e += "*";
    }
    e += ">";
    return 0;
}
int EndElement(void* u, const char*, const char*, const char* qname) {
    R(u)->events += "</" + std::string(qname) + ">";
    return 0;
}
int Characters(void* u, const char* text, int len) {
    EXPECT_EQ(text[len], '\0');
    R(u)->events += "T[" + std::string(text, static_cast<std::size_t>(len)) + "]";
    return 0;
}
int Whitespace(void* u, const char* text, int len) {
    R(u)->events += "W[" + std::string(text, static_cast<std::size_t>(len)) + "]";
    return 0;
}
int Comment(void* u, const char* text, int len) {
    R(u)->events += "C[" + std::string(text, static_cast<std::size_t>(len)) + "]";
    return 0;
}
int PI(void* u, const char* target, const char* data) {
    R(u)->events += "P[" + std::string(target) + "|" + data + "]";
    return 0;
}
int StartCData(void* u) {
    R(u)->events += "{CDATA";
    return 0;
}
int EndCData(void* u) {
    R(u)->events += "}";
    return 0;
}
int Skipped(void* u, const char* name) {
    R(u)->events += "S[" + std::string(name) + "]";
    return 0;
}
int XmlDeclHandler(void* u, const char* v, const char* enc, const char* sa) {
    R(u)->events += std::string("X[") + v + "|" + (enc ? enc : "-") + "|" + (sa ? sa : "-") + "]";
    return 0;
}
int StartDtd(void* u, const char* root, const char* pub, const char* sys, int internal) {
    R(u)->events += std::string("D[") + root + "|" + (pub ? pub : "-") + "|" + (sys ? sys : "-") + "|" +
                    std::to_string(internal) + "]";
    return 0;
}
int EndDtd(void* u) {
    R(u)->events += "/D";
    return 0;
}
int ElementDecl(void* u, const char* name, XmlElementDecl* decl, const char* model) {
    R(u)->events += "E[" + std::string(name) + "|" + (model ? model : "record") + "]";
    if (decl) R(u)->events += "k" + std::to_string(decl->kind);
    return 0;
}
int AttributeDecl(void* u, const char* element, const char* name, int type, const char* enumeration,
                  int kind, const char* value) {
    R(u)->events += "A[" + std::string(element) + "|" + name + "|" + std::to_string(type) + "|" +
                    (enumeration ? enumeration : "-") + "|" + std::to_string(kind) + "|" +
                    (value ? value : "-") + "]";
    return 0;
}
int ErrorHandler(XmlParser*) { return 0; }

struct Outcome {
    std::string events;
    std::uint32_t code;
    std::string message;
    int line, column;
};

// Feeds the document in blocks of `block` bytes (0: the memory reader's own blocks).
struct BlockSource {
    const std::string* data;
    std::size_t pos;
    std::size_t block;
};

int BlockRead(void* buffer, int size, int* got, void* arg) {
    auto* s = static_cast<BlockSource*>(arg);
    std::size_t n = std::min<std::size_t>({static_cast<std::size_t>(size), s->block, s->data->size() - s->pos});
    std::memcpy(buffer, s->data->data() + s->pos, n);
    s->pos += n;
    *got = static_cast<int>(n);
    // Short reads are allowed by the contract only at the end; report "more" while data remains.
    return s->pos >= s->data->size() ? 1 : 0;
}

Outcome Parse(const std::string& doc, std::uint32_t options = XML_OPT_DEFAULT, std::size_t block = 0,
              const char* encoding = nullptr) {
    Recorder rec;
    XmlParser* parser = XmlParserCreate(nullptr);
    rec.parser = parser;
    parser->userData = &rec;
    parser->options = options;
    XmlHandlers& h = parser->handlers;
    h.startElement = StartElement;
    h.endElement = EndElement;
    h.characters = Characters;
    h.ignorableWhitespace = Whitespace;
    h.comment = Comment;
    h.processingInstruction = PI;
    h.startCDATA = StartCData;
    h.endCDATA = EndCData;
    h.skippedEntity = Skipped;
    h.xmlDecl = XmlDeclHandler;
    h.startDTD = StartDtd;
    h.endDTD = EndDtd;
    h.elementDecl = ElementDecl;
    h.attributeDecl = AttributeDecl;
    h.errorHandler = ErrorHandler;
    if (block == 0) {
        (void)XmlParseMemory(parser, doc.data(), doc.size(), encoding);
    } else {
        BlockSource src{&doc, 0, block};
        (void)XmlParse(parser, BlockRead, &src, encoding);
    }
    Outcome o{rec.events, parser->errorCode, parser->errorMessage, parser->errorLine, parser->errorColumn};
    XmlParserFree(parser);
    return o;
}

// ---------------------------------------------------------------------------------------

struct EventCase {
    const char* doc;
    const char* events;
};

TEST(XmlParser, DeliversEvents) {
    const EventCase cases[] = {
        {"<a/>", "<a{}></a>"},
        {"<?xml version='1.0' encoding='UTF-8' standalone='yes'?><a x='1' y=\"2\">t</a>",
         "X[1.0|UTF-8|yes]<a{} x{}x=[1] y{}y=[2]>T[t]</a>"},
        {"<a>\n <b>x&lt;&amp;&#65;&#x42;</b> </a>", "<a{}>W[\n ]<b{}>T[x<&AB]</b>W[ ]</a>"},
        {"<a><![CDATA[<&]]]></a>", "<a{}>{CDATAT[<&]]}</a>"},
        {"<!--c1--><a><!-- c2 --><?pi  data here ?><?q?></a>", "C[c1]<a{}>C[ c2 ]P[pi|data here ]P[q|]</a>"},
        {"<a v='a\tb\nc\r\nd'/>", "<a{} v{}v=[a b c d]></a>"},
        {"<a>x\r\ny\rz</a>", "<a{}>T[x\ny\nz]</a>"},
        // Namespaces: default and prefixed, attributes, undeclaring the default.
        {"<r xmlns='urn:d' xmlns:p='urn:p'><p:e p:a='1' b='2'/><f xmlns=''/></r>",
         "<r{urn:d}r><p:e{urn:p}e p:a{urn:p}a=[1] b{}b=[2]></p:e><f{}></f></r>"},
        {"<x:a xmlns:x='urn:x' xml:lang='es'/>", "<x:a{urn:x}a xml:lang{http://www.w3.org/XML/1998/namespace}lang=[es]></x:a>"},
        // DTD: defaults (marked *), non-CDATA collapsing, internal entities with markup.
        {"<!DOCTYPE a [<!ATTLIST a d CDATA 'dv' t NMTOKENS #IMPLIED><!ENTITY e '<b>&#38;amp;</b>'>]>"
         "<a t='  x   y '>&e;</a>",
         "D[a|-|-|1]A[a|d|1|-|0|dv]A[a|t|8|-|3|-]/D<a{} t{}t=[x y] d{}d=[dv]*><b{}>T[&]</b></a>"},
        {"<!DOCTYPE a [<!ELEMENT a (b,(c|d)*,e?)+><!ELEMENT b (#PCDATA|c)*><!ELEMENT c EMPTY>"
         "<!ELEMENT d ANY><!ELEMENT e (#PCDATA)>]><a/>",
         "D[a|-|-|1]E[a|(b,(c|d)*,e?)+]E[b|(#PCDATA|c)*]E[c|EMPTY]E[d|ANY]E[e|(#PCDATA)]/D<a{}></a>"},
        {"<!DOCTYPE a SYSTEM 'a.dtd'><a>&undeclared;</a>", "D[a|-|a.dtd|0]/D<a{}>S[undeclared]</a>"},
        {"<!DOCTYPE a [<!ENTITY % p '<!ENTITY e \"pe\">'> %p;]><a>&e;</a>", "D[a|-|-|1]/D<a{}>T[pe]</a>"},
        {"<!DOCTYPE a [<!ATTLIST a e (x|y) 'y' n NOTATION (g) #REQUIRED f CDATA #FIXED 'v'>]><a/>",
         "D[a|-|-|1]A[a|e|10|(x|y)|0|y]A[a|n|9|(g)|2|-]A[a|f|1|-|1|v]/D<a{} e{}e=[y]* f{}f=[v]*></a>"},
    };
    for (const EventCase& c : cases) {
        Outcome o = Parse(c.doc);
        EXPECT_EQ(o.code, 0u) << c.doc << ": " << o.message;
        EXPECT_EQ(o.events, c.events) << c.doc;
    }
}

// A long start tag: prefix copies are appended to the tag buffer that holds the names
// they copy, across its growth; past 16 attributes duplicates are found by hashing.
TEST(XmlParser, LongStartTagsKeepNamesAndFindDuplicates) {
    std::string doc = "<r xmlns:p='urn:p'";
    std::string events = "<r{} xmlns:p{http://www.w3.org/2000/xmlns/}p=[urn:p]";
    for (int i = 0; i < 40; ++i) {
        std::string name = "p:attribute" + std::to_string(i) + std::string(static_cast<std::size_t>(i) * 7, 'x');
        std::string value = std::string(static_cast<std::size_t>(i) * 11, 'v');
        doc += " " + name + "='" + value + "'";
        events += " " + name + "{urn:p}" + name.substr(2) + "=[" + value + "]";
    }
    Outcome o = Parse(doc + "/>", XML_OPT_DEFAULT | XML_OPT_KEEP_XMLNS);
    EXPECT_EQ(o.code, 0u) << o.message;
    EXPECT_EQ(o.events, events + "></r>");

    o = Parse(doc + " p:attribute39" + std::string(39 * 7, 'x') + "='again'/>");
    EXPECT_EQ(o.code, XML_ERROR_DUPLICATE_ATTRIBUTE);
}

TEST(XmlParser, ReadsMemoryInBlocksAndReportsTheEnd) {
    MemorySource src{"abcdef", 6, 0};
    char buf[4];
    int got = 0;
    EXPECT_EQ(MemoryRead(buf, 4, &got, &src), 0);
    EXPECT_EQ(got, 4);
    EXPECT_EQ(MemoryRead(buf, 4, &got, &src), 1);
    EXPECT_EQ(got, 2);
}

TEST(XmlParser, ElementDeclarationRecordUnderOption0x040) {
    Outcome o = Parse("<!DOCTYPE a [<!ELEMENT a (b|c)>]><a/>", XML_OPT_DEFAULT | XML_OPT_KEEP_DECLARATIONS);
    EXPECT_EQ(o.events, "D[a|-|-|1]E[a|record]k1/D<a{}></a>");
}

struct ErrorCase {
    const char* doc;
    std::uint32_t code;
    const char* message;
    int line, column;
};

TEST(XmlParser, ReportsErrorsWithMessageAndPosition) {
    const ErrorCase cases[] = {
        {"", 11, "Expected 'document element'", -1, -1},
        {"<a><b></a>", 10, "Expected 'b', found 'a'", 1, 11},
        {"<a/></b>", 5, "End tag 'b' was not expected here", 1, 9},
        {"<a>", 9, "Tag 'a' was not closed", 1, 4},
        {"<?xml version='1.1'?><a/>", 18, "Invalid XML declaration", 1, 22},
        {"<?xml version='1.0' encoding='UTF-16'?><a/>", 17, "Unsupported encoding 'UTF-16'", 1, 40},
        {"\xFF\xFE<\0a\0/\0>\0", 17, "Unsupported encoding 'UTF-16'", 1, 1},
        {"<a xmlns:p=''/>", 19, "Invalid value for attribute 'xmlns:p'", 1, 16},
        {"<p:a/>", 14, "Undefined namespace prefix 'p'", 1, 7},
        {"<a x='1' x='2'/>", 15, "Duplicate attribute 'x'", 1, 17},
        {"<a/>x", 13, "Invalid at the top level of the document", 1, 5},
        {"<a>&#0;</a>", 21, "Illegal character", 1, 8},
        {"<a>&#xFFFE;</a>", 21, "Illegal character", 1, 12},
        {"<a/><b/>", 12, "Only one top level element is allowed", 1, 6},
        {"<a>\n\xC3\xA9\xC3\xA9</b></a>", 10, "Expected 'a', found 'b'", 2, 7},
        {"<a>\x01</a>", 21, "Illegal character", 1, 4},
        {"<a>\xC3</a>", 16, "Encoding error", 1, 4},
        {"<a>\xC0\x80</a>", 16, "Encoding error", 1, 4},
        {"<a>]]></a>", 3, "Invalid token", 1, 4},
        {"<a><!-- x -- y --></a>", 7, "Whitespace not allowed here", 1, 13},
        {"<a><!-- x --y --></a>", 11, "Expected '>'", 1, 13},
        {"<a><!-- x </a>", 11, "Expected '-->'", 1, 15},
        {"<a b='<'/>", 3, "Invalid token", 1, 7},
        {"<a b='1'c='2'/>", 8, "Whitespace required", 1, 9},
        {"< a/>", 7, "Whitespace not allowed here", 1, 2},
        {"<a><?xml version='1.0'?></a>", 18, "Invalid xml declaration", 1, 9},
        {"<a>&nope;</a>", 6, "Reference to undefined entity 'nope'", 1, 10},
        {"<!DOCTYPE a [<!ENTITY e '&e;'>]><a>&e;</a>", 22, "Recursive reference in entity 'e'", 1, 4},
        {"<!DOCTYPE a [<!ELEMENT a (b|c,d)>]><a/>", 11, "Expected '|'", 1, 30},
        {"<!DOCTYPE a [<!ELEMENT a (#PCDATA|b)>]><a/>", 11, "Expected '*'", 1, 37},
        {"<!DOCTYPE a [<!ELEMENT a FOO>]><a/>", 18, "Invalid ELEMENT declaration", 1, 26},
        {"<!DOCTYPE a [<!ATTLIST a b FOO #IMPLIED>]><a/>", 18, "Invalid ATTLIST declaration", 1, 28},
        {"<!DOCTYPE a [<!ENTITY e FOO 'x'>]><a/>", 11, "Expected 'PUBLIC or SYSTEM'", 1, 25},
        {"<!DOCTYPE a [<!ENTITY % p '<!ELEMENT a ANY>'> % p;]><a/>", 7, "Whitespace not allowed here", 1, 48},
        {"<!DOCTYPE a [%q;]><a/>", 6, "Reference to undefined entity 'q'", 1, 17},
        {"<a/><!DOCTYPE a><b/>", 3, "Invalid token", 1, 5},
        // A standalone document may not rely on declarations it does not carry.
        {"<?xml version='1.0' standalone='yes'?><!DOCTYPE a SYSTEM 'a.dtd'><a>&e;</a>", 6,
         "Reference to undefined entity 'e'", 1, 72},
    };
    for (const ErrorCase& c : cases) {
        std::string doc(c.doc, std::strlen(c.doc) + (c.doc[0] == '\xFF' ? 7 : 0));
        Outcome o = Parse(doc);
        EXPECT_EQ(o.code, c.code) << c.doc << ": " << o.message;
        EXPECT_EQ(o.message, c.message) << c.doc;
        EXPECT_EQ(o.line, c.line) << c.doc;
        EXPECT_EQ(o.column, c.column) << c.doc;
    }
}

TEST(XmlParser, EncodingSelection) {
    // ISO-8859-1 (also after a UTF-8 byte-order mark) becomes UTF-8.
    Outcome o = Parse("\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?><a v='\xE9'>\xF1</a>");
    EXPECT_EQ(o.events, "X[1.0|ISO-8859-1|-]<a{} v{}v=[\xC3\xA9]>T[\xC3\xB1]</a>");
    // A forced decoder refuses a switch.
    o = Parse("<?xml version='1.0' encoding='UTF-16'?><a/>", XML_OPT_DEFAULT, 0, "UTF-8");
    EXPECT_EQ(o.code, 24u);
    EXPECT_EQ(o.message, "Switch from encoding 'UTF-8' to 'UTF-16' is not supported");
    o = Parse("<?xml version='1.0' encoding='utf-8'?><a/>", XML_OPT_DEFAULT, 0, "UTF-8");
    EXPECT_EQ(o.code, 0u) << o.message;
    o = Parse("<a>\xE9</a>", XML_OPT_DEFAULT, 0, "latin1");
    EXPECT_EQ(o.code, 17u);
}

TEST(XmlParser, OneByteBlocksGiveTheSameEventsAsWhole) {
    const char* docs[] = {
        "<?xml version='1.0' encoding='UTF-8'?>\r\n<!DOCTYPE r [<!ENTITY e 'ent\xC3\xA9'>"
        "<!ATTLIST r d CDATA 'dv'>]>\r\n<r xmlns:p='urn:p' a='x&amp;y&e;'>"
        "\xE2\x82\xAC\xF0\x9F\x98\x80 text &e; &#x20AC;<![CDATA[c]]d]]><!--c--><?p d?>"
        "<p:n/><\xC3\xB1\xE4\xB8\x80 \xC3\xA9='v'/>\r</r>\r\n",
        "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9\xE8 &lt;</a>",
    };
    for (const char* doc : docs) {
        Outcome whole = Parse(doc);
        ASSERT_EQ(whole.code, 0u) << whole.message;
        for (std::size_t block : {1, 2, 3, 7}) {
            Outcome pieces = Parse(doc, XML_OPT_DEFAULT, block);
            EXPECT_EQ(pieces.events, whole.events) << "block " << block;
            EXPECT_EQ(pieces.code, 0u);
        }
        // Errors are found at the same place too.
        std::string broken = std::string(doc) + "<x/>";
        Outcome a = Parse(broken), b = Parse(broken, XML_OPT_DEFAULT, 1);
        EXPECT_EQ(a.code, b.code);
        EXPECT_EQ(a.line, b.line);
        EXPECT_EQ(a.column, b.column);
    }
}

TEST(XmlParser, Options) {
    // 0x008: general entities stay as text; 0x020: attribute whitespace kept.
    const char* doc = "<!DOCTYPE a [<!ENTITY e 'x'>]><a v='1\t2'>&e;</a>";
    EXPECT_EQ(Parse(doc, XML_OPT_DEFAULT | XML_OPT_NO_EXPAND).events, "D[a|-|-|1]/D<a{} v{}v=[1 2]>T[&e;]</a>");
    EXPECT_EQ(Parse(doc, XML_OPT_DEFAULT | XML_OPT_RAW_ATTRIBUTE_WHITESPACE).events,
              "D[a|-|-|1]/D<a{} v{}v=[1\t2]>T[x]</a>");
    // 0x002 keeps xmlns attributes; without 0x001 nothing is resolved.
    EXPECT_EQ(Parse("<a xmlns='u'/>", XML_OPT_DEFAULT | XML_OPT_KEEP_XMLNS).events,
              "<a{u}a xmlns{http://www.w3.org/2000/xmlns/}xmlns=[u]></a>");
    EXPECT_EQ(Parse("<p:a xmlns:p='u'/>", XML_OPT_EXTERNAL_ENTITIES).events, "<p:a{} xmlns:p{}p=[u]></p:a>");
    // 0x200 stops after the prolog.
    Outcome o = Parse("<?xml version='1.0'?><a>", XML_OPT_DEFAULT | XML_OPT_PROLOG_ONLY);
    EXPECT_EQ(o.code, 0u);
    EXPECT_EQ(o.events, "X[1.0|-|-]");
    // 0x100: long text in pieces of 4091 bytes, never cutting a character.
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "\xC3\xA9";
    o = Parse("<a>" + text + "</a>", XML_OPT_DEFAULT | XML_OPT_CHUNKED_TEXT);
    EXPECT_EQ(o.events, "<a{}>T[" + text.substr(0, 4090) + "]T[" + text.substr(4090) + "]</a>");
}

TEST(XmlParser, NullReadFunctionOnlyFinishesTheDocument) {
    XmlParser* parser = XmlParserCreate(nullptr);
    parser->handlers.errorHandler = ErrorHandler;
    EXPECT_EQ(XmlParse(parser, nullptr, nullptr, nullptr), Error::BAD_XML_ERROR);
    EXPECT_EQ(parser->errorCode, 11u);
    EXPECT_STREQ(parser->errorMessage, "Expected 'document element'");
    EXPECT_EQ(parser->errorLine, -1);
    EXPECT_EQ(XmlParseMemory(parser, "<a/>", 4, nullptr), kOk);  // a parser may parse again
    XmlParserFree(parser);
}

TEST(XmlParser, HandlerReturningOneAborts) {
    XmlParser* parser = XmlParserCreate(nullptr);
    parser->handlers.startElement = [](void*, const char*, const char*, const char*, XmlAttributes*) { return 1; };
    EXPECT_EQ(XmlParseMemory(parser, "<a/>", 4, nullptr), Error::BAD_XML_ERROR);
    EXPECT_EQ(parser->errorCode, 20u);
    XmlParserFree(parser);
}

// An element handler that stops the parse, at a start tag, at an end tag or inside an
// entity's replacement text, gets no event after it but the end of the document, and the
// parser parses again afterwards.
TEST(XmlParser, ElementHandlerStopsAtOnce) {
    struct StopRecorder {
        std::string events, stopAt;
        // Records an event; 1 (stop) when the events end with stopAt.
        static int Record(void* u, const char* mark, const char* qname) {
            auto* r = static_cast<StopRecorder*>(u);
            r->events += std::string(mark) + qname;
            const std::size_t n = r->stopAt.size();
            return r->events.size() >= n && r->events.compare(r->events.size() - n, n, r->stopAt) == 0 ? 1 : 0;
        }
    };
    const struct {
        const char* doc;
        const char* stopAt;
        const char* events;
    } cases[] = {
        {"<a><b/><c/></a>", "<b", "<a<b$"},
        {"<a><b/><c/></a>", "/b", "<a<b/b$"},
        {"<a><b>text</b></a>", "/a", "<a<b/b/a$"},
        {"<!DOCTYPE a [<!ENTITY e '<b/><c/>'>]><a>&e;<d/></a>", "<b", "<a<b$"},
        {"<!DOCTYPE a [<!ENTITY e '<b/><c/>'>]><a>&e;<d/></a>", "/c", "<a<b/b<c/c$"},
    };
    for (const auto& c : cases) {
        XmlParser* parser = XmlParserCreate(nullptr);
        StopRecorder rec{"", c.stopAt};
        parser->userData = &rec;
        parser->handlers.startElement = [](void* u, const char*, const char*, const char* q, XmlAttributes*) {
            return StopRecorder::Record(u, "<", q);
        };
        parser->handlers.endElement = [](void* u, const char*, const char*, const char* q) {
            return StopRecorder::Record(u, "/", q);
        };
        parser->handlers.endDocument = [](void* u) {
            static_cast<StopRecorder*>(u)->events += "$";
            return 0;
        };
        EXPECT_EQ(XmlParseMemory(parser, c.doc, std::strlen(c.doc), nullptr), Error::BAD_XML_ERROR) << c.doc;
        EXPECT_EQ(parser->errorCode, 20u) << c.doc;
        EXPECT_EQ(rec.events, c.events) << c.doc << " stopped at " << c.stopAt;
        rec = StopRecorder{"", "never"};
        EXPECT_EQ(XmlParseMemory(parser, "<a><b/></a>", 11, nullptr), kOk);
        EXPECT_EQ(rec.events, "<a<b/b/a$");
        XmlParserFree(parser);
    }
}

// A handler's allocation failure leaves XmlParse as it was thrown (message intact, not an
// error code), inside an external entity too, and the parser is whole afterwards.
TEST(XmlParser, HandlerAllocationFailurePassesThrough) {
    const long live = LiveBlocks();
    XmlParser* parser = XmlParserCreate(nullptr);
    parser->handlers.characters = [](void*, const char*, int) -> int { throw AllocError("handler ran out."); };
    const char* doc = "<!DOCTYPE a [<!ENTITY e 'text'>]><a>&e;</a>";
    try {
        (void)XmlParseMemory(parser, doc, std::strlen(doc), nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const std::bad_alloc& e) {
        EXPECT_STREQ(e.what(), "handler ran out.");
    }
    parser->handlers.characters = nullptr;
    EXPECT_EQ(XmlParseMemory(parser, doc, std::strlen(doc), nullptr), kOk) << parser->errorMessage;
    XmlParserFree(parser);
    EXPECT_EQ(LiveBlocks(), live);
}

TEST(XmlParser, ScopedAndCurrentAttributes) {
    struct Seen {
        XmlParser* parser;
        std::string log;
    } seen{nullptr, ""};
    XmlParser* parser = XmlParserCreate(nullptr);
    seen.parser = parser;
    parser->userData = &seen;
    parser->handlers.startElement = [](void* u, const char*, const char*, const char* q, XmlAttributes*) {
        auto* s = static_cast<Seen*>(u);
        const char* lang = XmlGetScopedAttribute(s->parser, "xml:lang");
        XmlAttribute* id = XmlGetAttribute(s->parser, "id");
        s->log += std::string(q) + "=" + (lang ? lang : "-") + "/" + (id ? id->value : "-") + " ";
        return 0;
    };
    const char* doc = "<a xml:lang='es'><b id='7' xml:lang='en'/><c/></a><!-- -->";
    EXPECT_EQ(XmlParseMemory(parser, doc, std::strlen(doc), nullptr), kOk);
    EXPECT_EQ(seen.log, "a=es/- b=en/7 c=es/- ");
    XmlParserFree(parser);
}

// ---------------------------------------------------------------------------------------
// External entities: read only through resolveEntity.

struct Files {
    std::vector<std::pair<std::string, std::string>> files;  // system id, content
    std::vector<MemorySource> open;
    std::string log;
};

int ResolveFromMemory(void* u, XmlEntity* e, XmlReader* reader) {
    auto* f = static_cast<Files*>(u);
    f->log += std::string("resolve:") + e->systemId + " ";
    for (auto& [id, text] : f->files)
        if (e->systemId && id == e->systemId) {
            f->open.reserve(8);
            f->open.push_back(MemorySource{text.data(), text.size(), 0});
            reader->read = MemoryRead;
            reader->readArg = &f->open.back();
        }
    return 0;
}

int CloseMemory(void* u, XmlEntity* e, XmlReader*) {
    auto* f = static_cast<Files*>(u);
    f->log += std::string("close:") + e->name + " ";
    f->open.pop_back();
    return 0;
}

TEST(XmlParser, ExternalSubsetsAndEntitiesThroughResolver) {
    Files files;
    files.files = {{"ext.dtd", "<?xml encoding='UTF-8'?><!ENTITY % p 'CDATA'><!ATTLIST a x %p; 'ext'>"
                                "<!ENTITY g SYSTEM 'g.xml'>"},
                   {"inst.dtd", "<!ATTLIST a y CDATA 'inst'>"},
                   {"g.xml", "<?xml version='1.0' encoding='ISO-8859-1'?>g\xE9<b/>"}};
    XmlParser* parser = XmlParserCreate(nullptr);
    Recorder rec;
    parser->userData = &files;
    parser->handlers.resolveEntity = ResolveFromMemory;
    parser->handlers.closeEntity = CloseMemory;
    parser->handlers.errorHandler = ErrorHandler;
    ASSERT_NE(XmlSetExternalSubset(parser, nullptr, "inst.dtd"), nullptr);
    std::string attrs;
    parser->handlers.startElement = [](void* u, const char*, const char*, const char* q, XmlAttributes* list) {
        auto* f = static_cast<Files*>(u);
        f->log += std::string("<") + q;
        for (std::uint32_t i = 0; i < XmlAttributeCount(list); ++i)
            f->log += std::string(" ") + XmlAttributeAt(list, i)->qname + "=" + XmlAttributeAt(list, i)->value;
        f->log += "> ";
        return 0;
    };
    parser->handlers.characters = [](void* u, const char* t, int) {
        static_cast<Files*>(u)->log += std::string("T:") + t + " ";
        return 0;
    };
    const char* doc = "<!DOCTYPE a SYSTEM 'ext.dtd' [<!ATTLIST a x CDATA 'int'>]><a>&g;</a>";
    EXPECT_EQ(XmlParseMemory(parser, doc, std::strlen(doc), nullptr), kOk) << parser->errorMessage;
    // The installed subset binds first, then the internal subset, then the external one.
    EXPECT_EQ(files.log,
              "resolve:inst.dtd close:[dtd] resolve:ext.dtd close:[dtd] <a y=inst x=int> "
              "resolve:g.xml T:g\xC3\xA9 <b> close:g ");
    XmlParserFree(parser);

    // Without a resolver nothing external is read and the reference is skipped.
    Outcome o = Parse("<!DOCTYPE a SYSTEM 'ext.dtd'><a>&g;</a>");
    EXPECT_EQ(o.events, "D[a|-|ext.dtd|0]/D<a{}>S[g]</a>");
}

// ---------------------------------------------------------------------------------------
// Documents that try to exhaust memory or the stack.

TEST(XmlParser, EntityAmplificationIsStopped) {
    std::string doc = "<!DOCTYPE a [<!ENTITY e0 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'>";
    for (int i = 1; i <= 9; ++i)
        doc += "<!ENTITY e" + std::to_string(i) + " '" + [&] {
            std::string s;
            for (int k = 0; k < 10; ++k) s += "&e" + std::to_string(i - 1) + ";";
            return s;
        }() + "'>";
    doc += "]><a v='&e6;'>&e9;</a>";
    Outcome o = Parse(doc);
    EXPECT_EQ(o.code, 25u);
    EXPECT_EQ(o.message.rfind("Entity expansion limit exceeded in 'e", 0), 0u) << o.message;

    // Quadratic blow-up: one large entity referenced many times.
    std::string big(100000, 'x');
    std::string quad = "<!DOCTYPE a [<!ENTITY b '" + big + "'>]><a>";
    for (int i = 0; i < 2000; ++i) quad += "&b;";
    quad += "</a>";
    EXPECT_EQ(Parse(quad).code, 25u);
}

TEST(XmlParser, DeepNestingNeverExhaustsTheStack) {
    const int depth = 100000;
    std::string elements;
    for (int i = 0; i < depth; ++i) elements += "<e>";
    for (int i = 0; i < depth; ++i) elements += "</e>";
    XmlParser* parser = XmlParserCreate(nullptr);
    EXPECT_EQ(XmlParseMemory(parser, elements.data(), elements.size(), nullptr), kOk);

    std::string groups = "<!DOCTYPE a [<!ELEMENT a ";
    for (int i = 0; i < depth; ++i) groups += "(";
    groups += "b";
    for (int i = 0; i < depth; ++i) groups += ")";
    groups += ">]><a/>";
    parser->handlers.elementDecl = [](void*, const char*, XmlElementDecl*, const char* model) {
        return std::strlen(model) == 2 * 100000 + 1 ? 0 : 1;
    };
    EXPECT_EQ(XmlParseMemory(parser, groups.data(), groups.size(), nullptr), kOk) << parser->errorMessage;

    std::string entities = "<!DOCTYPE a [<!ENTITY e0 'x'>";
    for (int i = 1; i < depth; ++i)
        entities += "<!ENTITY e" + std::to_string(i) + " '&e" + std::to_string(i - 1) + ";'>";
    entities += "]><a v='&e" + std::to_string(depth - 1) + ";'>&e" + std::to_string(depth - 1) + ";</a>";
    std::string text;
    parser->userData = &text;
    parser->handlers.elementDecl = nullptr;
    parser->handlers.characters = [](void* u, const char* t, int n) {
        static_cast<std::string*>(u)->append(t, static_cast<std::size_t>(n));
        return 0;
    };
    EXPECT_EQ(XmlParseMemory(parser, entities.data(), entities.size(), nullptr), kOk) << parser->errorMessage;
    EXPECT_EQ(text, "x");
    XmlParserFree(parser);
}

TEST(XmlParser, AllocationFailurePropagatesAndLeaksNothing) {
    const char* doc = "<!DOCTYPE a [<!ENTITY e 'v'><!ATTLIST a d CDATA 'x'><!ELEMENT a (#PCDATA)>]>"
                      "<a xmlns='u' b='&e;'>t&e;<![CDATA[c]]></a>";
    // Every allocation of creating the parser and parsing fails once: each ends the parse
    // with std::bad_alloc (no allocation is optional, none becomes an error code).
    const long faults = kvn_test::FaultSim(
        [&] {
            std::unique_ptr<XmlParser, void (*)(XmlParser*)> parser(XmlParserCreate(nullptr), XmlParserFree);
            return static_cast<int>(XmlParseMemory(parser.get(), doc, std::strlen(doc), nullptr));
        },
        kvn_test::ThrowsOrGives(static_cast<int>(kOk)));
    EXPECT_GT(faults, 10);
}

}  // namespace
