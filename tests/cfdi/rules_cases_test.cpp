// The validation rules, case by case: each row breaks one rule of a valid base document by
// one edit and names the finding it must give. The bases themselves give no rule error.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "cfdi/rule_table.h"
#include "cfdi/rules.h"
#include "rule_cases.h"

namespace kvn {
namespace {

using rule_cases::Case;
using rule_cases::Op;

constexpr const char* kIngreso = "cfdi40/ingreso.xml";
constexpr const char* kGlobal = "cfdi40/global.xml";
constexpr const char* kCatalogs = "catalogs";  // the large catalogs, a few rows each

constexpr const char* kRoot = "/cfdi:Comprobante";
constexpr const char* kEmisor = "/cfdi:Comprobante/cfdi:Emisor";
constexpr const char* kReceptor = "/cfdi:Comprobante/cfdi:Receptor";
constexpr const char* kConcepto1 = "//cfdi:Concepto[1]";
constexpr const char* kConcepto2 = "//cfdi:Concepto[2]";
constexpr const char* kConcepto3 = "//cfdi:Concepto[3]";
constexpr const char* kTraslado1 = "//cfdi:Concepto[1]/cfdi:Impuestos/cfdi:Traslados/cfdi:Traslado";
constexpr const char* kRetencion1 = "//cfdi:Concepto[1]/cfdi:Impuestos/cfdi:Retenciones/cfdi:Retencion";
constexpr const char* kImpuestos = "/cfdi:Comprobante/cfdi:Impuestos";
constexpr const char* kSumTraslado = "/cfdi:Comprobante/cfdi:Impuestos/cfdi:Traslados/cfdi:Traslado";
constexpr const char* kSumRetencion = "/cfdi:Comprobante/cfdi:Impuestos/cfdi:Retenciones/cfdi:Retencion";
constexpr const char* kAduana = "//cfdi:Concepto[3]/cfdi:InformacionAduanera";
constexpr const char* kInfoGlobal = "/cfdi:Comprobante/cfdi:InformacionGlobal";

constexpr const char* kTerceros =
    "<cfdi:ACuentaTerceros RfcACuentaTerceros=\"EXT990101NI1\" NombreACuentaTerceros=\"OTRO NOMBRE\" "
    "RegimenFiscalACuentaTerceros=\"616\" DomicilioFiscalACuentaTerceros=\"44100\"/>";
constexpr const char* kParte =
    "<cfdi:Parte ClaveProdServ=\"01010101\" Cantidad=\"3\" Descripcion=\"P\" ValorUnitario=\"10.00\" Importe=\"40.00\"/>";
constexpr const char* kComplementoCce =
    "<cfdi:Complemento><cce20:ComercioExterior xmlns:cce20=\"http://www.sat.gob.mx/ComercioExterior20\"/>"
    "</cfdi:Complemento>";

const Case kCases[] = {
    // The root.
    {kIngreso, {Op::kSet, kRoot, "Fecha", "2009-05-20T11:42:08"}, "CFDI40101"},
    {kIngreso, {Op::kSet, kRoot, "TipoDeComprobante", "N"}, "CFDI40103"},
    {kIngreso, {Op::kSet, kRoot, "FormaPago", "77"}, "CFDI40104"},
    {kIngreso, {Op::kSet, kRoot, "MetodoPago", "PPD"}, "CFDI40105"},
    {kIngreso, {Op::kSet, kRoot, "Certificado", "MIIBnotacertificate"}, "CFDI40106"},
    {kIngreso, {Op::kSet, kRoot, "SubTotal", "1350.001"}, "CFDI40107"},
    {kIngreso, {Op::kSet, kRoot, "SubTotal", "1350.01"}, "CFDI40108"},
    {kIngreso, {Op::kSet, kRoot, "TipoDeComprobante", "T"}, "CFDI40109"},
    {kIngreso, {Op::kSet, kRoot, "Descuento", "1400.00"}, "CFDI40110"},
    {kIngreso, {Op::kRemove, kRoot, "Descuento"}, "CFDI40111"},
    {kIngreso, {Op::kSet, kRoot, "Descuento", "100.01"}, "CFDI40111"},
    {kIngreso, {Op::kRemove, kConcepto1, "Descuento"}, "CFDI40111"},
    {kIngreso, {Op::kSet, kRoot, "Descuento", "100.000"}, "CFDI40112"},
    {kIngreso, {Op::kSet, kRoot, "Moneda", "ZZZ"}, "CFDI40113"},
    {kIngreso, {Op::kSet, kRoot, "TipoCambio", "1.5"}, "CFDI40114"},
    {kIngreso, {Op::kSet, kRoot, "Moneda", "USD"}, "CFDI40115"},
    {kIngreso, {Op::kSet, kRoot, "TipoCambio", "1.0000001"}, "CFDI40117"},
    {kIngreso, {Op::kSet, kRoot, "Total", "1352.01"}, "CFDI40119"},
    {kIngreso, {Op::kSet, kRoot, "TipoDeComprobante", "Z"}, "CFDI40121"},
    {kIngreso, {Op::kSet, kRoot, "Exportacion", "02"}, "CFDI40122"},
    {kIngreso, {Op::kSet, kRoot, "Exportacion", "09"}, "CFDI40123"},
    {kIngreso, {Op::kSet, kRoot, "MetodoPago", "XYZ"}, "CFDI40124"},
    {kIngreso, {Op::kSet, kRoot, "TipoDeComprobante", "P"}, "CFDI40125"},
    {kIngreso, {Op::kSet, kRoot, "LugarExpedicion", "00001"}, "CFDI40126", FindingSeverity::kError, kCatalogs},
    {kIngreso, {Op::kAppend, kRoot, nullptr, kComplementoCce}, "CFDI40222"},
    // InformacionGlobal and the parties.
    {kGlobal, {Op::kDrop, kInfoGlobal, nullptr, nullptr}, "CFDI40130"},
    {kGlobal, {Op::kSet, kInfoGlobal, "Periodicidad", "09"}, "CFDI40131"},
    {kGlobal, {Op::kSet, kInfoGlobal, "Periodicidad", "05"}, "CFDI40132"},
    {kGlobal, {Op::kSet, kInfoGlobal, "Meses", "19"}, "CFDI40133"},
    {kGlobal, {Op::kSet, kInfoGlobal, "Meses", "13"}, "CFDI40134"},
    {kGlobal, {Op::kSet, kInfoGlobal, "A\303\261o", "2018"}, "CFDI40136"},
    {kGlobal, {Op::kSet, kInfoGlobal, "A\303\261o", "2025"}, "CFDI40136"},
    {kIngreso, {Op::kBefore, kEmisor, nullptr, "<cfdi:CfdiRelacionados TipoRelacion=\"99\"/>"}, "CFDI40137"},
    {kIngreso, {Op::kSet, kEmisor, "RegimenFiscal", "999"}, "CFDI40140"},
    {kIngreso, {Op::kSet, kEmisor, "RegimenFiscal", "612"}, "CFDI40141"},
    {kIngreso, {Op::kSet, kReceptor, "Nombre", "PUBLICO EN GENERAL"}, "CFDI40146"},
    {kGlobal, {Op::kSet, kReceptor, "DomicilioFiscalReceptor", "76028"}, "CFDI40149"},
    {kIngreso, {Op::kSet, kReceptor, "ResidenciaFiscal", "QQQ"}, "CFDI40150"},
    {kIngreso, {Op::kSet, kReceptor, "ResidenciaFiscal", "USA"}, "CFDI40151"},
    {kIngreso, {Op::kSet, kReceptor, "ResidenciaFiscal", "MEX"}, "CFDI40152"},
    {kIngreso, {Op::kSet, kReceptor, "NumRegIdTrib", "123456789"}, "CFDI40153"},
    {kIngreso, {Op::kSet, kReceptor, "NumRegIdTrib", "123456789"}, "CFDI40154"},
    {kIngreso, {Op::kSet, kReceptor, "RegimenFiscalReceptor", "999"}, "CFDI40157"},
    {kIngreso, {Op::kSet, kReceptor, "RegimenFiscalReceptor", "601"}, "CFDI40158"},
    {kGlobal, {Op::kSet, kReceptor, "RegimenFiscalReceptor", "612"}, "CFDI40159"},
    {kIngreso, {Op::kSet, kReceptor, "UsoCFDI", "Z99"}, "CFDI40160"},
    {kIngreso, {Op::kSet, kReceptor, "UsoCFDI", "CN01"}, "CFDI40161"},
    {kGlobal, {Op::kSet, kReceptor, "UsoCFDI", "G03"}, "CFDI40161"},
    // The concepts.
    {kIngreso, {Op::kSet, kConcepto2, "ClaveProdServ", "99999999"}, "CFDI40162", FindingSeverity::kError, kCatalogs},
    {kIngreso, {Op::kSet, kConcepto3, "ClaveProdServ", "25101500"}, "CFDI40163", FindingSeverity::kError, kCatalogs},
    {kIngreso, {Op::kSet, kConcepto3, "ClaveProdServ", "50202200"}, "CFDI40164", FindingSeverity::kError, kCatalogs},
    {kIngreso, {Op::kSet, kConcepto3, "ClaveProdServ", "50202200"}, "CFDI40164", FindingSeverity::kWarning},
    {kIngreso, {Op::kSet, kConcepto2, "ClaveUnidad", "ZZZ"}, "CFDI40165"},
    {kIngreso, {Op::kSet, kConcepto3, "ValorUnitario", "0.00"}, "CFDI40166"},
    {kIngreso, {Op::kSet, kConcepto2, "Importe", "310.02"}, "CFDI40167"},
    {kIngreso, {Op::kSet, kConcepto2, "Importe", "289.98"}, "CFDI40167"},
    {kIngreso, {Op::kSet, kConcepto1, "Descuento", "100.000"}, "CFDI40168"},
    {kIngreso, {Op::kSet, kConcepto3, "Descuento", "50.01"}, "CFDI40169"},
    {kIngreso, {Op::kSet, kConcepto3, "ObjetoImp", "99"}, "CFDI40170"},
    {kIngreso, {Op::kSet, kConcepto3, "ObjetoImp", "02"}, "CFDI40171"},
    {kIngreso, {Op::kSet, kConcepto2, "ObjetoImp", "01"}, "CFDI40172"},
    {kIngreso, {Op::kSet, kConcepto2, "ObjetoImp", "06"}, "CFDI140226"},
    {kIngreso, {Op::kSet, kConcepto2, "ObjetoImp", "07"}, "CFDI140227"},
    {kIngreso, {Op::kBefore, kAduana, nullptr, "<cfdi:Impuestos/>"}, "CFDI40173"},
    // The concepts' taxes.
    {kIngreso, {Op::kSet, kTraslado1, "Base", "0"}, "CFDI40174"},
    {kIngreso, {Op::kSet, kTraslado1, "Impuesto", "009"}, "CFDI40175"},
    {kIngreso, {Op::kSet, kTraslado1, "TipoFactor", "Otro"}, "CFDI40176"},
    {kIngreso, {Op::kSet, kTraslado1, "TipoFactor", "Exento"}, "CFDI40177"},
    {kIngreso, {Op::kRemove, kTraslado1, "Importe"}, "CFDI40178"},
    {kIngreso, {Op::kSet, kTraslado1, "TasaOCuota", "0.150000"}, "CFDI40179"},
    {kIngreso, {Op::kSet, kTraslado1, "Importe", "144.02"}, "CFDI40180"},
    {kIngreso, {Op::kSet, kRetencion1, "Base", "0.00"}, "CFDI40181"},
    {kIngreso, {Op::kSet, kRetencion1, "Impuesto", "009"}, "CFDI40182"},
    {kIngreso, {Op::kSet, kRetencion1, "TipoFactor", "Otro"}, "CFDI40183"},
    {kIngreso, {Op::kSet, kRetencion1, "TipoFactor", "Exento"}, "CFDI40184"},
    {kIngreso, {Op::kSet, kRetencion1, "TasaOCuota", "0.400000"}, "CFDI40185"},
    {kIngreso, {Op::kSet, kRetencion1, "Importe", "89.98"}, "CFDI40186"},
    // Third parties, customs numbers, parts.
    {kIngreso,
     {Op::kBefore, kAduana, nullptr,
      "<cfdi:ACuentaTerceros RfcACuentaTerceros=\"EKU9003173C9\" NombreACuentaTerceros=\"X\" "
      "RegimenFiscalACuentaTerceros=\"601\" DomicilioFiscalACuentaTerceros=\"44100\"/>"},
     "CFDI40188"},
    {kIngreso, {Op::kAppend, kConcepto2, nullptr, kTerceros}, "CFDI40189"},
    {kIngreso,
     {Op::kAppend, kConcepto2, nullptr,
      "<cfdi:ACuentaTerceros RfcACuentaTerceros=\"AAA010101AAA\" NombreACuentaTerceros=\"X\" "
      "RegimenFiscalACuentaTerceros=\"999\" DomicilioFiscalACuentaTerceros=\"44100\"/>"},
     "CFDI40191"},
    {kIngreso,
     {Op::kAppend, kConcepto2, nullptr,
      "<cfdi:ACuentaTerceros RfcACuentaTerceros=\"EXT990101NI1\" NombreACuentaTerceros=\"X\" "
      "RegimenFiscalACuentaTerceros=\"616\" DomicilioFiscalACuentaTerceros=\"01000\"/>"},
     "CFDI40193"},
    {kIngreso,
     {Op::kAppend, kConcepto2, nullptr,
      "<cfdi:ACuentaTerceros RfcACuentaTerceros=\"EXT990101NI1\" NombreACuentaTerceros=\"X\" "
      "RegimenFiscalACuentaTerceros=\"601\" DomicilioFiscalACuentaTerceros=\"44100\"/>"},
     "CFDI140223"},
    {kIngreso, {Op::kSet, kAduana, "NumeroPedimento", "24  01  0074  5000001"}, "CFDI40194"},
    {kIngreso, {Op::kSet, kAduana, "NumeroPedimento", "24  99  0074  4000001"}, "CFDI40194"},
    {kIngreso, {Op::kSet, kAduana, "NumeroPedimento", "24  01  0074  4000001"}, "CFDI40194", FindingSeverity::kWarning},
    {kIngreso, {Op::kSet, kAduana, "NumeroPedimento", "24  01  0074  4000500"}, "CFDI40194", FindingSeverity::kError,
     kCatalogs},
    {kIngreso, {Op::kAppend, kRoot, nullptr, kComplementoCce}, "CFDI40195"},
    {kIngreso,
     {Op::kAppend, kConcepto3, nullptr,
      "<cfdi:Parte ClaveProdServ=\"99999999\" Cantidad=\"1\" Descripcion=\"P\"/>"},
     "CFDI40196", FindingSeverity::kError, kCatalogs},
    {kIngreso,
     {Op::kAppend, kConcepto3, nullptr,
      "<cfdi:Parte ClaveProdServ=\"01010101\" Cantidad=\"1\" Descripcion=\"P\" ValorUnitario=\"0\"/>"},
     "CFDI40197"},
    {kIngreso, {Op::kAppend, kConcepto3, nullptr, kParte}, "CFDI40198"},
    {kIngreso,
     {Op::kAppend, kConcepto3, nullptr,
      "<cfdi:Parte ClaveProdServ=\"01010101\" Cantidad=\"1\" Descripcion=\"P\"><cfdi:InformacionAduanera "
      "NumeroPedimento=\"24  01  0074  3000001\"/></cfdi:Parte>"},
     "CFDI40199"},
    // The summary.
    {kIngreso, {Op::kSet, kRoot, "TipoDeComprobante", "T"}, "CFDI40201"},
    {kIngreso, {Op::kSet, kImpuestos, "TotalImpuestosRetenidos", "90.000"}, "CFDI40202"},
    {kIngreso, {Op::kSet, kImpuestos, "TotalImpuestosRetenidos", "91.00"}, "CFDI40203"},
    {kIngreso, {Op::kSet, kImpuestos, "TotalImpuestosTrasladados", "192.000"}, "CFDI40204"},
    {kIngreso, {Op::kSet, kImpuestos, "TotalImpuestosTrasladados", "193.00"}, "CFDI40205"},
    {kIngreso, {Op::kRemove, kImpuestos, "TotalImpuestosRetenidos"}, "CFDI40206"},
    {kIngreso, {Op::kSet, kSumRetencion, "Impuesto", "009"}, "CFDI40207"},
    {kIngreso, {Op::kDuplicate, kSumRetencion, nullptr, nullptr}, "CFDI40208"},
    {kIngreso, {Op::kRemove, kImpuestos, "TotalImpuestosRetenidos"}, "CFDI40209"},
    {kIngreso, {Op::kSet, kSumRetencion, "Importe", "90.001"}, "CFDI40210"},
    {kIngreso, {Op::kSet, kSumRetencion, "Importe", "91.00"}, "CFDI40211"},
    {kIngreso, {Op::kRemove, kImpuestos, "TotalImpuestosTrasladados"}, "CFDI40212"},
    {kGlobal, {Op::kSet, kSumTraslado, "Importe", "0.00"}, "CFDI40213"},
    {kIngreso, {Op::kSet, kSumTraslado, "Base", "1200.001"}, "CFDI40214"},
    {kIngreso, {Op::kSet, kSumTraslado, "Base", "1200.01"}, "CFDI40215"},
    {kGlobal, {Op::kSet, kSumTraslado, "Base", "99.00"}, "CFDI40216"},
    {kIngreso, {Op::kSet, kSumTraslado, "Impuesto", "009"}, "CFDI40217"},
    {kIngreso, {Op::kDuplicate, kSumTraslado, nullptr, nullptr}, "CFDI40218"},
    {kIngreso, {Op::kSet, kSumTraslado, "TasaOCuota", "0.150000"}, "CFDI40219"},
    {kIngreso, {Op::kSet, kSumTraslado, "Importe", "192.001"}, "CFDI40220"},
    {kIngreso, {Op::kSet, kSumTraslado, "Importe", "192.01"}, "CFDI40221"},
};

std::string CaseName(const Case& c) {
    std::string name = std::string(c.code) + " <- " + c.base + ": ";
    name += c.edit.xpath;
    if (c.edit.name) name += std::string("/@") + c.edit.name;
    if (c.edit.value) name += std::string(" = ") + c.edit.value;
    if (c.catalogs) name += " (catalogs)";
    return name;
}

TEST(RuleCases, EveryEditGivesItsFinding) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(CaseName(c));
        std::string error;
        const std::string text = rule_cases::ApplyEdit(c.base, c.edit, &error);
        ASSERT_TRUE(error.empty()) << error;
        const FindingList findings = rule_cases::FindingsOf(text, c.catalogs);
        bool found = false;
        for (const Finding& f : findings) {
            if (std::strcmp(f.code, c.code) != 0 || f.severity != c.severity) continue;
            found = true;
            EXPECT_EQ(f.kind, c.severity == FindingSeverity::kError ? FindingKind::kRule : FindingKind::kNotChecked);
            const RuleText* rule = FindRule(c.code);
            ASSERT_NE(rule, nullptr);
            if (c.severity == FindingSeverity::kError) {
                EXPECT_STREQ(f.message.c_str(), rule->message);
            }
        }
        EXPECT_TRUE(found) << rule_cases::Describe(findings);
    }
}

