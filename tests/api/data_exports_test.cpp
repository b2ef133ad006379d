// Documents as data through the public header: table rows, and documents given as their
// own text (KVN_OPT_XMLTEXT) to every export that takes options and a document.
#include <gtest/gtest.h>

#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kelvane.h"
#include "seal_support.h"

namespace {

using seal_test::LastError;
using seal_test::ReadFile;

// The result of a buffer export as "code:text" (the text read with the two-call convention).
std::string Answer(const std::function<int(char*, int)>& call) {
    const int n = call(nullptr, 0);
    if (n < 0) return std::to_string(n) + ":" + LastError();
    std::string buf(static_cast<std::size_t>(n) + 1, '\0');
    const int got = call(buf.data(), n);
    buf.resize(static_cast<std::size_t>(got < 0 ? 0 : got));
    return std::to_string(got) + ":" + buf;
}

// A status result and the messages of that call.
std::string Status(int rc) { return std::to_string(rc) + ":" + LastError(); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines;
}

// Every export that takes a document and options answers a document's text as it answers
// its file.
TEST(DataExports, DocumentTextIsReadAsTheFile) {
    using Call = std::function<std::string(const char* doc, int options)>;
    const std::vector<std::pair<const char*, Call>> exports = {
        {"pipe", [](const char* d, int o) { return Answer([&](char* b, int n) { return KVN_MakePipeStringFromXml(b, n, d, o); }); }},
        {"stamp pipe", [](const char* d, int o) { return Answer([&](char* b, int n) { return KVN_MakePipeStringFromXml(b, n, d, o | KVN_OPT_STAMP); }); }},
        {"digest", [](const char* d, int o) { return Answer([&](char* b, int n) { return KVN_MakeDigestFromXml(b, n, d, o); }); }},
        {"verify", [](const char* d, int o) { return Status(KVN_VerifySignature(d, nullptr, o)); }},
        {"validate", [](const char* d, int o) { return Status(KVN_ValidateXml(d, o)); }},
        {"findings", [](const char* d, int o) { return Answer([&](char* b, int n) { return KVN_ValidateXmlFindings(b, n, d, nullptr, o); }); }},
        {"rows", [](const char* d, int o) { return Answer([&](char* b, int n) { return KVN_TableRows(b, n, d, o); }); }},
        {"lines", [](const char* d, int o) { return Answer([&](char* b, int n) { return KVN_TableRows(b, n, d, o | KVN_OPT_LINES); }); }},
    };
    for (const char* name : {"cfdi40_stamped.xml", "cfdi33_pagos.xml", "cfdi32_stamped.xml", "cfd22.xml"}) {
        const std::string file = seal_test::Invoice(name);
        const std::string text = ReadFile(file);
        for (const auto& [what, call] : exports) {
            EXPECT_EQ(call(text.c_str(), KVN_OPT_XMLTEXT), call(file.c_str(), 0)) << name << " " << what;
        }
    }
}

TEST(DataExports, MessagesNameTextWithoutQuotingIt) {
    const std::string text = "<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/4\" Version=\"4.0\"/>";
    EXPECT_EQ(KVN_VerifySignature(text.c_str(), nullptr, KVN_OPT_XMLTEXT), -INVALID_DATA_ERROR);
    EXPECT_EQ(LastError().find("Comprobante"), std::string::npos) << LastError();
    // An empty text is an empty document, not a missing file.
    EXPECT_EQ(KVN_ValidateXml("", KVN_OPT_XMLTEXT), -BAD_XML_ERROR);
}

TEST(DataExports, TableRowsAnswerByTheBufferConvention) {
    const std::string file = seal_test::Invoice("cfdi40_stamped.xml");
    const int n = KVN_TableRows(nullptr, 0, file.c_str(), 0);
    ASSERT_GT(n, 0);
    std::string cut(11, '\0');
    EXPECT_EQ(KVN_TableRows(cut.data(), 10, file.c_str(), 0), n);  // the whole length, a cut copy
    EXPECT_EQ(cut.substr(0, 10), std::string("status\terror").substr(0, 10));
    EXPECT_EQ(KVN_TableRows(nullptr, 0, nullptr, 0), -BAD_PARAM_ERROR);

    const std::vector<std::string> rows = Lines(Answer([&](char* b, int k) { return KVN_TableRows(b, k, file.c_str(), 0); }).substr(std::to_string(n).size() + 1));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].rfind("status\terror\tuuid\tversion\t", 0), 0u);
    EXPECT_EQ(rows[1].rfind("ok\t\\N\t", 0), 0u) << rows[1];
}

// Values with TAB, LF, CR and backslashes stay one field; absent ones are \N.
TEST(DataExports, TableRowsEscapeValues) {
    const std::string text =
        "<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/4\" Version=\"4.0\" Serie=\"a&#9;b&#10;c&#13;d\\e\">"
        "<cfdi:Emisor Nombre=\"\"/></cfdi:Comprobante>";
    const std::string answer = Answer([&](char* b, int n) { return KVN_TableRows(b, n, text.c_str(), KVN_OPT_XMLTEXT); });
    const std::vector<std::string> rows = Lines(answer.substr(answer.find(':') + 1));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NE(rows[1].find("\t4.0\t\\N\t\\N\ta\\tb\\nc\\rd\\\\e\t\\N\t\\N\t\t"), std::string::npos) << rows[1];
}

}  // namespace
