// KVN_ValidateXml through the public header, as a caller sees it.
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "kelvane.h"

namespace {

std::string Fixture(const char* name) {
    std::ifstream in(std::string(KVN_FIXTURES_DIR) + "/validation/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string LastError() {
    int n = KVN_LastError(nullptr, 0);
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    KVN_LastError(text.data(), n);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// A document written for one test and removed after it.
class TempDocument {
public:
    explicit TempDocument(const std::string& content) : path_(std::string(KVN_BINARY_DIR) + "/validate_export_" + std::to_string(::getpid()) + ".xml") {
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempDocument() { std::remove(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(ValidateXml, ValidInvoiceOfEachVersion) {
    for (const char* name : {"cfdv32_prefixed.xml", "cfdv32_default_ns.xml", "cfdv30_valid.xml", "cfdv22_valid.xml",
                             "cfdv20_valid.xml"}) {
        std::string path = std::string(KVN_FIXTURES_DIR) + "/validation/" + name;
        EXPECT_EQ(KVN_ValidateXml(path.c_str(), 0), 0) << name << ": " << LastError();
        EXPECT_EQ(LastError(), "") << name;
    }
}

TEST(ValidateXml, ReportsEveryProblemAndClearsOnTheNextCall) {
    std::string doc = Replace(Fixture("cfdv32_prefixed.xml"), "<cfdi:Receptor ", "<cfdi:Receptor a=\"1\" b=\"2\" ");
    TempDocument bad(doc);
    EXPECT_EQ(KVN_ValidateXml(bad.path(), 0), -BAD_XML_ERROR);
    EXPECT_EQ(LastError(),
              "XML validation error/Error al validar XML: Undeclared attribute 'a' in element 'cfdi:Receptor' "
              "(Line/numero de linea: 8); XML validation error/Error al validar XML: Undeclared attribute 'b' in "
              "element 'cfdi:Receptor' (Line/numero de linea: 8)");
    std::string good = std::string(KVN_FIXTURES_DIR) + "/validation/cfdv30_valid.xml";
    EXPECT_EQ(KVN_ValidateXml(good.c_str(), 0), 0);
    EXPECT_EQ(LastError(), "");
}

TEST(ValidateXml, ValueRestrictionsAndTheOptionThatSkipsThem) {
    TempDocument doc(Replace(Fixture("cfdv32_prefixed.xml"), "rfc=\"XAXX010101000\"", "rfc=\"XAXX0101010000\""));
    EXPECT_EQ(KVN_ValidateXml(doc.path(), 0), -XML_FACET_ERROR);
    EXPECT_EQ(LastError(),
              "Bad attribute/atributo mal [cfdi:Receptor/@rfc]: 'XAXX0101010000' is too long/es demasiado largo, "
              "maximum length/longitud maxima=13");
    EXPECT_EQ(KVN_ValidateXml(doc.path(), KVN_OPT_NOFACETS), 0);
    EXPECT_EQ(KVN_ValidateXml(doc.path(), ~KVN_OPT_NOFACETS), -XML_FACET_ERROR);  // other bits are ignored
}

TEST(ValidateXml, ArgumentsAndFiles) {
    EXPECT_EQ(KVN_ValidateXml(nullptr, 0), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_ValidateXml("/nonexistent/factura.xml", 0), -OPEN_ERROR);
    EXPECT_EQ(LastError(), "Cannot open file '/nonexistent/factura.xml'/No se puede abrir el archivo");
    TempDocument other("<?xml version=\"1.0\"?><Comprobante version=\"3.3\"/>");
    EXPECT_EQ(KVN_ValidateXml(other.path(), 0), -NOT_SUPPORTED_ERROR);
    TempDocument broken(Fixture("cfdv22_valid.xml").substr(0, 900));
    EXPECT_EQ(KVN_ValidateXml(broken.path(), 0), -BAD_DTD_ERROR);
}

}  // namespace