// Attributes asked for in any order are found wherever they stand, the search wrapping round
// from the last one found; a prefixed attribute never answers for an unprefixed name.
TEST(RuleCases, AttributeReaderFindsInAnyOrder) {
    const ElementAttribute attributes[] = {{"Base", "10", "", "Base"},
                                           {"Importe", "1.60", "", "Importe"},
                                           {"x:Impuesto", "009", "urn:x", "Impuesto"},
                                           {"Impuesto", "002", "", "Impuesto"}};
    const ValidationElement element{"", "Traslado", "Traslado", attributes, 4, nullptr, 1};
    AttributeReader reader(element);
    EXPECT_EQ(reader.Find("Impuesto").text, "002");
    EXPECT_EQ(reader.Find("Base").text, "10");  // wraps round
    EXPECT_FALSE(reader.Find("Impuest").found);
    EXPECT_FALSE(reader.Find("TasaOCuota").found);
    EXPECT_EQ(reader.Find("Importe").text, "1.60");
    EXPECT_EQ(FindAttribute(element, "Importe").text, "1.60");
    const ValidationElement empty{"", "Traslado", "Traslado", nullptr, 0, nullptr, 1};
    EXPECT_FALSE(AttributeReader(empty).Find("Base").found);
}

// Edits a row cannot make in one step, and values that repeat: answers are remembered per
// document, and a wrong value must still be reported wherever it occurs.
TEST(RuleCases, WholeDocumentEdits) {
    auto replaceAll = [](std::string text, const std::string& from, const std::string& to) {
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
        return text;
    };
    auto count = [](const FindingList& findings, const char* code) {
        int n = 0;
        for (const Finding& f : findings) n += std::strcmp(f.code, code) == 0 && f.severity == FindingSeverity::kError;
        return n;
    };
    const std::string base = rule_cases::ReadText(rule_cases::FixturePath(kIngreso));
    struct {
        const char* from;
        const char* to;
        const char* code;
        int times;
    } const rows[] = {
        {"Moneda=\"MXN\"", "Moneda=\"XXX\" TipoCambio=\"1\"", "CFDI40116", 1},
        {"ClaveUnidad=\"H87\"", "ClaveUnidad=\"ZZZ\"", "CFDI40165", 2},
        {"TasaOCuota=\"0.160000\"", "TasaOCuota=\"0.150000\"", "CFDI40179", 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.to);
        const FindingList findings = rule_cases::FindingsOf(replaceAll(base, row.from, row.to), nullptr);
        EXPECT_EQ(count(findings, row.code), row.times) << rule_cases::Describe(findings);
    }
}

