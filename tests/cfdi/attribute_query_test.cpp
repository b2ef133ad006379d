#include <gtest/gtest.h>

#include <string>

#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/document.h"
#include "cfdi/signature_attribute.h"
#include "doc_files.h"
#include "kelvane.h"
#include "reader_results.h"

namespace kvn {
namespace {

using testing::FixturePath;
using testing::QueryInto;
using testing::VersionOf;
using testing::WriteTempDoc;

int Query(const std::string& path, const char* attribute, const char* element, std::string* value = nullptr,
          int outlen = 255) {
    FilePtr f = OpenDocument(path.c_str());
    EXPECT_TRUE(f) << path;
    if (!f) return -OPEN_ERROR;
    char buf[256] = "x";
    int rc = QueryInto(value ? buf : nullptr, value ? outlen : 0, f.get(), attribute, element);
    if (value) *value = buf;
    return rc;
}

const char* kConcepts = R"(<?xml version="1.0"?>
<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.2">
 <cfdi:Conceptos>
  <cfdi:Concepto importe="1.00" noIdentificacion="A"/>
  <cfdi:Concepto importe="2.00"/>
  <cfdi:Concepto importe="3.00" noIdentificacion="C"/>
  <x:Concepto xmlns:x="urn:other" importe="9.99"/>
 </cfdi:Conceptos>
</cfdi:Comprobante>
)";

TEST(AttributeQuery, OccurrencesPrefixesAndFallThrough) {
    std::string doc = WriteTempDoc("concepts.xml", kConcepts);
    struct Case {
        const char* attribute;
        const char* element;
        const char* value;  // null: NO_MATCH_ERROR
    } cases[] = {
        {"importe", "cfdi:Concepto[2]", "2.00"},
        {"importe", "Concepto[2]", "2.00"},
        {"importe", "cfdi:Concepto", "1.00"},
        {"noIdentificacion", "cfdi:Concepto[2]", "C"},  // the 2nd lacks it: the next one answers
        {"importe", "cfdi:Concepto[4]", nullptr},       // x:Concepto is in another namespace
        {"importe", "Concepto[4]", "9.99"},             // no prefix: any namespace
        {"importe", "zz:Concepto[4]", "9.99"},          // unknown prefix: local name only
        {"importe", "cfdi:Concepto[0]", nullptr},
        {"importe", "cfdi:Concepto[5]", nullptr},
        {"xmlns:cfdi", "cfdi:Comprobante", "http://www.sat.gob.mx/cfd/3"},
        {"version", "Comprobante", "3.2"},
        {"Version", "Comprobante", nullptr},
    };
    for (const Case& c : cases) {
        std::string value;
        int rc = Query(doc, c.attribute, c.element, &value);
        if (c.value) {
            EXPECT_EQ(rc, static_cast<int>(std::string(c.value).size())) << c.element << " " << c.attribute;
            EXPECT_EQ(value, c.value) << c.element << " " << c.attribute;
        } else {
            EXPECT_EQ(rc, -NO_MATCH_ERROR) << c.element << " " << c.attribute;
            EXPECT_EQ(value, "");
        }
    }
}

TEST(AttributeQuery, CutValueReportsFullLength) {
    std::string value;
    EXPECT_EQ(Query(FixturePath("cfdi32.xml"), "LugarExpedicion", "cfdi:Comprobante", &value, 6), 12);
    EXPECT_EQ(value, "Mexico");
    EXPECT_EQ(Query(FixturePath("cfdi32.xml"), "LugarExpedicion", "cfdi:Comprobante"), 12);
}

TEST(AttributeQuery, ErrorsBeforeAndAfterTheAnswer) {
    std::string after = WriteTempDoc("bad_after.xml", "<Comprobante version=\"3.2\"><a></b></Comprobante>");
    std::string value;
    EXPECT_EQ(Query(after, "version", "Comprobante", &value), 3);
    EXPECT_EQ(value, "3.2");
    std::string before = WriteTempDoc("bad_before.xml", "<root><a></b><Comprobante version=\"3.2\"/></root>");
    ClearLastError();
    EXPECT_EQ(Query(before, "version", "Comprobante", &value), -BAD_XML_ERROR);
    EXPECT_EQ(std::string(LastErrorText()).rfind("XML parsing error/Error al analizar de XML: ", 0), 0u)
        << LastErrorText();
    EXPECT_NE(std::string(LastErrorText()).find("(Line/numero de linea: 1)"), std::string::npos) << LastErrorText();
}

TEST(VersionDetection, NumbersAndRefusals) {
    struct Case {
        const char* version;  // null: no version attribute
        int number;
        const char* message;
    } cases[] = {
        {"2.0", 20, ""},
        {"2.2", 22, ""},
        {"3.0", 30, ""},
        {"3.2", 32, ""},
        {"3.1", 31, ""},
        {" 3.2abc", 32, ""},
        {"4.0", -NOT_SUPPORTED_ERROR, "CFD version '4.0' not supported/CFD version no es compatible"},
        {"abc", -NOT_SUPPORTED_ERROR, "CFD version 'abc' not supported/CFD version no es compatible"},
        {nullptr, -NO_MATCH_ERROR, "Cannot find the 'version' attribute/No se puede encontrar la 'version' atributo"},
    };
    for (const Case& c : cases) {
        std::string attr = c.version ? std::string(" version=\"") + c.version + "\"" : "";
        std::string doc = WriteTempDoc("version.xml", "<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/3\"" +
                                                          attr + "/>");
        ClearLastError();
        EXPECT_EQ(VersionOf(doc.c_str()), c.number) << (c.version ? c.version : "none");
        EXPECT_STREQ(LastErrorText(), c.message);
    }
    ClearLastError();
    EXPECT_EQ(VersionOf("/nonexistent/doc.xml"), -OPEN_ERROR);
    EXPECT_STREQ(LastErrorText(), "Cannot open file '/nonexistent/doc.xml'/No se puede abrir el archivo");
}

TEST(VersionDetection, ReadsNumbersWhateverTheLocale) {
    EXPECT_EQ(ReadLeadingNumber("3.2"), 3.2);
    EXPECT_EQ(ReadLeadingNumber("  +2.2e0x"), 2.2);
    EXPECT_EQ(ReadLeadingNumber("-1"), -1.0);
    EXPECT_EQ(ReadLeadingNumber("x3"), 0.0);
    EXPECT_EQ(ReadLeadingNumber(""), 0.0);
}

TEST(SignatureAttributes, JoinedSealAndStampSeal) {
    std::string doc = WriteTempDoc("sealed.xml", R"(<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.2"
  sello="QUJD&#10;REVG&#9;R0g= " certificado="">
  <cfdi:Complemento><tfd:TimbreFiscalDigital xmlns:tfd="http://www.sat.gob.mx/TimbreFiscalDigital" selloSAT="U0FU S0VZ"/></cfdi:Complemento>
</cfdi:Comprobante>)");
    String value;
    ASSERT_TRUE(ReadSealField(doc.c_str(), SealField::kSeal, value));
    EXPECT_EQ(std::string(value.c_str()), "QUJDREVGR0g=");
    EXPECT_FALSE(ReadSealField(doc.c_str(), SealField::kCertificate, value));  // empty counts as none
    EXPECT_FALSE(ReadSealField(doc.c_str(), SealField::kCertificateNumber, value));
    ASSERT_TRUE(ReadStampSignature(doc.c_str(), value));
    EXPECT_EQ(std::string(value.c_str()), "U0FU S0VZ");  // the stamp's seal is taken as written

    std::string v2 = WriteTempDoc("sealed20.xml", R"(<Comprobante version="2.0" sello="AB CD"/>)");
    ASSERT_TRUE(ReadSealField(v2.c_str(), SealField::kSeal, value));
    EXPECT_EQ(std::string(value.c_str()), "ABCD");
    EXPECT_FALSE(ReadStampSignature(v2.c_str(), value));

    ClearLastError();
    EXPECT_FALSE(ReadSealField("/nonexistent/x.xml", SealField::kSeal, value));
    EXPECT_NE(std::string(LastErrorText()).find("Cannot open file '/nonexistent/x.xml'"), std::string::npos);
}

}  // namespace
}  // namespace kvn
