// Validation of CFDI 3.3 and 4.0 against the compiled schemas: the findings of one edit of a
// valid invoice each, their order and places, what is skipped, the hooks, the limits; the
// value checks of the simple types; and the text form of findings.
#include <gtest/gtest.h>

#include <cstring>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/schema_targets.h"

#include "base/lasterror.h"
#include "cfdi/catalogs.h"
#include "cfdi/document.h"
#include "cfdi/schema_pass.h"
#include "cfdi/validate.h"
#include "cfdi/xsd_values.h"
#include "doc_files.h"
#include "kelvane.h"
#include "support/fault_sim.h"

namespace kvn {
namespace {

using testing::ReadFile;
using testing::Edit;
using testing::WriteTempDoc;

std::string Fixture(const char* name) { return ReadFile(std::string(KVN_FIXTURES_DIR) + "/validation/" + name); }

struct Outcome {
    int code = 0;
    FindingList findings;
    std::vector<const Finding*> Errors() const {
        std::vector<const Finding*> errors;
        for (const Finding& f : findings)
            if (f.severity == FindingSeverity::kError) errors.push_back(&f);
        return errors;
    }
};

Outcome Findings(const std::string& text, int flags = 0, const char* name = "doc.xml") {
    Outcome o;
    const std::string path = WriteTempDoc(name, text);
    o.code = ResultOf(ValidateFindings(path.c_str(), nullptr, flags, o.findings));
    return o;
}

std::string Describe(const FindingList& findings) {
    String text;
    WriteFindings(findings, text);
    return std::string(text.data(), text.size());
}

TEST(SchemaValidation, ValidInvoicesHaveNoErrors) {
    for (const char* name : {"cfdv40_valid.xml", "cfdv33_valid.xml"}) {
        Outcome o = Findings(Fixture(name));
        ASSERT_EQ(o.code, 0) << LastErrorText();
        EXPECT_TRUE(o.Errors().empty()) << name << "\n" << Describe(o.findings);
    }
}

// One edit of the valid 4.0 invoice each, and the first error it must give.
TEST(SchemaValidation, EachFaultIsFoundWhereItIs) {
    struct Case {
        const char* what;
        const char* from;
        const char* to;
        const char* code;
        const char* path;
        const char* attribute;
    };
    const Case cases[] = {
        {"required attribute left out", " Sello=\"QUJD\"", "", "XSD-ATTRIBUTE-MISSING", "/cfdi:Comprobante", "Sello"},
        {"undeclared attribute", "<cfdi:Emisor ", "<cfdi:Emisor Extra=\"1\" ", "XSD-ATTRIBUTE-UNKNOWN",
         "/cfdi:Comprobante/cfdi:Emisor", "Extra"},
        {"prefixed attribute", "<cfdi:Emisor ", "<cfdi:Emisor cfdi:Rfc=\"1\" ", "XSD-ATTRIBUTE-UNKNOWN",
         "/cfdi:Comprobante/cfdi:Emisor", "cfdi:Rfc"},
        {"fixed value", "<implocal:ImpuestosLocales version=\"1.0\"",
         "<implocal:ImpuestosLocales version=\"1.00\"", "XSD-ATTRIBUTE-FIXED",
         "/cfdi:Comprobante/cfdi:Complemento/implocal:ImpuestosLocales", "version"},
        {"not a decimal", "Total=\"5015.00\"", "Total=\"50l5.00\"", "XSD-VALUE-TYPE", "/cfdi:Comprobante", "Total"},
        {"pattern", "RegimenFiscal=\"601\"/>", "RegimenFiscal=\"601\" FacAtrAdquirente=\"12345678AB\"/>",
         "XSD-VALUE-PATTERN", "/cfdi:Comprobante/cfdi:Emisor", "FacAtrAdquirente"},
        {"length", "Rfc=\"AAA010101AAA\"", "Rfc=\"AAA0101\"", "XSD-VALUE-LENGTH", "/cfdi:Comprobante/cfdi:Emisor", "Rfc"},
        {"fraction digits in a complement", "TasadeTraslado=\"2.00\"", "TasadeTraslado=\"2.001\"", "XSD-VALUE-DIGITS",
         "/cfdi:Comprobante/cfdi:Complemento/implocal:ImpuestosLocales/implocal:TrasladosLocales", "TasadeTraslado"},
        {"catalog", "Moneda=\"MXN\"", "Moneda=\"ZZZ\"", "CATALOG-VALUE", "/cfdi:Comprobante", "Moneda"},
        {"children out of order",
         "<cfdi:Emisor Rfc=\"AAA010101AAA\" Nombre=\"PRUEBAS ÑANDÚ &amp; CÍA\" RegimenFiscal=\"601\"/>", "",
         "XSD-ELEMENT-UNEXPECTED", "/cfdi:Comprobante/cfdi:Receptor", ""},
        {"required child left out",
         "<cfdi:Traslado Base=\"4250.00\" Impuesto=\"002\" TipoFactor=\"Tasa\" TasaOCuota=\"0.160000\" "
         "Importe=\"680.00\"/>",
         "", "XSD-ELEMENT-MISSING", "/cfdi:Comprobante/cfdi:Impuestos/cfdi:Traslados", ""},
        {"text in an empty element", "RegimenFiscal=\"601\"/>", "RegimenFiscal=\"601\"> </cfdi:Emisor>",
         "XSD-CONTENT", "/cfdi:Comprobante/cfdi:Emisor", ""},
        {"text among elements", "<cfdi:Conceptos>", "<cfdi:Conceptos>texto", "XSD-CONTENT",
         "/cfdi:Comprobante/cfdi:Conceptos", ""},
        {"element in an empty element", "RegimenFiscal=\"601\"/>", "RegimenFiscal=\"601\"><cfdi:X/></cfdi:Emisor>",
         "XSD-CONTENT", "/cfdi:Comprobante/cfdi:Emisor", ""},
        {"unpublished complement", "<cfdi:Complemento>",
         "<cfdi:Complemento><x:Nuevo xmlns:x=\"http://www.sat.gob.mx/nuevo\"/>", "XSD-COMPLEMENT-UNKNOWN",
         "/cfdi:Comprobante/cfdi:Complemento/x:Nuevo", ""},
        {"complement of another version", "<cfdi:Complemento>",
         "<cfdi:Complemento><p:Pagos xmlns:p=\"http://www.sat.gob.mx/Pagos\" Version=\"1.0\"/>",
         "XSD-COMPLEMENT-UNKNOWN", "/cfdi:Comprobante/cfdi:Complemento/p:Pagos", ""},
        {"unknown element inside a complement", "<implocal:TrasladosLocales",
         "<implocal:Otro/><implocal:TrasladosLocales", "XSD-ELEMENT-UNEXPECTED",
         "/cfdi:Comprobante/cfdi:Complemento/implocal:ImpuestosLocales/implocal:Otro", ""},
        {"second concept", "ClaveUnidad=\"E48\"", "ClaveUnidad=\"E48\" Bad=\"1\"", "XSD-ATTRIBUTE-UNKNOWN",
         "/cfdi:Comprobante/cfdi:Conceptos/cfdi:Concepto[2]", "Bad"},
        {"element in a wrong namespace", "<cfdi:Receptor ",
         "<cfdi3:Receptor xmlns:cfdi3=\"http://www.sat.gob.mx/cfd/3\" ", "XSD-ELEMENT-UNEXPECTED",
         "/cfdi:Comprobante/cfdi3:Receptor", ""},
    };
    const std::string valid = Fixture("cfdv40_valid.xml");
    for (const Case& c : cases) {
        Outcome o = Findings(Edit(valid, c.from, c.to));
        ASSERT_EQ(o.code, 0) << c.what << ": " << LastErrorText();
        auto errors = o.Errors();
        ASSERT_FALSE(errors.empty()) << c.what;
        EXPECT_STREQ(errors[0]->code, c.code) << c.what << "\n" << Describe(o.findings);
        EXPECT_EQ(errors[0]->path, c.path) << c.what;
        EXPECT_EQ(errors[0]->attribute, c.attribute) << c.what;
        EXPECT_GT(errors[0]->line, 1) << c.what;
    }
}

TEST(SchemaValidation, AttributeFindingsComeInTheReferenceValidatorsOrder) {
    // Values first (document order), then undeclared attributes and fixed values (document
    // order), then the missing ones in the order of their declaration.
    const std::string doc = Edit(Fixture("cfdv40_valid.xml"), "<cfdi:Emisor Rfc=\"AAA010101AAA\" Nombre",
                                 "<cfdi:Emisor Zeta=\"1\" Rfc=\"A\" Alfa=\"2\" Otro");
    Outcome o = Findings(doc);
    std::vector<std::string> got;
    for (const Finding* f : o.Errors()) got.push_back(std::string(f->code) + " " + f->attribute.c_str());
    const std::vector<std::string> want = {"XSD-VALUE-LENGTH Rfc", "XSD-ATTRIBUTE-UNKNOWN Zeta",
                                           "XSD-ATTRIBUTE-UNKNOWN Alfa", "XSD-ATTRIBUTE-UNKNOWN Otro",
                                           "XSD-ATTRIBUTE-MISSING Nombre"};
    EXPECT_EQ(got, want) << Describe(o.findings);
}

TEST(SchemaValidation, AfterAContentErrorTheElementsOtherChildrenAreSkipped) {
    // The unexpected Otro hides the bad attribute of the following TrasladosLocales (as in
    // the reference validator), but validation goes on after ImpuestosLocales.
    std::string doc = Edit(Fixture("cfdv40_valid.xml"), "<implocal:TrasladosLocales ",
                           "<implocal:Otro/><implocal:TrasladosLocales Mal=\"1\" ");
    doc = Edit(doc, "</cfdi:Complemento>", "</cfdi:Complemento><cfdi:Addenda><a/></cfdi:Addenda><cfdi:Extra/>");
    const Outcome o = Findings(doc);
    auto errors = o.Errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0]->path, "/cfdi:Comprobante/cfdi:Complemento/implocal:ImpuestosLocales/implocal:Otro");
    EXPECT_EQ(errors[1]->path, "/cfdi:Comprobante/cfdi:Extra");
}

