// The authority's rules of a payment receipt: a CFDI 4.0 document of type P whose complement
// is pago20:Pagos. The envelope (the Comprobante's amounts and its one concept), then the
// payments: amounts, currencies and equivalences, the banking fields that each payment form
// allows, the balances of each related document, the taxes by related document and by
// payment, and the totals of the whole complement.
//
// Streaming: a payment's sums are kept while it is open (one row per tax, factor and rate,
// a bounded number), the complement's totals while the complement is open; nothing grows with
// the number of payments or related documents. Every amount is a Decimal; a sum that would
// overflow one drops the checks that need it rather than report on a wrong figure.
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

constexpr std::string_view kCfdi40Uri = "http://www.sat.gob.mx/cfd/4";
constexpr std::string_view kPagos20Uri = "http://www.sat.gob.mx/Pagos20";

// How many distinct (tax, factor, rate) rows one payment keeps; more than any real payment
// has. Past it the payment's tax sums are not checked.
constexpr std::size_t kMaxTaxRows = 32;

constexpr std::string_view kNeedsConfirmation = "it needs the authority's limits and confirmation keys";
constexpr std::string_view kNeedsTaxpayerList = "it needs the authority's list of taxpayers";

// How each code of the payment receipt is applied (the docs list them from here).
[[maybe_unused]] constexpr RuleStatusEntry kStatus[] = {
    {"CRP20101", RuleStatus::kChecked}, {"CRP20102", RuleStatus::kChecked}, {"CRP20103", RuleStatus::kChecked},
    {"CRP20104", RuleStatus::kChecked}, {"CRP20105", RuleStatus::kChecked}, {"CRP20106", RuleStatus::kChecked},
    {"CRP20107", RuleStatus::kChecked}, {"CRP20108", RuleStatus::kChecked}, {"CRP20109", RuleStatus::kChecked},
    {"CRP20110", RuleStatus::kChecked}, {"CRP20111", RuleStatus::kChecked}, {"CRP20112", RuleStatus::kChecked},
    {"CRP20113", RuleStatus::kChecked}, {"CRP20114", RuleStatus::kChecked}, {"CRP20115", RuleStatus::kChecked},
    {"CRP20116", RuleStatus::kChecked}, {"CRP20117", RuleStatus::kChecked}, {"CRP20118", RuleStatus::kChecked},
    {"CRP20119", RuleStatus::kChecked}, {"CRP20120", RuleStatus::kChecked}, {"CRP20121", RuleStatus::kChecked},
    {"CRP20122", RuleStatus::kChecked}, {"CRP20123", RuleStatus::kChecked}, {"CRP20201", RuleStatus::kChecked},
    {"CRP20202", RuleStatus::kChecked}, {"CRP20203", RuleStatus::kChecked}, {"CRP20204", RuleStatus::kChecked},
    {"CRP20205", RuleStatus::kChecked}, {"CRP20206", RuleStatus::kChecked}, {"CRP20207", RuleStatus::kChecked},
    {"CRP20208", RuleStatus::kChecked}, {"CRP20209", RuleStatus::kChecked}, {"CRP20210", RuleStatus::kChecked},
    {"CRP20211", RuleStatus::kChecked}, {"CRP20212", RuleStatus::kChecked}, {"CRP20213", RuleStatus::kChecked},
    {"CRP20214", RuleStatus::kChecked}, {"CRP20215", RuleStatus::kChecked}, {"CRP20216", RuleStatus::kRegistries},
    {"CRP20217", RuleStatus::kChecked}, {"CRP20218", RuleStatus::kChecked}, {"CRP20219", RuleStatus::kChecked},
    {"CRP20220", RuleStatus::kRegistries}, {"CRP20221", RuleStatus::kChecked}, {"CRP20222", RuleStatus::kRegistries},
    {"CRP20223", RuleStatus::kChecked}, {"CRP20224", RuleStatus::kChecked}, {"CRP20225", RuleStatus::kChecked},
    {"CRP20226", RuleStatus::kChecked}, {"CRP20227", RuleStatus::kChecked}, {"CRP20228", RuleStatus::kChecked},
    {"CRP20229", RuleStatus::kChecked}, {"CRP20230", RuleStatus::kChecked}, {"CRP20231", RuleStatus::kChecked},
    {"CRP20232", RuleStatus::kChecked}, {"CRP20233", RuleStatus::kChecked}, {"CRP20234", RuleStatus::kChecked},
    {"CRP20235", RuleStatus::kChecked}, {"CRP20236", RuleStatus::kChecked}, {"CRP20237", RuleStatus::kChecked},
    {"CRP20238", RuleStatus::kChecked}, {"CRP20239", RuleStatus::kChecked}, {"CRP20240", RuleStatus::kChecked},
    {"CRP20241", RuleStatus::kChecked}, {"CRP20242", RuleStatus::kChecked}, {"CRP20243", RuleStatus::kChecked},
    {"CRP20244", RuleStatus::kChecked}, {"CRP20245", RuleStatus::kChecked}, {"CRP20246", RuleStatus::kChecked},
    {"CRP20247", RuleStatus::kChecked}, {"CRP20248", RuleStatus::kChecked}, {"CRP20249", RuleStatus::kChecked},
    {"CRP20250", RuleStatus::kChecked}, {"CRP20251", RuleStatus::kChecked}, {"CRP20252", RuleStatus::kChecked},
    {"CRP20253", RuleStatus::kChecked}, {"CRP20254", RuleStatus::kChecked}, {"CRP20255", RuleStatus::kChecked},
    {"CRP20256", RuleStatus::kChecked}, {"CRP20257", RuleStatus::kChecked}, {"CRP20258", RuleStatus::kChecked},
    {"CRP20259", RuleStatus::kChecked}, {"CRP20260", RuleStatus::kChecked}, {"CRP20261", RuleStatus::kChecked},
    {"CRP20262", RuleStatus::kChecked}, {"CRP20263", RuleStatus::kChecked}, {"CRP20264", RuleStatus::kChecked},
    {"CRP20265", RuleStatus::kChecked}, {"CRP20266", RuleStatus::kChecked}, {"CRP20267", RuleStatus::kChecked},
    {"CRP20268", RuleStatus::kChecked}, {"CRP20269", RuleStatus::kChecked}, {"CRP20270", RuleStatus::kChecked},
    {"CRP20271", RuleStatus::kChecked}, {"CRP20272", RuleStatus::kChecked}, {"CRP20273", RuleStatus::kChecked},
    {"CRP20274", RuleStatus::kChecked}, {"CRP20275", RuleStatus::kPartly},  {"CRP20276", RuleStatus::kChecked},
    {"CRP20277", RuleStatus::kPartly},  {"CRP20278", RuleStatus::kChecked}, {"CRP20279", RuleStatus::kChecked},
};

