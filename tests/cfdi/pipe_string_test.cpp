#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/pipe_string.h"
#include "cfdi/pipe_text.h"
#include "doc_files.h"
#include "kelvane.h"
#include "reader_results.h"

namespace kvn {
namespace {

using testing::FixturePath;
using testing::PipeStringInto;
using testing::VersionOf;
using testing::ReadFile;
using testing::WriteTempDoc;

// Runs the two calls a caller makes: the length bound, then the string into a buffer of
// that size. Returns the code of the first failing call, else the string.
struct PipeResult {
    int code = 0;
    std::string text;
    int bound = 0;
};
PipeResult Pipe(const std::string& path, int options = 0) {
    PipeResult r;
    ClearLastError();
    r.bound = PipeStringInto(nullptr, 0, path.c_str(), options);
    if (r.bound < 0) {
        r.code = r.bound;
        return r;
    }
    std::vector<char> buf(static_cast<std::size_t>(r.bound) + 1, 'x');
    int n = PipeStringInto(buf.data(), r.bound, path.c_str(), options);
    if (n < 0) {
        r.code = n;
        return r;
    }
    r.text.assign(buf.data());
    EXPECT_EQ(static_cast<std::size_t>(n), r.text.size());
    return r;
}

// Each fixture document has its expected pipe string beside it, as the stylesheet writes it
// (xsltproc; xslt_peer_test.cpp checks the files against it).
TEST(PipeString, FixturesGiveTheirExpectedStrings) {
    const char* names[] = {
        "cfd20", "cfd22", "cfdi30", "cfdi32", "cfdi32_default_ns", "cfdi32_stamped", "cfdi32_unstamped",
        "complement_terceros", "complement_iedu", "complement_ventavehiculos", "complement_psgecfd",
        "complement_psgcfdsp", "complement_divisas", "complement_donat", "complement_ecb", "complement_ecc",
        "complement_implocal", "complement_pfic", "complement_leyendasFisc", "complement_tpe", "complement_nomina",
        "complement_registrofiscal", "complement_detallista", "cfdi33_pagos", "cfdi40_stamped",
        // Constructs where the stylesheets' string is not the schema's order: a complement the
        // 3.0 stylesheet lacks; an absent address still called; totals after the lines; a
        // complement's Traslados not taken for the invoice's; implocal and detallista grouped
        // by kind, with empty fields for absent elements; empty optional attributes; children
        // out of the schema's order; the built-in rule copying an unknown complement's text.
        "stylesheet_psgecfd_in_30", "stylesheet_cfd22_order_and_totals", "stylesheet_cfd22_ecc_empty_optional",
        "stylesheet_cfdi32_implocal_detallista", "stylesheet_cfdi32_builtin_rule",
    };
    for (const char* name : names) {
        std::string base = std::string(name);
        PipeResult r = Pipe(FixturePath(base + ".xml"));
        ASSERT_EQ(r.code, 0) << name << ": " << LastErrorText();
        EXPECT_EQ(r.text, ReadFile(FixturePath(base + ".pipe.txt"))) << name;
        EXPECT_GE(r.bound, static_cast<int>(r.text.size())) << name;
    }
}

TEST(PipeString, StampMode) {
    PipeResult r = Pipe(FixturePath("cfdi32_stamped.xml"), KVN_OPT_STAMP);
    ASSERT_EQ(r.code, 0) << LastErrorText();
    EXPECT_EQ(r.text, ReadFile(FixturePath("cfdi32_stamped.stamp.txt")));

    std::string noUuid = WriteTempDoc("stamp_no_uuid.xml", R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.2"><cfdi:Complemento>
<tfd:TimbreFiscalDigital xmlns:tfd="http://www.sat.gob.mx/TimbreFiscalDigital" version="1.0" FechaTimbrado="2014-01-01T00:00:00" selloCFD="x" noCertificadoSAT="1" selloSAT="y"/></cfdi:Complemento></cfdi:Comprobante>)");
    r = Pipe(noUuid, KVN_OPT_STAMP);
    EXPECT_EQ(r.code, -MISSING_ERROR);
    EXPECT_STREQ(LastErrorText(), "Attribute 'UUID' is mandatory/Atributo es obligatorio");
    // Outside stamp mode the stylesheet writes an empty field for each absent required value.
    EXPECT_EQ(Pipe(noUuid).text, "||3.2|||||||||");

    // 3.3 and 4.0 documents carry the stamp 1.1.
    r = Pipe(FixturePath("cfdi40_stamped.xml"), KVN_OPT_STAMP);
    ASSERT_EQ(r.code, 0) << LastErrorText();
    EXPECT_EQ(r.text, ReadFile(FixturePath("cfdi40_stamped.stamp.txt")));
    std::string noRfc = WriteTempDoc("stamp11_no_rfc.xml", R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/4" Version="4.0"><cfdi:Complemento>
<tfd:TimbreFiscalDigital xmlns:tfd="http://www.sat.gob.mx/TimbreFiscalDigital" Version="1.1" UUID="U" FechaTimbrado="F" SelloCFD="x" NoCertificadoSAT="1" SelloSAT="y"/></cfdi:Complemento></cfdi:Comprobante>)");
    EXPECT_EQ(Pipe(noRfc, KVN_OPT_STAMP).code, -MISSING_ERROR);
    EXPECT_STREQ(LastErrorText(), "Attribute 'RfcProvCertif' is mandatory/Atributo es obligatorio");

    r = Pipe(FixturePath("cfd22.xml"), KVN_OPT_STAMP);
    EXPECT_EQ(r.code, -BAD_FLAG_ERROR);
    EXPECT_STREQ(LastErrorText(),
                 "TFD option only valid for version 3.x CFDI document/TFD opcion solo es valida para la version 3.x "
                 "documento CFDI");
    EXPECT_EQ(Pipe(FixturePath("cfdi32_unstamped.xml"), KVN_OPT_STAMP).code, -NO_DATA_ERROR);
}

// 3.3 and 4.0 write their version as `Version`, and only in their own namespace.
TEST(PipeString, VersionsThreeThreeAndFourZero) {
    EXPECT_EQ(VersionOf(FixturePath("cfdi33_pagos.xml").c_str()), 33);
    EXPECT_EQ(VersionOf(FixturePath("cfdi40_stamped.xml").c_str()), 40);
    struct Case {
        const char* root;
        const char* message;
    } refused[] = {
        {R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/4" Version="4.1"/>)",
         "CFD version '4.1' not supported/CFD version no es compatible"},
        {R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" Version="4.0"/>)",
         "CFD version '4.0' not supported/CFD version no es compatible"},
        {R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.3"/>)",
         "CFD version '3.3' not supported/CFD version no es compatible"},
        {R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/4" Fecha="x"/>)",
         "Cannot find the 'version' attribute/No se puede encontrar la 'version' atributo"},
    };
    for (const Case& c : refused) {
        std::string doc = WriteTempDoc("version40.xml", c.root);
        ClearLastError();
        EXPECT_LT(VersionOf(doc.c_str()), 0) << c.root;
        EXPECT_STREQ(LastErrorText(), c.message) << c.root;
        PipeResult r = Pipe(doc);
        EXPECT_LT(r.code, 0) << c.root;
    }
}

TEST(PipeString, UnsupportedAndUnreadableDocuments) {
    std::string v31 = WriteTempDoc("v31.xml", R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.1" fecha="x"/>)");
    EXPECT_EQ(Pipe(v31).code, -NOT_SUPPORTED_ERROR);
    EXPECT_STREQ(LastErrorText(), "Version '3.1' not supported/La version no es compatible");

    EXPECT_EQ(Pipe("/nonexistent/invoice.xml").code, -OPEN_ERROR);
    EXPECT_STREQ(LastErrorText(), "Cannot open file '/nonexistent/invoice.xml'/No se puede abrir el archivo");

    // Version detection fails before the main parse: the failure is reported with the
    // detection's message first.
    std::string notXml = WriteTempDoc("not_xml.xml", "this is not XML");
    EXPECT_EQ(Pipe(notXml).code, -NOT_SUPPORTED_ERROR);
    EXPECT_EQ(std::string(LastErrorText()).rfind("XML parsing error/", 0), 0u) << LastErrorText();

    // Elements outside any namespace match no entry: such a document selects nothing.
    std::string noNamespace = WriteTempDoc("no_ns.xml", R"(<Comprobante version="2.2" serie="A"/>)");
    EXPECT_EQ(Pipe(noNamespace).code, -NO_DATA_ERROR);

    std::string badAfter = WriteTempDoc("bad_after.xml", R"(<Comprobante version="2.2" serie="A"><Emisor></Receptor></Comprobante>)");
    EXPECT_EQ(Pipe(badAfter).code, -BAD_XML_ERROR);
    EXPECT_EQ(std::string(LastErrorText()).rfind("Error: ", 0), 0u) << LastErrorText();
    EXPECT_NE(std::string(LastErrorText()).find("(Line: 1)"), std::string::npos) << LastErrorText();
}

TEST(PipeString, WhiteSpaceCleaning) {
    std::string doc = WriteTempDoc("spaces.xml", R"(<Comprobante xmlns="http://www.sat.gob.mx/cfd/2" version="2.2" serie="  A&#9;B   C " folio=" " fecha="">
</Comprobante>)");
    PipeResult r = Pipe(doc);
    ASSERT_EQ(r.code, 0) << LastErrorText();
    // A value of only white space, an empty one and an absent required one all give an
    // empty field.
    EXPECT_EQ(r.text, "||2.2|A B C||||||||||||");

    char out[64];
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"  A\tB   C ", "A B C"},
                 {"\r\n x \n\n y\t", "x y"},
                 {" \t ", ""},
                 {"plain", "plain"},
                 {"\xC2\xA0no-break\xC2\xA0 spaces\xC2\xA0", "\xC2\xA0no-break\xC2\xA0 spaces\xC2\xA0"},
                 {"a long value of more than eight bytes,  twice over \t\t and more ", "a long value of more than eight bytes, twice over and more"}};
    for (const Case& c : cases) {
        const char* end = CopyCleaned(out, c.in, std::strlen(c.in));
        EXPECT_EQ(std::string(out, static_cast<std::size_t>(end - out)), c.out) << c.in;
    }
}

