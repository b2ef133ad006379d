// Compiled DTDs: a document validated against a DTD compiled once gives what the same DTD
// read as text gives (messages, defaulted and normalised attributes, entities, events),
// with or without a DOCTYPE of its own, on any number of threads at once.
#include "xml/compiled_dtd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/export_guard.h"
#include "support/fault_sim.h"
#include "xml/parser.h"
#include "xml/validator.h"

namespace kvn {
namespace {

const char kDtd[] =
    "<?xml version='1.0' encoding='UTF-8'?>\n"
    "<!ENTITY % names 'a | b'>\n"
    "<!ENTITY company 'Pruebas &amp; Cia'>\n"
    "<!ELEMENT r (%names; | c)+>\n"
    "<!ELEMENT a EMPTY>\n"
    "<!ATTLIST a id ID #IMPLIED k (x|y) 'x' v CDATA #FIXED '1.0' n NMTOKENS #IMPLIED>\n"
    "<!ELEMENT b (#PCDATA | a)*>\n"
    "<!ATTLIST b ref IDREF #REQUIRED>\n"
    "<!ELEMENT c (a, b?)>\n";

// What a validating parse reports: events with their attributes, and messages.
struct Trace {
    int ok = 0;
    std::vector<std::string> lines;
    int textsRead = 0;  // times the DTD's text was served
};

int OnStart(void* user, const char*, const char*, const char* qname, XmlAttributes* attributes) {
    auto* trace = static_cast<Trace*>(static_cast<DtdValidator*>(user)->appState);
    std::string line = std::string("<") + qname;
    for (std::uint32_t i = 0; i < XmlAttributeCount(attributes); ++i) {
        const XmlAttribute* a = XmlAttributeAt(attributes, i);
        line += std::string(" ") + a->qname + "='" + a->value + "'" + (a->defaulted ? "*" : "");
    }
    trace->lines.push_back(line);
    return 0;
}

int OnText(void* user, const char* text, int len) {
    static_cast<Trace*>(static_cast<DtdValidator*>(user)->appState)->lines.push_back("text " + std::string(text, len));
    return 0;
}

int OnError(XmlParser* parser) {
    auto* v = static_cast<DtdValidator*>(parser->userData);
    auto* trace = static_cast<Trace*>(v->appState);
    trace->lines.push_back(parser->errorCode == XML_ERROR_VALIDATION ? std::string("V: ") + v->message
                                                                     : std::string("P: ") + parser->errorMessage);
    return 0;
}

struct Text {
    const char* data;
    std::size_t size, read;
};

int ReadText(void* buffer, int size, int* got, void* arg) {
    Text& t = *static_cast<Text*>(arg);
    const std::size_t n = std::min(static_cast<std::size_t>(size), t.size - t.read);
    std::memcpy(buffer, t.data + t.read, n);
    t.read += n;
    *got = static_cast<int>(n);
    return n < static_cast<std::size_t>(size) ? 1 : 0;
}

// Serves the DTD's text for the installed subset (the document's own references are left).
int Serve(void* user, XmlEntity* entity, XmlReader* reader) {
    if (!entity->systemId || std::strcmp(entity->systemId, "test.dtd") != 0) return 0;
    ++static_cast<Trace*>(static_cast<DtdValidator*>(user)->appState)->textsRead;
    auto* text = new Text{kDtd, sizeof kDtd - 1, 0};
    reader->read = ReadText;
    reader->readArg = text;
    return 0;
}

int Close(void*, XmlEntity*, XmlReader* reader) {
    if (reader->read == ReadText) delete static_cast<Text*>(reader->readArg);
    reader->readArg = nullptr;
    return 0;
}

// Validates doc against the DTD: compiled when `compiled` is given, else read as text.
Trace Validate(const std::string& doc, const XmlCompiledDtd* compiled) {
    Trace trace;
    XmlParser* parser = XmlParserCreate(nullptr);
    DtdValidator* v = DtdValidatorCreate();
    parser->handlers = XmlHandlers{};
    parser->handlers.startElement = OnStart;
    parser->handlers.characters = OnText;
    parser->handlers.errorHandler = OnError;
    parser->handlers.resolveEntity = Serve;
    parser->handlers.closeEntity = Close;
    parser->options |= XML_OPT_CONTINUE_ON_VALIDITY;
    v->appState = &trace;
    if (compiled) {
        XmlUseCompiledDtd(parser, compiled);
    } else {
        XmlSetExternalSubset(parser, nullptr, "test.dtd");
    }
    MemorySource source{doc.data(), doc.size(), 0};
    trace.ok = DtdValidate(v, parser, MemoryRead, &source, nullptr) == kOk;
    DtdValidatorFree(v);
    XmlParserFree(parser);
    return trace;
}

const std::vector<std::string> kDocuments = {
    "<r><a id='i1'/><b ref='i1'>t<a k='y'/></b><c><a/></c></r>",
    "<r><a v='1.1' k='z'/><b/><c><b ref='i9'/></c><d/>&company;</r>",
    "<r><a n='  p   q '/><b ref='x'>&company;</b></r>",
    "<r></r>",
    "<r><a id='1x'/><a id='d'/><a id='d'/>",
    // With a DOCTYPE of its own, whose declarations combine with the DTD's.
    "<!DOCTYPE r [<!ATTLIST b extra CDATA 'yes'><!ENTITY own 'mine'>]><r><b ref='z'>&own;</b><a id='z'/></r>",
};

TEST(CompiledDtd, ValidatesAsTheTextDoes) {
    XmlCompiledDtdPtr dtd;
    ASSERT_EQ(XmlCompileDtd(dtd, kDtd, sizeof kDtd - 1, "test.dtd"), kOk);
    for (const std::string& doc : kDocuments) {
        SCOPED_TRACE(doc);
        const Trace text = Validate(doc, nullptr), compiled = Validate(doc, dtd.get());
        EXPECT_EQ(compiled.ok, text.ok);
        EXPECT_EQ(compiled.lines, text.lines);
        EXPECT_GT(text.lines.size(), 1u);
        // Nothing is read for a document without a DOCTYPE; one with its own has the text read.
        EXPECT_EQ(text.textsRead, 1);
        EXPECT_EQ(compiled.textsRead, doc.rfind("<!DOCTYPE", 0) == 0 ? 1 : 0);
    }
    // The defaults, the fixed value's check and the entity came through.
    const Trace first = Validate(kDocuments[0], dtd.get());
    EXPECT_EQ(first.lines[1], "<a id='i1' k='x'* v='1.0'*");
    const Trace second = Validate(kDocuments[1], dtd.get());
    EXPECT_NE(std::find(second.lines.begin(), second.lines.end(), "text Pruebas & Cia"), second.lines.end());
}

TEST(CompiledDtd, ServesManyThreadsAtOnce) {
    XmlCompiledDtdPtr dtd;
    ASSERT_EQ(XmlCompileDtd(dtd, kDtd, sizeof kDtd - 1, "test.dtd"), kOk);
    std::vector<Trace> expected;
    for (const std::string& doc : kDocuments) expected.push_back(Validate(doc, nullptr));
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                const std::size_t i = static_cast<std::size_t>(t + round) % kDocuments.size();
                const Trace got = Validate(kDocuments[i], dtd.get());
                wrong[static_cast<std::size_t>(t)] += got.lines != expected[i].lines || got.ok != expected[i].ok;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(CompiledDtd, MalformedTextIsRefused) {
    XmlCompiledDtdPtr dtd;
    const std::string broken = "<!ELEMENT r (a|b>";
    EXPECT_EQ(XmlCompileDtd(dtd, broken.data(), broken.size(), "broken.dtd"), Error::BAD_DTD_ERROR);
    EXPECT_EQ(dtd, nullptr);
}

TEST(CompiledDtd, EachAllocationMayFail) {
    auto compile = [] {
        return RunExport([] {
            XmlCompiledDtdPtr dtd;
            return XmlCompileDtd(dtd, kDtd, sizeof kDtd - 1, "test.dtd");
        });
    };
    EXPECT_GT(kvn_test::FaultSim(compile, kvn_test::ExportGives(0)), 20);
}

}  // namespace
}  // namespace kvn