// An attribute's value, or nullopt when the element does not carry it.
std::optional<std::string_view> Attr(const ValidationElement& element, std::string_view name) {
    const AttributeValue v = FindAttribute(element, name);
    if (!v.found) return std::nullopt;
    return v.text;
}

// The decimals of a currency of c_Moneda at the date; nullopt when the currency is not in
// it (the catalog check reports that) or the catalog is absent (then `absent` is set).
std::optional<int> CurrencyDecimalsOf(ValidationContext& context, std::string_view currency, bool* absent) {
    *absent = false;
    RuleCatalogRow(context, "c_Moneda", currency, absent);
    const int decimals = CurrencyDecimals(context, currency);
    if (decimals < 0) return std::nullopt;
    return decimals;
}

// A running sum that stops being trusted once an operation overflows.
struct Sum {
    Decimal value;
    bool valid = true;
    int count = 0;

    void Add(const Decimal& amount) {
        ++count;
        if (valid && !Decimal::Add(value, amount, &value)) valid = false;
    }
    void Invalidate() { valid = false; }
};

// The taxes of a related document, summed over one payment in the payment's currency.
struct TaxRow {
    char tax[4] = {};      // "001", "002", "003"
    bool retention = false;
    bool exempt = false;   // TipoFactor Exento
    char factor[8] = {};   // "Tasa", "Cuota", "Exento"
    Decimal rate;          // TasaOCuota (0 when exempt)
    Sum base, amount;      // BaseDR and ImporteDR over EquivalenciaDR
    bool reportedByPayment = false;  // a RetencionP or TrasladoP of this row was seen
};

bool SameTax(const TaxRow& row, std::string_view tax, bool retention, std::string_view factor,
             const Decimal* rate) {
    if (row.retention != retention || tax != row.tax) return false;
    if (retention) return true;  // retentions are summed by tax alone
    if (factor != row.factor) return false;
    return row.exempt || (rate && Decimal::Compare(row.rate, *rate) == 0);
}

// The totals that pago20:Totales states, in the order of its attributes.
enum Total : int {
    kRetIva,
    kRetIsr,
    kRetIeps,
    kBaseIva16,
    kTaxIva16,
    kBaseIva8,
    kTaxIva8,
    kBaseIva0,
    kTaxIva0,
    kBaseIvaExempt,
    kPayments,
    kTotalCount
};

struct TotalSpec {
    const char* attribute;
    const char* code;
};

constexpr TotalSpec kTotals[kTotalCount] = {
    {"TotalRetencionesIVA", "CRP20201"},       {"TotalRetencionesISR", "CRP20202"},
    {"TotalRetencionesIEPS", "CRP20203"},      {"TotalTrasladosBaseIVA16", "CRP20204"},
    {"TotalTrasladosImpuestoIVA16", "CRP20205"}, {"TotalTrasladosBaseIVA8", "CRP20206"},
    {"TotalTrasladosImpuestoIVA8", "CRP20207"}, {"TotalTrasladosBaseIVA0", "CRP20208"},
    {"TotalTrasladosImpuestoIVA0", "CRP20209"}, {"TotalTrasladosBaseIVAExento", "CRP20210"},
    {"MontoTotalPagos", "CRP20211"},
};

class Pagos20Rules final : public RuleFamily {
public:
    explicit Pagos20Rules(const RuleOptions& options) : options_(options) {}

    void OnStartElement(ValidationContext& context, const ValidationElement& element) override;
    void OnEndElement(ValidationContext& context, const ValidationElement& element) override;

private:
    // The Comprobante and its concept.
    void CheckEnvelope(ValidationContext& context, const ValidationElement& root);
    void CheckConcept(ValidationContext& context, const ValidationElement& item);
    // The complement.
    void StartPayments(ValidationContext& context, const ValidationElement& element);
    void ReadTotals(ValidationContext& context, const ValidationElement& element);
    void StartPayment(ValidationContext& context, const ValidationElement& payment);
    void CheckBanking(ValidationContext& context, const ValidationElement& payment, std::string_view form);
    void EndPayment(ValidationContext& context);
    void StartDocument(ValidationContext& context, const ValidationElement& document);
    void EndDocument(ValidationContext& context);
    void DocumentTax(ValidationContext& context, const ValidationElement& tax, bool retention);
    void PaymentRetention(ValidationContext& context, const ValidationElement& element);
    void PaymentTransfer(ValidationContext& context, const ValidationElement& element);
    void EndPayments(ValidationContext& context);
    void ReportAtTotals(ValidationContext& context, const char* code, std::string_view attribute, std::string_view value);

    TaxRow* FindTaxRow(std::string_view tax, bool retention, std::string_view factor, const Decimal* rate);
    TaxRow* AddTaxRow(std::string_view tax, bool retention, std::string_view factor, const Decimal& rate);
    // An amount of the document in the payment's currency: amount / EquivalenciaDR.
    bool InPaymentCurrency(const Decimal& amount, Decimal* out) const;
    // The payment total of a kind, in pesos: amount * TipoCambioP.
    void AddToTotal(Total total, const Decimal& amount);