TEST(PipeString, ShortBuffersCutAndTinyOnesGiveNoData) {
    std::string path = FixturePath("cfd20.xml");
    std::string full = ReadFile(FixturePath("cfd20.pipe.txt"));
    char out[16];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(PipeStringInto(out, 10, path.c_str(), 0), 10);
    EXPECT_EQ(std::string(out), full.substr(0, 10));
    EXPECT_EQ(PipeStringInto(out, 4, path.c_str(), 0), 4);
    EXPECT_STREQ(out, "||2.");
    EXPECT_EQ(PipeStringInto(out, 3, path.c_str(), 0), -NO_DATA_ERROR);
    EXPECT_STREQ(out, "");
}

TEST(PipeString, Latin1Option) {
    std::string doc = WriteTempDoc("latin1.xml", "<Comprobante xmlns=\"http://www.sat.gob.mx/cfd/2\" version=\"2.2\" serie=\"Ni\xC3\xB1o \xE2\x82\xAC\" folio=\"\xC3\x89\"/>");
    PipeResult r = Pipe(doc, KVN_OPT_LATIN1);
    ASSERT_EQ(r.code, 0) << LastErrorText();
    EXPECT_EQ(r.text, "||2.2|Ni\xF1o ?|\xC9|||||||||||");
    EXPECT_EQ(Pipe(doc).text, "||2.2|Ni\xC3\xB1o \xE2\x82\xAC|\xC3\x89|||||||||||");

    char text[] = "a\xC3\xB1\xF0\x9F\x98\x80z\xC3";  // a n-tilde, a 4-byte sequence, z, a cut sequence
    EXPECT_EQ(Utf8ToLatin1InPlace(text, sizeof text - 1), 4u);
    EXPECT_STREQ(text, "a\xF1?z");
}