TEST(SchemaValidation, AddendaContentIsNotChecked) {
    const std::string doc = Edit(Fixture("cfdv40_valid.xml"), "</cfdi:Complemento>",
                                 "</cfdi:Complemento><cfdi:Addenda><cfdi:Emisor Rfc=\"x\"> text <y:Z xmlns:y=\"u\"/>"
                                 "</cfdi:Emisor><cfdi:Extra/></cfdi:Addenda>");
    Outcome o = Findings(doc);
    EXPECT_TRUE(o.Errors().empty()) << Describe(o.findings);
}

TEST(SchemaValidation, ValuesAreLeftAloneOnRequest) {
    std::string doc = Edit(Fixture("cfdv40_valid.xml"), "Total=\"5015.00\"", "Total=\"x\"");
    doc = Edit(doc, "Moneda=\"MXN\"", "Moneda=\"ZZZ\" Extra=\"1\"");
    const Outcome o = Findings(doc, KVN_OPT_NOFACETS);
    auto errors = o.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_STREQ(errors[0]->code, "XSD-ATTRIBUTE-UNKNOWN");
}

TEST(SchemaValidation, AbsentCatalogsAreReportedOncePerCatalogAsNotChecked) {
    // c_ClaveProdServ is not in the snapshot: two concepts, one finding for both values.
    Outcome o = Findings(Fixture("cfdv40_valid.xml"));
    int notChecked = 0;
    for (const Finding& f : o.findings) {
        // The rules that read the catalog's other columns say so under their own codes.
        if (f.kind != FindingKind::kNotChecked || std::strncmp(f.code, "CFDI", 4) == 0) continue;
        EXPECT_EQ(f.severity, FindingSeverity::kWarning);
        EXPECT_STREQ(f.code, "CATALOG-ABSENT");
        if (f.attribute == "ClaveProdServ") {
            ++notChecked;
            EXPECT_EQ(f.path, "/cfdi:Comprobante/cfdi:Conceptos/cfdi:Concepto");
            EXPECT_NE(f.message.find("2 values were not checked"), String::npos) << f.message.c_str();
        }
    }
    EXPECT_EQ(notChecked, 1) << Describe(o.findings);
}

