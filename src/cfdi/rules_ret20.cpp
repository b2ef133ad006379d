// The rules of Retenciones 2.0 beyond its schema: the authority's codes Reten20101-Reten20136.
//
// One pass, in document order. The root's key facts (CveRetenc, LugarExpRetenc, the year of
// FechaExp) are kept for the parties, the totals and the complements that follow; the
// withholdings (ImpRetenidos) are counted and their MontoRet summed as they pass, so nothing
// grows with the document. Amounts are exact decimals (decimal.h), compared by value.
//
// What is decided in part:
//  - Reten20103: the pattern of FechaExp; that it is the local time of LugarExpRetenc is not.
//  - Reten20107: the complement that c_CveRetenc's `nombre_complemento` names, always or for
//    a foreign receiver ("En caso de operaciones realizadas con extranjeros..."); the
//    financial-sector complement is due only when the issuer acts as a trustee, which the
//    document does not say.
//  - Reten20116, Reten20120: the generic RFC XAXX010101000 and the name "PUBLICO EN GENERAL"
//    go together, and with it DomicilioFiscalR is LugarExpRetenc; the names and addresses of
//    registered RFCs are the taxpayer list's.
//  - Reten20126: Ejercicio is the year of FechaExp or one of the five before it (the provider
//    compares with the year it stamps in, which an archived document cannot know).
// The seal (Reten20101) is checked by the verifier over the document's file, as for CFDI 4.0.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "cfdi/decimal.h"
#include "cfdi/rule_amounts.h"
#include "cfdi/rules.h"