    RuleOptions options_;
    OnceByCode absentOnce_;

    // The document.
    bool paymentType_ = false;  // TipoDeComprobante P
    int concepts_ = 0;
    int conceptDepth_ = -1;     // depth of the open concept, -1 when none

    // The complement.
    bool inPayments_ = false;
    std::optional<Decimal> stated_[kTotalCount];
    bool statedPresent_[kTotalCount] = {};
    bool statedUnreadable_[kTotalCount] = {};
    Sum totals_[kTotalCount];
    int totalsLine_ = 0;  // where Totales is, for the findings about it
    String totalsPath_;
    bool anyRetentionP_ = false;
    bool anyIvaTransferP_ = false;      // a TrasladoP of IVA
    bool anyIvaTaxedTransferP_ = false;  // ... with a factor other than Exento

    // The open payment.
    bool inPayment_ = false;
    String paymentCurrency_;
    std::optional<int> paymentDecimals_;
    std::optional<Decimal> amount_;        // Monto
    std::optional<Decimal> exchangeRate_;  // TipoCambioP (1 when absent for MXN)
    bool foreignDocuments_ = false;        // a related document in another currency
    bool sameCurrencyDocuments_ = false;
    Sum paidSame_;                   // ImpPagado of documents in the payment's currency
    Sum paidConverted_, lowerLimits_, upperLimits_;  // of the others
    TaxRow rows_[kMaxTaxRows];
    std::size_t rowCount_ = 0;
    bool rowsOverflow_ = false;
    bool retentionPSeen_[3] = {};  // 001, 002, 003
    bool onlyExemptDocuments_ = true;  // every TrasladoDR of the payment is Exento
    bool anyTransferDR_ = false;

    // The open related document.
    bool inDocument_ = false;
    std::optional<Decimal> equivalence_;  // EquivalenciaDR, as used for conversions
    bool documentTaxesSeen_ = false;  // ImpuestosDR
    bool documentTaxChildren_ = false;
    String objectCode_;               // ObjetoImpDR
    bool ieps003Transfer_ = false;    // a TrasladoDR of 003
};

bool IsCfdi(const ValidationElement& e, const char* local) {
    return kCfdi40Uri == e.uri && std::strcmp(e.local, local) == 0;
}

void Pagos20Rules::OnStartElement(ValidationContext& context, const ValidationElement& element) {
    if (element.depth == 0) {
        if (IsCfdi(element, "Comprobante")) CheckEnvelope(context, element);
        return;
    }
    // Outside a payment receipt only the complement itself (Comprobante/Complemento/Pagos)
    // and what it holds are of interest: an invoice's many concepts pass by cheaply.
    if (!paymentType_ && !inPayments_ && element.depth != 2) return;
    if (kCfdi40Uri == element.uri) {
        if (element.depth == 2 && std::strcmp(element.local, "Concepto") == 0) {
            conceptDepth_ = element.depth;
            CheckConcept(context, element);
        } else if (paymentType_ && conceptDepth_ >= 0 && element.depth == conceptDepth_ + 1) {
            if (std::strcmp(element.local, "Impuestos") == 0)
                ReportRule(context, "CRP20123", "", "");
            else if (std::strcmp(element.local, "ACuentaTerceros") != 0)
                ReportRule(context, "CRP20112", "", element.qname);
        }
        return;
    }
    if (kPagos20Uri != element.uri) return;
    const char* local = element.local;
    if (std::strcmp(local, "Pagos") == 0) {
        StartPayments(context, element);
    } else if (!inPayments_) {
        return;
    } else if (std::strcmp(local, "Totales") == 0) {
        ReadTotals(context, element);
    } else if (std::strcmp(local, "Pago") == 0) {
        StartPayment(context, element);
    } else if (!inPayment_) {
        return;
    } else if (std::strcmp(local, "DoctoRelacionado") == 0) {
        StartDocument(context, element);
    } else if (inDocument_) {
        if (std::strcmp(local, "ImpuestosDR") == 0) {
            documentTaxesSeen_ = true;
            if (objectCode_ == "01" || objectCode_ == "03" || objectCode_ == "04" || objectCode_ == "05")
                ReportRule(context, "CRP20247", "", "");
        } else if (std::strcmp(local, "RetencionDR") == 0) {
            DocumentTax(context, element, true);
        } else if (std::strcmp(local, "TrasladoDR") == 0) {
            DocumentTax(context, element, false);
        }
    } else if (std::strcmp(local, "RetencionP") == 0) {
        PaymentRetention(context, element);
    } else if (std::strcmp(local, "TrasladoP") == 0) {
        PaymentTransfer(context, element);
    }
}

void Pagos20Rules::OnEndElement(ValidationContext& context, const ValidationElement& element) {
    if (!paymentType_ && !inPayments_) return;
    if (kCfdi40Uri == element.uri && element.depth == conceptDepth_ && std::strcmp(element.local, "Concepto") == 0) {
        conceptDepth_ = -1;
        return;
    }
    if (kPagos20Uri != element.uri || !inPayments_) return;
    const char* local = element.local;
    if (std::strcmp(local, "DoctoRelacionado") == 0 && inDocument_) {
        EndDocument(context);
    } else if (std::strcmp(local, "ImpuestosDR") == 0 && inDocument_) {
        if (!documentTaxChildren_) ReportRule(context, "CRP20248", "", "");
    } else if (std::strcmp(local, "Pago") == 0 && inPayment_) {
        EndPayment(context);
    } else if (std::strcmp(local, "Pagos") == 0) {
        EndPayments(context);
    }
}

// --- The envelope ---------------------------------------------------------------------

