// The rules of CFDI 4.0 beyond its schema: the authority's codes CFDI40101-CFDI40222 and
// CFDI140223-CFDI140227.
//
// One pass, in document order. The root's attributes are kept until the end (the totals are
// checked against the concepts and the tax summary, and the local-tax complement comes last).
// Each concept is checked when it ends and leaves only sums: the concepts' Importe and
// Descuento, and per tax (Impuesto, TipoFactor, TasaOCuota) the Base and Importe of its
// transfers and retentions, which the summary Comprobante/Impuestos is checked against. The
// tax groups are as many as the distinct rates, which the catalog bounds; nothing else grows
// with the document.
//
// Amounts are exact decimals (decimal.h). "Rounded" is half away from zero to the decimals of
// the currency (c_Moneda); the bounds of a concept's Importe and of a tax's Importe are those
// of ProductBounds (rules.h).
//
// What is decided in part:
//  - CFDI40101: the pattern of Fecha; that it is the local time of LugarExpedicion is not.
//  - CFDI40120: a Total above c_TipoDeComprobante's valor_maximo without Confirmacion; the
//    limit of the current tax resolution, when lower, is not known offline.
//  - CFDI40151, CFDI40154: a receiver that is not the generic foreign RFC (a national one,
//    generic or not) may not have ResidenciaFiscal / NumRegIdTrib; whether an RFC is
//    registered is the taxpayer list's.
//  - CFDI40189, CFDI40193: the third party EXT990101NI1 (its fixed name and LugarExpedicion);
//    the names and addresses of registered RFCs are the taxpayer list's.
//  - CFDI40163: a concept whose c_ClaveProdServ row names a complement requires the
//    document to carry a complement (which one the catalog's text does not say in a
//    machine-readable way).
//  - CFDI40194, CFDI40199: the pedimento's form, customs office (c_Aduana), agent
//    (c_PatenteAduanal) and the year digit of its sequence; the count of c_NumPedimentoAduana
//    when that catalog is given.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "cfdi/rules.h"