TEST(SchemaValidation, DocumentsThatCannotBeValidated) {
    ClearLastError();  // a message left by an earlier test in this process
    Outcome broken = Findings(Fixture("cfdv40_valid.xml").substr(0, 900));
    EXPECT_EQ(broken.code, -BAD_XML_ERROR);
    EXPECT_EQ(std::string(LastErrorText()).rfind("XML parsing error/Error al analizar de XML: ", 0), 0u)
        << LastErrorText();

    // Deep nesting stops the parse at the reference validator's limit, wherever it is.
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "<a>";
    Outcome nested = Findings(Edit(Fixture("cfdv40_valid.xml"), "</cfdi:Complemento>",
                                   "</cfdi:Complemento><cfdi:Addenda>" + deep));
    EXPECT_EQ(nested.code, -BAD_XML_ERROR);
    EXPECT_NE(std::string(LastErrorText()).find("nested deeper than 256"), std::string::npos) << LastErrorText();

    ClearLastError();
    Outcome v32 = Findings(Fixture("cfdv32_prefixed.xml"));
    EXPECT_EQ(v32.code, -NOT_SUPPORTED_ERROR);
    EXPECT_EQ(std::string(LastErrorText())
                  .rfind("Findings are given for CFDI 3.3 and 4.0 and Retenciones 1.0 and 2.0; version '3.2'", 0),
              0u);

    ClearLastError();
    FindingList none;
    EXPECT_EQ(ResultOf(ValidateFindings("/nonexistent/f.xml", nullptr, 0, none)), -OPEN_ERROR);
    EXPECT_EQ(ResultOf(ValidateFindings(nullptr, nullptr, 0, none)), -BAD_PARAM_ERROR);
    const std::string valid = WriteTempDoc("valid.xml", Fixture("cfdv40_valid.xml"));
    EXPECT_EQ(ResultOf(ValidateFindings(valid.c_str(), "/nonexistent/catalogs", 0, none)), -OPEN_ERROR);
}

