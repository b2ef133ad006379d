// Validation of whole invoices: the DTD pass with its exemptions, the value pass, the
// result codes and the messages left in the last-error text.
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/lasterror.h"
#include "base/memory.h"
#include "api/export_guard.h"
#include "cfdi/restrictions.h"
#include "cfdi/validate.h"
#include "kelvane.h"
#include "doc_files.h"
#include "reader_results.h"
#include "support/fault_sim.h"

namespace kvn {
namespace {

using testing::Edit;
using testing::StartTagsOf;
using testing::ViolationsOf;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Fixture(const char* name) { return ReadFile(std::string(KVN_FIXTURES_DIR) + "/validation/" + name); }

// Replaces the first occurrence of `from` (which must be there).
class Document {
public:
    explicit Document(const std::string& content) {
        static int counter = 0;
        path_ = std::string(KVN_BINARY_DIR) + "/validate_test_" + std::to_string(::getpid()) + "_" + std::to_string(++counter) + ".xml";
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~Document() { std::remove(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

struct Result {
    int code;
    std::string messages;
};

Result Validate(const std::string& content, int flags = 0) {
    Document doc(content);
    ClearLastError();
    int code = ResultOf(ValidateDocument(doc.path(), flags));
    return {code, LastErrorText()};
}

std::string Invalid(const char* message, int line) {
    return std::string("XML validation error/Error al validar XML: ") + message +
           " (Line/numero de linea: " + std::to_string(line) + ")";
}

TEST(ValidateDocument, ValidFixturesOfEveryVersion) {
    for (const char* name : {"cfdv32_prefixed.xml", "cfdv32_default_ns.xml", "cfdv30_valid.xml", "cfdv22_valid.xml",
                             "cfdv20_valid.xml"}) {
        Result r = Validate(Fixture(name));
        EXPECT_EQ(r.code, 0) << name << ": " << r.messages;
        EXPECT_EQ(r.messages, "") << name;
    }
}

struct DtdCase {
    const char* name;
    const char* fixture;
    std::string from, to;
    int code;
    std::string messages;
};

TEST(ValidateDocument, DtdViolations) {
    const DtdCase cases[] = {
        {"two violations, both reported in order", "cfdv32_prefixed.xml",
         "<cfdi:DomicilioFiscal calle=\"Av. Juárez\" ", "<cfdi:DomicilioFiscal zona=\"1\" ", -BAD_XML_ERROR,
         Invalid("Required attribute 'calle' missing for element 'cfdi:DomicilioFiscal'", 4) + "; " +
             Invalid("Undeclared attribute 'zona' in element 'cfdi:DomicilioFiscal'", 4)},
        {"default namespace names are canonical", "cfdv32_default_ns.xml", "<RegimenFiscal Regimen", "<Regimen Regimen",
         -BAD_XML_ERROR,
         Invalid("Content model for 'cfdi:Emisor' doesn't allow element 'cfdi:Regimen' here. Try: cfdi:RegimenFiscal",
                 6) + "; " +
             Invalid("Undeclared element 'cfdi:Regimen'", 6) + "; " +
             Invalid("Content model for 'cfdi:Emisor' doesn't allow it to end here. Try: cfdi:RegimenFiscal", 7)},
        {"enumerated value", "cfdv32_prefixed.xml", "tipoDeComprobante=\"ingreso\"", "tipoDeComprobante=\"venta\"",
         -BAD_XML_ERROR,
         Invalid("Value for attribute 'tipoDeComprobante' in element 'cfdi:Comprobante' doesn't match its declared "
                 "value. Try: ingreso, egreso",  // the next item would pass 127 bytes
                 2)},
        {"nomina is not a 3.0 complement", "cfdv30_valid.xml", "  </cfdi:Impuestos>\n",
         "  </cfdi:Impuestos>\n  <cfdi:Complemento><nomina:Nomina xmlns:nomina=\"http://www.sat.gob.mx/nomina\" "
         "Version=\"1.1\"><nomina:Percepciones/></nomina:Nomina></cfdi:Complemento>\n",
         -BAD_XML_ERROR,
         Invalid("Content model for 'cfdi:Complemento' doesn't allow element 'nomina:Nomina' here. Try: "
                 "tfd:TimbreFiscalDigital",
                 20) +
             "; " + Invalid("Undeclared element 'nomina:Nomina'", 20)},
        {"a concept holds one kind of child", "cfdv30_valid.xml",
         "<cfdi:InformacionAduanera numero=\"124\" fecha=\"2011-05-31\" aduana=\"Manzanillo\"/>",
         "<cfdi:Parte cantidad=\"1\" descripcion=\"x\"/>", -BAD_XML_ERROR,
         Invalid("Content model for 'cfdi:Concepto' doesn't allow element 'cfdi:Parte' here. Try: "
                 "cfdi:InformacionAduanera",
                 12)},
        {"ventavehiculos 1.1 is a 3.2 widening only", "cfdv22_valid.xml", "version=\"1.0\" ClaveVehicular",
         "version=\"1.1\" ClaveVehicular", -BAD_XML_ERROR,
         Invalid("Value for attribute 'version' in element 'ventavehiculos:VentaVehiculos' doesn't match its "
                 "declared value",
                 14)},
        {"CFD 2.0 issuer address out of order", "cfdv20_valid.xml", "<DomicilioFiscal calle",
         "<ExpedidoEn pais=\"M\"/><DomicilioFiscal calle", -BAD_XML_ERROR,
         Invalid("Content model for 'Emisor' doesn't allow element 'ExpedidoEn' here. Try: DomicilioFiscal", 4)},
        {"CFD 2.0 issuer without address", "cfdv20_valid.xml",
         "    <DomicilioFiscal calle=\"Zaragoza\" municipio=\"Puebla\" estado=\"Puebla\" pais=\"México\" "
         "codigoPostal=\"72000\"/>\n",
         "", -BAD_XML_ERROR,
         Invalid("Content model for 'Emisor' doesn't allow it to end here. Try: DomicilioFiscal", 4)},
    };
    for (const DtdCase& c : cases) {
        Result r = Validate(Edit(Fixture(c.fixture), c.from, c.to));
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(r.messages, c.messages) << c.name;
    }
}

TEST(ValidateDocument, WidenedVentaVehiculosPassesIn32) {
    std::string doc = Edit(Fixture("cfdv32_prefixed.xml"), "<cfdi:CuentaPredial numero=\"123456\"/>",
                           "<cfdi:ComplementoConcepto><ventavehiculos:VentaVehiculos "
                           "xmlns:ventavehiculos=\"http://www.sat.gob.mx/ventavehiculos\" version=\"1.1\" "
                           "ClaveVehicular=\"0010101\" Niv=\"3VWFE21C04M000001\"/></cfdi:ComplementoConcepto>");
    Result r = Validate(doc);
    EXPECT_EQ(r.code, 0) << r.messages;
}

// The DTD enumerates the ways of transit with their accents (Latin letters outside ASCII
// are name characters), so "Marítima" passes the DTD pass.
TEST(ValidateDocument, TransitWaysWithAccents) {
    for (const char* via : {"A\xC3\xA9rea", "Mar\xC3\xADtima", "Terrestre"}) {
        std::string doc = Edit(Fixture("cfdv32_prefixed.xml"), "<tfd:TimbreFiscalDigital",
                               std::string("<tpe:TuristaPasajeroExtranjero xmlns:tpe=\"http://www.sat.gob.mx/TuristaPasajeroExtranjero\" "
                                           "version=\"1.0\" fechadeTransito=\"2014-01-10T10:00:00\" tipoTransito=\"Arribo\">"
                                           "<tpe:datosTransito Via=\"") +
                                   via +
                                   "\" TipoId=\"Pasaporte\" NumeroId=\"G123\" Nacionalidad=\"Chile\" "
                                   "EmpresaTransporte=\"Naviera\"/></tpe:TuristaPasajeroExtranjero><tfd:TimbreFiscalDigital");
        Result r = Validate(doc, KVN_OPT_NOFACETS);
        EXPECT_EQ(r.code, 0) << via << ": " << r.messages;
        // The value pass agrees with the DTD on the accented ways.
        Result full = Validate(doc);
        EXPECT_EQ(full.code, 0) << via << ": " << full.messages;
    }
    Result wrong = Validate(Edit(Fixture("cfdv32_prefixed.xml"), "<tfd:TimbreFiscalDigital",
                                 "<tpe:TuristaPasajeroExtranjero xmlns:tpe=\"urn:tpe\" version=\"1.0\" "
                                 "fechadeTransito=\"x\" tipoTransito=\"Arribo\"><tpe:datosTransito Via=\"Maritima\" "
                                 "TipoId=\"P\" NumeroId=\"1\" Nacionalidad=\"C\" EmpresaTransporte=\"N\"/>"
                                 "</tpe:TuristaPasajeroExtranjero><tfd:TimbreFiscalDigital"),
                            KVN_OPT_NOFACETS);
    EXPECT_EQ(wrong.code, -BAD_XML_ERROR) << wrong.messages;
}

TEST(ValidateDocument, TruncatedDocumentIsOneParsingError) {
    std::string doc = Fixture("cfdv32_prefixed.xml");
    doc.resize(doc.find("<cfdi:Conceptos>") + 20);
    Result r = Validate(doc);
    EXPECT_EQ(r.code, -BAD_DTD_ERROR);
    EXPECT_EQ(r.messages.rfind("XML/DTD Parsing Error: ", 0), 0u) << r.messages;
    EXPECT_NE(r.messages.find(" (Line: "), std::string::npos);
    EXPECT_NE(r.messages.find(" Col: "), std::string::npos);
    EXPECT_EQ(r.messages.find("; "), std::string::npos) << r.messages;
}

struct FacetCase {
    const char* name;
    std::string from, to;
    std::string message;
};

TEST(ValidateDocument, ValueRestrictions) {
    const FacetCase cases[] = {
        {"short RFC", "rfc=\"AAA010101AAA\"", "rfc=\"AA010101AAA\"",
         "Bad attribute/atributo mal [cfdi:Emisor/@rfc]: 'AA010101AAA' is too short/es demasiado corto, minimum "
         "length/longitud minima=12"},
        {"seven fraction digits", "total=\"1160.00\"", "total=\"1160.0000001\"",
         "Bad attribute/atributo mal [cfdi:Comprobante/@total]: '1160.0000001': expected at most 6 fraction digits, "
         "found 7/Demasiados digitos de fraccion"},
        {"date and time without seconds", "fecha=\"2014-02-03T10:20:30\"", "fecha=\"2014-02-03T10:20\"",
         "Bad attribute/atributo mal [cfdi:Comprobante/@fecha]: '2014-02-03T10:20' fails dateTime type "
         "restriction/No cumple con la restriccion: value is incomplete or ends with invalid character/valor es "
         "incompleta o termina con un caracter no valido"},
        {"whitespace in an empty element", "codigoPostal=\"76000\"/>", "codigoPostal=\"76000\"> </cfdi:DomicilioFiscal>",
         "Element [cfdi:Emisor/cfdi:DomicilioFiscal] must be empty/El elemento debe estar vacio"},
        {"a letter outside Latin-1 is one byte", "codigoPostal=\"76000\"", "codigoPostal=\"76000\xE2\x82\xAC\"",
         "Bad attribute/atributo mal [cfdi:DomicilioFiscal/@codigoPostal]: '76000?' is too long/es demasiado largo, "
         "maximum length/longitud maxima=5"},
        {"CURP form", "CURP=\"GODE561231HDFRRN09\"", "CURP=\"GODE561231HDFARN09\"",
         "Bad attribute/atributo mal [nomina:Nomina/@CURP]: 'GODE561231HDFARN09' fails CURP restriction/No cumple "
         "con la restriccion: 'A' at position 14 is not allowed/caracter en la posicion no esta permitido"},
    };
    for (const FacetCase& c : cases) {
        std::string doc = Edit(Fixture("cfdv32_prefixed.xml"), c.from, c.to);
        Result r = Validate(doc);
        EXPECT_EQ(r.code, -XML_FACET_ERROR) << c.name;
        EXPECT_EQ(r.messages, c.message) << c.name;
        Result skipped = Validate(doc, KVN_OPT_NOFACETS);
        EXPECT_EQ(skipped.code, 0) << c.name << ": " << skipped.messages;
    }
}

TEST(ValidateDocument, ValueMessagesOnlyWhenTheDtdPassHolds) {
    std::string doc = Edit(Fixture("cfdv32_prefixed.xml"), "rfc=\"AAA010101AAA\"", "rfc=\"AA\"");
    doc = Edit(doc, "<cfdi:Receptor ", "<cfdi:Receptor x=\"1\" ");
    Result r = Validate(doc);
    EXPECT_EQ(r.code, -BAD_XML_ERROR);
    EXPECT_EQ(r.messages, Invalid("Undeclared attribute 'x' in element 'cfdi:Receptor'", 8));
}

// The value pass on its own reads the document itself and records as it goes.
TEST(CheckValueRestrictions, StandalonePass) {
    Document twoFaults(Edit(Edit(Fixture("cfdv22_valid.xml"), "codigoPostal=\"76000\"", "codigoPostal=\"7600\""),
                            "tasa=\"16.00\"", "tasa=\"16.0000001\""));
    ClearLastError();
    EXPECT_EQ(ViolationsOf(twoFaults.path()), 2);
    EXPECT_EQ(std::string(LastErrorText()),
              "Bad attribute/atributo mal [DomicilioFiscal/@codigoPostal]: '7600' is too short/es demasiado corto, "
              "minimum length/longitud minima=5; Bad attribute/atributo mal [Traslado/@tasa]: '16.0000001': expected at "
              "most 6 fraction digits, found 7/Demasiados digitos de fraccion");

    Document broken(Fixture("cfdv22_valid.xml").substr(0, 700));
    ClearLastError();
    EXPECT_EQ(ViolationsOf(broken.path()), -BAD_XML_ERROR);
    EXPECT_EQ(std::string(LastErrorText()).rfind("Error: ", 0), 0u) << LastErrorText();

    Document v21(Edit(Fixture("cfdv20_valid.xml"), "version=\"2.0\"", "version=\"2.1\""));
    ClearLastError();
    EXPECT_EQ(ViolationsOf(v21.path()), -NOT_SUPPORTED_ERROR);
    EXPECT_STREQ(LastErrorText(), "Version '2.1' not supported/La version no es compatible");
}

TEST(ValidateDocument, NothingInsideAddendaIsChecked) {
    std::string doc = Edit(Fixture("cfdv32_prefixed.xml"), "<pedido xmlns",
                           "<cfdi:Emisor rfc=\"1\"> </cfdi:Emisor><cfdi:Traslado tasa=\"x\"/><pedido xmlns");
    Result r = Validate(doc);
    EXPECT_EQ(r.code, 0) << r.messages;
}

TEST(ValidateDocument, VersionsAndFiles) {
    Result v40 = Validate(Edit(Fixture("cfdv32_prefixed.xml"), "version=\"3.2\"", "version=\"4.0\""));
    EXPECT_EQ(v40.code, -NOT_SUPPORTED_ERROR);
    Result v21 = Validate(Edit(Fixture("cfdv20_valid.xml"), "version=\"2.0\"", "version=\"2.1\""));
    EXPECT_EQ(v21.code, -NOT_SUPPORTED_ERROR);
    EXPECT_EQ(v21.messages, "");

    ClearLastError();
    EXPECT_EQ(ResultOf(ValidateDocument("/nonexistent/invoice.xml", 0)), -OPEN_ERROR);
    EXPECT_STREQ(LastErrorText(), "Cannot open file '/nonexistent/invoice.xml'/No se puede abrir el archivo");
    EXPECT_EQ(ResultOf(ValidateDocument(nullptr, 0)), -BAD_PARAM_ERROR);
}

// A document naming local files (an external entity used in content, an external DTD, an
// external parameter entity) gets none of them read.
TEST(ValidateDocument, ExternalEntitiesAreNeverRead) {
    std::string secret = std::string(KVN_BINARY_DIR) + "/validate_secret.txt";
    std::ofstream(secret) << "TOPSECRET-CONTENT";
    std::string doctype = "<!DOCTYPE cfdi:Comprobante SYSTEM \"" + secret +
                          "\" [\n<!ENTITY xxe SYSTEM \"file://" + secret + "\">\n<!ENTITY plain SYSTEM \"" + secret +
                          "\">\n<!ENTITY % pe SYSTEM \"" + secret + "\">\n%pe;\n]>\n";
    std::string doc = Fixture("cfdv32_prefixed.xml");
    doc = Edit(doc, "<cfdi:Comprobante ", doctype + "<cfdi:Comprobante ");
    doc = Edit(doc, "Entregar en almacén", "&xxe;&plain;");
    doc = Edit(doc, "<cfdi:CuentaPredial numero=\"123456\"/>", "<cfdi:CuentaPredial numero=\"123456\">&plain;</cfdi:CuentaPredial>");
    Result r = Validate(doc);
    EXPECT_EQ(r.code, 0) << r.messages;
    EXPECT_EQ(r.messages.find("TOPSECRET"), std::string::npos);
    std::remove(secret.c_str());
}

TEST(ValidateAgainstDtd, CountsStartTagsAndResolvesTheDtdBesideTheDocument) {
    std::string dir = std::string(KVN_BINARY_DIR) + "/";
    std::ofstream(dir + "validate_beside.dtd") << "<!ELEMENT r (a*)><!ELEMENT a EMPTY>";
    Document doc("<r><a/><a/></r>");
    ClearLastError();
    EXPECT_EQ(StartTagsOf(doc.path(), (dir + "validate_beside.dtd").c_str()), 3);
    // Without a directory part the DTD is looked up beside the document.
    EXPECT_EQ(StartTagsOf(doc.path(), "validate_beside.dtd"), 3);
    EXPECT_EQ(ResultOf(ValidateAgainstDtd(doc.path(), "missing.dtd")), -BAD_DTD_ERROR);
    EXPECT_EQ(std::string(LastErrorText()).rfind("Cannot open file '" + dir + "missing.dtd'", 0), 0u) << LastErrorText();
    std::remove((dir + "validate_beside.dtd").c_str());
}

// Every allocation of the DTD pass (parser, validator, automata, IDs) over a small DTD, and
// a sample of those of the whole export (temporary file, embedded DTD, value pass).
TEST(ValidateDocument, EachAllocationMayFail) {
    std::string dtd = std::string(KVN_BINARY_DIR) + "/validate_alloc.dtd";
    std::ofstream(dtd) << "<!ELEMENT r (a|b)+><!ELEMENT a EMPTY><!ELEMENT b (#PCDATA|a)*>"
                          "<!ATTLIST a id ID #IMPLIED k (x|y) 'x'><!ATTLIST b ref IDREF #REQUIRED>";
    Document small("<r><a id='i1'/><b ref='i1'>t<a k='y'/></b><a id='i2' k='z'/></r>");
    auto dtdPass = [&] {
        return RunExport([&] { return ValidateAgainstDtd(small.path(), dtd.c_str()); });
    };
    EXPECT_GT(kvn_test::FaultSim(dtdPass, kvn_test::ExportGives(-BAD_XML_ERROR)), 20);
    std::remove(dtd.c_str());

    Document invoice(Fixture("cfdv22_valid.xml"));
    // The embedded DTD is compiled once per process and kept: that happens here, before the
    // sweep (the compilation's own failures are swept in the XML tests).
    ASSERT_EQ(KVN_ValidateXml(invoice.path(), 0), 0);
    EXPECT_GT(kvn_test::FaultSim([&] { return KVN_ValidateXml(invoice.path(), 0); }, kvn_test::ExportGives(0),
                                 {.every = 0, .step = 29}),
              20);
}

// Inputs that once crashed the validation fuzz target: each must now end with a result.
TEST(ValidateAgainstDtd, FuzzRegressionsEndWithAResult) {
    std::string dtd = std::string(KVN_SOURCE_DIR) + "/src/cfdi/dtd/cfdv32.dtd";
    std::filesystem::path dir = std::string(KVN_SOURCE_DIR) + "/fuzz/regressions/validate";
    if (!std::filesystem::is_directory(dir)) return;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        ClearLastError();
        int rc = ResultOf(ValidateAgainstDtd(entry.path().c_str(), dtd.c_str()));
        EXPECT_TRUE(rc >= 0 || rc == -BAD_XML_ERROR || rc == -BAD_DTD_ERROR) << entry.path() << ": " << rc;
    }
}

}  // namespace
}  // namespace kvn

// The embedded DTD is read from memory: validation needs no writable directory at all.
TEST(ValidateDocument, NoTemporaryFileNeeded) {
    const std::string doc = std::string(KVN_FIXTURES_DIR) + "/validation/cfdv32_prefixed.xml";
    const std::string here = std::filesystem::current_path().string();
    const char* tmp = std::getenv("TMP");
    const char* temp = std::getenv("TEMP");
    const std::string savedTmp = tmp ? tmp : "", savedTemp = temp ? temp : "";
    unsetenv("TMP");
    unsetenv("TEMP");
    ASSERT_EQ(chdir("/proc"), 0);  // no file can be created here, not even by root
    const int code = ResultOf(kvn::ValidateDocument(doc.c_str(), 0));
    EXPECT_EQ(chdir(here.c_str()), 0);
    if (tmp) setenv("TMP", savedTmp.c_str(), 1);
    if (temp) setenv("TEMP", savedTemp.c_str(), 1);
    EXPECT_EQ(code, 0);
}
