// The authority's rules of a CFDI 3.3 document: the Comprobante's amounts, currency and
// exchange rate, the parties, each concept (and part) with its taxes, and the document's tax
// summary against the concepts.
//
// Streaming: the concepts' amounts and taxes are summed as they pass (one row per tax, factor
// and rate, a bounded number); what depends on a complement (they come last) waits for the
// end of the document, with the place of the attribute noted. Amounts are Decimals.
#include <cstring>
#include <optional>
#include <string_view>

#include "cfdi/catalogs.h"
#include "cfdi/decimal.h"
#include "cfdi/rule_amounts.h"
#include "cfdi/rules.h"
#include "cfdi/schema_pass.h"

namespace kvn {
namespace {

constexpr std::string_view kCfdi33Uri = "http://www.sat.gob.mx/cfd/3";
constexpr std::string_view kPagos10Uri = "http://www.sat.gob.mx/Pagos";
constexpr std::string_view kForeignTrade11Uri = "http://www.sat.gob.mx/ComercioExterior11";
constexpr std::string_view kForeignTrade10Uri = "http://www.sat.gob.mx/ComercioExterior";

constexpr std::string_view kNeedsConfirmation = "it needs the authority's limits and confirmation keys";
constexpr std::string_view kNeedsTaxpayerList = "it needs the authority's list of taxpayers";

constexpr std::size_t kMaxTaxRows = 32;

// How each code of CFDI 3.3 is applied (the docs list them from here).
[[maybe_unused]] constexpr RuleStatusEntry kStatus[] = {
    {"CFDI33101", RuleStatus::kPartly},     {"CFDI33102", RuleStatus::kNotApplied},
    {"CFDI33103", RuleStatus::kChecked},    {"CFDI33104", RuleStatus::kChecked},
    {"CFDI33105", RuleStatus::kNotApplied}, {"CFDI33106", RuleStatus::kChecked},
    {"CFDI33107", RuleStatus::kChecked},    {"CFDI33108", RuleStatus::kChecked},
    {"CFDI33109", RuleStatus::kChecked},    {"CFDI33110", RuleStatus::kChecked},
    {"CFDI33111", RuleStatus::kChecked},    {"CFDI33112", RuleStatus::kChecked},
    {"CFDI33113", RuleStatus::kChecked},    {"CFDI33114", RuleStatus::kChecked},
    {"CFDI33115", RuleStatus::kChecked},    {"CFDI33116", RuleStatus::kChecked},
    {"CFDI33117", RuleStatus::kRegistries}, {"CFDI33118", RuleStatus::kChecked},
    {"CFDI33119", RuleStatus::kRegistries}, {"CFDI33120", RuleStatus::kChecked},
    {"CFDI33121", RuleStatus::kChecked},    {"CFDI33122", RuleStatus::kChecked},
    {"CFDI33123", RuleStatus::kChecked},    {"CFDI33124", RuleStatus::kChecked},
    {"CFDI33125", RuleStatus::kChecked},    {"CFDI33126", RuleStatus::kRegistries},
    {"CFDI33127", RuleStatus::kRegistries}, {"CFDI33128", RuleStatus::kRegistries},
    {"CFDI33129", RuleStatus::kChecked},    {"CFDI33130", RuleStatus::kChecked},
    {"CFDI33131", RuleStatus::kChecked},    {"CFDI33132", RuleStatus::kRegistries},
    {"CFDI33133", RuleStatus::kChecked},    {"CFDI33134", RuleStatus::kPartly},
    {"CFDI33135", RuleStatus::kChecked},    {"CFDI33136", RuleStatus::kChecked},
    {"CFDI33137", RuleStatus::kPartly},     {"CFDI33138", RuleStatus::kChecked},
    {"CFDI33139", RuleStatus::kPartly},     {"CFDI33140", RuleStatus::kChecked},
    {"CFDI33141", RuleStatus::kChecked},    {"CFDI33142", RuleStatus::kChecked},
    {"CFDI33143", RuleStatus::kNotApplied}, {"CFDI33144", RuleStatus::kNotApplied},
    {"CFDI33145", RuleStatus::kChecked},    {"CFDI33146", RuleStatus::kNotApplied},
    {"CFDI33147", RuleStatus::kChecked},    {"CFDI33148", RuleStatus::kChecked},
    {"CFDI33149", RuleStatus::kChecked},    {"CFDI33150", RuleStatus::kChecked},
    {"CFDI33151", RuleStatus::kChecked},    {"CFDI33152", RuleStatus::kChecked},
    {"CFDI33153", RuleStatus::kChecked},    {"CFDI33154", RuleStatus::kChecked},
    {"CFDI33155", RuleStatus::kChecked},    {"CFDI33156", RuleStatus::kChecked},
    {"CFDI33157", RuleStatus::kChecked},    {"CFDI33158", RuleStatus::kChecked},
    {"CFDI33159", RuleStatus::kChecked},    {"CFDI33160", RuleStatus::kChecked},
    {"CFDI33161", RuleStatus::kChecked},    {"CFDI33162", RuleStatus::kChecked},
    {"CFDI33163", RuleStatus::kChecked},    {"CFDI33164", RuleStatus::kChecked},
    {"CFDI33165", RuleStatus::kChecked},    {"CFDI33166", RuleStatus::kChecked},
    {"CFDI33167", RuleStatus::kChecked},    {"CFDI33168", RuleStatus::kChecked},
    {"CFDI33169", RuleStatus::kChecked},    {"CFDI33170", RuleStatus::kNotApplied},
    {"CFDI33171", RuleStatus::kChecked},    {"CFDI33172", RuleStatus::kChecked},
    {"CFDI33173", RuleStatus::kNotApplied}, {"CFDI33174", RuleStatus::kChecked},
    {"CFDI33175", RuleStatus::kChecked},    {"CFDI33176", RuleStatus::kChecked},
    {"CFDI33177", RuleStatus::kNotApplied}, {"CFDI33178", RuleStatus::kChecked},
    {"CFDI33179", RuleStatus::kChecked},    {"CFDI33180", RuleStatus::kChecked},
    {"CFDI33181", RuleStatus::kChecked},    {"CFDI33182", RuleStatus::kChecked},
    {"CFDI33183", RuleStatus::kChecked},    {"CFDI33184", RuleStatus::kChecked},
    {"CFDI33185", RuleStatus::kChecked},    {"CFDI33186", RuleStatus::kChecked},
    {"CFDI33187", RuleStatus::kChecked},    {"CFDI33188", RuleStatus::kChecked},
    {"CFDI33189", RuleStatus::kChecked},    {"CFDI33190", RuleStatus::kChecked},
    {"CFDI33191", RuleStatus::kChecked},    {"CFDI33192", RuleStatus::kChecked},
    {"CFDI33193", RuleStatus::kChecked},    {"CFDI33194", RuleStatus::kChecked},
    {"CFDI33195", RuleStatus::kChecked},
};

std::optional<std::string_view> Attr(const ValidationElement& element, std::string_view name) {
    const AttributeValue v = FindAttribute(element, name);
    if (!v.found) return std::nullopt;
    return v.text;
}

std::optional<Decimal> Amount(const ValidationElement& element, std::string_view name) {
    auto text = Attr(element, name);
    Decimal d;
    if (!text || !ParseAmount(*text, &d)) return std::nullopt;
    return d;
}

// A catalog membership rule: reported when the value is not in the catalog at the date.
void CheckInCatalog(OnceByCode& once, ValidationContext& context, const char* code, std::string_view catalog,
                    std::string_view attribute, std::optional<std::string_view> value) {
    if (!value) return;
    switch (RuleCatalogCheck(context, catalog, *value)) {
        case CatalogAnswer::kValid: break;
        case CatalogAnswer::kInvalid: ReportRule(context, code, attribute, *value); break;
        case CatalogAnswer::kAbsent: ReportCatalogAbsent(once, context, code, attribute, *value, catalog); break;
    }
}

bool IsDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// [0-9]{1,18}(.[0-9]{1,6})?
bool ExchangeRateHasForm(std::string_view v) {
    const std::size_t point = v.find('.');
    std::string_view whole = v.substr(0, point);
    if (whole.size() > 18 || !IsDigits(whole)) return false;
    if (point == std::string_view::npos) return true;
    std::string_view fraction = v.substr(point + 1);
    return fraction.size() <= 6 && IsDigits(fraction);
}

// Whether a catalog row (c_RegimenFiscal, c_UsoCFDI) applies to a kind of person.
bool AppliesTo(const CatalogRow& row, Person person) {
    const char* column = person == Person::kCompany ? "aplica_moral" : "aplica_fisica";
    auto field = row.Field(column);
    return !field || *field == "1";
}

struct TaxRow {
    char tax[4] = {};
    char factor[8] = {};
    bool retention = false;
    Decimal rate;
    Decimal sum;
    bool valid = true;
    bool stated = false;  // the summary named it already
};

class Rules33 final : public RuleFamily {
public:
    explicit Rules33(const RuleOptions& options) : options_(options) {}