// KVN_ValidateXml's answer for these versions: the first error, its message and its class.
TEST(SchemaValidation, TheFirstErrorIsTheDocumentsResult) {
    struct Case {
        const char* from;
        const char* to;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"Total=\"5015.00\"", "Total=\"5015.00\"", 0, ""},
        {" Sello=\"QUJD\"", "", -BAD_XML_ERROR,
         "XML validation error/Error al validar XML: [/cfdi:Comprobante/@Sello] Attribute 'Sello' is required in "
         "'Comprobante'/El atributo es requerido (Line/numero de linea: 2)"},
        {"Moneda=\"MXN\"", "Moneda=\"ZZZ\"", -XML_FACET_ERROR,
         "XML validation error/Error al validar XML: [/cfdi:Comprobante/@Moneda] 'ZZZ' is not a value of catalog "
         "c_Moneda at the document's date/El valor no existe en el catalogo a la fecha del comprobante "
         "(Line/numero de linea: 2)"},
    };
    for (const Case& c : cases) {
        const std::string path = WriteTempDoc("first.xml", Edit(Fixture("cfdv40_valid.xml"), c.from, c.to));
        ClearLastError();
        EXPECT_EQ(ResultOf(ValidateDocument(path.c_str(), 0)), c.code);
        EXPECT_STREQ(LastErrorText(), c.message);
    }
}