void Pagos20Rules::CheckEnvelope(ValidationContext& context, const ValidationElement& root) {
    auto type = Attr(root, "TipoDeComprobante");
    paymentType_ = type && *type == "P";
    if (!paymentType_) return;
    if (auto v = Attr(root, "Exportacion"); v && *v != "01") ReportRule(context, "CRP20102", "Exportacion", *v);
    if (auto v = Attr(root, "SubTotal"); v && !AmountEquals(*v, "0")) ReportRule(context, "CRP20103", "SubTotal", *v);
    if (auto v = Attr(root, "Moneda"); v && *v != "XXX") ReportRule(context, "CRP20104", "Moneda", *v);
    static constexpr struct {
        const char* attribute;
        const char* code;
    } kAbsent[] = {{"FormaPago", "CRP20105"},
                   {"MetodoPago", "CRP20106"},
                   {"CondicionesDePago", "CRP20107"},
                   {"Descuento", "CRP20108"},
                   {"TipoCambio", "CRP20109"}};
    for (const auto& a : kAbsent)
        if (auto v = Attr(root, a.attribute)) ReportRule(context, a.code, a.attribute, *v);
    if (auto v = Attr(root, "Total"); v && !AmountEquals(*v, "0")) ReportRule(context, "CRP20110", "Total", *v);
}

void Pagos20Rules::CheckConcept(ValidationContext& context, const ValidationElement& item) {
    if (!paymentType_) return;
    if (++concepts_ > 1) ReportRule(context, "CRP20111", "", "");
    struct Fixed {
        const char* attribute;
        const char* code;
        const char* value;  // null: must be absent
        bool numeric;
    };
    static constexpr Fixed kFixed[] = {
        {"ClaveProdServ", "CRP20113", "84111506", false}, {"NoIdentificacion", "CRP20114", nullptr, false},
        {"Cantidad", "CRP20115", "1", true},              {"ClaveUnidad", "CRP20116", "ACT", false},
        {"Unidad", "CRP20117", nullptr, false},           {"Descripcion", "CRP20118", "Pago", false},
        {"ValorUnitario", "CRP20119", "0", true},         {"Importe", "CRP20120", "0", true},
        {"Descuento", "CRP20121", nullptr, false},        {"ObjetoImp", "CRP20122", "01", false},
    };
    for (const Fixed& f : kFixed) {
        auto v = Attr(item, f.attribute);
        if (!f.value) {
            if (v) ReportRule(context, f.code, f.attribute, *v);
        } else if (v) {
            bool ok = f.numeric ? AmountEquals(*v, f.value) : *v == f.value;
            if (!ok) ReportRule(context, f.code, f.attribute, *v);
        }
    }
}

// --- The complement -------------------------------------------------------------------

void Pagos20Rules::StartPayments(ValidationContext& context, const ValidationElement& element) {
    (void)element;
    inPayments_ = true;
    if (!paymentType_) ReportRule(context, "CRP20101", "TipoDeComprobante", "");
}

void Pagos20Rules::ReadTotals(ValidationContext& context, const ValidationElement& element) {
    totalsLine_ = context.Line();
    totalsPath_ = context.Path();
    for (int i = 0; i < kTotalCount; ++i) {
        auto v = Attr(element, kTotals[i].attribute);
        if (!v) continue;
        statedPresent_[i] = true;
        Decimal d;
        if (ParseAmount(*v, &d))
            stated_[i] = d;
        else
            statedUnreadable_[i] = true;  // the schema reports it
    }
}

void Pagos20Rules::AddToTotal(Total total, const Decimal& amount) {
    Decimal pesos;
    if (!exchangeRate_ || !Decimal::Mul(amount, *exchangeRate_, &pesos)) {
        totals_[total].Invalidate();
        return;
    }
    totals_[total].Add(pesos);
}

void Pagos20Rules::StartPayment(ValidationContext& context, const ValidationElement& payment) {
    inPayment_ = true;
    paymentCurrency_.clear();
    paymentDecimals_.reset();
    amount_.reset();
    exchangeRate_.reset();
    foreignDocuments_ = sameCurrencyDocuments_ = false;
    paidSame_ = paidConverted_ = lowerLimits_ = upperLimits_ = Sum();
    rowCount_ = 0;
    rowsOverflow_ = false;
    for (bool& seen : retentionPSeen_) seen = false;
    onlyExemptDocuments_ = true;
    anyTransferDR_ = false;

    auto form = Attr(payment, "FormaDePagoP");
    if (form && *form == "99") ReportRule(context, "CRP20212", "FormaDePagoP", *form);

    auto currency = Attr(payment, "MonedaP");
    auto rate = Attr(payment, "TipoCambioP");
    if (currency) {
        paymentCurrency_ = *currency;
        if (*currency == "XXX") ReportRule(context, "CRP20213", "MonedaP", *currency);
        if (*currency != "MXN" && !rate) ReportRule(context, "CRP20214", "MonedaP", *currency);
        if (*currency == "MXN" && (!rate || !AmountEquals(*rate, "1")))
            ReportRule(context, "CRP20215", "TipoCambioP", rate ? *rate : std::string_view());
        bool absent = false;
        paymentDecimals_ = CurrencyDecimalsOf(context, *currency, &absent);
        if (absent) ReportCatalogAbsent(absentOnce_, context, "CRP20219", "MonedaP", *currency, "c_Moneda");
    }
    Decimal d;
    if (rate && ParseAmount(*rate, &d)) exchangeRate_ = d;
    else if (!rate && currency && *currency == "MXN") exchangeRate_ = Decimal::FromInt(1);

    if (auto monto = Attr(payment, "Monto"); monto && ParseAmount(*monto, &d)) {
        amount_ = d;
        if (d.Sign() <= 0) ReportRule(context, "CRP20218", "Monto", *monto);
        if (paymentDecimals_ && d.Scale() > *paymentDecimals_) ReportRule(context, "CRP20219", "Monto", *monto);
        AddToTotal(kPayments, d);
    } else {
        totals_[kPayments].Invalidate();
    }
    // The confirmation key of an unusual exchange rate or amount, and the registry of
    // taxpayers, are the authority's: reported as not checked on request.
    if (options_.registryRules) {
        if (rate && currency && *currency != "MXN")
            ReportRuleNotChecked(context, "CRP20216", "TipoCambioP", *rate, kNeedsConfirmation);
        if (auto monto = Attr(payment, "Monto")) ReportRuleNotChecked(context, "CRP20220", "Monto", *monto, kNeedsConfirmation);
        if (auto rfc = Attr(payment, "RfcEmisorCtaOrd"); rfc && *rfc != kGenericForeignRfc)
            ReportRuleNotChecked(context, "CRP20222", "RfcEmisorCtaOrd", *rfc, kNeedsTaxpayerList);
    }
    if (auto rfc = Attr(payment, "RfcEmisorCtaOrd"); rfc && *rfc == kGenericForeignRfc &&
                                                              !Attr(payment, "NomBancoOrdExt"))
        ReportRule(context, "CRP20223", "NomBancoOrdExt", "");
    if (form) CheckBanking(context, payment, *form);

    // The payment's string of a payment chain comes whole or not at all.
    bool chain = Attr(payment, "TipoCadPago").has_value();
    static constexpr struct {
        const char* attribute;
        const char* required;
        const char* forbidden;
    } kChain[] = {{"CertPago", "CRP20230", "CRP20231"},
                  {"CadPago", "CRP20232", "CRP20233"},
                  {"SelloPago", "CRP20234", "CRP20235"}};
    for (const auto& c : kChain) {
        auto v = Attr(payment, c.attribute);
        if (chain && !v) ReportRule(context, c.required, c.attribute, "");
        if (!chain && v) ReportRule(context, c.forbidden, c.attribute, *v);
    }
}