TEST(PipeString, AddendaInAnyNamespaceIsLeftOut) {
    std::string doc = WriteTempDoc("addenda.xml", R"(<Comprobante xmlns="http://www.sat.gob.mx/cfd/2" version="2.2" serie="S">
 <Emisor rfc="E1"/>
 <x:Addenda xmlns:x="urn:vendor"><Receptor rfc="NO"/><Concepto cantidad="9"/></x:Addenda>
 <Receptor rfc="R1"/>
</Comprobante>)");
    PipeResult r = Pipe(doc);
    ASSERT_EQ(r.code, 0) << LastErrorText();
    EXPECT_EQ(r.text, "||2.2|S|||||||||||E1|R1|||");
}

// The stylesheet writes the withholdings and their total, then the transfers and theirs,
// whichever group comes first in the document.
TEST(PipeString, TotalsMoveBehindTheirLines) {
    std::string doc = WriteTempDoc("totals.xml", R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.2">
 <cfdi:Impuestos totalImpuestosRetenidos="R" totalImpuestosTrasladados="T">
  <cfdi:Traslados><cfdi:Traslado impuesto="IVA" tasa="16" importe="t1"/><cfdi:Traslado impuesto="IEPS" tasa="8" importe="t2"/></cfdi:Traslados>
  <cfdi:Retenciones><cfdi:Retencion impuesto="ISR" importe="r1"/></cfdi:Retenciones>
 </cfdi:Impuestos>
</cfdi:Comprobante>)");
    PipeResult r = Pipe(doc);
    ASSERT_EQ(r.code, 0) << LastErrorText();
    EXPECT_EQ(r.text, "||3.2||||||||ISR|r1|R|IVA|16|t1|IEPS|8|t2|T||");
    EXPECT_GE(r.bound, static_cast<int>(r.text.size()));
}