// A listener sees every validated element, may report at the current element, and is told
// of the end of the document once.
class Recorder final : public ValidationListener {
public:
    void OnStartElement(ValidationContext& context, const ValidationElement& element) override {
        events.push_back(std::string("+") + element.local);
        if (std::string(element.local) == "Concepto") {
            for (std::size_t i = 0; i < element.attributeCount; ++i)
                if (std::string(element.attributes[i].qname) == "Importe")
                    context.Report(FindingKind::kRule, FindingSeverity::kError, "RULE-1", "Importe",
                                   element.attributes[i].value, "a rule/una regla");
        }
        date = context.DocumentDate();
    }
    void OnEndElement(ValidationContext&, const ValidationElement& element) override {
        events.push_back(std::string("-") + element.local);
    }
    void OnEndDocument(ValidationContext&) override { ++ends; }

    std::vector<std::string> events;
    std::int32_t date = 0;
    int ends = 0;
};

TEST(SchemaValidation, ListenersHookIntoThePass) {
    const std::string path = WriteTempDoc("hooks.xml", Fixture("cfdv40_valid.xml"));
    std::shared_ptr<const Catalogs> catalogs;
    ASSERT_EQ(OpenCatalogs(nullptr, &catalogs), kOk);
    FilePtr file = OpenDocument(path.c_str());
    Recorder recorder;
    FindingList findings;
    ASSERT_EQ(RunSchemaPass(file.get(), *SchemaSetFor(40), *catalogs, SchemaPassOptions(), &recorder, findings), kOk);
    EXPECT_EQ(recorder.ends, 1);
    EXPECT_EQ(recorder.date, 20240520);
    ASSERT_GE(recorder.events.size(), 4u);
    EXPECT_EQ(recorder.events.front(), "+Comprobante");
    EXPECT_EQ(recorder.events.back(), "-Comprobante");
    std::vector<std::string> rules;
    for (const Finding& f : findings)
        if (f.kind == FindingKind::kRule) rules.push_back(std::string(f.path.c_str()) + " " + f.value.c_str());
    EXPECT_EQ(rules, (std::vector<std::string>{"/cfdi:Comprobante/cfdi:Conceptos/cfdi:Concepto 1750.00",
                                               "/cfdi:Comprobante/cfdi:Conceptos/cfdi:Concepto[2] 2500.00"}));
}

TEST(SchemaValidation, AllocationFailuresPassThrough) {
    const std::string path = WriteTempDoc("alloc.xml", Edit(Fixture("cfdv40_valid.xml"), " Sello=\"QUJD\"", ""));
    auto body = [&] {
        FindingList findings;
        const Error rc = ValidateFindings(path.c_str(), nullptr, 0, findings);
        return Failed(rc) ? ResultOf(rc) : static_cast<int>(findings.size());
    };
    const int normal = body();
    EXPECT_GE(normal, 1);
    EXPECT_GT(kvn_test::FaultSim(body, kvn_test::ThrowsOrGives(normal)), 0);
}

// Inputs that once failed the fuzz target, and the fixtures and corpus invoices, through it:
// no crash, no leak, its properties hold.
TEST(SchemaValidation, FuzzTargetInputs) {
    std::vector<std::filesystem::path> inputs;
    for (const char* dir : {KVN_SOURCE_DIR "/fuzz/regressions/schema_validate", KVN_FIXTURES_DIR "/validation",
                            KVN_CORPUS_DIR "/cfdi40", KVN_CORPUS_DIR "/cfdi33"}) {
        if (!std::filesystem::exists(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) inputs.push_back(entry.path());
    }
    ASSERT_GT(inputs.size(), 60u);
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(path.string());
        const long live = LiveBlocks();
        kvn_fuzz::FuzzSchemaValidation(data.data(), data.size());
        EXPECT_EQ(LiveBlocks(), live);
    }
}

// ---- values ----------------------------------------------------------------------------

const XsdSimpleType& TypeNamed(const char* name) {
    for (std::uint32_t i = 0; i < kXsdTypeTables.simpleTypeCount; ++i)
        if (std::string(kXsdTypeTables.simpleTypes[i].name) == name) return kXsdTypeTables.simpleTypes[i];
    ADD_FAILURE() << "no type " << name;
    return kXsdTypeTables.simpleTypes[0];
}