// The banking fields that the payment form allows, and the account patterns it gives
// (c_FormaPago's columns).
void Pagos20Rules::CheckBanking(ValidationContext& context, const ValidationElement& payment, std::string_view form) {
    static constexpr struct {
        const char* attribute;
        const char* allowedColumn;
        const char* code;
        const char* patternColumn;  // null: no pattern
        const char* patternCode;
    } kFields[] = {
        {"RfcEmisorCtaOrd", "permite_banco_ordenante_rfc", "CRP20221", nullptr, nullptr},
        {"CtaOrdenante", "permite_cuenta_ordenante", "CRP20224", "patron_cuenta_ordenante", "CRP20225"},
        {"RfcEmisorCtaBen", "permite_banco_beneficiario_rfc", "CRP20227", nullptr, nullptr},
        {"CtaBeneficiario", "permite_cuenta_beneficiario", "CRP20228", "patron_cuenta_beneficiario", "CRP20226"},
        {"TipoCadPago", "permite_tipo_cadena_pago", "CRP20229", nullptr, nullptr},
    };
    const CatalogTable* table = context.CatalogTables().Find(CatalogSet::kCfdi40, "c_FormaPago");
    for (const auto& f : kFields) {
        auto v = Attr(payment, f.attribute);
        if (!v) continue;
        if (!table) {
            ReportCatalogAbsent(absentOnce_, context, f.code, f.attribute, *v, "c_FormaPago");
            continue;
        }
        auto row = table->FindValid(form, context.DocumentDate());
        if (!row) return;  // not a payment form at the date: the catalog check says so
        auto allowed = row->Field(f.allowedColumn);
        if (!allowed || allowed->empty() || *allowed == "0") {
            ReportRule(context, f.code, f.attribute, *v);
            continue;
        }
        if (!f.patternColumn) continue;
        auto pattern = row->Field(f.patternColumn);
        if (pattern && !pattern->empty() && !MatchesAccountPattern(*pattern, *v))
            ReportRule(context, f.patternCode, f.attribute, *v);
    }
}

bool Pagos20Rules::InPaymentCurrency(const Decimal& amount, Decimal* out) const {
    if (!equivalence_) return false;
    return DivideDecimal(amount, *equivalence_, 10, out);
}