// Elements the stylesheet does not know (here 2.2-style RegimenFiscal in a 2.0 document)
// contribute nothing and hide nothing that follows them.
TEST(PipeString, UnknownElementsDoNotSkipLaterEntries) {
    std::string doc = WriteTempDoc("unknown.xml", R"(<Comprobante xmlns="http://www.sat.gob.mx/cfd/2" version="2.0" serie="S">
 <Emisor rfc="E1"><RegimenFiscal Regimen="A"/><RegimenFiscal Regimen="B"/><x:Extra xmlns:x="urn:x"/>
  <DomicilioFiscal calle="C"/></Emisor>
 <Receptor rfc="R1"><Domicilio pais="P"/></Receptor>
</Comprobante>)");
    PipeResult r = Pipe(doc);
    ASSERT_EQ(r.code, 0) << LastErrorText();
    EXPECT_EQ(r.text, "||2.0|S|||||||||E1||C|||||R1|P||");
}

// A document nested far deeper than any stylesheet looks still gives the values after
// the deep part.
TEST(PipeString, DeepNestingDoesNotLoseLaterValues) {
    std::string deep;
    for (int i = 0; i < 200; ++i) deep += "<d>";
    for (int i = 0; i < 200; ++i) deep += "</d>";
    std::string doc = WriteTempDoc("deep.xml", R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.2" fecha="F">)" + deep +
        R"(<cfdi:Complemento><detallista:detallista xmlns:detallista="http://www.sat.gob.mx/detallista" documentStructureVersion="AMC8.1"><detallista:buyer><detallista:gln>1234567890123</detallista:gln></detallista:buyer></detallista:detallista></cfdi:Complemento></cfdi:Comprobante>)");
    PipeResult r = Pipe(doc);
    ASSERT_EQ(r.code, 0) << LastErrorText();
    EXPECT_EQ(r.text, "||3.2|F|||||||AMC8.1|1234567890123|||||");
}

TEST(PipeString, HugeValuesAndManyConcepts) {
    std::string big(3 << 20, 'v');
    std::string doc = WriteTempDoc("huge.xml", "<Comprobante xmlns=\"http://www.sat.gob.mx/cfd/2\" version=\"2.2\" serie=\"" + big + "\"/>");
    PipeResult r = Pipe(doc);
    ASSERT_EQ(r.code, 0) << LastErrorText();
    EXPECT_EQ(r.text, "||2.2|" + big + "||||||||||||");

    std::string many = R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.2"><cfdi:Emisor rfc="E"><cfdi:RegimenFiscal Regimen="R"/></cfdi:Emisor><cfdi:Conceptos>)";
    std::string expected = "||3.2||||||||E|R|";
    for (int i = 0; i < 100000; ++i) {
        std::string n = std::to_string(i);
        many += "<cfdi:Concepto cantidad=\"" + n + "\" descripcion=\"d\" importe=\"1.00\"/>\n";
        expected += n + "||d||1.00|";
    }
    many += "</cfdi:Conceptos></cfdi:Comprobante>";
    r = Pipe(WriteTempDoc("many.xml", many));
    ASSERT_EQ(r.code, 0) << LastErrorText();
    EXPECT_EQ(r.text, expected + "|");
}

// BuildPipeString gives the exact string; a replaced root attribute counts as present with
// its given value, whether the document carries it or not.
TEST(PipeString, BuildWithReplacedRootAttribute) {
    std::string path = FixturePath("cfd20.xml");
    String pipe;
    ASSERT_EQ(BuildPipeString(pipe, path.c_str(), 0, nullptr), kOk) << LastErrorText();
    EXPECT_EQ(std::string(pipe.data(), pipe.size()), ReadFile(FixturePath("cfd20.pipe.txt")));

    std::string doc = WriteTempDoc("replaced.xml", R"(<Comprobante xmlns="http://www.sat.gob.mx/cfd/2" version="2.2" serie="S" folio="F"/>)");
    RootAttributeValue folio{"folio", "99"};
    ASSERT_EQ(BuildPipeString(pipe, doc.c_str(), 0, &folio), kOk) << LastErrorText();
    EXPECT_EQ(std::string(pipe.data(), pipe.size()), "||2.2|S|99|||||||||||");
    std::string noFolio = WriteTempDoc("replaced_absent.xml", R"(<Comprobante xmlns="http://www.sat.gob.mx/cfd/2" version="2.2" serie="S"/>)");
    ASSERT_EQ(BuildPipeString(pipe, noFolio.c_str(), 0, &folio), kOk) << LastErrorText();
    EXPECT_EQ(std::string(pipe.data(), pipe.size()), "||2.2|S|99|||||||||||");

    EXPECT_EQ(BuildPipeString(pipe, "/nonexistent/invoice.xml", 0, &folio), Error::OPEN_ERROR);
    EXPECT_TRUE(pipe.empty());
}

// A stylesheet's test of an attribute's value compares the value as written: nomina 1.1's
// fields come out for Version="1.1" and not for " 1.1".
TEST(PipeString, ValueTestsSeeTheWrittenValue) {
    std::string doc = WriteTempDoc("nomina_version.xml", R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.2" fecha="F"><cfdi:Complemento><nomina:Nomina xmlns:nomina="http://www.sat.gob.mx/nomina" Version=" 1.1" RegistroPatronal="R" NumEmpleado="7"/><nomina:Nomina xmlns:nomina="http://www.sat.gob.mx/nomina" Version="1.1" NumEmpleado="8"/></cfdi:Complemento></cfdi:Comprobante>)");
    PipeResult r = Pipe(doc);
    ASSERT_EQ(r.code, 0) << LastErrorText();
    EXPECT_EQ(r.text, "||3.2|F|||||||1.1|8|||||||||");
}

// Templates applied to elements nested ever deeper (the complement holder inside itself)
// are followed to a fixed depth; past it the computation fails instead of exhausting the
// stack.
TEST(PipeString, NestedTemplatesHaveADepthLimit) {
    auto nested = [](int levels) {
        std::string doc = R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.2" fecha="F">)";
        for (int i = 0; i < levels; ++i) doc += "<cfdi:Complemento>";
        for (int i = 0; i < levels; ++i) doc += "</cfdi:Complemento>";
        return doc + "</cfdi:Comprobante>";
    };
    PipeResult one = Pipe(WriteTempDoc("nested1.xml", nested(1)));
    ASSERT_EQ(one.code, 0) << LastErrorText();
    PipeResult deep = Pipe(WriteTempDoc("nested900.xml", nested(900)));
    ASSERT_EQ(deep.code, 0) << LastErrorText();
    EXPECT_EQ(deep.text, one.text);
    EXPECT_EQ(Pipe(WriteTempDoc("nested100k.xml", nested(100000))).code, -BAD_XML_ERROR);
    EXPECT_STREQ(LastErrorText(), "Error: elements nested too deeply for the stylesheet (Line: 0)");
}

}  // namespace
}  // namespace kvn