// A built-in type without facets of its own (the integer types carry their bounds).
XsdSimpleType BuiltIn(XsdPrimitive primitive, const char* min = nullptr, const char* max = nullptr) {
    XsdSimpleType t{};
    t.name = "";
    t.primitive = primitive;
    t.whiteSpace = XsdWhiteSpace::kCollapse;
    t.length = t.minLength = t.maxLength = t.totalDigits = t.fractionDigits = -1;
    t.minInclusive = min;
    t.maxInclusive = max;
    return t;
}

TEST(XsdValues, TypesAndFacets) {
    struct Case {
        XsdSimpleType type;
        const char* value;
        XsdFault fault;
    };
    const XsdSimpleType integer = BuiltIn(XsdPrimitive::kInteger, "-2147483648", "2147483647");
    const XsdSimpleType decimal = BuiltIn(XsdPrimitive::kDecimal), date = BuiltIn(XsdPrimitive::kDate);
    const XsdSimpleType dateTime = BuiltIn(XsdPrimitive::kDateTime), nmtoken = BuiltIn(XsdPrimitive::kNmtoken);
    const Case cases[] = {
        {TypeNamed("t_RFC"), "AAA010101AAA", XsdFault::kNone},
        {TypeNamed("t_RFC"), "ÑAAA010101AA1", XsdFault::kNone},  // Ñ is one character
        {TypeNamed("t_RFC"), "AAA010101AA", XsdFault::kLength},
        {TypeNamed("t_RFC"), "AAA011301AAA", XsdFault::kPattern},
        {TypeNamed("t_Importe"), "0.000001", XsdFault::kNone},
        {TypeNamed("t_Importe"), "1.0000001", XsdFault::kPattern},
        {TypeNamed("t_Importe"), "-1", XsdFault::kPattern},
        {TypeNamed("t_Importe"), "1e3", XsdFault::kLexical},
        {TypeNamed("t_ImporteMXN"), "12.5", XsdFault::kNone},
        {TypeNamed("t_ImporteMXN"), "12.555", XsdFault::kPattern},
        {TypeNamed("t_Fecha"), "2024-02-29", XsdFault::kNone},
        {TypeNamed("t_Fecha"), "2023-02-29", XsdFault::kLexical},
        {TypeNamed("t_Fecha"), "1899-01-01", XsdFault::kPattern},
        {TypeNamed("t_CURP"), "AAAA800101HDFXXX01", XsdFault::kNone},
        {TypeNamed("t_CURP"), "AAAA800101HZZXXX01", XsdFault::kPattern},
        {TypeNamed("t_CuentaBancaria"), "0123456789", XsdFault::kNone},
        {TypeNamed("t_CuentaBancaria"), "12345", XsdFault::kPattern},
        {integer, "2147483648", XsdFault::kRange},
        {integer, "-2147483648", XsdFault::kNone},
        {integer, "+0032767", XsdFault::kNone},
        {integer, "1.0", XsdFault::kLexical},
        {decimal, ".5", XsdFault::kNone},
        {decimal, ".", XsdFault::kLexical},
        {date, "0000-01-01", XsdFault::kLexical},
        {date, "-2024-01-01Z", XsdFault::kNone},
        {dateTime, "2024-01-01T24:00:00", XsdFault::kNone},
        {dateTime, "2024-01-01T24:00:01", XsdFault::kLexical},
        {dateTime, "2024-01-01T10:00:00+14:00", XsdFault::kNone},
        {dateTime, "2024-01-01T10:00:00+14:01", XsdFault::kLexical},
        {dateTime, "02024-01-01T10:00:00", XsdFault::kLexical},
        {nmtoken, "a.b-c:d", XsdFault::kNone},
        {nmtoken, "a b", XsdFault::kLexical},
    };
    for (const Case& c : cases) {
        String message;
        EXPECT_EQ(XsdCheckValue(c.type, c.value, message), c.fault) << c.value;
        EXPECT_EQ(message.empty(), c.fault == XsdFault::kNone) << message.c_str();
    }
}