void Pagos20Rules::StartDocument(ValidationContext& context, const ValidationElement& document) {
    inDocument_ = true;
    equivalence_.reset();
    documentTaxesSeen_ = documentTaxChildren_ = ieps003Transfer_ = false;
    objectCode_.clear();

    auto currency = Attr(document, "MonedaDR");
    auto equivalence = Attr(document, "EquivalenciaDR");
    bool same = currency && *currency == std::string_view(paymentCurrency_);
    if (currency && *currency == "XXX") ReportRule(context, "CRP20236", "MonedaDR", *currency);
    if (currency && !same && !equivalence) ReportRule(context, "CRP20237", "EquivalenciaDR", "");
    if (currency && same && (!equivalence || !AmountEquals(*equivalence, "1")))
        ReportRule(context, "CRP20238", "EquivalenciaDR", equivalence ? *equivalence : std::string_view());
    Decimal e;
    if (same) {
        equivalence_ = Decimal::FromInt(1);
    } else if (equivalence && ParseAmount(*equivalence, &e) && e.Sign() > 0) {
        equivalence_ = e;
    }
    (same ? sameCurrencyDocuments_ : foreignDocuments_) = true;

    std::optional<int> decimals;
    if (currency) {
        bool absent = false;
        decimals = CurrencyDecimalsOf(context, *currency, &absent);
        if (absent) ReportCatalogAbsent(absentOnce_, context, "CRP20240", "MonedaDR", *currency, "c_Moneda");
    }
    struct Balance {
        const char* attribute;
        const char* decimalsCode;
        std::optional<Decimal> value;
    };
    Balance balances[] = {{"ImpSaldoAnt", "CRP20240", {}}, {"ImpPagado", "CRP20242", {}}, {"ImpSaldoInsoluto", "CRP20243", {}}};
    for (Balance& b : balances) {
        auto v = Attr(document, b.attribute);
        Decimal d;
        if (!v || !ParseAmount(*v, &d)) continue;
        b.value = d;
        if (decimals && d.Scale() > *decimals) ReportRule(context, b.decimalsCode, b.attribute, *v);
    }
    const auto& before = balances[0].value;
    const auto& paid = balances[1].value;
    const auto& after = balances[2].value;
    if (before && before->Sign() <= 0) ReportRule(context, "CRP20239", "ImpSaldoAnt", *Attr(document, "ImpSaldoAnt"));
    if (paid && paid->Sign() <= 0) ReportRule(context, "CRP20241", "ImpPagado", *Attr(document, "ImpPagado"));
    if (after) {
        Decimal expected;
        bool wrong = after->Sign() < 0;
        if (!wrong && before && paid && Decimal::Sub(*before, *paid, &expected))
            wrong = Decimal::Compare(expected, *after) != 0;
        if (wrong) ReportRule(context, "CRP20244", "ImpSaldoInsoluto", *Attr(document, "ImpSaldoInsoluto"));
    }

    // What was paid, for the payment's amount.
    if (paid) {
        if (same) {
            paidSame_.Add(*paid);
        } else if (equivalence_ && paymentDecimals_) {
            Decimal converted, lower, upper;
            if (ConvertedPaymentBounds(*paid, *equivalence_, *paymentDecimals_, &converted, &lower, &upper)) {
                paidConverted_.Add(converted);
                lowerLimits_.Add(lower);
                upperLimits_.Add(upper);
            } else {
                paidConverted_.Invalidate();
            }
        } else {
            paidConverted_.Invalidate();
        }
    } else {
        paidSame_.Invalidate();
        paidConverted_.Invalidate();
    }

    if (auto object = Attr(document, "ObjetoImpDR")) {
        objectCode_ = *object;
        const CatalogAnswer answer =
            RuleCatalogCheck(context, "c_ObjetoImp", *object);
        if (answer == CatalogAnswer::kInvalid) ReportRule(context, "CRP20245", "ObjetoImpDR", *object);
        if (answer == CatalogAnswer::kAbsent) ReportCatalogAbsent(absentOnce_, context, "CRP20245", "ObjetoImpDR", *object, "c_ObjetoImp");
    }
}

void Pagos20Rules::EndDocument(ValidationContext& context) {
    inDocument_ = false;
    if (objectCode_ == "02" && !documentTaxesSeen_) ReportRule(context, "CRP20246", "ObjetoImpDR", objectCode_);
    if (objectCode_ == "07" && !ieps003Transfer_) ReportRule(context, "CRP20279", "ObjetoImpDR", objectCode_);
}

// A RetencionDR or TrasladoDR: its own rules, then its amounts into the payment's sums.
void Pagos20Rules::DocumentTax(ValidationContext& context, const ValidationElement& tax, bool retention) {
    documentTaxChildren_ = true;
    struct Codes {
        const char *base, *tax, *factor, *rate, *amount;
    };
    static constexpr Codes kRetention = {"CRP20249", "CRP20250", "CRP20251", "CRP20253", "CRP20254"};
    static constexpr Codes kTransfer = {"CRP20255", "CRP20256", "CRP20257", "CRP20260", "CRP20261"};
    const Codes& codes = retention ? kRetention : kTransfer;

    auto baseText = Attr(tax, "BaseDR");
    auto taxCode = Attr(tax, "ImpuestoDR");
    auto factor = Attr(tax, "TipoFactorDR");
    auto rateText = Attr(tax, "TasaOCuotaDR");
    auto amountText = Attr(tax, "ImporteDR");

    // Taxes that the object of the document rules out.
    if (taxCode) {
        bool vatOrIeps = *taxCode == "002" || *taxCode == "003";
        if ((objectCode_ == "06" || objectCode_ == "08") && vatOrIeps)
            ReportRule(context, "CRP20278", "ImpuestoDR", *taxCode);
        if (objectCode_ == "07" && *taxCode == "002") ReportRule(context, "CRP20279", "ImpuestoDR", *taxCode);
        if (!retention && *taxCode == "003") ieps003Transfer_ = true;
    }

    Decimal base, rate, amount;
    bool haveBase = baseText && ParseAmount(*baseText, &base);
    if (haveBase && base.Sign() <= 0) ReportRule(context, codes.base, "BaseDR", *baseText);
    if (taxCode) {
        CatalogAnswer a = RuleCatalogCheck(context, "c_Impuesto", *taxCode);
        if (a == CatalogAnswer::kInvalid) ReportRule(context, codes.tax, "ImpuestoDR", *taxCode);
        if (a == CatalogAnswer::kAbsent) ReportCatalogAbsent(absentOnce_, context, codes.tax, "ImpuestoDR", *taxCode, "c_Impuesto");
    }
    if (factor) {
        CatalogAnswer a = RuleCatalogCheck(context, "c_TipoFactor", *factor);
        if (a == CatalogAnswer::kInvalid) ReportRule(context, codes.factor, "TipoFactorDR", *factor);
        if (a == CatalogAnswer::kAbsent) ReportCatalogAbsent(absentOnce_, context, codes.factor, "TipoFactorDR", *factor, "c_TipoFactor");
    }
    bool exempt = factor && *factor == "Exento";
    if (retention && exempt) ReportRule(context, "CRP20252", "TipoFactorDR", *factor);
    if (!retention) {
        anyTransferDR_ = true;
        if (!exempt) onlyExemptDocuments_ = false;
        if (exempt && (rateText || amountText))
            ReportRule(context, "CRP20258", "TipoFactorDR", *factor);
        if (factor && !exempt && (!rateText || !amountText))
            ReportRule(context, "CRP20259", "TipoFactorDR", *factor);
    }
    bool haveRate = rateText && ParseAmount(*rateText, &rate);
    if (haveRate && taxCode && factor) {
        switch (CheckRate(context, *taxCode, *factor, rate, retention)) {
            case RateAnswer::kValid: break;
            case RateAnswer::kInvalid: ReportRule(context, codes.rate, "TasaOCuotaDR", *rateText); break;
            case RateAnswer::kAbsent: ReportCatalogAbsent(absentOnce_, context, codes.rate, "TasaOCuotaDR", *rateText, "c_TasaOCuota"); break;
        }
    }
    bool haveAmount = amountText && ParseAmount(*amountText, &amount);
    if (haveAmount && haveBase && haveRate && !WithinProductBounds(amount, base, rate, true))
        ReportRule(context, codes.amount, "ImporteDR", *amountText);

    // The payment's sums, in its currency.
    if (!taxCode || !factor) return;
    TaxRow* row = FindTaxRow(*taxCode, retention, *factor, haveRate ? &rate : nullptr);
    if (!row) row = AddTaxRow(*taxCode, retention, *factor, haveRate ? rate : Decimal());
    if (!row) return;
    Decimal converted;
    if (haveBase && InPaymentCurrency(base, &converted)) row->base.Add(converted);
    else row->base.Invalidate();
    if (!exempt) {
        if (haveAmount && InPaymentCurrency(amount, &converted)) row->amount.Add(converted);
        else row->amount.Invalidate();
    }
}