    void OnStartElement(ValidationContext& context, const ValidationElement& element) override;
    void OnEndElement(ValidationContext& context, const ValidationElement& element) override;
    void OnEndDocument(ValidationContext& context) override;

private:
    void Root(ValidationContext& context, const ValidationElement& root);
    void Issuer(ValidationContext& context, const ValidationElement& issuer);
    void Receiver(ValidationContext& context, const ValidationElement& receiver);
    void Item(ValidationContext& context, const ValidationElement& item, bool part);
    void ItemTax(ValidationContext& context, const ValidationElement& tax, bool retention);
    void SummaryStart(ValidationContext& context, const ValidationElement& summary);
    void SummaryTax(ValidationContext& context, const ValidationElement& tax, bool retention);
    void SummaryEnd(ValidationContext& context);

    int Decimals() const { return currencyDecimals_; }
    void CheckDecimals(ValidationContext& context, const char* code, std::string_view attribute,
                       std::optional<std::string_view> text);
    TaxRow* Row(std::string_view tax, bool retention, std::string_view factor, const Decimal& rate, bool add);

    RuleOptions options_;
    OnceByCode absentOnce_;
    bool active_ = false;  // a cfdi:Comprobante 3.3 root
    String type_;          // TipoDeComprobante
    int currencyDecimals_ = -1;
    bool rootHasFormaPago_ = false, rootHasMetodoPago_ = false;
    std::optional<Decimal> subTotal_, discount_, total_;
    String metodoPago_;
    RulePlace root_;