TEST(XsdValues, Base64AsTheReferenceValidatorReadsIt) {
    XsdSimpleType base64 = BuiltIn(XsdPrimitive::kBase64Binary);
    base64.maxLength = 3;
    for (const char* good : {"QUJD", "QU JD", "AQ==", "QUI=", ""}) {
        String m;
        EXPECT_EQ(XsdCheckValue(base64, good, m), XsdFault::kNone) << good;
    }
    for (const char* bad : {"AB==", "QUJ=", "QUJ", "Q=JD", "QUJD!"}) {
        String m;
        EXPECT_EQ(XsdCheckValue(base64, bad, m), XsdFault::kLexical) << bad;
    }
    String m;
    EXPECT_EQ(XsdCheckValue(base64, "QUJDRA==", m), XsdFault::kLength);  // four octets
}

TEST(XsdValues, DecimalsCompareByValue) {
    auto parse = [](const char* text) {
        XsdDecimal d;
        EXPECT_TRUE(XsdParseDecimal(text, false, d)) << text;
        return d;
    };
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    const Case cases[] = {{"1.50", "1.5", 0},   {"-0.0", "+0", 0},   {"0010", "9.999", 1},
                          {"-2", "-10", 1},     {"0.001", "0.01", -1}, {"123456789012345678901", "1", 1}};
    for (const Case& c : cases) EXPECT_EQ(XsdCompareDecimals(parse(c.a), parse(c.b)), c.order) << c.a << " " << c.b;
    String canonical;
    XsdCanonicalDecimal(parse("-000.2500"), canonical);
    EXPECT_EQ(canonical, "-0.25");
    XsdDecimal d;
    EXPECT_FALSE(XsdParseDecimal("1.5", true, d));
}

TEST(XsdValues, MomentsWithAndWithoutZones) {
    auto parse = [](const char* text) {
        XsdMoment m;
        EXPECT_TRUE(XsdParseMoment(text, true, m)) << text;
        return m;
    };
    EXPECT_EQ(XsdCompareMoments(parse("2024-01-01T00:00:00Z"), parse("2023-12-31T18:00:00-06:00")), 0);
    EXPECT_EQ(XsdCompareMoments(parse("2024-01-01T24:00:00"), parse("2024-01-02T00:00:00")), 0);
    EXPECT_EQ(XsdCompareMoments(parse("2024-01-01T00:00:00.5"), parse("2024-01-01T00:00:00.50")), 0);
    // Against a moment without a zone, within 14 hours the order cannot be told.
    EXPECT_EQ(XsdCompareMoments(parse("2024-01-01T00:00:00Z"), parse("2024-01-01T00:00:00")), 2);
    EXPECT_EQ(XsdCompareMoments(parse("2024-01-02T00:00:00Z"), parse("2024-01-01T00:00:00")), 1);
    EXPECT_EQ(XsdCompareMoments(parse("2024-01-01T00:00:00"), parse("2024-01-02T00:00:00Z")), -1);
}

TEST(XsdValues, WhiteSpaceRules) {
    String out;
    XsdApplyWhiteSpace(XsdWhiteSpace::kCollapse, "\t a \n\r b  ", out);
    EXPECT_EQ(out, "a b");
    XsdApplyWhiteSpace(XsdWhiteSpace::kReplace, "\ta\n", out);
    EXPECT_EQ(out, " a ");
    XsdApplyWhiteSpace(XsdWhiteSpace::kPreserve, "\ta\n", out);
    EXPECT_EQ(out, "\ta\n");
}

TEST(Findings, TextFormKeepsEveryFieldOnItsLine) {
    FindingList list;
    Finding& f = list.emplace_back();
    f.kind = FindingKind::kCatalog;
    f.code = "CATALOG-VALUE";
    f.line = 7;
    f.path = "/a/b[2]";
    f.attribute = "X";
    f.value = "uno\tdos\nc:\\";
    f.message = "m/s";
    String text;
    WriteFindings(list, text);
    EXPECT_EQ(text, "catalog\tCATALOG-VALUE\terror\t7\t/a/b[2]\tX\tuno\\tdos\\nc:\\\\\tm/s\n");
}

}  // namespace
}  // namespace kvn