TaxRow* Pagos20Rules::FindTaxRow(std::string_view tax, bool retention, std::string_view factor, const Decimal* rate) {
    for (std::size_t i = 0; i < rowCount_; ++i)
        if (SameTax(rows_[i], tax, retention, factor, rate)) return &rows_[i];
    return nullptr;
}

TaxRow* Pagos20Rules::AddTaxRow(std::string_view tax, bool retention, std::string_view factor, const Decimal& rate) {
    if (rowCount_ == kMaxTaxRows || tax.size() >= sizeof(TaxRow::tax) || factor.size() >= sizeof(TaxRow::factor)) {
        rowsOverflow_ = true;
        return nullptr;
    }
    TaxRow& row = rows_[rowCount_++];
    row = TaxRow();
    std::memcpy(row.tax, tax.data(), tax.size());
    std::memcpy(row.factor, factor.data(), factor.size());
    row.retention = retention;
    row.exempt = factor == "Exento";
    row.rate = rate;
    return &row;
}

void Pagos20Rules::PaymentRetention(ValidationContext& context, const ValidationElement& element) {
    anyRetentionP_ = true;
    auto tax = Attr(element, "ImpuestoP");
    auto amountText = Attr(element, "ImporteP");
    if (!tax) return;
    CatalogAnswer a = RuleCatalogCheck(context, "c_Impuesto", *tax);
    if (a == CatalogAnswer::kInvalid) ReportRule(context, "CRP20262", "ImpuestoP", *tax);
    if (a == CatalogAnswer::kAbsent) ReportCatalogAbsent(absentOnce_, context, "CRP20262", "ImpuestoP", *tax, "c_Impuesto");
    int which = *tax == "001" ? 0 : *tax == "002" ? 1 : *tax == "003" ? 2 : -1;
    if (which >= 0) {
        if (retentionPSeen_[which]) ReportRule(context, "CRP20263", "ImpuestoP", *tax);
        retentionPSeen_[which] = true;
    }
    Decimal amount;
    if (!amountText || !ParseAmount(*amountText, &amount)) return;
    static constexpr Total kByTax[] = {kRetIsr, kRetIva, kRetIeps};
    if (which >= 0) AddToTotal(kByTax[which], amount);
    if (rowsOverflow_) return;
    TaxRow* row = FindTaxRow(*tax, true, "", nullptr);
    Sum none;
    const Sum& expected = row ? row->amount : none;
    if (expected.valid && !paymentDecimals_.has_value()) return;
    if (expected.valid && !AgreesWithSum(amount, expected.value, expected.count, *paymentDecimals_))
        ReportRule(context, "CRP20265", "ImporteP", *amountText);
}