    // Receiver facts settled at the end (they depend on the complements).
    bool receiverForeignGeneric_ = false;
    bool receiverHasResidence_ = false;
    bool receiverHasTaxId_ = false;
    RulePlace receiver_;

    // Concepts.
    Decimal itemAmounts_, itemDiscounts_;
    bool itemSumsValid_ = true;
    bool anyItemDiscount_ = false;
    int itemDepth_ = -1;         // depth of the open Concepto
    bool itemTaxesOpen_ = false;  // its Impuestos, until a tax is seen
    bool itemTaxChildren_ = false;
    std::optional<Decimal> itemAmount_;  // Importe of the open concept or part
    RulePlace firstPedimento_, firstPartPedimento_;

    TaxRow rows_[kMaxTaxRows];
    std::size_t rowCount_ = 0;
    bool rowsOverflow_ = false;

    // The summary.
    bool inSummary_ = false;
    std::optional<Decimal> statedRetained_, statedTransferred_;
    bool hasStatedRetained_ = false, hasStatedTransferred_ = false;
    Decimal retainedSum_, transferredSum_;
    bool retainedValid_ = true, transferredValid_ = true;
    bool retentionSeen_[3] = {};
    bool summaryRetentions_ = false, summaryTransfers_ = false;
    RulePlace summary_;
    String summaryRetainedText_, summaryTransferredText_;

