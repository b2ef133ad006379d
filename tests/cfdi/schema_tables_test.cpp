// The schema tables are data; these checks pin the facts a wrong row would break.
#include <gtest/gtest.h>

#include <cstring>

#include "cfdi/schema_tables.h"

namespace kvn {
namespace {

TEST(SchemaTables, SizesAndEnds) {
    EXPECT_EQ(SchemaTableSize(SchemaTableForVersion(20)), 57u);
    EXPECT_EQ(SchemaTableSize(SchemaTableForVersion(22)), 80u);
    EXPECT_EQ(SchemaTableSize(SchemaTableForVersion(30)), 57u);
    EXPECT_EQ(SchemaTableSize(SchemaTableForVersion(32)), 80u);
    EXPECT_EQ(SchemaTableSize(StampSchemaTable()), 3u);
    for (int v : {0, 21, 31, 33, 40, -19}) EXPECT_EQ(SchemaTableForVersion(v), nullptr) << v;
    EXPECT_STREQ(SchemaTableForVersion(20)[56].name, "Addenda");
    EXPECT_STREQ(SchemaTableForVersion(22)[79].name, "Addenda");
    EXPECT_STREQ(SchemaTableForVersion(30)[56].name, "cfdi:Addenda");
    EXPECT_STREQ(SchemaTableForVersion(32)[79].name, "cfdi:Addenda");
}

// The pipe-string attributes of the root, in order, per version.
TEST(SchemaTables, RootPipeOrder) {
    struct Case {
        int version;
        const char* names;
    } cases[] = {
        {20, "version serie folio fecha noAprobacion anoAprobacion tipoDeComprobante formaDePago condicionesDePago "
             "subTotal descuento total"},
        {22, "version serie folio fecha noAprobacion anoAprobacion tipoDeComprobante formaDePago condicionesDePago "
             "subTotal descuento total metodoDePago LugarExpedicion NumCtaPago TipoCambio Moneda FolioFiscalOrig "
             "SerieFolioFiscalOrig FechaFolioFiscalOrig MontoFolioFiscalOrig"},
        {30, "version fecha tipoDeComprobante formaDePago condicionesDePago subTotal descuento TipoCambio Moneda total"},
        {32, "version fecha tipoDeComprobante formaDePago condicionesDePago subTotal descuento TipoCambio Moneda total "
             "metodoDePago LugarExpedicion NumCtaPago FolioFiscalOrig SerieFolioFiscalOrig FechaFolioFiscalOrig "
             "MontoFolioFiscalOrig"},
    };
    for (const Case& c : cases) {
        std::string got;
        for (const AttributeRow* r = SchemaTableForVersion(c.version)[0].attributes; r->name; ++r) {
            if (!r->inPipeString) continue;
            if (!got.empty()) got += ' ';
            got += r->name;
        }
        EXPECT_EQ(got, c.names) << c.version;
        for (const char* never : {"sello", "noCertificado", "certificado"}) {
            const AttributeRow* row = FindAttributeRow(SchemaTableForVersion(c.version)[0], never);
            ASSERT_NE(row, nullptr);
            EXPECT_FALSE(row->inPipeString) << never;
        }
    }
    const AttributeRow* selloSat = FindAttributeRow(StampSchemaTable()[2], "selloSAT");
    ASSERT_NE(selloSat, nullptr);
    EXPECT_FALSE(selloSat->inPipeString);
    EXPECT_TRUE(selloSat->mandatory);
}

TEST(SchemaTables, RestrictionsAndLatin1) {
    const ElementEntry* t32 = SchemaTableForVersion(32);
    const AttributeRow* level = FindAttributeRow(t32[21], "nivelEducativo");
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(level->restriction.check, kEnumeration);
    EXPECT_NE(std::strstr(level->restriction.checkArgument, "Profesional t\xE9" "cnico|"), nullptr);
    const AttributeRow* via = FindAttributeRow(t32[54], "Via");
    ASSERT_NE(via, nullptr);
    EXPECT_STREQ(via->restriction.checkArgument, "A\xE9" "rea|Mar\xEDtima|Terrestre");
    const AttributeRow* curp = FindAttributeRow(t32[55], "CURP");
    ASSERT_NE(curp, nullptr);
    EXPECT_EQ(curp->restriction.minLength, 18);
    EXPECT_EQ(curp->restriction.maxLength, 18);
    EXPECT_EQ(curp->restriction.check, kCurpPattern);
    const AttributeRow* banco = FindAttributeRow(t32[55], "Banco");
    ASSERT_NE(banco, nullptr);
    EXPECT_EQ(banco->restriction.typeCode, kInteger);
    EXPECT_EQ(banco->restriction.check, kMinimumValue);
    EXPECT_STREQ(banco->restriction.checkArgument, "1");
}

TEST(SchemaTables, ParentsMovesAndText) {
    const ElementEntry* t32 = SchemaTableForVersion(32);
    EXPECT_STREQ(t32[70].name, "detallista:gln");
    EXPECT_STREQ(t32[70].parent, "detallista:buyer");
    EXPECT_STREQ(t32[72].name, "detallista:gln");
    EXPECT_STREQ(t32[72].parent, "detallista:seller");
    EXPECT_TRUE(t32[72].hasText);
    EXPECT_EQ(t32[72].textRestriction.minLength, 13);
    EXPECT_STREQ(t32[29].moveToEnd[0], "totalImpuestosRetenidos");
    EXPECT_EQ(t32[29].moveToEnd[1], nullptr);
    EXPECT_STREQ(t32[31].moveToEnd[0], "totalImpuestosTrasladados");
    EXPECT_STREQ(t32[19].parent, "terceros:Retenciones");
    EXPECT_STREQ(EntryLocalName(t32[19]), "Retencion");
    EXPECT_STREQ(EntryLocalName(SchemaTableForVersion(20)[0]), "Comprobante");
    for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(StampSchemaTable()[i].repeatable);
}

}  // namespace
}  // namespace kvn