void Pagos20Rules::PaymentTransfer(ValidationContext& context, const ValidationElement& element) {
    auto tax = Attr(element, "ImpuestoP");
    auto factor = Attr(element, "TipoFactorP");
    auto rateText = Attr(element, "TasaOCuotaP");
    auto baseText = Attr(element, "BaseP");
    auto amountText = Attr(element, "ImporteP");
    if (!tax || !factor) return;
    bool exempt = *factor == "Exento";

    CatalogAnswer a = RuleCatalogCheck(context, "c_Impuesto", *tax);
    if (a == CatalogAnswer::kInvalid) ReportRule(context, "CRP20270", "ImpuestoP", *tax);
    if (a == CatalogAnswer::kAbsent) ReportCatalogAbsent(absentOnce_, context, "CRP20270", "ImpuestoP", *tax, "c_Impuesto");
    if (exempt && anyTransferDR_ && onlyExemptDocuments_ && (rateText || amountText))
        ReportRule(context, "CRP20266", "TipoFactorP", *factor);

    Decimal rate;
    bool haveRate = rateText && ParseAmount(*rateText, &rate);
    if (haveRate) {
        switch (CheckRate(context, *tax, *factor, rate, false)) {
            case RateAnswer::kValid: break;
            case RateAnswer::kInvalid: ReportRule(context, "CRP20272", "TasaOCuotaP", *rateText); break;
            case RateAnswer::kAbsent: ReportCatalogAbsent(absentOnce_, context, "CRP20272", "TasaOCuotaP", *rateText, "c_TasaOCuota"); break;
        }
    }

    // Into the complement's totals (IVA only, by rate).
    Decimal base, amount;
    bool haveBase = baseText && ParseAmount(*baseText, &base);
    bool haveAmount = amountText && ParseAmount(*amountText, &amount);
    if (*tax == "002") {
        anyIvaTransferP_ = true;
        if (!exempt) anyIvaTaxedTransferP_ = true;
        if (exempt) {
            if (haveBase) AddToTotal(kBaseIvaExempt, base);
        } else if (haveRate && *factor == "Tasa") {
            struct Bucket {
                const char* rate;
                Total base, amount;
            };
            static constexpr Bucket kBuckets[] = {{"0.16", kBaseIva16, kTaxIva16}, {"0.08", kBaseIva8, kTaxIva8}, {"0", kBaseIva0, kTaxIva0}};
            for (const Bucket& b : kBuckets) {
                Decimal r;
                Decimal::Parse(b.rate, &r);
                if (Decimal::Compare(r, rate) != 0) continue;
                if (haveBase) AddToTotal(b.base, base);
                if (haveAmount) AddToTotal(b.amount, amount);
            }
        }
    }

    if (rowsOverflow_) return;
    TaxRow* row = FindTaxRow(*tax, false, *factor, haveRate ? &rate : nullptr);
    if (row) {
        if (row->reportedByPayment) ReportRule(context, "CRP20271", "ImpuestoP", *tax);
        row->reportedByPayment = true;
    } else {
        // Still a duplicate when two TrasladoP name one tax that no document has.
        row = AddTaxRow(*tax, false, *factor, haveRate ? rate : Decimal());
        if (row) row->reportedByPayment = true;
    }
    if (!row || !paymentDecimals_) return;
    const char* baseCode = exempt ? "CRP20269" : "CRP20268";
    if (haveBase && row->base.valid && !AgreesWithSum(base, row->base.value, row->base.count, *paymentDecimals_))
        ReportRule(context, baseCode, "BaseP", *baseText);
    if (!exempt && haveAmount && row->amount.valid &&
        !AgreesWithSum(amount, row->amount.value, row->amount.count, *paymentDecimals_))
        ReportRule(context, "CRP20274", "ImporteP", *amountText);
}

void Pagos20Rules::EndPayment(ValidationContext& context) {
    inPayment_ = false;
    if (!amount_) return;
    const Decimal& monto = *amount_;
    if (!foreignDocuments_) {
        if (paidSame_.valid && paidSame_.count > 0 && Decimal::Compare(paidSame_.value, monto) > 0)
            ReportRule(context, "CRP20217", "Monto", amount_->ToString());
        return;
    }
    // Documents in other currencies: what they convert to must not exceed the amount, or
    // the amount must lie between the sums of each payment's limits.
    if (!paidConverted_.valid || !paidSame_.valid) return;
    Decimal converted, lower, upper;
    if (!Decimal::Add(paidConverted_.value, paidSame_.value, &converted)) return;
    if (Decimal::Compare(converted, monto) <= 0) return;
    if (!Decimal::Add(lowerLimits_.value, paidSame_.value, &lower) || !Decimal::Add(upperLimits_.value, paidSame_.value, &upper))
        return;
    if (Decimal::Compare(monto, lower) < 0 || Decimal::Compare(monto, upper) > 0)
        ReportRule(context, "CRP20276", "Monto", amount_->ToString());
}

void Pagos20Rules::ReportAtTotals(ValidationContext& context, const char* code, std::string_view attribute,
                                  std::string_view value) {
    if (totalsPath_.empty())
        ReportRule(context, code, attribute, value);
    else
        ReportRuleAt(context, totalsLine_, std::string_view(totalsPath_.data(), totalsPath_.size()), code, attribute,
                     value);
}

void Pagos20Rules::EndPayments(ValidationContext& context) {
    inPayments_ = false;
    bool anyStatedRetention = statedPresent_[kRetIva] || statedPresent_[kRetIsr] || statedPresent_[kRetIeps];
    if (anyRetentionP_ && !anyStatedRetention) ReportRule(context, "CRP20264", "", "");
    bool anyStatedBase = statedPresent_[kBaseIva16] || statedPresent_[kBaseIva8] || statedPresent_[kBaseIva0] ||
                         statedPresent_[kBaseIvaExempt];
    if (anyIvaTransferP_ && !anyStatedBase) ReportRule(context, "CRP20267", "", "");
    bool anyStatedTax = statedPresent_[kTaxIva16] || statedPresent_[kTaxIva8] || statedPresent_[kTaxIva0];
    if (anyIvaTaxedTransferP_ && !anyStatedTax) ReportRule(context, "CRP20273", "", "");

    for (int i = 0; i < kTotalCount; ++i) {
        const Sum& sum = totals_[i];
        if (!sum.valid || statedUnreadable_[i]) continue;
        const char* attribute = kTotals[i].attribute;
        if (!statedPresent_[i]) {
            // An absent total is wrong only when there is something to total and the
            // broader rule above has not already said so.
            bool covered = (i <= kRetIeps && !anyStatedRetention) ||
                           ((i == kBaseIva16 || i == kBaseIva8 || i == kBaseIva0 || i == kBaseIvaExempt) && !anyStatedBase) ||
                           ((i == kTaxIva16 || i == kTaxIva8 || i == kTaxIva0) && !anyStatedTax);
            if (sum.count > 0 && !covered) ReportAtTotals(context, kTotals[i].code, attribute, "");
            continue;
        }
        if (!MatchesRoundedTotal(*stated_[i], sum.value))
            ReportAtTotals(context, kTotals[i].code, attribute, stated_[i]->ToString());
    }
}

}  // namespace

UniquePtr<RuleFamily> MakeRulesPagos20(const RuleOptions& options) { return UniquePtr<RuleFamily>(MakeUnique<Pagos20Rules>(options).release()); }

}  // namespace kvn
