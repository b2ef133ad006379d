// KVN_ValidateXml and KVN_ValidateXmlFindings through the public header, as a caller sees
// them.
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
    // Other bits are ignored (but KVN_OPT_XMLTEXT, which makes the argument the document).
    EXPECT_EQ(KVN_ValidateXml(doc.path(), ~(KVN_OPT_NOFACETS | KVN_OPT_XMLTEXT)), -XML_FACET_ERROR);
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

// The findings text of a document, by the two calls of the buffer convention.
std::string Findings(const char* path, const char* catalogs = nullptr, int options = 0) {
    const int n = KVN_ValidateXmlFindings(nullptr, 0, path, catalogs, options);
    if (n <= 0) return n == 0 ? "" : "error " + std::to_string(n);
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    EXPECT_EQ(KVN_ValidateXmlFindings(text.data(), n, path, catalogs, options), n);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

TEST(ValidateXmlFindings, EveryFindingAsALineOfEightFields) {
    std::string doc = Replace(Fixture("cfdv40_valid.xml"), "<cfdi:Emisor ", "<cfdi:Emisor Extra=\"a\tb\" ");
    doc = Replace(doc, " Sello=\"QUJD\"", "");
    TempDocument bad(doc);
    const std::string text = Findings(bad.path());
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> errors;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::size_t start = 0, tab;
        while ((tab = line.find('\t', start)) != std::string::npos) {
            fields.push_back(line.substr(start, tab - start));
            start = tab + 1;
        }
        fields.push_back(line.substr(start));
        ASSERT_EQ(fields.size(), 8u) << line;
        if (fields[2] == "error") errors.push_back(fields[1] + " " + fields[4] + " " + fields[5] + " " + fields[6]);
    }
    // The attribute value's TAB was normalised to a space by the parser, as XML requires.
    EXPECT_EQ(errors, (std::vector<std::string>{"XSD-ATTRIBUTE-MISSING /cfdi:Comprobante Sello ",
                                                "XSD-ATTRIBUTE-UNKNOWN /cfdi:Comprobante/cfdi:Emisor Extra a b"}))
        << text;
    // KVN_ValidateXml answers the first of them.
    EXPECT_EQ(KVN_ValidateXml(bad.path(), 0), -BAD_XML_ERROR);
    EXPECT_EQ(LastError().rfind("XML validation error/Error al validar XML: [/cfdi:Comprobante/@Sello] ", 0), 0u)
        << LastError();
}

TEST(ValidateXmlFindings, BufferConvention) {
    TempDocument bad(Replace(Fixture("cfdv40_valid.xml"), " Sello=\"QUJD\"", ""));
    const int n = KVN_ValidateXmlFindings(nullptr, 0, bad.path(), nullptr, 0);
    ASSERT_GT(n, 10);
    char small[11];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(KVN_ValidateXmlFindings(small, 10, bad.path(), nullptr, 0), n);  // the whole length, cut text
    EXPECT_EQ(std::string(small), Findings(bad.path()).substr(0, 10));
    EXPECT_EQ(KVN_ValidateXmlFindings(small, 0, bad.path(), nullptr, 0), n);
    EXPECT_EQ(KVN_ValidateXmlFindings(nullptr, 0, nullptr, nullptr, 0), -BAD_PARAM_ERROR);
}

TEST(ValidateXmlFindings, VersionsFilesAndCatalogFolders) {
    const std::string v32 = std::string(KVN_FIXTURES_DIR) + "/validation/cfdv32_prefixed.xml";
    EXPECT_EQ(KVN_ValidateXmlFindings(nullptr, 0, v32.c_str(), nullptr, 0), -NOT_SUPPORTED_ERROR);
    EXPECT_EQ(KVN_ValidateXmlFindings(nullptr, 0, "/nonexistent/f.xml", nullptr, 0), -OPEN_ERROR);
    TempDocument broken(Fixture("cfdv40_valid.xml").substr(0, 600));
    EXPECT_EQ(KVN_ValidateXmlFindings(nullptr, 0, broken.path(), nullptr, 0), -BAD_XML_ERROR);
    // Bad input gets the messages of the version read, as every export that reads a version.
    struct Case {
        const char* text;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"no XML at all", -BAD_XML_ERROR, "XML parsing error/Error al analizar de XML: "},
        {"<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/4\"/>", -NO_MATCH_ERROR,
         "Cannot find the 'version' attribute/No se puede encontrar la 'version' atributo"},
        {"<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/4\" Version=\"4.1\"/>", -NOT_SUPPORTED_ERROR, ""},
    };
    for (const Case& c : cases) {
        TempDocument doc(c.text);
        EXPECT_EQ(KVN_ValidateXmlFindings(nullptr, 0, doc.path(), nullptr, 0), c.code) << c.text;
        EXPECT_EQ(LastError().rfind(c.message, 0), 0u) << LastError();
        EXPECT_EQ(KVN_ValidateXml(doc.path(), 0), c.code) << c.text;
    }

    // A catalog folder: given, or through KELVANE_CATALOGS when none is given; a folder
    // that does not exist is an error, not the snapshot.
    const std::string valid = std::string(KVN_FIXTURES_DIR) + "/validation/cfdv40_valid.xml";
    EXPECT_EQ(KVN_ValidateXmlFindings(nullptr, 0, valid.c_str(), "/nonexistent/catalogs", 0), -OPEN_ERROR);
    const std::string folder = std::string(KVN_BINARY_DIR) + "/findings_catalogs_" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/c_ClaveProdServ.csv") << "id,texto,vigencia_desde,vigencia_hasta\n25172002,Balatas,2022-01-01,\n";
    const std::string withFolder = Findings(valid.c_str(), folder.c_str());
    EXPECT_NE(withFolder.find("CATALOG-VALUE"), std::string::npos) << withFolder;  // 78181500 is not in it
    EXPECT_EQ(Findings(valid.c_str()).find("CATALOG-VALUE"), std::string::npos);
    ::setenv("KELVANE_CATALOGS", folder.c_str(), 1);
    EXPECT_EQ(Findings(valid.c_str()), withFolder);
    EXPECT_EQ(KVN_ValidateXml(valid.c_str(), 0), -XML_FACET_ERROR);
    ::setenv("KELVANE_CATALOGS", "/nonexistent/catalogs", 1);
    EXPECT_EQ(KVN_ValidateXml(valid.c_str(), 0), -OPEN_ERROR);
    ::unsetenv("KELVANE_CATALOGS");
    EXPECT_EQ(KVN_ValidateXml(valid.c_str(), 0), 0) << LastError();
    std::filesystem::remove_all(folder);
}

}  // namespace
