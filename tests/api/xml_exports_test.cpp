// The document-content exports through the public header: version, attribute query,
// pipe string.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kelvane.h"

namespace {

std::string Fixture(const std::string& name) { return std::string(KVN_FIXTURES_DIR) + "/invoices/" + name; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string LastError() {
    char buf[4100];
    KVN_LastError(buf, 4099);
    return buf;
}

TEST(XmlExports, ReceiptVersion) {
    EXPECT_EQ(KVN_XmlReceiptVersion(Fixture("cfd20.xml").c_str()), 2);
    EXPECT_EQ(KVN_XmlReceiptVersion(Fixture("cfd22.xml").c_str()), 22);
    EXPECT_EQ(KVN_XmlReceiptVersion(Fixture("cfdi30.xml").c_str()), 3);
    EXPECT_EQ(KVN_XmlReceiptVersion(Fixture("cfdi32.xml").c_str()), 32);
    EXPECT_EQ(KVN_XmlReceiptVersion(Fixture("cfdi32_default_ns.xml").c_str()), 32);
    EXPECT_EQ(KVN_XmlReceiptVersion("/nonexistent/a.xml"), -OPEN_ERROR);
    EXPECT_EQ(LastError(), "Cannot open file '/nonexistent/a.xml'/No se puede abrir el archivo");
    EXPECT_EQ(KVN_XmlReceiptVersion(nullptr), -BAD_PARAM_ERROR);
    EXPECT_EQ(LastError(), "");  // emptied on entry
}

TEST(XmlExports, GetXmlAttribute) {
    std::string doc = Fixture("cfdi32.xml");
    char out[64] = "junk";
    EXPECT_EQ(KVN_GetXmlAttribute(out, 63, doc.c_str(), "importe", "cfdi:Concepto[2]"), 6);
    EXPECT_STREQ(out, "400.00");
    EXPECT_EQ(KVN_GetXmlAttribute(out, 63, doc.c_str(), "descripcion", "Concepto"), 16);
    EXPECT_STREQ(out, "Art\xC3\xAD" "culo & c\xC3\xAD" "a");
    EXPECT_EQ(KVN_GetXmlAttribute(out, 3, doc.c_str(), "descripcion", "Concepto"), 16);
    EXPECT_STREQ(out, "Art");
    EXPECT_EQ(KVN_GetXmlAttribute(nullptr, 63, doc.c_str(), "descripcion", "Concepto"), 16);
    EXPECT_EQ(KVN_GetXmlAttribute(out, 63, doc.c_str(), "nada", "Concepto"), -NO_MATCH_ERROR);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(KVN_GetXmlAttribute(out, 63, nullptr, "a", "b"), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_GetXmlAttribute(out, 63, doc.c_str(), nullptr, "b"), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_GetXmlAttribute(out, 63, doc.c_str(), "a", nullptr), -BAD_PARAM_ERROR);
}

TEST(XmlExports, MakePipeStringFromXml) {
    for (const char* name : {"cfd20", "cfd22", "cfdi30", "cfdi32", "complement_nomina"}) {
        std::string doc = Fixture(std::string(name) + ".xml");
        int bound = KVN_MakePipeStringFromXml(nullptr, 0, doc.c_str(), 0);
        ASSERT_GT(bound, 0) << name << ": " << LastError();
        std::vector<char> buf(static_cast<std::size_t>(bound) + 1);
        int n = KVN_MakePipeStringFromXml(buf.data(), bound, doc.c_str(), 0);
        EXPECT_EQ(std::string(buf.data(), static_cast<std::size_t>(n)), ReadFile(Fixture(std::string(name) + ".pipe.txt")))
            << name;
    }
    std::string stamped = Fixture("cfdi32_stamped.xml");
    char out[512];
    int n = KVN_MakePipeStringFromXml(out, 511, stamped.c_str(), KVN_OPT_STAMP | KVN_OPT_LATIN1);
    EXPECT_EQ(std::string(out, static_cast<std::size_t>(n > 0 ? n : 0)), ReadFile(Fixture("cfdi32_stamped.stamp.txt")));
    EXPECT_EQ(KVN_MakePipeStringFromXml(out, 511, Fixture("cfd22.xml").c_str(), KVN_OPT_STAMP), -BAD_FLAG_ERROR);
    EXPECT_EQ(KVN_MakePipeStringFromXml(out, 511, nullptr, 0), -BAD_PARAM_ERROR);

    // Latin-1: the receiver's "Publico" with an acute i becomes one byte.
    std::string doc = Fixture("cfdi32.xml");
    char big[2048];
    n = KVN_MakePipeStringFromXml(big, 2047, doc.c_str(), KVN_OPT_LATIN1);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(big, static_cast<std::size_t>(n)).find("|P\xFA" "blico en General|M\xE9" "xico|"),
              std::string::npos);
}

}  // namespace