    // Complements.
    bool paymentComplement_ = false, foreignTrade_ = false;
    Decimal localTransferred_, localRetained_;
};

bool Is33(const ValidationElement& e, const char* local) {
    return kCfdi33Uri == e.uri && std::strcmp(e.local, local) == 0;
}

void Rules33::OnStartElement(ValidationContext& context, const ValidationElement& element) {
    if (element.depth == 0) {
        if (Is33(element, "Comprobante")) Root(context, element);
        return;
    }
    if (!active_) return;
    if (kCfdi33Uri != element.uri) {
        if (kPagos10Uri == element.uri && std::strcmp(element.local, "Pagos") == 0) {
            paymentComplement_ = true;
            if (rootHasFormaPago_) ReportRuleAt(context, root_, "CFDI33103", "FormaPago", "");
            if (rootHasMetodoPago_) ReportRuleAt(context, root_, "CFDI33124", "MetodoPago", metodoPago_);
        } else if ((kForeignTrade11Uri == element.uri || kForeignTrade10Uri == element.uri) &&
                   std::strcmp(element.local, "ComercioExterior") == 0) {
            foreignTrade_ = true;
        } else if (kLocalTaxesUri == element.uri && std::strcmp(element.local, "ImpuestosLocales") == 0) {
            if (auto v = Amount(element, "TotaldeTraslados")) Decimal::Add(localTransferred_, *v, &localTransferred_);
            if (auto v = Amount(element, "TotaldeRetenciones")) Decimal::Add(localRetained_, *v, &localRetained_);
        }
        return;
    }
    const char* local = element.local;
    switch (element.depth) {
        case 1:
            if (std::strcmp(local, "Emisor") == 0) Issuer(context, element);
            else if (std::strcmp(local, "Receptor") == 0) Receiver(context, element);
            else if (std::strcmp(local, "CfdiRelacionados") == 0)
                CheckInCatalog(absentOnce_, context, "CFDI33129", "c_TipoRelacion", "TipoRelacion", Attr(element, "TipoRelacion"));
            else if (std::strcmp(local, "Impuestos") == 0) SummaryStart(context, element);
            return;
        case 2:
            if (std::strcmp(local, "Concepto") == 0) {
                itemDepth_ = 2;
                Item(context, element, false);
            } else if (inSummary_ && std::strcmp(local, "Retenciones") == 0) {
                summaryRetentions_ = true;
                if (!hasStatedRetained_) ReportRule(context, "CFDI33184", "TotalImpuestosRetenidos", "");
            } else if (inSummary_ && std::strcmp(local, "Traslados") == 0) {
                summaryTransfers_ = true;
                if (!hasStatedTransferred_) ReportRule(context, "CFDI33190", "TotalImpuestosTrasladados", "");
            }
            return;
        case 3:
            if (inSummary_) {
                if (std::strcmp(local, "Retencion") == 0) SummaryTax(context, element, true);
                else if (std::strcmp(local, "Traslado") == 0) SummaryTax(context, element, false);
            } else if (itemDepth_ == 2) {
                if (std::strcmp(local, "Impuestos") == 0) {
                    itemTaxesOpen_ = true;
                    itemTaxChildren_ = false;
                } else if (std::strcmp(local, "InformacionAduanera") == 0 && !firstPedimento_.noted) {
                    firstPedimento_.Note(context);
                } else if (std::strcmp(local, "Parte") == 0) {
                    Item(context, element, true);
                }
            }
            return;
        case 4:
            if (itemTaxesOpen_ && (std::strcmp(local, "Traslados") == 0 || std::strcmp(local, "Retenciones") == 0))
                itemTaxChildren_ = true;
            else if (std::strcmp(local, "InformacionAduanera") == 0 && !firstPartPedimento_.noted) {
                firstPartPedimento_.Note(context);
            }
            return;
        case 5:
            if (itemTaxesOpen_) {
                if (std::strcmp(local, "Traslado") == 0) ItemTax(context, element, false);
                else if (std::strcmp(local, "Retencion") == 0) ItemTax(context, element, true);
            }
            return;
        default:
            return;
    }
}

void Rules33::OnEndElement(ValidationContext& context, const ValidationElement& element) {
    if (!active_ || kCfdi33Uri != element.uri) return;
    if (element.depth == 3 && itemTaxesOpen_ && std::strcmp(element.local, "Impuestos") == 0) {
        if (!itemTaxChildren_) ReportRule(context, "CFDI33152", "", "");
        itemTaxesOpen_ = false;
    } else if (element.depth == 2 && std::strcmp(element.local, "Concepto") == 0) {
        itemDepth_ = -1;
    } else if (element.depth == 1 && inSummary_ && std::strcmp(element.local, "Impuestos") == 0) {
        SummaryEnd(context);
    }
}

// --- The Comprobante -------------------------------------------------------------------

void Rules33::Root(ValidationContext& context, const ValidationElement& root) {
    auto version = Attr(root, "Version");
    active_ = version && *version == "3.3";
    if (!active_) return;
    root_.Note(context);
    if (auto type = Attr(root, "TipoDeComprobante")) type_ = *type;
    const bool ien = type_ == "I" || type_ == "E" || type_ == "N";
    const bool tp = type_ == "T" || type_ == "P";

    if (auto fecha = Attr(root, "Fecha"); fecha && !FechaMatchesPattern(*fecha)) ReportRule(context, "CFDI33101", "Fecha", *fecha);
    auto forma = Attr(root, "FormaPago");
    rootHasFormaPago_ = forma.has_value();
    CheckInCatalog(absentOnce_, context, "CFDI33104", "c_FormaPago", "FormaPago", forma);

    auto currency = Attr(root, "Moneda");
    CheckInCatalog(absentOnce_, context, "CFDI33112", "c_Moneda", "Moneda", currency);
    if (currency) currencyDecimals_ = CurrencyDecimals(context, *currency);

    subTotal_ = Amount(root, "SubTotal");
    discount_ = Amount(root, "Descuento");
    total_ = Amount(root, "Total");
    CheckDecimals(context, "CFDI33106", "SubTotal", Attr(root, "SubTotal"));
    CheckDecimals(context, "CFDI33111", "Descuento", Attr(root, "Descuento"));
    if (tp && subTotal_ && !subTotal_->IsZero()) ReportRule(context, "CFDI33108", "SubTotal", *Attr(root, "SubTotal"));
    if (discount_ && subTotal_ && Decimal::Compare(*discount_, *subTotal_) > 0)
        ReportRule(context, "CFDI33109", "Descuento", *Attr(root, "Descuento"));

    auto rate = Attr(root, "TipoCambio");
    if (currency && rate) {
        if (*currency == "MXN" && !AmountEquals(*rate, "1")) ReportRule(context, "CFDI33113", "TipoCambio", *rate);
        if (*currency == "XXX") ReportRule(context, "CFDI33115", "TipoCambio", *rate);
    }
    if (currency && !rate && *currency != "MXN" && *currency != "XXX") ReportRule(context, "CFDI33114", "TipoCambio", "");
    if (rate && !ExchangeRateHasForm(*rate)) ReportRule(context, "CFDI33116", "TipoCambio", *rate);

    CheckInCatalog(absentOnce_, context, "CFDI33120", "c_TipoDeComprobante", "TipoDeComprobante", Attr(root, "TipoDeComprobante"));
    auto metodo = Attr(root, "MetodoPago");
    rootHasMetodoPago_ = metodo.has_value();
    if (metodo) metodoPago_ = *metodo;
    CheckInCatalog(absentOnce_, context, "CFDI33121", "c_MetodoPago", "MetodoPago", metodo);
    if (metodo && tp) ReportRule(context, "CFDI33123", "MetodoPago", *metodo);
    CheckInCatalog(absentOnce_, context, "CFDI33125", "c_CodigoPostal", "LugarExpedicion", Attr(root, "LugarExpedicion"));

    if (options_.registryRules) {
        if (rate && currency && *currency != "MXN" && *currency != "XXX")
            ReportRuleNotChecked(context, "CFDI33117", "TipoCambio", *rate, kNeedsConfirmation);
        if (auto v = Attr(root, "Total")) ReportRuleNotChecked(context, "CFDI33119", "Total", *v, kNeedsConfirmation);
        if (auto v = Attr(root, "Confirmacion")) {
            ReportRuleNotChecked(context, "CFDI33126", "Confirmacion", *v, kNeedsConfirmation);
            ReportRuleNotChecked(context, "CFDI33127", "Confirmacion", *v, kNeedsConfirmation);
            ReportRuleNotChecked(context, "CFDI33128", "Confirmacion", *v, kNeedsConfirmation);
        }
    }
    (void)ien;
}

void Rules33::Issuer(ValidationContext& context, const ValidationElement& issuer) {
    auto regime = Attr(issuer, "RegimenFiscal");
    CheckInCatalog(absentOnce_, context, "CFDI33130", "c_RegimenFiscal", "RegimenFiscal", regime);
    const Person person = PersonOf(Attr(issuer, "Rfc").value_or(std::string_view{}));
    if (!regime || person == Person::kUnknown) return;
    auto row = RuleCatalogRow(context, "c_RegimenFiscal", *regime);
    if (row && !AppliesTo(*row, person)) ReportRule(context, "CFDI33131", "RegimenFiscal", *regime);
}

void Rules33::Receiver(ValidationContext& context, const ValidationElement& receiver) {
    receiver_.Note(context);
    auto rfc = Attr(receiver, "Rfc");
    auto residence = Attr(receiver, "ResidenciaFiscal");
    auto taxId = Attr(receiver, "NumRegIdTrib");
    receiverForeignGeneric_ = rfc && *rfc == kGenericForeignRfc;
    receiverHasResidence_ = residence.has_value();
    receiverHasTaxId_ = taxId.has_value();

    CheckInCatalog(absentOnce_, context, "CFDI33133", "c_Pais", "ResidenciaFiscal", residence);
    if (residence && rfc && !receiverForeignGeneric_) ReportRule(context, "CFDI33134", "ResidenciaFiscal", *residence);
    if (residence && *residence == "MEX") ReportRule(context, "CFDI33135", "ResidenciaFiscal", *residence);
    if (taxId && rfc && !receiverForeignGeneric_) ReportRule(context, "CFDI33137", "NumRegIdTrib", *taxId);
    if (taxId && residence) {
        if (auto country = RuleCatalogRow(context, "c_Pais", *residence)) {
            auto pattern = country->Field("patron_identidad_tributaria");
            if (pattern && !pattern->empty() && !MatchesAccountPattern(*pattern, *taxId))
                ReportRule(context, "CFDI33139", "NumRegIdTrib", *taxId);
        }
    }
    auto use = Attr(receiver, "UsoCFDI");
    CheckInCatalog(absentOnce_, context, "CFDI33140", "c_UsoCFDI", "UsoCFDI", use);
    const Person person = PersonOf(rfc.value_or(std::string_view{}));
    if (use && person != Person::kUnknown && rfc != kGenericNationalRfc && !receiverForeignGeneric_) {
        auto row = RuleCatalogRow(context, "c_UsoCFDI", *use);
        if (row && !AppliesTo(*row, person)) ReportRule(context, "CFDI33141", "UsoCFDI", *use);
    }
    if (options_.registryRules && rfc && *rfc != kGenericForeignRfc && *rfc != kGenericNationalRfc)
        ReportRuleNotChecked(context, "CFDI33132", "Rfc", *rfc, kNeedsTaxpayerList);
}

void Rules33::CheckDecimals(ValidationContext& context, const char* code, std::string_view attribute,
                            std::optional<std::string_view> text) {
    Decimal d;
    if (!text || currencyDecimals_ < 0 || !ParseAmount(*text, &d)) return;
    if (d.Scale() > currencyDecimals_) ReportRule(context, code, attribute, *text);
}

// --- Concepts ---------------------------------------------------------------------------

void Rules33::Item(ValidationContext& context, const ValidationElement& item, bool part) {
    const bool ien = type_ == "I" || type_ == "E" || type_ == "N";
    CheckInCatalog(absentOnce_, context, part ? "CFDI33172" : "CFDI33142", "c_ClaveProdServ", "ClaveProdServ",
                   Attr(item, "ClaveProdServ"));
    if (!part) CheckInCatalog(absentOnce_, context, "CFDI33145", "c_ClaveUnidad", "ClaveUnidad", Attr(item, "ClaveUnidad"));

    auto unitText = Attr(item, "ValorUnitario");
    auto amountText = Attr(item, "Importe");
    auto unit = Amount(item, "ValorUnitario");
    auto quantity = Amount(item, "Cantidad");
    auto amount = Amount(item, "Importe");
    if (unit && unit->Sign() <= 0 && (part || ien))
        ReportRule(context, part ? "CFDI33174" : "CFDI33147", "ValorUnitario", *unitText);
    CheckDecimals(context, part ? "CFDI33175" : "CFDI33148", "Importe", amountText);
    if (amount && unit && quantity && !WithinProductBounds(*amount, *quantity, *unit, false))
        ReportRule(context, part ? "CFDI33176" : "CFDI33149", "Importe", *amountText);
    if (part) return;

    itemAmount_ = amount;
    if (amount) {
        if (!Decimal::Add(itemAmounts_, *amount, &itemAmounts_)) itemSumsValid_ = false;
    } else {
        itemSumsValid_ = false;
    }
    if (auto discountText = Attr(item, "Descuento")) {
        anyItemDiscount_ = true;
        Decimal discount;
        if (!ParseAmount(*discountText, &discount)) {
            itemSumsValid_ = false;
            return;
        }
        if (amount && discount.Scale() > amount->Scale()) ReportRule(context, "CFDI33150", "Descuento", *discountText);
        if (amount && Decimal::Compare(discount, *amount) > 0) ReportRule(context, "CFDI33151", "Descuento", *discountText);
        if (!Decimal::Add(itemDiscounts_, discount, &itemDiscounts_)) itemSumsValid_ = false;
    }
}

TaxRow* Rules33::Row(std::string_view tax, bool retention, std::string_view factor, const Decimal& rate, bool add) {
    for (std::size_t i = 0; i < rowCount_; ++i) {
        TaxRow& r = rows_[i];
        if (r.retention != retention || tax != r.tax) continue;
        if (retention || (factor == r.factor && Decimal::Compare(rate, r.rate) == 0)) return &r;
    }
    if (!add) return nullptr;
    if (rowCount_ == kMaxTaxRows || tax.size() >= sizeof(TaxRow::tax) || factor.size() >= sizeof(TaxRow::factor)) {
        rowsOverflow_ = true;
        return nullptr;
    }
    TaxRow& r = rows_[rowCount_++];
    r = TaxRow();
    std::memcpy(r.tax, tax.data(), tax.size());
    std::memcpy(r.factor, factor.data(), factor.size());
    r.retention = retention;
    r.rate = rate;
    return &r;
}

void Rules33::ItemTax(ValidationContext& context, const ValidationElement& tax, bool retention) {
    struct Codes {
        const char *baseDecimals, *base, *tax, *factor, *rate, *amountDecimals, *amount;
    };
    static constexpr Codes kTransfer = {"CFDI33153", "CFDI33154", "CFDI33155", "CFDI33156",
                                        "CFDI33159", "CFDI33160", "CFDI33161"};
    static constexpr Codes kRetention = {"CFDI33162", "CFDI33163", "CFDI33164", "CFDI33165",
                                         "CFDI33167", "CFDI33168", "CFDI33169"};
    const Codes& codes = retention ? kRetention : kTransfer;
    auto baseText = Attr(tax, "Base");
    auto taxCode = Attr(tax, "Impuesto");
    auto factor = Attr(tax, "TipoFactor");
    auto rateText = Attr(tax, "TasaOCuota");
    auto amountText = Attr(tax, "Importe");
    auto base = Amount(tax, "Base");
    auto rate = Amount(tax, "TasaOCuota");
    auto amount = Amount(tax, "Importe");

    CheckDecimals(context, codes.baseDecimals, "Base", baseText);
    if (base && base->Sign() <= 0) ReportRule(context, codes.base, "Base", *baseText);
    CheckInCatalog(absentOnce_, context, codes.tax, "c_Impuesto", "Impuesto", taxCode);
    CheckInCatalog(absentOnce_, context, codes.factor, "c_TipoFactor", "TipoFactor", factor);
    const bool exempt = factor && *factor == "Exento";
    if (retention && exempt) ReportRule(context, "CFDI33166", "TipoFactor", *factor);
    if (!retention && exempt && (rateText || amountText)) ReportRule(context, "CFDI33157", "TipoFactor", *factor);
    if (!retention && factor && !exempt && (!rateText || !amountText))
        ReportRule(context, "CFDI33158", "TipoFactor", *factor);
    if (rate && taxCode && factor && !exempt) {
        switch (CheckRate(context, *taxCode, *factor, *rate, retention)) {
            case RateAnswer::kValid: break;
            case RateAnswer::kInvalid: ReportRule(context, codes.rate, "TasaOCuota", *rateText); break;
            case RateAnswer::kAbsent: ReportCatalogAbsent(absentOnce_, context, codes.rate, "TasaOCuota", *rateText, "c_TasaOCuota"); break;
        }
    }
    CheckDecimals(context, codes.amountDecimals, "Importe", amountText);
    if (amount && base && rate && !WithinProductBounds(*amount, *base, *rate, true))
        ReportRule(context, codes.amount, "Importe", *amountText);

    if (!taxCode || !factor || exempt) return;
    TaxRow* row = Row(*taxCode, retention, *factor, rate ? *rate : Decimal(), true);
    if (!row) return;
    if (!amount || !Decimal::Add(row->sum, *amount, &row->sum)) row->valid = false;
}

// --- The summary --------------------------------------------------------------------------

void Rules33::SummaryStart(ValidationContext& context, const ValidationElement& summary) {
    inSummary_ = true;
    summary_.Note(context);
    if (type_ == "T" || type_ == "P") ReportRule(context, "CFDI33179", "", "");
    auto retained = Attr(summary, "TotalImpuestosRetenidos");
    auto transferred = Attr(summary, "TotalImpuestosTrasladados");
    hasStatedRetained_ = retained.has_value();
    hasStatedTransferred_ = transferred.has_value();
    if (retained) summaryRetainedText_ = *retained;
    if (transferred) summaryTransferredText_ = *transferred;
    statedRetained_ = Amount(summary, "TotalImpuestosRetenidos");
    statedTransferred_ = Amount(summary, "TotalImpuestosTrasladados");
    CheckDecimals(context, "CFDI33180", "TotalImpuestosRetenidos", retained);
    CheckDecimals(context, "CFDI33182", "TotalImpuestosTrasladados", transferred);
}

void Rules33::SummaryTax(ValidationContext& context, const ValidationElement& tax, bool retention) {
    auto taxCode = Attr(tax, "Impuesto");
    auto factor = Attr(tax, "TipoFactor");
    auto rateText = Attr(tax, "TasaOCuota");
    auto amountText = Attr(tax, "Importe");
    auto rate = Amount(tax, "TasaOCuota");
    auto amount = Amount(tax, "Importe");
    CheckInCatalog(absentOnce_, context, retention ? "CFDI33185" : "CFDI33191", "c_Impuesto", "Impuesto", taxCode);
    CheckDecimals(context, retention ? "CFDI33188" : "CFDI33194", "Importe", amountText);

    Decimal& sum = retention ? retainedSum_ : transferredSum_;
    bool& valid = retention ? retainedValid_ : transferredValid_;
    if (!amount || !Decimal::Add(sum, *amount, &sum)) valid = false;
    if (!taxCode) return;

    if (retention) {
        const int which = *taxCode == "001" ? 0 : *taxCode == "002" ? 1 : *taxCode == "003" ? 2 : -1;
        if (which >= 0) {
            if (retentionSeen_[which]) ReportRule(context, "CFDI33186", "Impuesto", *taxCode);
            retentionSeen_[which] = true;
        }
    } else if (factor && rate) {
        switch (CheckRate(context, *taxCode, *factor, *rate, false)) {
            case RateAnswer::kValid: break;
            case RateAnswer::kInvalid: ReportRule(context, "CFDI33193", "TasaOCuota", *rateText); break;
            case RateAnswer::kAbsent: ReportCatalogAbsent(absentOnce_, context, "CFDI33193", "TasaOCuota", *rateText, "c_TasaOCuota"); break;
        }
    }
    if (rowsOverflow_ || !amount) return;
    if (!retention && (!factor || !rate)) return;
    TaxRow* row = Row(*taxCode, retention, factor ? *factor : "", rate ? *rate : Decimal(), false);
    if (!retention) {
        if (row && row->stated) ReportRule(context, "CFDI33192", "Impuesto", *taxCode);
        if (row) row->stated = true;
    }
    const Decimal items = row ? row->sum : Decimal();
    if ((!row || row->valid) && !EqualsRoundedSum(*amount, items))
        ReportRule(context, retention ? "CFDI33189" : "CFDI33195", "Importe", *amountText);
}

void Rules33::SummaryEnd(ValidationContext& context) {
    inSummary_ = false;
    if (statedRetained_ && retainedValid_ && summaryRetentions_ && Decimal::Compare(*statedRetained_, retainedSum_) != 0)
        ReportRuleAt(context, summary_, "CFDI33181", "TotalImpuestosRetenidos", summaryRetainedText_);
    if (statedTransferred_ && transferredValid_ && summaryTransfers_ &&
        Decimal::Compare(*statedTransferred_, transferredSum_) != 0)
        ReportRuleAt(context, summary_, "CFDI33183", "TotalImpuestosTrasladados", summaryTransferredText_);
}

// --- The end: what the complements decide, and the document's totals ---------------------

void Rules33::OnEndDocument(ValidationContext& context) {
    if (!active_) return;
    const bool ien = type_ == "I" || type_ == "E" || type_ == "N";

    if (metodoPago_ == "PIP" && (type_ == "I" || type_ == "E") && !paymentComplement_)
        ReportRuleAt(context, root_, "CFDI33122", "MetodoPago", metodoPago_);
    if (receiverForeignGeneric_ && !receiverHasResidence_ && (receiverHasTaxId_ || foreignTrade_))
        ReportRuleAt(context, receiver_, "CFDI33136", "ResidenciaFiscal", "");
    if (receiverHasTaxId_ && receiverForeignGeneric_ && !foreignTrade_)
        ReportRuleAt(context, receiver_, "CFDI33138", "NumRegIdTrib", "");
    if (foreignTrade_ && firstPedimento_.noted) ReportRuleAt(context, firstPedimento_, "CFDI33171", "NumeroPedimento", "");
    if (foreignTrade_ && firstPartPedimento_.noted)
        ReportRuleAt(context, firstPartPedimento_, "CFDI33178", "NumeroPedimento", "");

    if (!itemSumsValid_) return;
    if (ien && subTotal_ && Decimal::Compare(*subTotal_, itemAmounts_) != 0)
        ReportRuleAt(context, root_, "CFDI33107", "SubTotal", subTotal_->ToString());
    if (ien && anyItemDiscount_ && (!discount_ || Decimal::Compare(*discount_, itemDiscounts_) != 0))
        ReportRuleAt(context, root_, "CFDI33110", "Descuento", discount_ ? discount_->ToString() : String());
    if (ien && !anyItemDiscount_ && discount_ && !discount_->IsZero())
        ReportRuleAt(context, root_, "CFDI33110", "Descuento", discount_->ToString());
    if (!ien && anyItemDiscount_ && !itemDiscounts_.IsZero())
        ReportRuleAt(context, root_, "CFDI33110", "Descuento", discount_ ? discount_->ToString() : String());

    // Total = SubTotal - Descuento + transferred - retained (local taxes included).
    if (!total_ || !subTotal_) return;
    Decimal expected = *subTotal_;
    bool ok = true;
    if (discount_) ok = ok && Decimal::Sub(expected, *discount_, &expected);
    if (statedTransferred_) ok = ok && Decimal::Add(expected, *statedTransferred_, &expected);
    if (statedRetained_) ok = ok && Decimal::Sub(expected, *statedRetained_, &expected);
    ok = ok && Decimal::Add(expected, localTransferred_, &expected) && Decimal::Sub(expected, localRetained_, &expected);
    if (ok && !EqualsRoundedSum(*total_, expected))
        ReportRuleAt(context, root_, "CFDI33118", "Total", total_->ToString());
}

}  // namespace

UniquePtr<RuleFamily> MakeRules33(const RuleOptions& options) {
    return UniquePtr<RuleFamily>(MakeUnique<Rules33>(options).release());
}

}  // namespace kvn