namespace kvn {
namespace {

constexpr std::string_view kRet20Uri = "http://www.sat.gob.mx/esquemas/retencionpago/2";
// The complements of Retenciones 2.0 kept the namespaces of the 1.0 family.
constexpr std::string_view kComplementUriPrefix = "http://www.sat.gob.mx/esquemas/retencionpago/1/";
constexpr std::string_view kNeedsRegistries = "it needs the tax authority's registries";
constexpr std::string_view kRifKey = "28";    // c_CveRetenc: payments to RIF taxpayers
constexpr std::string_view kOtherKey = "25";  // c_CveRetenc: other withholdings
constexpr int kEjercicioYearsBack = 5;

// How each code of Retenciones 2.0 is applied (read by scripts/gen_rule_tables.py too).
constexpr RuleStatusEntry kStatus[] = {
    {"Reten20101", RuleStatus::kChecked},    {"Reten20102", RuleStatus::kChecked},
    {"Reten20103", RuleStatus::kPartly},     {"Reten20104", RuleStatus::kChecked},
    {"Reten20105", RuleStatus::kChecked},    {"Reten20106", RuleStatus::kChecked},
    {"Reten20107", RuleStatus::kPartly},     {"Reten20108", RuleStatus::kChecked},
    {"Reten20109", RuleStatus::kChecked},    {"Reten20110", RuleStatus::kRegistries},
    {"Reten20111", RuleStatus::kChecked},    {"Reten20112", RuleStatus::kChecked},
    {"Reten20113", RuleStatus::kRegistries}, {"Reten20114", RuleStatus::kRegistries},
    {"Reten20115", RuleStatus::kRegistries}, {"Reten20116", RuleStatus::kPartly},
    {"Reten20117", RuleStatus::kChecked},    {"Reten20119", RuleStatus::kRegistries},
    {"Reten20120", RuleStatus::kPartly},     {"Reten20121", RuleStatus::kChecked},
    {"Reten20122", RuleStatus::kChecked},    {"Reten20123", RuleStatus::kChecked},
    {"Reten20124", RuleStatus::kChecked},    {"Reten20126", RuleStatus::kPartly},
    {"Reten20127", RuleStatus::kChecked},    {"Reten20128", RuleStatus::kChecked},
    {"Reten20129", RuleStatus::kChecked},    {"Reten20130", RuleStatus::kChecked},
    {"Reten20131", RuleStatus::kChecked},    {"Reten20132", RuleStatus::kChecked},
    {"Reten20133", RuleStatus::kChecked},    {"Reten20134", RuleStatus::kChecked},
    {"Reten20135", RuleStatus::kChecked},    {"Reten20136", RuleStatus::kRegistries},
};

// The complements, by the local name of their root element (Planesderetiro is the root of
// both planesderetiro and planesderetiro11). The index is the bit of a seen-set.
constexpr const char* kComplements[] = {
    "Arrendamientoenfideicomiso", "Dividendos",       "EnajenaciondeAcciones", "Fideicomisonoempresarial",
    "Intereses",                  "Intereseshipotecarios", "Operacionesconderivados", "Pagosaextranjeros",
    "Planesderetiro",             "Premios",          "SectorFinanciero",      "ServiciosPlataformasTecnologicas",
};
constexpr int kNoComplement = -1;

int ComplementIndex(std::string_view local) noexcept {
    for (std::size_t i = 0; i < sizeof kComplements / sizeof kComplements[0]; ++i)
        if (local == kComplements[i]) return static_cast<int>(i);
    return kNoComplement;
}

// When a key of c_CveRetenc requires its complement.
enum class Due : std::uint8_t {
    kNever,
    kAlways,
    kForeignReceiver,  // for operations with a receiver abroad
    kUndecidable,      // on facts the document does not carry
};

// The texts of c_CveRetenc's `nombre_complemento` (compared without case and without a final
// full stop; `prefix` rows match the text's start) and what each requires.
struct ComplementDue {
    std::string_view text;
    bool prefix;
    Due due;
    const char* complement;  // a name of kComplements, or null
};

constexpr ComplementDue kComplementDue[] = {
    {"Sin complemento", false, Due::kNever, nullptr},
    {"En caso de operaciones realizadas con extranjeros", true, Due::kForeignReceiver, "Pagosaextranjeros"},
    {"Pagos a Extranjeros", false, Due::kAlways, "Pagosaextranjeros"},
    {"Enajenaci\303\263n de Acciones", false, Due::kAlways, "EnajenaciondeAcciones"},
    {"Dividendos", false, Due::kAlways, "Dividendos"},
    {"Intereses", false, Due::kAlways, "Intereses"},
    {"Arrendamiento en fideicomiso", false, Due::kAlways, "Arrendamientoenfideicomiso"},
    {"Premios", false, Due::kAlways, "Premios"},
    {"Fideicomiso no Empresarial", false, Due::kAlways, "Fideicomisonoempresarial"},
    {"Planes de Retiro", false, Due::kAlways, "Planesderetiro"},
    {"Intereses Hipotecarios", false, Due::kAlways, "Intereseshipotecarios"},
    {"Operaciones con Derivados", false, Due::kAlways, "Operacionesconderivados"},
    {"Servicios mediante Plataformas Tecnol\303\263gicas", false, Due::kAlways, "ServiciosPlataformasTecnologicas"},
    {"Sector Financiero", true, Due::kUndecidable, "SectorFinanciero"},
};

bool SameLetters(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string_view Trimmed(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// The row of kComplementDue for a catalog text, or null for a text of no known form.
const ComplementDue* ComplementDueOf(std::string_view text) noexcept {
    text = Trimmed(text);
    if (!text.empty() && text.back() == '.') text.remove_suffix(1);
    for (const ComplementDue& row : kComplementDue) {
        const std::string_view head = row.prefix ? text.substr(0, row.text.size()) : text;
        if (SameLetters(head, row.text)) return &row;
    }
    return nullptr;
}

// Whether a name is "PUBLICO EN GENERAL" (the accent on the U taken or left), after the
// schema's whitespace collapse.
bool IsPublicName(std::string_view name) noexcept {
    name = Trimmed(name);
    constexpr std::string_view kPlain = "PUBLICO";
    constexpr std::string_view kAccented = "P\303\232BLICO";
    std::string_view rest;
    if (name.substr(0, kPlain.size()) == kPlain) rest = name.substr(kPlain.size());
    else if (name.substr(0, kAccented.size()) == kAccented) rest = name.substr(kAccented.size());
    else return false;
    // " EN GENERAL" with any run of blanks between the words.
    for (std::string_view word : {std::string_view("EN"), std::string_view("GENERAL")}) {
        const std::size_t before = rest.size();
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t' || rest.front() == '\n' ||
                                 rest.front() == '\r'))
            rest.remove_prefix(1);
        if (rest.size() == before || rest.substr(0, word.size()) != word) return false;
        rest.remove_prefix(word.size());
    }
    return rest.empty();
}

// The number a short key of digits stands for ("07", "2024"), or -1.
int KeyNumber(std::string_view key) noexcept {
    key = Trimmed(key);
    if (key.empty() || key.size() > 6) return -1;
    int n = 0;
    for (char c : key) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// A decimal attribute as read: present, and parsed when it is a decimal.
struct Amount {
    Decimal value;
    std::string_view text;
    bool present = false;
    bool valid = false;
};

Amount ReadAmount(const ValidationElement& e, std::string_view name) {
    Amount a;
    const AttributeValue v = FindAttribute(e, name);
    a.text = v.text;
    a.present = v.found;
    a.valid = v.found && ParseAmount(v.text, &a.value);
    return a;
}

// A place of the document, to report at later.
// The children of the root that the rules read.
enum class Top : std::uint8_t { kOther, kReceptor, kTotales, kComplemento };

class RulesRet20 final : public RuleFamily {
public:
    explicit RulesRet20(const RuleOptions& options) : options_(options) {}

    void OnStartElement(ValidationContext& c, const ValidationElement& e) override;
    void OnEndElement(ValidationContext& c, const ValidationElement& e) override;

private:
    // Catalog membership: reports `code` when the value (as the schema collapses it) is not
    // in the catalog at the document's date, a not-checked warning (once per code) when the
    // catalog is absent. True when the value is valid.
    bool InCatalog(ValidationContext& c, const char* code, std::string_view catalog, std::string_view attribute,
                   std::string_view value);
    void NotChecked(ValidationContext& c, const char* code, std::string_view attribute, std::string_view value,
                    std::string_view why);
    void Registry(ValidationContext& c, const char* code, std::string_view attribute, std::string_view value);

    void StartRoot(ValidationContext& c, const ValidationElement& e);
    void StartEmisor(ValidationContext& c, const ValidationElement& e);
    void StartNacional(ValidationContext& c, const ValidationElement& e);
    void StartPeriodo(ValidationContext& c, const ValidationElement& e);
    void StartTotales(ValidationContext& c, const ValidationElement& e);
    void StartImpRetenidos(ValidationContext& c, const ValidationElement& e);
    void EndTotales(ValidationContext& c);
    void EndRoot(ValidationContext& c);

    RuleOptions options_;
    OnceByCode notChecked_;
    bool active_ = false;  // a Retenciones 2.0 root
    Top top_ = Top::kOther;

    // The root.
    RulePlace root_;
    bool sealed_ = false, certificate_ = false;  // a Sello, and a readable Certificado
    String sello_;                                // its start, to show
    String cveRetenc_, lugar_;
    bool cveValid_ = false;  // CveRetenc is in c_CveRetenc at the date
    int fechaYear_ = 0;

    // The parties.
    bool foreignReceiver_ = false;  // NacionalidadR="Extranjero" or a Receptor/Extranjero

    // The totals.
    RulePlace totales_;
    Amount montoTotRet_;
    String montoTotRetText_;
    int withholdings_ = 0;
    Decimal withheld_;  // the sum of MontoRet
    bool withheldValid_ = true;

    // The complements seen, by index in kComplements.
    std::uint32_t complements_ = 0;
};

void RulesRet20::NotChecked(ValidationContext& c, const char* code, std::string_view attribute,
                            std::string_view value, std::string_view why) {
    if (notChecked_.First(code)) ReportRuleNotChecked(c, code, attribute, value, why);
}

void RulesRet20::Registry(ValidationContext& c, const char* code, std::string_view attribute,
                          std::string_view value) {
    if (options_.registryRules) NotChecked(c, code, attribute, value, kNeedsRegistries);
}

bool RulesRet20::InCatalog(ValidationContext& c, const char* code, std::string_view catalog,
                           std::string_view attribute, std::string_view value) {
    switch (RuleCatalogCheck(c, catalog, Trimmed(value))) {  // keys collapse to no blank
    case CatalogAnswer::kValid: return true;
    case CatalogAnswer::kInvalid: ReportRule(c, code, attribute, value); return false;
    case CatalogAnswer::kAbsent: break;
    }
    ReportCatalogAbsent(notChecked_, c, code, attribute, value, catalog);
    return false;
}

void RulesRet20::OnStartElement(ValidationContext& c, const ValidationElement& e) {
    if (e.depth == 0) {
        active_ = ElementIs(e, kRet20Uri, "Retenciones");
        if (active_) StartRoot(c, e);
        return;
    }
    if (!active_ || e.depth > 2) return;
    const bool own = kRet20Uri == e.uri;
    if (e.depth == 1) {
        top_ = Top::kOther;
        if (!own) return;
        if (std::strcmp(e.local, "CfdiRetenRelacionados") == 0) {
            const AttributeValue v = FindAttribute(e, "TipoRelacion");
            if (v.found) InCatalog(c, "Reten20109", "c_TipoRelacion", "TipoRelacion", v.text);
        } else if (std::strcmp(e.local, "Emisor") == 0) {
            StartEmisor(c, e);
        } else if (std::strcmp(e.local, "Receptor") == 0) {
            top_ = Top::kReceptor;
            if (Trimmed(FindAttribute(e, "NacionalidadR").text) == "Extranjero") foreignReceiver_ = true;
        } else if (std::strcmp(e.local, "Periodo") == 0) {
            StartPeriodo(c, e);
        } else if (std::strcmp(e.local, "Totales") == 0) {
            top_ = Top::kTotales;
            StartTotales(c, e);
        } else if (std::strcmp(e.local, "Complemento") == 0) {
            top_ = Top::kComplemento;
        }
        return;
    }
    switch (top_) {
    case Top::kReceptor:
        if (own && std::strcmp(e.local, "Nacional") == 0) StartNacional(c, e);
        else if (own && std::strcmp(e.local, "Extranjero") == 0) foreignReceiver_ = true;
        break;
    case Top::kTotales:
        if (own && std::strcmp(e.local, "ImpRetenidos") == 0) StartImpRetenidos(c, e);
        break;
    case Top::kComplemento:
        if (std::string_view(e.uri).substr(0, kComplementUriPrefix.size()) == kComplementUriPrefix) {
            const int index = ComplementIndex(e.local);
            if (index != kNoComplement) complements_ |= 1u << index;
        }
        break;
    case Top::kOther: break;
    }
}

void RulesRet20::OnEndElement(ValidationContext& c, const ValidationElement& e) {
    if (!active_) return;
    if (e.depth == 0) {
        EndRoot(c);
        active_ = false;
    } else if (e.depth == 1) {
        if (top_ == Top::kTotales) EndTotales(c);
        top_ = Top::kOther;
    }
}

void RulesRet20::StartRoot(ValidationContext& c, const ValidationElement& e) {
    root_.Note(c);
    const AttributeValue fecha = FindAttribute(e, "FechaExp");
    if (fecha.found) {
        if (!FechaMatchesPattern(fecha.text)) ReportRule(c, "Reten20103", "FechaExp", fecha.text);
        else fechaYear_ = KeyNumber(fecha.text.substr(0, 4));
    }
    const AttributeValue sello = FindAttribute(e, "Sello");
    sealed_ = sello.found && !sello.text.empty();
    if (sealed_) sello_.assign(sello.text.data(), std::min<std::size_t>(sello.text.size(), 40));
    const AttributeValue certificado = FindAttribute(e, "Certificado");
    certificate_ = certificado.found && !certificado.text.empty();
    if (certificate_ && !EmbeddedCertificateReadable(certificado.text)) {
        ReportRule(c, "Reten20102", "Certificado", certificado.text.substr(0, 40));
        certificate_ = false;
    }
    const AttributeValue lugar = FindAttribute(e, "LugarExpRetenc");
    if (lugar.found) {
        lugar_.assign(lugar.text.data(), lugar.text.size());
        InCatalog(c, "Reten20104", "c_CodigoPostal", "LugarExpRetenc", lugar.text);
    }
    const AttributeValue cve = FindAttribute(e, "CveRetenc");
    if (!cve.found) return;
    const std::string_view key = Trimmed(cve.text);
    cveRetenc_.assign(key.data(), key.size());
    cveValid_ = InCatalog(c, "Reten20105", "c_CveRetenc", "CveRetenc", cve.text);
    if (key == kOtherKey && !FindAttribute(e, "DescRetenc").found) ReportRule(c, "Reten20106", "CveRetenc", cve.text);
}

void RulesRet20::StartEmisor(ValidationContext& c, const ValidationElement& e) {
    const AttributeValue rfc = FindAttribute(e, "RfcE");
    const AttributeValue regimen = FindAttribute(e, "RegimenFiscalE");
    const AttributeValue nombre = FindAttribute(e, "NomDenRazSocE");
    if (regimen.found && InCatalog(c, "Reten20111", "c_RegimenFiscal", "RegimenFiscalE", regimen.text) &&
        rfc.found && PersonOf(rfc.text) != Person::kUnknown) {
        const std::optional<CatalogRow> row = RuleCatalogRow(c, "c_RegimenFiscal", Trimmed(regimen.text));
        const char* column = PersonOf(rfc.text) == Person::kCompany ? "aplica_moral" : "aplica_fisica";
        const std::optional<std::string_view> applies = row ? row->Field(column) : std::nullopt;
        if (applies && *applies != "1") ReportRule(c, "Reten20112", "RegimenFiscalE", regimen.text);
    }
    if (nombre.found) {
        Registry(c, "Reten20110", "NomDenRazSocE", nombre.text);
        Registry(c, "Reten20136", "NomDenRazSocE", nombre.text);
    }
}

void RulesRet20::StartNacional(ValidationContext& c, const ValidationElement& e) {
    const AttributeValue rfc = FindAttribute(e, "RfcR");
    const AttributeValue nombre = FindAttribute(e, "NomDenRazSocR");
    const AttributeValue curp = FindAttribute(e, "CurpR");
    const AttributeValue domicilio = FindAttribute(e, "DomicilioFiscalR");
    const bool generic = rfc.found && Trimmed(rfc.text) == kGenericNationalRfc;

    if (curp.found && rfc.found && PersonOf(rfc.text) == Person::kCompany)
        ReportRule(c, "Reten20117", "CurpR", curp.text);
    if (nombre.found && rfc.found && IsPublicName(nombre.text) != generic)
        ReportRule(c, "Reten20116", "NomDenRazSocR", nombre.text);
    const std::string_view lugar = Trimmed(std::string_view(lugar_.data(), lugar_.size()));
    if (generic && domicilio.found && !lugar.empty() && Trimmed(domicilio.text) != lugar)
        ReportRule(c, "Reten20120", "DomicilioFiscalR", domicilio.text);

    if (rfc.found) Registry(c, generic ? "Reten20114" : "Reten20113", "RfcR", rfc.text);
    if (nombre.found) Registry(c, "Reten20115", "NomDenRazSocR", nombre.text);
    if (domicilio.found) Registry(c, "Reten20119", "DomicilioFiscalR", domicilio.text);
    if (!generic) {
        if (nombre.found) Registry(c, "Reten20116", "NomDenRazSocR", nombre.text);
        if (domicilio.found) Registry(c, "Reten20120", "DomicilioFiscalR", domicilio.text);
    }
}

void RulesRet20::StartPeriodo(ValidationContext& c, const ValidationElement& e) {
    const AttributeValue ini = FindAttribute(e, "MesIni");
    const AttributeValue fin = FindAttribute(e, "MesFin");
    const bool iniValid = ini.found && InCatalog(c, "Reten20121", "c_Periodo", "MesIni", ini.text);
    const bool finValid = fin.found && InCatalog(c, "Reten20123", "c_Periodo", "MesFin", fin.text);
    if (iniValid && finValid) {
        const int first = KeyNumber(ini.text), last = KeyNumber(fin.text);
        if (first >= 0 && last >= 0 && first > last) {
            ReportRule(c, "Reten20122", "MesIni", ini.text);
            ReportRule(c, "Reten20124", "MesFin", fin.text);
        }
    }
    const AttributeValue ejercicio = FindAttribute(e, "Ejercicio");
    const int year = ejercicio.found ? KeyNumber(ejercicio.text) : -1;
    if (year >= 0 && fechaYear_ > 0 && (year > fechaYear_ || year < fechaYear_ - kEjercicioYearsBack))
        ReportRule(c, "Reten20126", "Ejercicio", ejercicio.text);
}

void RulesRet20::StartTotales(ValidationContext& c, const ValidationElement& e) {
    totales_.Note(c);
    withholdings_ = 0;  // a second Totales (the schema's finding) starts over
    withheld_ = Decimal();
    withheldValid_ = true;
    const Amount operacion = ReadAmount(e, "MontoTotOperacion");
    const Amount gravado = ReadAmount(e, "MontoTotGrav");
    const Amount exento = ReadAmount(e, "MontoTotExent");
    montoTotRet_ = ReadAmount(e, "MontoTotRet");
    montoTotRetText_.assign(montoTotRet_.text.data(), montoTotRet_.text.size());
    montoTotRet_.text = {};  // the element's attributes do not outlive this call

    Decimal sum;
    if (operacion.valid && gravado.valid && exento.valid && Decimal::Add(gravado.value, exento.value, &sum) &&
        Decimal::Compare(operacion.value, sum) != 0)
        ReportRule(c, "Reten20127", "MontoTotOperacion", operacion.text);
    if (operacion.valid && gravado.valid && Decimal::Compare(gravado.value, operacion.value) > 0)
        ReportRule(c, "Reten20128", "MontoTotGrav", gravado.text);
    if (operacion.valid && exento.valid && Decimal::Compare(exento.value, operacion.value) > 0)
        ReportRule(c, "Reten20129", "MontoTotExent", exento.text);

    if (cveRetenc_ != kRifKey || !cveValid_) return;
    if ((gravado.valid && !gravado.value.IsZero()) || (exento.valid && !exento.value.IsZero()))
        ReportRuleAt(c, root_, "Reten20108", "CveRetenc", cveRetenc_);
    // Both must be above zero: a missing one is not.
    for (const auto& [name, code] : {std::pair{"UtilidadBimestral", "Reten20132"},
                                     std::pair{"ISRCorrespondiente", "Reten20133"}}) {
        const Amount a = ReadAmount(e, name);
        if (!a.present || (a.valid && a.value.Sign() <= 0)) ReportRule(c, code, name, a.text);
    }
}

void RulesRet20::StartImpRetenidos(ValidationContext& c, const ValidationElement& e) {
    ++withholdings_;
    const Amount monto = ReadAmount(e, "MontoRet");
    if (!monto.valid || !Decimal::Add(withheld_, monto.value, &withheld_)) withheldValid_ = false;

    const AttributeValue tipo = FindAttribute(e, "TipoPagoRet");
    if (!tipo.found || !InCatalog(c, "Reten20134", "c_TipoPagoRet", "TipoPagoRet", tipo.text)) return;
    // The tax of the payment type against ImpuestoRet, when that is given and in its own
    // catalog (the schema pass reports one that is not).
    const AttributeValue impuesto = FindAttribute(e, "ImpuestoRet");
    if (!impuesto.found || RuleCatalogCheck(c, "c_Impuesto", Trimmed(impuesto.text)) != CatalogAnswer::kValid) return;
    const std::optional<CatalogRow> row = RuleCatalogRow(c, "c_TipoPagoRet", Trimmed(tipo.text));
    const std::optional<std::string_view> tax = row ? row->Field("tipo_impuesto") : std::nullopt;
    if (tax && !tax->empty() && *tax != Trimmed(impuesto.text))
        ReportRule(c, "Reten20135", "TipoPagoRet", tipo.text);
}

void RulesRet20::EndTotales(ValidationContext& c) {
    if (!montoTotRet_.valid || montoTotRet_.value.Sign() <= 0) return;
    const std::string_view text(montoTotRetText_.data(), montoTotRetText_.size());
    if (withholdings_ == 0) ReportRuleAt(c, totales_, "Reten20130", "MontoTotRet", text);
    else if (withheldValid_ && Decimal::Compare(montoTotRet_.value, withheld_) != 0)
        ReportRuleAt(c, totales_, "Reten20131", "MontoTotRet", text);
}

// Reten20107: the complement that the key's catalog row names.
void RulesRet20::EndRoot(ValidationContext& c) {
    // Reten20101: the seal, checked over the document's file by the verifier (a second read),
    // when there is a seal and a readable certificate to check it with.
    if (options_.documentFile && sealed_ && certificate_ && SealFailsVerification(options_.documentFile))
        ReportRuleAt(c, root_, "Reten20101", "Sello", std::string_view(sello_.data(), sello_.size()));
    if (!cveValid_) return;  // not in the catalog (reported) or the catalog is absent
    const std::string_view key(cveRetenc_.data(), cveRetenc_.size());
    const std::optional<CatalogRow> row = RuleCatalogRow(c, "c_CveRetenc", key);
    const std::optional<std::string_view> text = row ? row->Field("nombre_complemento") : std::nullopt;
    if (!text) {
        NotChecked(c, "Reten20107", "CveRetenc", key, "catalog c_CveRetenc has no column nombre_complemento");
        return;
    }
    const ComplementDue* due = ComplementDueOf(*text);
    if (!due) {
        NotChecked(c, "Reten20107", "CveRetenc", key, "the complement that c_CveRetenc names is not known");
        return;
    }
    const bool required = due->due == Due::kAlways || (due->due == Due::kForeignReceiver && foreignReceiver_);
    if (!required) return;
    const int index = ComplementIndex(due->complement);
    if (index == kNoComplement || (complements_ & (1u << index)) == 0)
        ReportRuleAt(c, root_, "Reten20107", "CveRetenc", key);
}

}  // namespace

UniquePtr<RuleFamily> MakeRulesRet20(const RuleOptions& options) {
    return UniquePtr<RuleFamily>(MakeUnique<RulesRet20>(options).release());
}

}  // namespace kvn