// The bases are valid: no error at all, with or without the large catalogs.
TEST(RuleCases, BasesGiveNoError) {
    for (const char* base : {kIngreso, kGlobal}) {
        for (const char* catalogs : {static_cast<const char*>(nullptr), kCatalogs}) {
            SCOPED_TRACE(std::string(base) + (catalogs ? " (catalogs)" : ""));
            const FindingList findings =
                rule_cases::FindingsOf(rule_cases::ReadText(rule_cases::FixturePath(base)), catalogs);
            for (const Finding& f : findings) EXPECT_NE(f.severity, FindingSeverity::kError) << rule_cases::Describe(findings);
        }
    }
}

// The corpus's CFDI 4.0 invoices: one that passes the schemas and catalogs breaks no rule,
// and the seal rule agrees with the manifest (a document changed after signing, or signed
// by another key, breaks CFDI40102; a good seal does not).
TEST(RuleCases, CorpusInvoices) {
    std::map<std::string, std::string> seals;  // file -> manifest result
    std::ifstream manifest(std::string(KVN_CORPUS_DIR) + "/manifest-sha256.tsv");
    for (std::string line; std::getline(manifest, line);) {
        const std::size_t tab = line.find('\t'), second = line.find('\t', tab + 1);
        if (tab == std::string::npos || second == std::string::npos) continue;
        const std::size_t third = line.find('\t', second + 1);
        seals[line.substr(0, tab)] = line.substr(second + 1, third == std::string::npos ? third : third - second - 1);
    }
    int checked = 0, sealed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(KVN_CORPUS_DIR) + "/cfdi40")) {
        if (entry.path().extension() != ".xml") continue;
        const std::string name = "cfdi40/" + entry.path().filename().string();
        SCOPED_TRACE(name);
        const FindingList findings = rule_cases::FindingsOf(rule_cases::ReadText(entry.path().string()), nullptr);
        bool schemaError = false, ruleError = false, sealError = false;
        for (const Finding& f : findings) {
            if (f.severity != FindingSeverity::kError) continue;
            if (f.kind == FindingKind::kRule) {
                ruleError = true;
                sealError = sealError || std::strcmp(f.code, "CFDI40102") == 0;
            } else {
                schemaError = true;
            }
        }
        if (!schemaError) {
            ++checked;
            EXPECT_FALSE(ruleError) << rule_cases::Describe(findings);
        }
        const std::string seal = seals.count(name) ? seals[name] : "";
        if (seal == "ok-sha256") {
            EXPECT_FALSE(sealError);
        }
        if (seal == "bad-content" || seal == "bad-key") {
            ++sealed;
            EXPECT_TRUE(sealError) << rule_cases::Describe(findings);
        }
    }
    EXPECT_GE(checked, 3);  // most samples predate the catalogs of 2022 or carry test values
    EXPECT_GT(sealed, 0);
}

}  // namespace
}  // namespace kvn