namespace kvn {
namespace {

constexpr std::string_view kCfdi40 = "http://www.sat.gob.mx/cfd/4";
constexpr std::string_view kThirdPartyForeign = "EXT990101NI1";
constexpr std::string_view kPublicName = "PUBLICO EN GENERAL";
constexpr std::string_view kIntermediationName =
    "EXPEDICI\303\223N DE CFDI POR RESIDENTES EN M\303\211XICO QUE PRESTAN SERVICIOS DE INTERMEDIACI\303\223N ENTRE "
    "TERCEROS A OFERENTES DE BIENES Y SERVICIOS RESIDENTES EN EL EXTRANJERO";

// The status of every code of the 4.0 matrix (read by scripts/gen_rule_tables.py too).
constexpr RuleStatusEntry kStatus[] = {
    {"CFDI40101", RuleStatus::kPartly},     {"CFDI40102", RuleStatus::kChecked},
    {"CFDI40103", RuleStatus::kChecked},    {"CFDI40104", RuleStatus::kChecked},
    {"CFDI40105", RuleStatus::kChecked},    {"CFDI40106", RuleStatus::kChecked},
    {"CFDI40107", RuleStatus::kChecked},    {"CFDI40108", RuleStatus::kChecked},
    {"CFDI40109", RuleStatus::kChecked},    {"CFDI40110", RuleStatus::kChecked},
    {"CFDI40111", RuleStatus::kChecked},    {"CFDI40112", RuleStatus::kChecked},
    {"CFDI40113", RuleStatus::kChecked},    {"CFDI40114", RuleStatus::kChecked},
    {"CFDI40115", RuleStatus::kChecked},    {"CFDI40116", RuleStatus::kChecked},
    {"CFDI40117", RuleStatus::kChecked},    {"CFDI40118", RuleStatus::kRegistries},
    {"CFDI40119", RuleStatus::kChecked},    {"CFDI40120", RuleStatus::kPartly},
    {"CFDI40121", RuleStatus::kChecked},    {"CFDI40122", RuleStatus::kChecked},
    {"CFDI40123", RuleStatus::kChecked},    {"CFDI40124", RuleStatus::kChecked},
    {"CFDI40125", RuleStatus::kChecked},    {"CFDI40126", RuleStatus::kChecked},
    {"CFDI40127", RuleStatus::kRegistries}, {"CFDI40128", RuleStatus::kRegistries},
    {"CFDI40129", RuleStatus::kRegistries}, {"CFDI40130", RuleStatus::kChecked},
    {"CFDI40131", RuleStatus::kChecked},    {"CFDI40132", RuleStatus::kChecked},
    {"CFDI40133", RuleStatus::kChecked},    {"CFDI40134", RuleStatus::kChecked},
    {"CFDI40135", RuleStatus::kChecked},    {"CFDI40136", RuleStatus::kChecked},
    {"CFDI40137", RuleStatus::kChecked},    {"CFDI40138", RuleStatus::kRegistries},
    {"CFDI40139", RuleStatus::kRegistries}, {"CFDI40140", RuleStatus::kChecked},
    {"CFDI40141", RuleStatus::kChecked},    {"CFDI40142", RuleStatus::kRegistries},
    {"CFDI40143", RuleStatus::kRegistries}, {"CFDI40144", RuleStatus::kRegistries},
    {"CFDI40145", RuleStatus::kRegistries}, {"CFDI40146", RuleStatus::kChecked},
    {"CFDI40147", RuleStatus::kRegistries}, {"CFDI40148", RuleStatus::kRegistries},
    {"CFDI40149", RuleStatus::kChecked},    {"CFDI40150", RuleStatus::kChecked},
    {"CFDI40151", RuleStatus::kPartly},     {"CFDI40152", RuleStatus::kChecked},
    {"CFDI40153", RuleStatus::kChecked},    {"CFDI40154", RuleStatus::kPartly},
    {"CFDI40155", RuleStatus::kChecked},    {"CFDI40156", RuleStatus::kChecked},
    {"CFDI40157", RuleStatus::kChecked},    {"CFDI40158", RuleStatus::kChecked},
    {"CFDI40159", RuleStatus::kChecked},    {"CFDI40160", RuleStatus::kChecked},
    {"CFDI40161", RuleStatus::kChecked},    {"CFDI40162", RuleStatus::kChecked},
    {"CFDI40163", RuleStatus::kPartly},     {"CFDI40164", RuleStatus::kChecked},
    {"CFDI40165", RuleStatus::kChecked},    {"CFDI40166", RuleStatus::kChecked},
    {"CFDI40167", RuleStatus::kChecked},    {"CFDI40168", RuleStatus::kChecked},
    {"CFDI40169", RuleStatus::kChecked},    {"CFDI40170", RuleStatus::kChecked},
    {"CFDI40171", RuleStatus::kChecked},    {"CFDI40172", RuleStatus::kChecked},
    {"CFDI40173", RuleStatus::kChecked},    {"CFDI40174", RuleStatus::kChecked},
    {"CFDI40175", RuleStatus::kChecked},    {"CFDI40176", RuleStatus::kChecked},
    {"CFDI40177", RuleStatus::kChecked},    {"CFDI40178", RuleStatus::kChecked},
    {"CFDI40179", RuleStatus::kChecked},    {"CFDI40180", RuleStatus::kChecked},
    {"CFDI40181", RuleStatus::kChecked},    {"CFDI40182", RuleStatus::kChecked},
    {"CFDI40183", RuleStatus::kChecked},    {"CFDI40184", RuleStatus::kChecked},
    {"CFDI40185", RuleStatus::kChecked},    {"CFDI40186", RuleStatus::kChecked},
    {"CFDI40187", RuleStatus::kRegistries}, {"CFDI40188", RuleStatus::kChecked},
    {"CFDI40189", RuleStatus::kPartly},     {"CFDI40190", RuleStatus::kRegistries},
    {"CFDI40191", RuleStatus::kChecked},    {"CFDI40192", RuleStatus::kRegistries},
    {"CFDI40193", RuleStatus::kPartly},     {"CFDI40194", RuleStatus::kPartly},
    {"CFDI40195", RuleStatus::kChecked},    {"CFDI40196", RuleStatus::kChecked},
    {"CFDI40197", RuleStatus::kChecked},    {"CFDI40198", RuleStatus::kChecked},
    {"CFDI40199", RuleStatus::kPartly},     {"CFDI40200", RuleStatus::kChecked},
    {"CFDI40201", RuleStatus::kChecked},    {"CFDI40202", RuleStatus::kChecked},
    {"CFDI40203", RuleStatus::kChecked},    {"CFDI40204", RuleStatus::kChecked},
    {"CFDI40205", RuleStatus::kChecked},    {"CFDI40206", RuleStatus::kChecked},
    {"CFDI40207", RuleStatus::kChecked},    {"CFDI40208", RuleStatus::kChecked},
    {"CFDI40209", RuleStatus::kChecked},    {"CFDI40210", RuleStatus::kChecked},
    {"CFDI40211", RuleStatus::kChecked},    {"CFDI40212", RuleStatus::kChecked},
    {"CFDI40213", RuleStatus::kChecked},    {"CFDI40214", RuleStatus::kChecked},
    {"CFDI40215", RuleStatus::kChecked},    {"CFDI40216", RuleStatus::kChecked},
    {"CFDI40217", RuleStatus::kChecked},    {"CFDI40218", RuleStatus::kChecked},
    {"CFDI40219", RuleStatus::kChecked},    {"CFDI40220", RuleStatus::kChecked},
    {"CFDI40221", RuleStatus::kChecked},    {"CFDI40222", RuleStatus::kChecked},
    {"CFDI140223", RuleStatus::kChecked},   {"CFDI140224", RuleStatus::kRegistries},
    {"CFDI140225", RuleStatus::kRegistries}, {"CFDI140226", RuleStatus::kChecked},
    {"CFDI140227", RuleStatus::kChecked},
};

// Where an element stands in a 4.0 document.
enum class Node : std::uint8_t {
    kOther,
    kComprobante,
    kInformacionGlobal,
    kCfdiRelacionados,
    kEmisor,
    kReceptor,
    kConceptos,
    kConcepto,
    kConceptoImpuestos,
    kConceptoTraslados,
    kConceptoTraslado,
    kConceptoRetenciones,
    kConceptoRetencion,
    kACuentaTerceros,
    kConceptoAduana,
    kParte,
    kParteAduana,
    kImpuestos,
    kTraslados,
    kTraslado,
    kRetenciones,
    kRetencion,
    kComplemento,
    kCount,
};

struct NodeStep {
    Node parent;
    const char* local;
    Node node;
};

constexpr NodeStep kSteps[] = {
    {Node::kComprobante, "InformacionGlobal", Node::kInformacionGlobal},
    {Node::kComprobante, "CfdiRelacionados", Node::kCfdiRelacionados},
    {Node::kComprobante, "Emisor", Node::kEmisor},
    {Node::kComprobante, "Receptor", Node::kReceptor},
    {Node::kComprobante, "Conceptos", Node::kConceptos},
    {Node::kComprobante, "Impuestos", Node::kImpuestos},
    {Node::kComprobante, "Complemento", Node::kComplemento},
    {Node::kConceptos, "Concepto", Node::kConcepto},
    {Node::kConcepto, "Impuestos", Node::kConceptoImpuestos},
    {Node::kConcepto, "ACuentaTerceros", Node::kACuentaTerceros},
    {Node::kConcepto, "InformacionAduanera", Node::kConceptoAduana},
    {Node::kConcepto, "Parte", Node::kParte},
    {Node::kConceptoImpuestos, "Traslados", Node::kConceptoTraslados},
    {Node::kConceptoImpuestos, "Retenciones", Node::kConceptoRetenciones},
    {Node::kConceptoTraslados, "Traslado", Node::kConceptoTraslado},
    {Node::kConceptoRetenciones, "Retencion", Node::kConceptoRetencion},
    {Node::kParte, "InformacionAduanera", Node::kParteAduana},
    {Node::kImpuestos, "Traslados", Node::kTraslados},
    {Node::kImpuestos, "Retenciones", Node::kRetenciones},
    {Node::kTraslados, "Traslado", Node::kTraslado},
    {Node::kRetenciones, "Retencion", Node::kRetencion},
};

constexpr int kTrackedDepth = 8;

// A place of the document, to report at later.
// A decimal attribute as read: present, and parsed when it is a decimal.
struct Amount {
    Decimal value;
    bool present = false;
    bool valid = false;
};

// The sums of one tax of the concepts (transfers: by Impuesto, TipoFactor and TasaOCuota;
// retentions: by Impuesto).
struct TaxGroup {
    String impuesto;
    String factor;
    Decimal rate;      // transfers at a Tasa or Cuota
    bool hasRate = false;
    Decimal base;
    Decimal importe;
    bool overflow = false;
};

// The summary rows already seen (duplicates are a rule of their own).
struct SummaryKey {
    String impuesto;
    String factor;
    Decimal rate;
    bool hasRate = false;
};

// The tax codes of c_Impuesto and the names c_TasaOCuota writes them with.
const char* TaxName(std::string_view code) noexcept {
    if (code == "001") return "ISR";
    if (code == "002") return "IVA";
    if (code == "003") return "IEPS";
    return nullptr;
}

bool IsDigits(std::string_view s) noexcept {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// TipoCambio's pattern: [0-9]{1,18}(.[0-9]{1,6})? (the dot standing for any character).
bool ExchangeRateMatches(std::string_view t) noexcept {
    std::size_t i = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    if (i < 1 || i > 18) return false;
    if (i == t.size()) return true;
    const std::string_view rest = t.substr(i + 1);
    return rest.size() >= 1 && rest.size() <= 6 && IsDigits(rest);
}

// Whether base64 text is an X.509 certificate with an RSA public key, leaving the last-error
// text as it was.
bool ParseAmount(const AttributeValue& v, Amount* out) {
    out->present = v.found;
    out->valid = v.found && Decimal::Parse(v.text, &out->value);
    return out->valid;
}

bool ParseAmount(const ValidationElement& e, std::string_view name, Amount* out) {
    return ParseAmount(FindAttribute(e, name), out);
}


// A tax line (a concept's or the summary's Traslado or Retencion): its attributes in the
// schema's order, and its amounts read.
struct TaxLine {
    AttributeValue baseText, impuesto, factor, tasa, importeText;
    Amount base, importe;
};

TaxLine ReadTaxLine(const ValidationElement& e) {
    AttributeReader attributes(e);
    TaxLine line;
    line.baseText = attributes.Find("Base");
    line.impuesto = attributes.Find("Impuesto");
    line.factor = attributes.Find("TipoFactor");
    line.tasa = attributes.Find("TasaOCuota");
    line.importeText = attributes.Find("Importe");
    ParseAmount(line.baseText, &line.base);
    ParseAmount(line.importeText, &line.importe);
    return line;
}

bool Flag(const CatalogRow& row, std::string_view column) noexcept {
    const std::optional<std::string_view> f = row.Field(column);
    return f && *f == "1";
}

// Whether `value` is an item of a comma-separated list ("601, 603,606").
bool InList(std::string_view list, std::string_view value) noexcept {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        if (item == value) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

// The answers of c_TasaOCuota for the few (tax, factor, rate) a document repeats.
class RateMemo {
public:
    std::optional<bool> Find(std::string_view impuesto, std::string_view factor, std::string_view rate,
                             bool transfer) const noexcept {
        char key[kKeySize];
        const std::size_t size = Key(impuesto, factor, rate, transfer, key);
        for (std::size_t i = 0; i < count_; ++i) {
            if (size && entries_[i].size == size && std::memcmp(entries_[i].key, key, size) == 0)
                return entries_[i].allowed;
        }
        return std::nullopt;
    }
    void Keep(std::string_view impuesto, std::string_view factor, std::string_view rate, bool transfer,
              bool allowed) noexcept {
        Entry& entry = entries_[next_];
        entry.size = static_cast<std::uint8_t>(Key(impuesto, factor, rate, transfer, entry.key));
        entry.allowed = allowed;
        next_ = (next_ + 1) % kEntries;
        if (count_ < kEntries) ++count_;
    }

private:
    static constexpr std::size_t kEntries = 8;
    static constexpr std::size_t kKeySize = 48;
    struct Entry {
        char key[kKeySize];
        std::uint8_t size = 0;
        bool allowed = false;
    };
    // "T002|Tasa|0.160000"; 0 when it does not fit (never kept then).
    static std::size_t Key(std::string_view impuesto, std::string_view factor, std::string_view rate, bool transfer,
                           char* out) noexcept {
        const std::size_t size = 1 + impuesto.size() + 1 + factor.size() + 1 + rate.size();
        if (size > kKeySize) return 0;
        char* p = out;
        *p++ = transfer ? 'T' : 'R';
        p = std::copy(impuesto.begin(), impuesto.end(), p);
        *p++ = '|';
        p = std::copy(factor.begin(), factor.end(), p);
        *p++ = '|';
        std::copy(rate.begin(), rate.end(), p);
        return size;
    }
    Entry entries_[kEntries];
    std::size_t count_ = 0, next_ = 0;
};

class Rules40 final : public RuleFamily {
public:
    explicit Rules40(const RuleOptions& options) : options_(options) {}

    void OnStartElement(ValidationContext& c, const ValidationElement& e) override;
    void OnEndElement(ValidationContext& c, const ValidationElement& e) override;
    void OnEndDocument(ValidationContext& c) override;

private:
    Node Classify(const ValidationElement& e) noexcept;
    // Notes a place the first time only.
    static void Mark(RulePlace& place, const ValidationContext& c) {
        if (!place.noted) place.Note(c);
    }

    // Catalog membership: reports `code` when the value is not in the catalog at the
    // document's date, a not-checked warning (once per code) when the catalog is absent.
    // True when the value is valid.
    bool InCatalog(ValidationContext& c, const char* code, std::string_view catalog, std::string_view attribute,
                   std::string_view value);
    void NotChecked(ValidationContext& c, const char* code, std::string_view attribute, std::string_view value,
                    std::string_view why);
    void Registry(ValidationContext& c, const char* code, std::string_view attribute, std::string_view value);
    // Decimals of an amount within the currency's.
    void CurrencyScale(ValidationContext& c, const char* code, std::string_view attribute, const Amount& amount);
    bool RoundToCurrency(const Decimal& sum, int fallbackDecimals, Decimal* out) const;
    bool RateAllowed(ValidationContext& c, const char* code, std::string_view impuesto, std::string_view factor,
                     std::string_view rate, bool transfer);
    bool RateInCatalog(ValidationContext& c, const char* code, std::string_view impuesto, std::string_view factor,
                       std::string_view rate, bool transfer);
    void CheckPedimento(ValidationContext& c, const char* code, std::string_view value);

    void StartComprobante(ValidationContext& c, const ValidationElement& e);
    void StartInformacionGlobal(ValidationContext& c, const ValidationElement& e);
    void StartEmisor(ValidationContext& c, const ValidationElement& e);
    void StartReceptor(ValidationContext& c, const ValidationElement& e);
    void StartConcepto(ValidationContext& c, const ValidationElement& e);
    void EndConcepto(ValidationContext& c);
    void StartConceptoTax(ValidationContext& c, const ValidationElement& e, bool transfer);
    void StartACuentaTerceros(ValidationContext& c, const ValidationElement& e);
    void StartParte(ValidationContext& c, const ValidationElement& e);
    void StartImpuestos(ValidationContext& c, const ValidationElement& e);
    void EndImpuestos(ValidationContext& c);
    void StartSummaryTraslado(ValidationContext& c, const ValidationElement& e);
    void StartSummaryRetencion(ValidationContext& c, const ValidationElement& e);
    void EndComprobante(ValidationContext& c);
    void CheckSeal(ValidationContext& c);

    struct ProductKey {
        String clave;
        bool set = false, catalogAbsent = false, known = false;
        bool complement = false, ivaTransfer = false, iepsTransfer = false;
    };
    const ProductKey& ProductKeyOf(ValidationContext& c, std::string_view clave);

    TaxGroup* FindGroup(Vec<TaxGroup>& groups, std::string_view impuesto, std::string_view factor,
                        const Decimal* rate);

    RuleOptions options_;
    Node stack_[kTrackedDepth] = {};

    // The root.
    RulePlace root_;
    char tipo_ = 0;  // TipoDeComprobante's letter, 0 when unknown
    String moneda_, lugar_, formaPago_, sello_, certificado_;
    int currencyDecimals_ = -1;
    int fechaYear_ = 0;
    bool hasConfirmacion_ = false;
    Amount subTotal_, descuento_, total_;
    String exportacion_;

    // The parties.
    bool informacionGlobal_ = false;
    bool periodicidadBimonthly_ = false;
    RulePlace informacionGlobalPlace_;
    String emisorRfc_, emisorRegimen_, receptorRfc_;
    RulePlace receptorPlace_;
    bool receptorNumRegIdTrib_ = false;
    bool receptorResidencia_ = false;

    // The concepts' sums.
    Decimal sumImporte_, sumDescuento_;
    bool sumOverflow_ = false;
    bool anyConceptDescuento_ = false;
    Vec<TaxGroup> transfers_, retentions_;
    bool anyTransfer_ = false, anyNonExempt_ = false;
    Decimal exemptBase_;

    // The concept being read.
    int conceptLine_ = 0;
    String objetoImp_;
    Amount conceptImporte_;
    bool conceptImpuestos_ = false;
    bool conceptTaxChildren_ = false;
    bool conceptTax002_ = false, conceptTax003_ = false, conceptTransfer003_ = false, conceptTransfer002_ = false;
    bool requiresIvaTransfer_ = false, requiresIepsTransfer_ = false;

    // Complements required by a concept's key, and the places of customs numbers.
    bool complementRequired_ = false;
    RulePlace complementRequiredPlace_;
    RulePlace conceptPedimento_, partePedimento_;

    // The summary.
    bool impuestos_ = false;
    Amount totalRetenidos_, totalTrasladados_;
    Decimal summaryRetenidos_, summaryTrasladados_;
    bool summaryOverflow_ = false;
    Vec<SummaryKey> summaryKeys_;
    RulePlace impuestosPlace_;

    // The complements.
    bool foreignTrade_ = false;
    bool complementAny_ = false;
    Decimal localTransfers_, localRetentions_;
    bool localTaxesValid_ = true;

    OnceByCode notChecked_;  // codes already reported as not checked
    struct NodeMemo {
        const XsdElement* declaration = nullptr;
        Node node = Node::kOther;
    };
    static constexpr std::size_t kChildKinds = 6;
    NodeMemo children_[static_cast<std::size_t>(Node::kCount)][kChildKinds];
    std::uint8_t nextChild_[static_cast<std::size_t>(Node::kCount)] = {};
    RuleCatalogMemo catalogs_;
    ProductKey productKey_;
    RateMemo rates_;
};

Node Rules40::Classify(const ValidationElement& e) noexcept {
    if (e.depth == 0) return ElementIs(e, kCfdi40, "Comprobante") ? Node::kComprobante : Node::kOther;
    if (e.depth >= kTrackedDepth) return Node::kOther;
    const Node parent = stack_[e.depth - 1];
    if (parent == Node::kOther) return Node::kOther;  // no node is tracked below an untracked one
    // A declaration names one element, so with the parent's node it decides the node; the
    // answers are kept per parent, for the few kinds of children each parent has.
    NodeMemo* row = nullptr;
    if (e.declaration) {
        row = children_[static_cast<std::size_t>(parent)];
        for (std::size_t i = 0; i < kChildKinds; ++i) {
            if (row[i].declaration == e.declaration) return row[i].node;
        }
    }
    Node node = Node::kOther;
    if (std::string_view(e.uri) == kCfdi40) {
        for (const NodeStep& step : kSteps) {
            if (step.parent == parent && std::strcmp(step.local, e.local) == 0) {
                node = step.node;
                break;
            }
        }
    }
    if (row) {
        std::uint8_t& next = nextChild_[static_cast<std::size_t>(parent)];
        row[next] = NodeMemo{e.declaration, node};
        next = static_cast<std::uint8_t>((next + 1) % kChildKinds);
    }
    return node;
}

void Rules40::NotChecked(ValidationContext& c, const char* code, std::string_view attribute, std::string_view value,
                         std::string_view why) {
    if (notChecked_.First(code)) ReportRuleNotChecked(c, code, attribute, value, why);
}

void Rules40::Registry(ValidationContext& c, const char* code, std::string_view attribute, std::string_view value) {
    if (options_.registryRules)
        NotChecked(c, code, attribute, value, "it needs the tax authority's registries");
}

bool Rules40::InCatalog(ValidationContext& c, const char* code, std::string_view catalog, std::string_view attribute,
                        std::string_view value) {
    switch (catalogs_.Check(c, catalog, value)) {
    case CatalogAnswer::kValid:
        return true;
    case CatalogAnswer::kInvalid:
        ReportRule(c, code, attribute, value);
        return false;
    case CatalogAnswer::kAbsent:
        break;
    }
    // The schema pass reports the absent catalog of an attribute once (CATALOG-ABSENT), which
    // stands for its membership rules too.
    (void)attribute;
    return false;
}

void Rules40::CurrencyScale(ValidationContext& c, const char* code, std::string_view attribute, const Amount& amount) {
    if (amount.valid && currencyDecimals_ >= 0 && amount.value.Scale() > currencyDecimals_)
        ReportRule(c, code, attribute, amount.value.ToString());
}

bool Rules40::RoundToCurrency(const Decimal& sum, int fallbackDecimals, Decimal* out) const {
    return sum.RoundTo(currencyDecimals_ >= 0 ? currencyDecimals_ : fallbackDecimals, out);
}

// A rate of c_TasaOCuota for the tax and factor at the document's date: a fixed value equal
// to it, or a range holding it, in the transfer or retention column.
bool Rules40::RateAllowed(ValidationContext& c, const char* code, std::string_view impuesto, std::string_view factor,
                          std::string_view rate, bool transfer) {
    if (const std::optional<bool> known = rates_.Find(impuesto, factor, rate, transfer)) {
        if (!*known) ReportRule(c, code, "TasaOCuota", rate);
        return *known;
    }
    const bool allowed = RateInCatalog(c, code, impuesto, factor, rate, transfer);
    return allowed;
}

bool Rules40::RateInCatalog(ValidationContext& c, const char* code, std::string_view impuesto,
                            std::string_view factor, std::string_view rate, bool transfer) {
    Decimal value;
    const char* name = TaxName(impuesto);
    if (!name || !Decimal::Parse(rate, &value)) return true;  // the catalog or schema finding says it
    const CatalogTable* table = c.CatalogTables().Find(c.Schema().catalogs, "c_TasaOCuota");
    if (!table) {
        NotChecked(c, code, "TasaOCuota", rate, "catalog c_TasaOCuota is absent");
        return true;
    }
    const auto tipo = table->ColumnIndex("tipo"), minimo = table->ColumnIndex("minimo"),
               valor = table->ColumnIndex("valor"), factorColumn = table->ColumnIndex("factor"),
               use = table->ColumnIndex(transfer ? "traslado" : "retencion");
    if (!tipo || !minimo || !valor || !factorColumn || !use) {
        NotChecked(c, code, "TasaOCuota", rate, "catalog c_TasaOCuota lacks its columns");
        return true;
    }
    for (const CatalogRow row : table->RowsOf(name)) {
        if (!row.ValidAt(c.DocumentDate()) || row[*factorColumn] != factor || row[*use] != "1") continue;
        Decimal low, high;
        if (!Decimal::Parse(row[*valor], &high)) continue;
        if (row[*tipo] == "Rango") {
            if (!Decimal::Parse(row[*minimo], &low)) continue;
            if (Decimal::Compare(value, low) >= 0 && Decimal::Compare(value, high) <= 0) {
                rates_.Keep(impuesto, factor, rate, transfer, true);
                return true;
            }
        } else if (Decimal::Compare(value, high) == 0) {
            rates_.Keep(impuesto, factor, rate, transfer, true);
            return true;
        }
    }
    rates_.Keep(impuesto, factor, rate, transfer, false);
    ReportRule(c, code, "TasaOCuota", rate);
    return false;
}

// NumeroPedimento: "yy  aa  pppp  syyyyyy" (year, customs office, agent, sequence whose
// first digit is the year's last); the office and agent in their catalogs; with
// c_NumPedimentoAduana, the sequence within the count issued to the office and agent that
// year.
void Rules40::CheckPedimento(ValidationContext& c, const char* code, std::string_view v) {
    if (v.size() != 21 || v.substr(2, 2) != "  " || v.substr(6, 2) != "  " || v.substr(12, 2) != "  ") {
        ReportRule(c, code, "NumeroPedimento", v);
        return;
    }
    const std::string_view year = v.substr(0, 2), office = v.substr(4, 2), agent = v.substr(8, 4),
                           sequence = v.substr(14, 7);
    if (!IsDigits(year) || !IsDigits(office) || !IsDigits(agent) || !IsDigits(sequence) || sequence[0] != year[1] ||
        (fechaYear_ > 0 && 2000 + (year[0] - '0') * 10 + (year[1] - '0') > fechaYear_)) {
        ReportRule(c, code, "NumeroPedimento", v);
        return;
    }
    if (!InCatalog(c, code, "c_Aduana", "NumeroPedimento", office)) return;
    if (!InCatalog(c, code, "c_PatenteAduanal", "NumeroPedimento", agent)) return;
    const CatalogTable* counts = c.CatalogTables().Find(c.Schema().catalogs, "c_NumPedimentoAduana");
    if (!counts) {
        NotChecked(c, code, "NumeroPedimento", v, "catalog c_NumPedimentoAduana is absent");
        return;
    }
    char ejercicio[5] = {'2', '0', year[0], year[1], '\0'};
    const std::optional<CatalogRow> row =
        counts->FindValid(office, c.DocumentDate(), {{"patente", agent}, {"ejercicio", ejercicio}});
    Decimal issued, number;
    const std::optional<std::string_view> cantidad = row ? row->Field("cantidad") : std::nullopt;
    if (!row || !cantidad || !Decimal::Parse(*cantidad, &issued) || !Decimal::Parse(sequence.substr(1), &number) ||
        Decimal::Compare(number, issued) > 0)
        ReportRule(c, code, "NumeroPedimento", v);
}

TaxGroup* Rules40::FindGroup(Vec<TaxGroup>& groups, std::string_view impuesto, std::string_view factor,
                             const Decimal* rate) {
    for (TaxGroup& g : groups) {
        if (g.impuesto != impuesto || g.factor != factor || g.hasRate != (rate != nullptr)) continue;
        if (rate && Decimal::Compare(g.rate, *rate) != 0) continue;
        return &g;
    }
    TaxGroup& g = groups.emplace_back();
    g.impuesto.assign(impuesto.data(), impuesto.size());
    g.factor.assign(factor.data(), factor.size());
    if (rate) {
        g.rate = *rate;
        g.hasRate = true;
    }
    return &g;
}

// What c_ClaveProdServ says of a key at the document's date. Concepts tend to repeat their
// key, so the last answer is kept.
const Rules40::ProductKey& Rules40::ProductKeyOf(ValidationContext& c, std::string_view clave) {
    if (productKey_.set && std::string_view(productKey_.clave.data(), productKey_.clave.size()) == clave)
        return productKey_;
    ProductKey& key = productKey_;
    key.clave.assign(clave.data(), clave.size());
    key.set = true;
    key.catalogAbsent = key.known = key.complement = key.ivaTransfer = key.iepsTransfer = false;
    bool absent = false;
    const std::optional<CatalogRow> row = RuleCatalogRow(c, "c_ClaveProdServ", clave, &absent);
    key.catalogAbsent = absent;
    if (absent) {
        NotChecked(c, "CFDI40163", "ClaveProdServ", clave, "catalog c_ClaveProdServ is absent");
        NotChecked(c, "CFDI40164", "ClaveProdServ", clave, "catalog c_ClaveProdServ is absent");
    }
    if (!row) return key;
    key.known = true;
    const std::optional<std::string_view> complement = row->Field("complemento");
    key.complement = complement && !complement->empty();
    auto required = [&](std::string_view column) {
        const std::optional<std::string_view> f = row->Field(column);
        return f && (*f == "S\303\255" || *f == "Si" || *f == "1");
    };
    key.ivaTransfer = required("iva_trasladado");
    key.iepsTransfer = required("ieps_trasladado");
    return key;
}

void Rules40::OnStartElement(ValidationContext& c, const ValidationElement& e) {
    const Node node = Classify(e);
    if (e.depth < kTrackedDepth) stack_[e.depth] = node;
    switch (node) {
    case Node::kComprobante: StartComprobante(c, e); break;
    case Node::kInformacionGlobal: StartInformacionGlobal(c, e); break;
    case Node::kCfdiRelacionados: {
        const AttributeValue v = FindAttribute(e, "TipoRelacion");
        if (v.found) InCatalog(c, "CFDI40137", "c_TipoRelacion", "TipoRelacion", v.text);
        break;
    }
    case Node::kEmisor: StartEmisor(c, e); break;
    case Node::kReceptor: StartReceptor(c, e); break;
    case Node::kConcepto: StartConcepto(c, e); break;
    case Node::kConceptoImpuestos:
        conceptImpuestos_ = true;
        break;
    case Node::kConceptoTraslados:
    case Node::kConceptoRetenciones: conceptTaxChildren_ = true; break;
    case Node::kConceptoTraslado: StartConceptoTax(c, e, true); break;
    case Node::kConceptoRetencion: StartConceptoTax(c, e, false); break;
    case Node::kACuentaTerceros: StartACuentaTerceros(c, e); break;
    case Node::kConceptoAduana:
    case Node::kParteAduana: {
        const bool parte = node == Node::kParteAduana;
        const AttributeValue v = FindAttribute(e, "NumeroPedimento");
        if (!v.found) break;
        CheckPedimento(c, parte ? "CFDI40199" : "CFDI40194", v.text);
        Mark(parte ? partePedimento_ : conceptPedimento_, c);
        break;
    }
    case Node::kParte: StartParte(c, e); break;
    case Node::kImpuestos: StartImpuestos(c, e); break;
    case Node::kTraslados:
        if (anyNonExempt_ && !totalTrasladados_.present) ReportRule(c, "CFDI40212", "", "");
        break;
    case Node::kRetenciones:
        if (!totalRetenidos_.present) ReportRule(c, "CFDI40206", "", "");
        break;
    case Node::kTraslado: StartSummaryTraslado(c, e); break;
    case Node::kRetencion: StartSummaryRetencion(c, e); break;
    case Node::kComplemento: break;
    case Node::kOther:
        // The complements: children of Complemento.
        if (e.depth == 2 && stack_[1] == Node::kComplemento) {
            complementAny_ = true;
            const std::string_view uri(e.uri);
            if (uri.rfind("http://www.sat.gob.mx/ComercioExterior", 0) == 0) foreignTrade_ = true;
            if (uri == kLocalTaxesUri && std::strcmp(e.local, "ImpuestosLocales") == 0) {
                Amount t, r;
                ParseAmount(e, "TotaldeTraslados", &t);
                ParseAmount(e, "TotaldeRetenciones", &r);
                if ((t.present && !t.valid) || (r.present && !r.valid) ||
                    (t.valid && !Decimal::Add(localTransfers_, t.value, &localTransfers_)) ||
                    (r.valid && !Decimal::Add(localRetentions_, r.value, &localRetentions_)))
                    localTaxesValid_ = false;
            }
        }
        break;
    default: break;
    }
}

void Rules40::OnEndElement(ValidationContext& c, const ValidationElement& e) {
    if (e.depth >= kTrackedDepth) return;
    switch (stack_[e.depth]) {
    case Node::kConcepto: EndConcepto(c); break;
    case Node::kConceptoImpuestos:
        if (!conceptTaxChildren_) ReportRule(c, "CFDI40173", "", "");
        break;
    case Node::kImpuestos: EndImpuestos(c); break;
    case Node::kComprobante: EndComprobante(c); break;
    default: break;
    }
    stack_[e.depth] = Node::kOther;
}

void Rules40::OnEndDocument(ValidationContext&) {}

void Rules40::StartComprobante(ValidationContext& c, const ValidationElement& e) {
    Mark(root_, c);
    const AttributeValue fecha = FindAttribute(e, "Fecha");
    if (fecha.found) {
        if (!FechaMatchesPattern(fecha.text)) ReportRule(c, "CFDI40101", "Fecha", fecha.text);
        else fechaYear_ = (fecha.text[0] - '0') * 1000 + (fecha.text[1] - '0') * 100 + (fecha.text[2] - '0') * 10 +
                          (fecha.text[3] - '0');
    }
    const AttributeValue tipo = FindAttribute(e, "TipoDeComprobante");
    if (tipo.found && InCatalog(c, "CFDI40121", "c_TipoDeComprobante", "TipoDeComprobante", tipo.text))
        tipo_ = tipo.text[0];
    const bool transferOrPayment = tipo_ == 'T' || tipo_ == 'P';
    const bool incomeLike = tipo_ == 'I' || tipo_ == 'E' || tipo_ == 'N';

    const AttributeValue forma = FindAttribute(e, "FormaPago");
    const AttributeValue metodo = FindAttribute(e, "MetodoPago");
    if (forma.found) {
        formaPago_.assign(forma.text.data(), forma.text.size());
        if (tipo_ == 'T' || tipo_ == 'N' || tipo_ == 'P') ReportRule(c, "CFDI40103", "FormaPago", forma.text);
        InCatalog(c, "CFDI40104", "c_FormaPago", "FormaPago", forma.text);
    }
    if (metodo.found) {
        if (InCatalog(c, "CFDI40124", "c_MetodoPago", "MetodoPago", metodo.text) && metodo.text == "PPD" &&
            forma.found && forma.text != "99")
            ReportRule(c, "CFDI40105", "FormaPago", forma.text);
        if (transferOrPayment) ReportRule(c, "CFDI40125", "MetodoPago", metodo.text);
    }

    const AttributeValue moneda = FindAttribute(e, "Moneda");
    if (moneda.found) {
        moneda_.assign(moneda.text.data(), moneda.text.size());
        if (InCatalog(c, "CFDI40113", "c_Moneda", "Moneda", moneda.text))
            currencyDecimals_ = CurrencyDecimals(c, moneda.text);
    }
    const AttributeValue cambio = FindAttribute(e, "TipoCambio");
    if (cambio.found) {
        const bool pattern = ExchangeRateMatches(cambio.text);
        if (!pattern) ReportRule(c, "CFDI40117", "TipoCambio", cambio.text);
        Decimal rate;
        if (moneda_ == "MXN" && !(pattern && Decimal::Parse(cambio.text, &rate) &&
                                  Decimal::Compare(rate, Decimal::FromInt(1)) == 0))
            ReportRule(c, "CFDI40114", "TipoCambio", cambio.text);
        if (moneda_ == "XXX") ReportRule(c, "CFDI40116", "TipoCambio", cambio.text);
        if (moneda.found && moneda_ != "MXN" && moneda_ != "XXX") Registry(c, "CFDI40118", "TipoCambio", cambio.text);
    } else if (currencyDecimals_ >= 0 && moneda_ != "MXN" && moneda_ != "XXX") {
        ReportRule(c, "CFDI40115", "TipoCambio", "");
    }

    ParseAmount(e, "SubTotal", &subTotal_);
    ParseAmount(e, "Descuento", &descuento_);
    ParseAmount(e, "Total", &total_);
    CurrencyScale(c, "CFDI40107", "SubTotal", subTotal_);
    CurrencyScale(c, "CFDI40112", "Descuento", descuento_);
    if (subTotal_.valid && transferOrPayment && !subTotal_.value.IsZero())
        ReportRule(c, "CFDI40109", "SubTotal", FindAttribute(e, "SubTotal").text);
    if (subTotal_.valid && descuento_.valid && Decimal::Compare(descuento_.value, subTotal_.value) > 0)
        ReportRule(c, "CFDI40110", "Descuento", FindAttribute(e, "Descuento").text);
    (void)incomeLike;

    const AttributeValue confirmacion = FindAttribute(e, "Confirmacion");
    hasConfirmacion_ = confirmacion.found;
    if (confirmacion.found) {
        Registry(c, "CFDI40127", "Confirmacion", confirmacion.text);
        Registry(c, "CFDI40128", "Confirmacion", confirmacion.text);
        Registry(c, "CFDI40129", "Confirmacion", confirmacion.text);
    }
    if (total_.valid && !hasConfirmacion_ && tipo_) {
        const char letter[2] = {tipo_, '\0'};
        if (const std::optional<CatalogRow> row = RuleCatalogRow(c, "c_TipoDeComprobante", letter)) {
            Decimal limit;
            const std::optional<std::string_view> maximum = row->Field("valor_maximo");
            if (maximum && Decimal::Parse(*maximum, &limit) && Decimal::Compare(total_.value, limit) > 0)
                ReportRule(c, "CFDI40120", "Total", FindAttribute(e, "Total").text);
        }
    }

    const AttributeValue exportacion = FindAttribute(e, "Exportacion");
    if (exportacion.found) {
        exportacion_.assign(exportacion.text.data(), exportacion.text.size());
        InCatalog(c, "CFDI40123", "c_Exportacion", "Exportacion", exportacion.text);
    }
    const AttributeValue lugar = FindAttribute(e, "LugarExpedicion");
    if (lugar.found) {
        lugar_.assign(lugar.text.data(), lugar.text.size());
        InCatalog(c, "CFDI40126", "c_CodigoPostal", "LugarExpedicion", lugar.text);
    }
    const AttributeValue sello = FindAttribute(e, "Sello");
    if (sello.found) sello_.assign(sello.text.data(), sello.text.size());
    const AttributeValue certificado = FindAttribute(e, "Certificado");
    if (certificado.found && !certificado.text.empty()) {
        certificado_.assign(certificado.text.data(), certificado.text.size());
        if (!EmbeddedCertificateReadable(certificado.text)) {
            ReportRule(c, "CFDI40106", "Certificado", certificado.text.substr(0, 40));
            certificado_.clear();
        }
    }
}

void Rules40::StartInformacionGlobal(ValidationContext& c, const ValidationElement& e) {
    informacionGlobal_ = true;
    Mark(informacionGlobalPlace_, c);
    const AttributeValue periodicidad = FindAttribute(e, "Periodicidad");
    const AttributeValue meses = FindAttribute(e, "Meses");
    const AttributeValue anio = FindAttribute(e, "A\303\261o");
    bool periodicidadValid = false;
    if (periodicidad.found) {
        periodicidadValid = InCatalog(c, "CFDI40131", "c_Periodicidad", "Periodicidad", periodicidad.text);
        periodicidadBimonthly_ = periodicidad.text == "05";
    }
    if (meses.found && InCatalog(c, "CFDI40133", "c_Meses", "Meses", meses.text) && periodicidadValid) {
        const int month = IsDigits(meses.text) && meses.text.size() == 2
                              ? (meses.text[0] - '0') * 10 + (meses.text[1] - '0')
                              : 0;
        if (!periodicidadBimonthly_ && !(month >= 1 && month <= 12)) ReportRule(c, "CFDI40134", "Meses", meses.text);
        if (periodicidadBimonthly_ && !(month >= 13 && month <= 18)) ReportRule(c, "CFDI40135", "Meses", meses.text);
    }
    if (anio.found && fechaYear_ > 0) {
        const bool digits = anio.text.size() == 4 && IsDigits(anio.text);
        const int year = digits ? std::atoi(String(anio.text.data(), anio.text.size()).c_str()) : 0;
        if (!digits || year > fechaYear_ || year < fechaYear_ - 5) ReportRule(c, "CFDI40136", "A\303\261o", anio.text);
    }
}

void Rules40::StartEmisor(ValidationContext& c, const ValidationElement& e) {
    const AttributeValue rfc = FindAttribute(e, "Rfc");
    const AttributeValue regimen = FindAttribute(e, "RegimenFiscal");
    if (rfc.found) emisorRfc_.assign(rfc.text.data(), rfc.text.size());
    if (regimen.found) emisorRegimen_.assign(regimen.text.data(), regimen.text.size());
    if (periodicidadBimonthly_ && emisorRegimen_ != "621")
        ReportRuleAt(c, informacionGlobalPlace_, "CFDI40132", "Periodicidad", "05");
    if (regimen.found && InCatalog(c, "CFDI40140", "c_RegimenFiscal", "RegimenFiscal", regimen.text)) {
        const Person person = PersonOf(emisorRfc_);
        const std::optional<CatalogRow> row = RuleCatalogRow(c, "c_RegimenFiscal", regimen.text);
        if (row && person != Person::kUnknown &&
            !Flag(*row, person == Person::kCompany ? "aplica_moral" : "aplica_fisica"))
            ReportRule(c, "CFDI40141", "RegimenFiscal", regimen.text);
    }
    const AttributeValue nombre = FindAttribute(e, "Nombre");
    Registry(c, "CFDI40138", "Nombre", nombre.text);
    Registry(c, "CFDI40139", "Nombre", nombre.text);
    const AttributeValue facAtr = FindAttribute(e, "FacAtrAdquirente");
    if (facAtr.found) Registry(c, "CFDI40142", "FacAtrAdquirente", facAtr.text);
}

void Rules40::StartReceptor(ValidationContext& c, const ValidationElement& e) {
    Mark(receptorPlace_, c);
    const AttributeValue rfc = FindAttribute(e, "Rfc");
    const AttributeValue nombre = FindAttribute(e, "Nombre");
    if (rfc.found) receptorRfc_.assign(rfc.text.data(), rfc.text.size());
    const std::string_view r(receptorRfc_.data(), receptorRfc_.size());
    const bool generic = r == kGenericNationalRfc || r == kGenericForeignRfc;
    const bool foreign = r == kGenericForeignRfc;

    if (tipo_ == 'I' && r == kGenericNationalRfc && nombre.text == kPublicName && !informacionGlobal_)
        ReportRuleAt(c, root_, "CFDI40130", "", "");
    if (nombre.found && nombre.text == kPublicName && r != kGenericNationalRfc)
        ReportRule(c, "CFDI40146", "Rfc", r);

    const AttributeValue domicilio = FindAttribute(e, "DomicilioFiscalReceptor");
    if (generic && domicilio.found && domicilio.text != std::string_view(lugar_.data(), lugar_.size()))
        ReportRule(c, "CFDI40149", "DomicilioFiscalReceptor", domicilio.text);

    const AttributeValue residencia = FindAttribute(e, "ResidenciaFiscal");
    const AttributeValue numReg = FindAttribute(e, "NumRegIdTrib");
    receptorResidencia_ = residencia.found;
    receptorNumRegIdTrib_ = numReg.found;
    if (residencia.found) {
        InCatalog(c, "CFDI40150", "c_Pais", "ResidenciaFiscal", residencia.text);
        if (rfc.found && !foreign) ReportRule(c, "CFDI40151", "ResidenciaFiscal", residencia.text);
        if (residencia.text == "MEX") ReportRule(c, "CFDI40152", "ResidenciaFiscal", residencia.text);
    } else if (numReg.found) {
        ReportRule(c, "CFDI40153", "ResidenciaFiscal", "");
    }
    if (numReg.found) {
        if (rfc.found && !foreign) ReportRule(c, "CFDI40154", "NumRegIdTrib", numReg.text);
        if (residencia.found && residencia.text != "MEX") {
            const std::optional<CatalogRow> country = RuleCatalogRow(c, "c_Pais", residencia.text);
            const std::optional<std::string_view> pattern =
                country ? country->Field("patron_identidad_tributaria") : std::nullopt;
            if (pattern && !pattern->empty()) {
                try {
                    const std::regex re(pattern->data(), pattern->size());
                    if (!std::regex_match(numReg.text.begin(), numReg.text.end(), re))
                        ReportRule(c, "CFDI40156", "NumRegIdTrib", numReg.text);
                } catch (const std::regex_error&) {
                    NotChecked(c, "CFDI40156", "NumRegIdTrib", numReg.text,
                               "the pattern of c_Pais for the country is not a valid expression");
                }
            }
        }
    }

    const AttributeValue regimen = FindAttribute(e, "RegimenFiscalReceptor");
    bool regimenValid = false;
    if (regimen.found) {
        regimenValid = InCatalog(c, "CFDI40157", "c_RegimenFiscal", "RegimenFiscalReceptor", regimen.text);
        const Person person = PersonOf(r);
        const std::optional<CatalogRow> row =
            regimenValid ? RuleCatalogRow(c, "c_RegimenFiscal", regimen.text) : std::nullopt;
        if (row && person != Person::kUnknown &&
            !Flag(*row, person == Person::kCompany ? "aplica_moral" : "aplica_fisica"))
            ReportRule(c, "CFDI40158", "RegimenFiscalReceptor", regimen.text);
        if (generic && regimen.text != "616") ReportRule(c, "CFDI40159", "RegimenFiscalReceptor", regimen.text);
    }
    const AttributeValue uso = FindAttribute(e, "UsoCFDI");
    if (uso.found && InCatalog(c, "CFDI40160", "c_UsoCFDI", "UsoCFDI", uso.text)) {
        const std::optional<CatalogRow> row = RuleCatalogRow(c, "c_UsoCFDI", uso.text);
        const Person person = PersonOf(r);
        bool allowed = true;
        if (row && person != Person::kUnknown)
            allowed = Flag(*row, person == Person::kCompany ? "aplica_moral" : "aplica_fisica");
        if (row && allowed && regimenValid) {
            const std::optional<std::string_view> regimes = row->Field("regimenes_fiscales_receptores");
            if (regimes && !regimes->empty()) allowed = InList(*regimes, regimen.text);
        }
        if (!allowed) ReportRule(c, "CFDI40161", "UsoCFDI", uso.text);
    }

    if (!generic && rfc.found) Registry(c, "CFDI40143", "Rfc", r);
    if (rfc.found && r != kGenericForeignRfc) {
        Registry(c, "CFDI40144", "Nombre", nombre.text);
        Registry(c, "CFDI40145", "Nombre", nombre.text);
        Registry(c, "CFDI40147", "DomicilioFiscalReceptor", domicilio.text);
        Registry(c, "CFDI40148", "DomicilioFiscalReceptor", domicilio.text);
    }
    // A natural-person issuer in the simplified regime invoicing a legal person: the ISR
    // retention depends on the taxpayer list's mark.
    if (emisorRegimen_ == "626" && PersonOf(emisorRfc_) == Person::kIndividual && PersonOf(r) == Person::kCompany) {
        Registry(c, "CFDI140224", "Impuesto", "");
        Registry(c, "CFDI140225", "Impuesto", "");
    }
}

void Rules40::StartConcepto(ValidationContext& c, const ValidationElement& e) {
    conceptLine_ = c.Line();
    conceptImpuestos_ = conceptTaxChildren_ = false;
    conceptTax002_ = conceptTax003_ = conceptTransfer002_ = conceptTransfer003_ = false;
    requiresIvaTransfer_ = requiresIepsTransfer_ = false;

    AttributeReader attributes(e);  // in the schema's order
    const AttributeValue clave = attributes.Find("ClaveProdServ");
    const AttributeValue cantidadText = attributes.Find("Cantidad");
    const AttributeValue unidad = attributes.Find("ClaveUnidad");
    const AttributeValue valorUnitarioText = attributes.Find("ValorUnitario");
    const AttributeValue importeText = attributes.Find("Importe");
    const AttributeValue descuentoText = attributes.Find("Descuento");
    const AttributeValue objeto = attributes.Find("ObjetoImp");
    if (clave.found) {
        const ProductKey& key = ProductKeyOf(c, clave.text);
        if (key.known) {
            if (key.complement && !complementRequired_) {
                complementRequired_ = true;
                Mark(complementRequiredPlace_, c);
            }
            requiresIvaTransfer_ = key.ivaTransfer;
            requiresIepsTransfer_ = key.iepsTransfer;
        } else if (!key.catalogAbsent) {
            ReportRule(c, "CFDI40162", "ClaveProdServ", clave.text);
        }
    }
    if (unidad.found) InCatalog(c, "CFDI40165", "c_ClaveUnidad", "ClaveUnidad", unidad.text);

    Amount cantidad, valorUnitario, descuento;
    ParseAmount(cantidadText, &cantidad);
    ParseAmount(valorUnitarioText, &valorUnitario);
    ParseAmount(importeText, &conceptImporte_);
    ParseAmount(descuentoText, &descuento);
    const bool incomeLike = tipo_ == 'I' || tipo_ == 'E' || tipo_ == 'N';
    if (valorUnitario.valid && incomeLike && valorUnitario.value.Sign() <= 0)
        ReportRule(c, "CFDI40166", "ValorUnitario", valorUnitarioText.text);
    if (cantidad.valid && valorUnitario.valid && conceptImporte_.valid &&
        !WithinProductBounds(conceptImporte_.value, cantidad.value, valorUnitario.value, false))
        ReportRule(c, "CFDI40167", "Importe", importeText.text);
    if (descuento.valid && conceptImporte_.valid) {
        if (descuento.value.Scale() > conceptImporte_.value.Scale())
            ReportRule(c, "CFDI40168", "Descuento", descuentoText.text);
        if (Decimal::Compare(descuento.value, conceptImporte_.value) > 0)
            ReportRule(c, "CFDI40169", "Descuento", descuentoText.text);
    }
    if (conceptImporte_.valid && !Decimal::Add(sumImporte_, conceptImporte_.value, &sumImporte_)) sumOverflow_ = true;
    if (descuento.present) anyConceptDescuento_ = true;
    if (descuento.valid && !Decimal::Add(sumDescuento_, descuento.value, &sumDescuento_)) sumOverflow_ = true;

    objetoImp_.clear();
    if (objeto.found && InCatalog(c, "CFDI40170", "c_ObjetoImp", "ObjetoImp", objeto.text))
        objetoImp_.assign(objeto.text.data(), objeto.text.size());
}

void Rules40::EndConcepto(ValidationContext& c) {
    const std::string_view objeto(objetoImp_.data(), objetoImp_.size());
    // Called at the concept's end tag: the path is still the concept's, the line its start's.
    auto at = [&](const char* code) { ReportRuleAt(c, conceptLine_, c.Path(), code, "ObjetoImp", objeto); };
    if (objeto == "02" && !conceptImpuestos_) at("CFDI40171");
    if ((objeto == "01" || objeto == "03" || objeto == "04" || objeto == "05") && conceptImpuestos_) at("CFDI40172");
    if ((objeto == "06" || objeto == "08") && (conceptTax002_ || conceptTax003_)) at("CFDI140226");
    if (objeto == "07" && (conceptTax002_ || !conceptTransfer003_)) at("CFDI140227");
    if ((requiresIvaTransfer_ && !conceptTransfer002_) || (requiresIepsTransfer_ && !conceptTransfer003_))
        ReportRuleAt(c, conceptLine_, c.Path(), "CFDI40164", "ClaveProdServ", "");
}

void Rules40::StartConceptoTax(ValidationContext& c, const ValidationElement& e, bool transfer) {
    const TaxLine line = ReadTaxLine(e);
    const AttributeValue &baseText = line.baseText, &impuesto = line.impuesto, &factor = line.factor,
                         &tasa = line.tasa, &importeText = line.importeText;
    const Amount &base = line.base, &importe = line.importe;

    if (base.valid && base.value.Sign() <= 0)
        ReportRule(c, transfer ? "CFDI40174" : "CFDI40181", "Base", baseText.text);
    bool impuestoValid = false, factorValid = false;
    if (impuesto.found) {
        impuestoValid = InCatalog(c, transfer ? "CFDI40175" : "CFDI40182", "c_Impuesto", "Impuesto", impuesto.text);
        if (impuesto.text == "002") conceptTax002_ = true;
        if (impuesto.text == "003") conceptTax003_ = true;
        if (transfer && impuesto.text == "002") conceptTransfer002_ = true;
        if (transfer && impuesto.text == "003") conceptTransfer003_ = true;
    }
    if (factor.found)
        factorValid = InCatalog(c, transfer ? "CFDI40176" : "CFDI40183", "c_TipoFactor", "TipoFactor", factor.text);
    const bool exempt = factor.text == "Exento";
    if (transfer) {
        anyTransfer_ = true;
        if (exempt && (tasa.found || importe.present)) ReportRule(c, "CFDI40177", "TipoFactor", factor.text);
        if (factorValid && !exempt && (!tasa.found || !importe.present))
            ReportRule(c, "CFDI40178", "TipoFactor", factor.text);
        if (factorValid && !exempt) anyNonExempt_ = true;
    } else if (exempt) {
        ReportRule(c, "CFDI40184", "TipoFactor", factor.text);
    }
    bool rateValid = false;
    Decimal rate;
    if (tasa.found && impuestoValid && factorValid && !exempt) {
        rateValid = RateAllowed(c, transfer ? "CFDI40179" : "CFDI40185", impuesto.text, factor.text, tasa.text,
                                transfer) &&
                    Decimal::Parse(tasa.text, &rate);
    }
    if (rateValid && base.valid && importe.valid && !WithinProductBounds(importe.value, base.value, rate, true))
        ReportRule(c, transfer ? "CFDI40180" : "CFDI40186", "Importe", importeText.text);

    // The sums the summary is checked against.
    if (!impuestoValid || !factorValid) return;
    if (transfer) {
        TaxGroup* g = FindGroup(transfers_, impuesto.text, factor.text, exempt || !tasa.found ? nullptr : &rate);
        if (!exempt && !rateValid) return;
        if ((base.valid && !Decimal::Add(g->base, base.value, &g->base)) ||
            (importe.valid && !Decimal::Add(g->importe, importe.value, &g->importe)))
            g->overflow = true;
        if (exempt && base.valid && !Decimal::Add(exemptBase_, base.value, &exemptBase_)) g->overflow = true;
    } else {
        TaxGroup* g = FindGroup(retentions_, impuesto.text, "", nullptr);
        if (importe.valid && !Decimal::Add(g->importe, importe.value, &g->importe)) g->overflow = true;
    }
}

void Rules40::StartACuentaTerceros(ValidationContext& c, const ValidationElement& e) {
    const AttributeValue rfc = FindAttribute(e, "RfcACuentaTerceros");
    const AttributeValue nombre = FindAttribute(e, "NombreACuentaTerceros");
    const AttributeValue regimen = FindAttribute(e, "RegimenFiscalACuentaTerceros");
    const AttributeValue domicilio = FindAttribute(e, "DomicilioFiscalACuentaTerceros");
    const bool foreignIntermediation = rfc.text == kThirdPartyForeign;
    if (rfc.found && (rfc.text == std::string_view(emisorRfc_.data(), emisorRfc_.size()) ||
                      rfc.text == std::string_view(receptorRfc_.data(), receptorRfc_.size())))
        ReportRule(c, "CFDI40188", "RfcACuentaTerceros", rfc.text);
    if (foreignIntermediation && nombre.found && nombre.text != kIntermediationName)
        ReportRule(c, "CFDI40189", "NombreACuentaTerceros", nombre.text);
    if (regimen.found) {
        InCatalog(c, "CFDI40191", "c_RegimenFiscal", "RegimenFiscalACuentaTerceros", regimen.text);
        if (foreignIntermediation && regimen.text != "616")
            ReportRule(c, "CFDI140223", "RegimenFiscalACuentaTerceros", regimen.text);
    }
    if (foreignIntermediation && domicilio.found &&
        domicilio.text != std::string_view(lugar_.data(), lugar_.size()))
        ReportRule(c, "CFDI40193", "DomicilioFiscalACuentaTerceros", domicilio.text);
    if (rfc.found && !foreignIntermediation) {
        Registry(c, "CFDI40187", "RfcACuentaTerceros", rfc.text);
        Registry(c, "CFDI40189", "NombreACuentaTerceros", nombre.text);
        Registry(c, "CFDI40190", "NombreACuentaTerceros", nombre.text);
        Registry(c, "CFDI40192", "DomicilioFiscalACuentaTerceros", domicilio.text);
        Registry(c, "CFDI40193", "DomicilioFiscalACuentaTerceros", domicilio.text);
    }
}

void Rules40::StartParte(ValidationContext& c, const ValidationElement& e) {
    const AttributeValue clave = FindAttribute(e, "ClaveProdServ");
    if (clave.found) InCatalog(c, "CFDI40196", "c_ClaveProdServ", "ClaveProdServ", clave.text);
    Amount cantidad, valorUnitario, importe;
    ParseAmount(e, "Cantidad", &cantidad);
    ParseAmount(e, "ValorUnitario", &valorUnitario);
    ParseAmount(e, "Importe", &importe);
    if (valorUnitario.valid && valorUnitario.value.Sign() <= 0)
        ReportRule(c, "CFDI40197", "ValorUnitario", FindAttribute(e, "ValorUnitario").text);
    if (cantidad.valid && valorUnitario.valid && importe.valid &&
        !WithinProductBounds(importe.value, cantidad.value, valorUnitario.value, false))
        ReportRule(c, "CFDI40198", "Importe", FindAttribute(e, "Importe").text);
}

void Rules40::StartImpuestos(ValidationContext& c, const ValidationElement& e) {
    impuestos_ = true;
    Mark(impuestosPlace_, c);
    if (tipo_ == 'T' || tipo_ == 'P') ReportRule(c, "CFDI40201", "", "");
    ParseAmount(e, "TotalImpuestosRetenidos", &totalRetenidos_);
    ParseAmount(e, "TotalImpuestosTrasladados", &totalTrasladados_);
    CurrencyScale(c, "CFDI40202", "TotalImpuestosRetenidos", totalRetenidos_);
    CurrencyScale(c, "CFDI40204", "TotalImpuestosTrasladados", totalTrasladados_);
}

void Rules40::StartSummaryRetencion(ValidationContext& c, const ValidationElement& e) {
    const AttributeValue impuesto = FindAttribute(e, "Impuesto");
    Amount importe;
    ParseAmount(e, "Importe", &importe);
    if (importe.present && !totalRetenidos_.present) ReportRule(c, "CFDI40209", "Importe", FindAttribute(e, "Importe").text);
    CurrencyScale(c, "CFDI40210", "Importe", importe);
    if (importe.valid && !Decimal::Add(summaryRetenidos_, importe.value, &summaryRetenidos_)) summaryOverflow_ = true;
    if (!impuesto.found || !InCatalog(c, "CFDI40207", "c_Impuesto", "Impuesto", impuesto.text)) return;
    for (const SummaryKey& k : summaryKeys_) {
        if (k.factor == "-" && k.impuesto == impuesto.text) {
            ReportRule(c, "CFDI40208", "Impuesto", impuesto.text);
            return;
        }
    }
    SummaryKey& key = summaryKeys_.emplace_back();
    key.impuesto.assign(impuesto.text.data(), impuesto.text.size());
    key.factor = "-";  // a retention row
    if (!importe.valid) return;
    const TaxGroup* group = nullptr;
    for (const TaxGroup& g : retentions_) {
        if (g.impuesto == impuesto.text) group = &g;
    }
    Decimal expected;
    if (group && group->overflow) return;
    if (!RoundToCurrency(group ? group->importe : Decimal(), importe.value.Scale(), &expected)) return;
    if (Decimal::Compare(expected, importe.value) != 0)
        ReportRule(c, "CFDI40211", "Importe", FindAttribute(e, "Importe").text);
}

void Rules40::StartSummaryTraslado(ValidationContext& c, const ValidationElement& e) {
    const TaxLine line = ReadTaxLine(e);
    const AttributeValue &impuesto = line.impuesto, &factor = line.factor, &tasa = line.tasa;
    const Amount &base = line.base, &importe = line.importe;
    const bool onlyExempt = anyTransfer_ && !anyNonExempt_;
    if (onlyExempt && (tasa.found || importe.present)) ReportRule(c, "CFDI40213", "", "");
    CurrencyScale(c, "CFDI40214", "Base", base);
    CurrencyScale(c, "CFDI40220", "Importe", importe);
    if (importe.valid && !Decimal::Add(summaryTrasladados_, importe.value, &summaryTrasladados_))
        summaryOverflow_ = true;
    if (!impuesto.found || !InCatalog(c, "CFDI40217", "c_Impuesto", "Impuesto", impuesto.text)) return;
    const bool exempt = factor.text == "Exento";
    Decimal rate;
    const bool hasRate = tasa.found && Decimal::Parse(tasa.text, &rate);
    if (tasa.found && factor.found && !exempt &&
        !RateAllowed(c, "CFDI40219", impuesto.text, factor.text, tasa.text, true))
        return;

    for (const SummaryKey& k : summaryKeys_) {
        if (k.factor == factor.text && k.impuesto == impuesto.text && k.hasRate == hasRate &&
            (!hasRate || Decimal::Compare(k.rate, rate) == 0)) {
            ReportRule(c, "CFDI40218", "Impuesto", impuesto.text);
            return;
        }
    }
    SummaryKey& key = summaryKeys_.emplace_back();
    key.impuesto.assign(impuesto.text.data(), impuesto.text.size());
    key.factor.assign(factor.text.data(), factor.text.size());
    key.rate = rate;
    key.hasRate = hasRate;

    const TaxGroup* group = nullptr;
    for (const TaxGroup& g : transfers_) {
        if (g.impuesto == impuesto.text && g.factor == factor.text && g.hasRate == hasRate &&
            (!hasRate || Decimal::Compare(g.rate, rate) == 0))
            group = &g;
    }
    if (group && group->overflow) return;
    Decimal expected;
    if (onlyExempt) {
        if (base.valid && RoundToCurrency(exemptBase_, base.value.Scale(), &expected) &&
            Decimal::Compare(expected, base.value) != 0)
            ReportRule(c, "CFDI40216", "Base", FindAttribute(e, "Base").text);
        return;
    }
    if (base.valid && RoundToCurrency(group ? group->base : Decimal(), base.value.Scale(), &expected) &&
        Decimal::Compare(expected, base.value) != 0)
        ReportRule(c, "CFDI40215", "Base", FindAttribute(e, "Base").text);
    if (importe.valid && RoundToCurrency(group ? group->importe : Decimal(), importe.value.Scale(), &expected) &&
        Decimal::Compare(expected, importe.value) != 0)
        ReportRule(c, "CFDI40221", "Importe", FindAttribute(e, "Importe").text);
}

void Rules40::EndImpuestos(ValidationContext& c) {
    if (summaryOverflow_) return;
    if (totalRetenidos_.valid && Decimal::Compare(totalRetenidos_.value, summaryRetenidos_) != 0)
        ReportRuleAt(c, impuestosPlace_, "CFDI40203", "TotalImpuestosRetenidos", totalRetenidos_.value.ToString());
    if (totalTrasladados_.valid && Decimal::Compare(totalTrasladados_.value, summaryTrasladados_) != 0)
        ReportRuleAt(c, impuestosPlace_, "CFDI40205", "TotalImpuestosTrasladados",
                      totalTrasladados_.value.ToString());
}

void Rules40::EndComprobante(ValidationContext& c) {
    const bool incomeLike = tipo_ == 'I' || tipo_ == 'E' || tipo_ == 'N';
    Decimal expected;
    if (incomeLike && subTotal_.valid && !sumOverflow_ &&
        RoundToCurrency(sumImporte_, subTotal_.value.Scale(), &expected) &&
        Decimal::Compare(expected, subTotal_.value) != 0)
        ReportRuleAt(c, root_, "CFDI40108", "SubTotal", subTotal_.value.ToString());

    // Descuento: present and the rounded sum when a concept of an I, E or N document has
    // one; absent otherwise.
    if (incomeLike && anyConceptDescuento_) {
        if (!descuento_.present)
            ReportRuleAt(c, root_, "CFDI40111", "Descuento", "");
        else if (descuento_.valid && !sumOverflow_ &&
                 RoundToCurrency(sumDescuento_, descuento_.value.Scale(), &expected) &&
                 Decimal::Compare(expected, descuento_.value) != 0)
            ReportRuleAt(c, root_, "CFDI40111", "Descuento", descuento_.value.ToString());
    } else if (descuento_.present) {
        ReportRuleAt(c, root_, "CFDI40111", "Descuento", descuento_.valid ? descuento_.value.ToString() : "");
    }

    // Total = SubTotal - Descuento + transferred - retained (federal and local).
    if (total_.valid && subTotal_.valid && (!descuento_.present || descuento_.valid) &&
        (!totalTrasladados_.present || totalTrasladados_.valid) &&
        (!totalRetenidos_.present || totalRetenidos_.valid) && localTaxesValid_) {
        Decimal sum = subTotal_.value;
        const bool ok = Decimal::Sub(sum, descuento_.value, &sum) && Decimal::Add(sum, totalTrasladados_.value, &sum) &&
                        Decimal::Sub(sum, totalRetenidos_.value, &sum) && Decimal::Add(sum, localTransfers_, &sum) &&
                        Decimal::Sub(sum, localRetentions_, &sum) &&
                        RoundToCurrency(sum, total_.value.Scale(), &expected);
        if (ok && Decimal::Compare(expected, total_.value) != 0)
            ReportRuleAt(c, root_, "CFDI40119", "Total", total_.value.ToString());
    }

    // The foreign-trade complement.
    if (exportacion_ == "02" && !foreignTrade_) ReportRuleAt(c, root_, "CFDI40122", "Exportacion", "02");
    if ((exportacion_ == "01" || exportacion_ == "03") && foreignTrade_)
        ReportRuleAt(c, root_, "CFDI40222", "Exportacion", exportacion_);
    const bool foreignReceiver = receptorRfc_ == kGenericForeignRfc;
    if (foreignReceiver && foreignTrade_ && !receptorResidencia_ && !receptorNumRegIdTrib_)
        ReportRuleAt(c, receptorPlace_, "CFDI40153", "ResidenciaFiscal", "");
    if (foreignReceiver && foreignTrade_ && !receptorNumRegIdTrib_)
        ReportRuleAt(c, receptorPlace_, "CFDI40155", "NumRegIdTrib", "");
    if (foreignTrade_ && conceptPedimento_.noted)
        ReportRuleAt(c, conceptPedimento_, "CFDI40195", "NumeroPedimento", "");
    if (foreignTrade_ && partePedimento_.noted) ReportRuleAt(c, partePedimento_, "CFDI40200", "NumeroPedimento", "");
    if (complementRequired_ && !complementAny_)
        ReportRuleAt(c, complementRequiredPlace_, "CFDI40163", "ClaveProdServ", "");

    CheckSeal(c);
}

// CFDI40102: the seal is checked over the document's file by the verifier (a second read);
// an unsigned document (no Sello, or no readable Certificado) is left alone.
void Rules40::CheckSeal(ValidationContext& c) {
    if (!options_.documentFile || sello_.empty() || certificado_.empty()) return;
    if (SealFailsVerification(options_.documentFile))
        ReportRuleAt(c, root_, "CFDI40102", "Sello", std::string_view(sello_).substr(0, 40));
}

}  // namespace

UniquePtr<RuleFamily> MakeRules40(const RuleOptions& options) {
    return UniquePtr<RuleFamily>(MakeUnique<Rules40>(options).release());
}

RuleStatusTable Rules40Status() noexcept { return RuleStatusTable{kStatus, sizeof kStatus / sizeof kStatus[0]}; }

}  // namespace kvn
