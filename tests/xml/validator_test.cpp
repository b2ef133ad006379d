// The DTD validator over documents carrying their own DOCTYPE: the messages, their order,
// their suggestions, and what reaches the application's handlers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "xml/parser.h"
#include "xml/validator.h"

namespace kvn {
namespace {

struct Outcome {
    int ok = 0;
    std::uint32_t code = 0;
    std::vector<std::string> messages;  // "V: text" validation, "P: text" parser errors
};

int Collect(XmlParser* parser) {
    auto* v = static_cast<DtdValidator*>(parser->userData);
    auto* out = static_cast<Outcome*>(v->appState);
    if (parser->errorCode == XML_ERROR_VALIDATION) {
        out->messages.push_back(std::string("V: ") + v->message);
    } else {
        out->messages.push_back(std::string("P: ") + parser->errorMessage);
    }
    return 0;
}

Outcome Validate(const std::string& doc, bool continueOnValidity = true) {
    Outcome out;
    XmlParser* parser = XmlParserCreate(nullptr);
    DtdValidator* v = DtdValidatorCreate();
    EXPECT_TRUE(parser && v);
    parser->handlers.errorHandler = Collect;
    if (continueOnValidity) parser->options |= XML_OPT_CONTINUE_ON_VALIDITY;
    v->appState = &out;
    MemorySource source{doc.data(), doc.size(), 0};
    out.ok = DtdValidate(v, parser, MemoryRead, &source, nullptr) == kOk;
    out.code = parser->errorCode;
    DtdValidatorFree(v);
    XmlParserFree(parser);
    return out;
}

struct Case {
    const char* name;
    const char* doc;
    std::vector<std::string> messages;
};

TEST(DtdValidator, MessagesInDocumentOrder) {
    const Case cases[] = {
        {"sequence given in reverse",
         "<!DOCTYPE r [<!ELEMENT r (a,b)><!ELEMENT a EMPTY><!ELEMENT b EMPTY>]><r><b/><a/></r>",
         {"V: Content model for 'r' doesn't allow element 'b' here. Try: a",
          "V: Content model for 'r' doesn't allow it to end here. Try: b"}},
        {"repeated choice", "<!DOCTYPE r [<!ELEMENT r (a|b)+><!ELEMENT a EMPTY><!ELEMENT b EMPTY>]><r><a/><b/><a/></r>",
         {}},
        {"repeated choice left empty", "<!DOCTYPE r [<!ELEMENT r (a|b)+><!ELEMENT a EMPTY><!ELEMENT b EMPTY>]><r></r>",
         {"V: Content model for 'r' doesn't allow it to end here. Try: a, b"}},
        {"whitespace in EMPTY", "<!DOCTYPE r [<!ELEMENT r EMPTY>]><r> \n\t </r>", {}},
        {"text in EMPTY", "<!DOCTYPE r [<!ELEMENT r EMPTY>]><r>x</r>",
         {"V: Content model for 'r' doesn't allow character data"}},
        {"text in element content", "<!DOCTYPE r [<!ELEMENT r (a)*><!ELEMENT a EMPTY>]><r><a/>x<![CDATA[y]]></r>",
         {"V: Content model for 'r' doesn't allow character data",
          "V: Content model for 'r' doesn't allow character data"}},
        {"element in EMPTY", "<!DOCTYPE r [<!ELEMENT r EMPTY><!ELEMENT a EMPTY>]><r><a/></r>",
         {"V: Content model for 'r' doesn't allow element 'a' here"}},
        {"mixed content", "<!DOCTYPE r [<!ELEMENT r (#PCDATA|a)*><!ELEMENT a (#PCDATA)><!ELEMENT b EMPTY>]>"
                          "<r>t<a>u</a>v<a/><b/></r>",
         {"V: Content model for 'r' doesn't allow element 'b' here. Try: a"}},
        {"IDs and references",
         "<!DOCTYPE r [<!ELEMENT r (a)*><!ELEMENT a EMPTY><!ATTLIST a id ID #IMPLIED ref IDREF #IMPLIED "
         "refs IDREFS #IMPLIED>]><r><a ref='later'/><a id='later'/><a id='later'/><a refs='later nope'/>"
         "<a ref='nope'/><a ref='other'/></r>",
         {"V: Value for ID attribute 'id' in element 'a' isn't unique",
          "V: ID attribute with value 'nope' not found. Cannot resolve reference (IDREF)",
          "V: ID attribute with value 'other' not found. Cannot resolve reference (IDREF)"}},
        {"fixed value", "<!DOCTYPE r [<!ELEMENT r EMPTY><!ATTLIST r v CDATA #FIXED '1.0'>]><r v='1.1'/>",
         {"V: Value for attribute 'v' in element 'r' doesn't match its declared value"}},
        {"fixed value kept", "<!DOCTYPE r [<!ELEMENT r EMPTY><!ATTLIST r v CDATA #FIXED '1.0'>]><r v='1.0'/>", {}},
        {"undeclared element checked once",
         "<!DOCTYPE r [<!ELEMENT r ANY>]><r><x q='1'><y/><z>t</z></x><r2/></r>",
         {"V: Undeclared element 'x'", "V: Undeclared element 'r2'"}},
        {"root differs from DOCTYPE", "<!DOCTYPE q [<!ELEMENT r EMPTY><!ELEMENT q EMPTY>]><r/>",
         {"V: Root element should be 'q'"}},
        {"attributes", "<!DOCTYPE r [<!ELEMENT r EMPTY><!ATTLIST r a CDATA #REQUIRED c (p|q|s|t|u) 'p' "
                       "b CDATA #REQUIRED>]><r z='1' c='v' b='ok'/>",
         {"V: Required attribute 'a' missing for element 'r'", "V: Undeclared attribute 'z' in element 'r'",
          "V: Value for attribute 'c' in element 'r' doesn't match its declared value. Try: p, q, s, t..."}},
        {"required enumeration", "<!DOCTYPE r [<!ELEMENT r EMPTY><!ATTLIST r k (x|y) #REQUIRED>]><r k='z'/>",
         {"V: Value for attribute 'k' in element 'r' doesn't match its declared value. Try: x, y"}},
        {"token types",
         "<!DOCTYPE r [<!ELEMENT r (a)*><!ELEMENT a EMPTY><!ATTLIST a n NMTOKEN #IMPLIED ns NMTOKENS #IMPLIED "
         "i ID #IMPLIED e ENTITY #IMPLIED>]>"
         "<r><a n='x-1.y'/><a n='-1'/><a n='a b'/><a ns='a b c'/><a ns=' a'/><a i='1x'/><a i='_x'/><a e=''/></r>",
         {"V: Value for attribute 'n' in element 'a' doesn't match its declared value",
          "V: Value for attribute 'i' in element 'a' doesn't match its declared value",
          "V: Value for attribute 'e' in element 'a' doesn't match its declared value"}},
        {"non-ASCII names", "<!DOCTYPE r [<!ELEMENT r EMPTY><!ATTLIST r n NMTOKEN #IMPLIED m NMTOKEN #IMPLIED>]>"
                            "<r n='a\xC3\xB1o' m='\xE2\x82\xAC'/>",
         {"V: Value for attribute 'm' in element 'r' doesn't match its declared value"}},
        {"first declaration binds", "<!DOCTYPE r [<!ELEMENT r EMPTY><!ELEMENT r ANY><!ELEMENT a EMPTY>]><r><a/></r>",
         {"V: Content model for 'r' doesn't allow element 'a' here"}},
    };
    for (const Case& c : cases) {
        Outcome out = Validate(c.doc);
        EXPECT_EQ(out.messages, c.messages) << c.name;
        EXPECT_EQ(out.ok, 1) << c.name;
        EXPECT_EQ(out.code, 0u) << c.name;
    }
}

TEST(DtdValidator, NormalisedListValues) {
    // Non-CDATA values are collapsed by the parser before the checks: " a  b " is "a b".
    Outcome out = Validate("<!DOCTYPE r [<!ELEMENT r EMPTY><!ATTLIST r ns NMTOKENS #IMPLIED>]><r ns=' a  b '/>");
    EXPECT_TRUE(out.messages.empty()) << out.messages[0];
}

TEST(DtdValidator, SuggestionsStopAtTheBufferEnd) {
    std::string a(30, 'A'), b(30, 'B'), c(30, 'C');
    std::string doc = "<!DOCTYPE r [<!ELEMENT r (" + a + "|" + b + "|" + c + ")><!ELEMENT x EMPTY>]><r><x/></r>";
    Outcome out = Validate(doc);
    ASSERT_GE(out.messages.size(), 1u);
    EXPECT_EQ(out.messages[0], "V: Content model for 'r' doesn't allow element 'x' here. Try: " + a + ", " + b);
}

TEST(DtdValidator, WithoutContinueTheFirstViolationStops) {
    const char* doc = "<!DOCTYPE r [<!ELEMENT r EMPTY><!ATTLIST r a CDATA #REQUIRED>]><r b='1'/>";
    Outcome go = Validate(doc, true);
    EXPECT_EQ(go.messages.size(), 2u);
    EXPECT_EQ(go.ok, 1);
    Outcome stop = Validate(doc, false);
    EXPECT_EQ(stop.ok, 0);
    EXPECT_EQ(stop.code, XML_ERROR_VALIDATION);
    ASSERT_EQ(stop.messages.size(), 1u);
    EXPECT_EQ(stop.messages[0], "V: Required attribute 'a' missing for element 'r'");
}

TEST(DtdValidator, DeclarationErrorsAreParserErrors) {
    Outcome out = Validate("<!DOCTYPE r [<!ELEMENT r (a,b|c)>]><r/>");
    EXPECT_EQ(out.ok, 0);
    ASSERT_FALSE(out.messages.empty());
    EXPECT_EQ(out.messages[0].rfind("P: ", 0), 0u);
}

// The application sees every event after the check, with its values restored, and
// whitespace goes to characters only inside mixed or ANY content.
struct Seen {
    std::string log;
};

int AppStart(void* user, const char*, const char*, const char* qname, XmlAttributes* attributes) {
    auto* seen = static_cast<Seen*>(static_cast<DtdValidator*>(user)->appState);
    seen->log += std::string("<") + qname;
    for (std::uint32_t i = 0; i < XmlAttributeCount(attributes); ++i) {
        XmlAttribute* a = XmlAttributeAt(attributes, i);
        seen->log += std::string(" ") + a->qname + "=" + a->value;
    }
    seen->log += ">";
    return 0;
}
int AppEnd(void* user, const char*, const char*, const char* qname) {
    static_cast<Seen*>(static_cast<DtdValidator*>(user)->appState)->log += std::string("</") + qname + ">";
    return 0;
}
int AppText(void* user, const char* text, int len) {
    static_cast<Seen*>(static_cast<DtdValidator*>(user)->appState)->log += "[" + std::string(text, len) + "]";
    return 0;
}
int AppSpace(void* user, const char*, int) {
    static_cast<Seen*>(static_cast<DtdValidator*>(user)->appState)->log += "_";
    return 0;
}

TEST(DtdValidator, ForwardsEventsToTheApplication) {
    std::string doc =
        "<!DOCTYPE r [<!ELEMENT r (a,m)><!ELEMENT a EMPTY><!ELEMENT m (#PCDATA)>"
        "<!ATTLIST a req CDATA #REQUIRED opt CDATA 'dflt'>]><r> <a req='1'/> <m> t </m></r>";
    Seen seen;
    XmlParser* parser = XmlParserCreate(nullptr);
    DtdValidator* v = DtdValidatorCreate();
    parser->handlers.startElement = AppStart;
    parser->handlers.endElement = AppEnd;
    parser->handlers.characters = AppText;
    parser->handlers.ignorableWhitespace = AppSpace;
    v->appState = &seen;
    MemorySource source{doc.data(), doc.size(), 0};
    EXPECT_EQ(DtdValidate(v, parser, MemoryRead, &source, nullptr), kOk);
    EXPECT_EQ(seen.log, "<r>_<a req=1 opt=dflt></a>_<m>[ t ]</m></r>");
    // The application's handlers are back in place afterwards.
    EXPECT_EQ(parser->handlers.startElement, AppStart);
    DtdValidatorFree(v);
    XmlParserFree(parser);
}

TEST(DtdValidator, RunsAgainFromACleanState) {
    XmlParser* parser = XmlParserCreate(nullptr);
    DtdValidator* v = DtdValidatorCreate();
    Outcome out;
    parser->handlers.errorHandler = Collect;
    parser->options |= XML_OPT_CONTINUE_ON_VALIDITY;
    v->appState = &out;
    std::string first = "<!DOCTYPE r [<!ELEMENT r EMPTY><!ATTLIST r i ID #IMPLIED>]><r i='x'/>";
    std::string second = "<!DOCTYPE r [<!ELEMENT r ANY><!ATTLIST r i ID #IMPLIED>]><r i='x'><q/></r>";
    MemorySource a{first.data(), first.size(), 0};
    MemorySource b{second.data(), second.size(), 0};
    EXPECT_EQ(DtdValidate(v, parser, MemoryRead, &a, nullptr), kOk);
    EXPECT_EQ(DtdValidate(v, parser, MemoryRead, &b, nullptr), kOk);
    // Only the undeclared q: the ID of the first run is forgotten, r is ANY now.
    EXPECT_EQ(out.messages, std::vector<std::string>{"V: Undeclared element 'q'"});
    DtdValidatorFree(v);
    XmlParserFree(parser);
}

}  // namespace
}  // namespace kvn
