// The registry of rule families, the fan-out listener and what the families share.
#include "cfdi/rules.h"

#include <cstring>

#include "base/lasterror.h"
#include "cfdi/schema_model.h"
#include "cfdi/verify.h"
#include "kelvane.h"
#include "pki/asn1.h"
#include "pki/base64.h"
#include "pki/rsa.h"
#include "pki/x509.h"

namespace kvn {
namespace {

// Which families run for a document kind (by its schema set's version number), in the order
// they see each event. A family is one line here.
struct FamilyEntry {
    int version;
    UniquePtr<RuleFamily> (*make)(const RuleOptions& options);
};

constexpr FamilyEntry kFamilies[] = {
    {40, MakeRules40},
    {40, MakeRulesPagos20},
    {33, MakeRules33},
    {KVN_VERSION_RET20, MakeRulesRet20},
};

}  // namespace

void RuleFanOut::OnStartElement(ValidationContext& context, const ValidationElement& element) {
    for (auto& family : families_) family->OnStartElement(context, element);
}

void RuleFanOut::OnEndElement(ValidationContext& context, const ValidationElement& element) {
    for (auto& family : families_) family->OnEndElement(context, element);
}

void RuleFanOut::OnEndDocument(ValidationContext& context) {
    for (auto& family : families_) family->OnEndDocument(context);
}

void AddRuleFamilies(const XsdSchemaSet& set, const RuleOptions& options, RuleFanOut& fanOut) {
    for (const FamilyEntry& entry : kFamilies) {
        if (entry.version == set.versionNumber) fanOut.Add(entry.make(options));
    }
}

const RuleText* FindRule(std::string_view code) noexcept {
    std::size_t lo = 0, hi = kRuleTextCount;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        const int c = std::string_view(kRuleTexts[mid].code).compare(code);
        if (c == 0) return &kRuleTexts[mid];
        if (c < 0) lo = mid + 1;
        else hi = mid;
    }
    return nullptr;
}

void ReportRuleAt(ValidationContext& context, int line, std::string_view path, const char* code,
                  std::string_view attribute, std::string_view value) {
    const RuleText* rule = FindRule(code);
    context.ReportAt(line, path, FindingKind::kRule, FindingSeverity::kError, rule ? rule->code : code, attribute,
                     value, rule ? rule->message : "");
}

void ReportCatalogAbsent(OnceByCode& once, ValidationContext& context, const char* code, std::string_view attribute,
                         std::string_view value, std::string_view catalog) {
    if (!once.First(code)) return;
    String why = "catalog ";
    why.append(catalog.data(), catalog.size());
    why += " is absent";
    ReportRuleNotChecked(context, code, attribute, value, std::string_view(why.data(), why.size()));
}

void RulePlace::Note(const ValidationContext& context) {
    line = context.Line();
    const std::string_view p = context.Path();
    path.assign(p.data(), p.size());
    noted = true;
}

void ReportRuleAt(ValidationContext& context, const RulePlace& place, const char* code, std::string_view attribute,
                  std::string_view value) {
    ReportRuleAt(context, place.line, std::string_view(place.path.data(), place.path.size()), code, attribute, value);
}

void ReportRule(ValidationContext& context, const char* code, std::string_view attribute, std::string_view value) {
    ReportRuleAt(context, context.Line(), context.Path(), code, attribute, value);
}

void ReportRuleNotChecked(ValidationContext& context, const char* code, std::string_view attribute,
                          std::string_view value, std::string_view why) {
    const RuleText* rule = FindRule(code);
    String message;
    AppendFormat(message, "Rule %s was not checked: %.*s/No se verifico la regla: %s", code,
                 static_cast<int>(why.size()), why.data(), rule ? rule->message : "");
    context.Report(FindingKind::kNotChecked, FindingSeverity::kWarning, rule ? rule->code : code, attribute, value,
                   std::string_view(message.data(), message.size()));
}

AttributeValue FindAttribute(const ValidationElement& element, std::string_view name) noexcept {
    return AttributeReader(element).Find(name);
}

AttributeValue AttributeReader::Find(std::string_view name) noexcept {
    const std::size_t count = element_.attributeCount;
    if (name.empty()) return AttributeValue{};
    for (std::size_t k = 0, i = next_; k < count; ++k, i = i + 1 == count ? 0 : i + 1) {
        const ElementAttribute& a = element_.attributes[i];
        const char* q = a.qname;
        if (q[0] != name[0] || *a.uri != '\0') continue;
        std::size_t n = 1;
        while (n < name.size() && q[n] == name[n]) ++n;
        if (n == name.size() && q[n] == '\0') {
            next_ = i + 1 == count ? 0 : i + 1;
            return AttributeValue{a.value, true};
        }
    }
    return AttributeValue{};
}

bool ElementIs(const ValidationElement& element, std::string_view uri, std::string_view local) noexcept {
    return local == element.local && uri == element.uri;
}

bool FechaMatchesPattern(std::string_view f) noexcept {
    if (f.size() != 19 || f[4] != '-' || f[7] != '-' || f[10] != 'T' || f[13] != ':' || f[16] != ':') return false;
    int parts[7];  // century, year, month, day, hour, minute, second
    for (int i = 0; i < 7; ++i) {
        const std::size_t at = i < 2 ? 2 * i : 3 * i - 1;
        const char hi = f[at], lo = f[at + 1];
        if (hi < '0' || hi > '9' || lo < '0' || lo > '9') return false;
        parts[i] = (hi - '0') * 10 + (lo - '0');
    }
    return parts[0] == 20 && parts[1] >= 10 && parts[2] >= 1 && parts[2] <= 12 && parts[3] >= 1 && parts[3] <= 31 &&
           parts[4] <= 23 && parts[5] <= 59 && parts[6] <= 59;
}

namespace {

// Runs `check` and leaves the last error as it was before.
template <typename Check>
auto KeepingLastError(Check check) {
    const String saved(LastErrorText());
    const auto result = check();
    ClearLastError();
    if (!saved.empty()) RecordError("%s", saved.c_str());
    return result;
}

}  // namespace

bool EmbeddedCertificateReadable(std::string_view text) {
    if (text.size() <= kX509MinBase64 || text[0] != 'M') return false;
    for (char ch : text) {
        if (!b64_IsAlphabet(static_cast<unsigned char>(ch)) && ch != '=') return false;
    }
    const String base64(text.data(), text.size());
    return KeepingLastError([&] {
        AsnList decoded;
        RsaKeyPtr key = rsa_KeyNew();
        // Decoded first: x509_GetPublicKey would take text that is not base64 for a file name.
        return !Failed(asn_ReadBase64(base64.c_str(), decoded)) && !Failed(x509_GetPublicKey(*key, base64.c_str()));
    });
}

bool SealFailsVerification(const char* documentFile) {
    const Error rc = KeepingLastError([&] { return VerifyDocumentSignature(documentFile, nullptr, 0); });
    return rc == Error::SIGNATURE_ERROR || rc == Error::DECRYPT_ERROR || rc == Error::BAD_LENGTH_ERROR;
}

Person PersonOf(std::string_view rfc) noexcept {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!rfc.empty() && space(rfc.front())) rfc.remove_prefix(1);
    while (!rfc.empty() && space(rfc.back())) rfc.remove_suffix(1);
    return rfc.size() == 12 ? Person::kCompany : rfc.size() == 13 ? Person::kIndividual : Person::kUnknown;
}

CatalogAnswer RuleCatalogCheck(const ValidationContext& context, std::string_view catalog,
                               std::string_view value) noexcept {
    return CatalogCheck(context.CatalogTables(), context.Schema().catalogs, catalog, value, context.DocumentDate());
}

CatalogAnswer RuleCatalogMemo::Check(const ValidationContext& context, std::string_view catalog,
                                     std::string_view value) noexcept {
    if (value.size() > kMaxValue || catalog.size() > 0xFF) return RuleCatalogCheck(context, catalog, value);
    // FNV-1a over the value, started from the name's length and last letter (catalog names
    // differ there more than anywhere cheap to read).
    std::uint32_t hash = 2166136261u ^ static_cast<std::uint32_t>(catalog.size() << 8);
    if (!catalog.empty()) hash = (hash ^ static_cast<unsigned char>(catalog.back())) * 16777619u;
    for (char ch : value) hash = (hash ^ static_cast<unsigned char>(ch)) * 16777619u;
    const std::size_t set = (hash ^ (hash >> 16)) % kSets;
    for (Slot& slot : slots_[set]) {
        if (slot.valueSize != value.size() || slot.catalogSize != catalog.size()) continue;
        if (slot.catalog != catalog.data() && std::string_view(slot.catalog, slot.catalogSize) != catalog) continue;
        if (std::string_view(slot.value, slot.valueSize) == value) return slot.answer;
    }
    Slot& slot = slots_[set][next_[set]];
    next_[set] = static_cast<std::uint8_t>((next_[set] + 1) % kWays);
    slot.answer = RuleCatalogCheck(context, catalog, value);
    slot.catalog = catalog.data();
    slot.catalogSize = static_cast<std::uint8_t>(catalog.size());
    slot.valueSize = static_cast<std::uint8_t>(value.size());
    std::memcpy(slot.value, value.data(), value.size());
    return slot.answer;
}

std::optional<CatalogRow> RuleCatalogRow(const ValidationContext& context, std::string_view catalog,
                                         std::string_view value, bool* absent) noexcept {
    const CatalogTable* table = context.CatalogTables().Find(context.Schema().catalogs, catalog);
    if (absent) *absent = table == nullptr;
    if (!table) return std::nullopt;
    return table->FindValid(value, context.DocumentDate());
}

int CurrencyDecimals(const ValidationContext& context, std::string_view currency) noexcept {
    const std::optional<CatalogRow> row = RuleCatalogRow(context, "c_Moneda", currency);
    if (!row) return -1;
    const std::optional<std::string_view> field = row->Field("decimales");
    if (!field || field->empty() || field->size() > 2) return -1;
    int decimals = 0;
    for (char c : *field) {
        if (c < '0' || c > '9') return -1;
        decimals = decimals * 10 + (c - '0');
    }
    return decimals;
}

namespace {

// The value rounded up (toward +infinity) to `decimals`.
bool CeilTo(const Decimal& value, int decimals, Decimal* out) noexcept {
    Decimal t;
    if (!value.Truncate(decimals, &t)) return false;
    if (Decimal::Compare(t, value) < 0 && !Decimal::Add(t, Decimal::Unit(decimals), &t)) return false;
    *out = t;
    return true;
}

// The value rounded down (toward -infinity) to `decimals`.
bool FloorTo(const Decimal& value, int decimals, Decimal* out) noexcept {
    Decimal t;
    if (!value.Truncate(decimals, &t)) return false;
    if (Decimal::Compare(t, value) > 0 && !Decimal::Sub(t, Decimal::Unit(decimals), &t)) return false;
    *out = t;
    return true;
}

}  // namespace

bool ProductBounds(const Decimal& a, const Decimal& b, bool bExact, int amountDecimals, Decimal* lower,
                   Decimal* upper) noexcept {
    if (a.Scale() >= Decimal::kMaxScale || b.Scale() >= Decimal::kMaxScale) return false;
    const Decimal halfA = Decimal::HalfUnit(a.Scale());
    const Decimal halfB = bExact ? Decimal() : Decimal::HalfUnit(b.Scale());
    Decimal aLow, aHigh, bLow, bHigh, low, high;
    if (!Decimal::Sub(a, halfA, &aLow) || !Decimal::Add(a, halfA, &aHigh) || !Decimal::Sub(b, halfB, &bLow) ||
        !Decimal::Add(b, halfB, &bHigh))
        return false;
    if (!Decimal::Mul(aLow, bLow, &low) || !Decimal::Mul(aHigh, bHigh, &high)) return false;
    // Truncation of the lower bound: toward zero, which is down for the non-negative
    // products of quantities and prices; a bound below zero goes down as well.
    if (!(low.Sign() < 0 ? FloorTo(low, amountDecimals, lower) : low.Truncate(amountDecimals, lower))) return false;
    return CeilTo(high, amountDecimals, upper);
}

bool WithinProductBounds(const Decimal& amount, const Decimal& a, const Decimal& b, bool bExact) noexcept {
    // The exact product truncated or rounded up lies within the bounds, which widen it on
    // both sides; most amounts are one of those two, so the bounds are seldom needed.
    Decimal product, truncated;
    if (Decimal::Mul(a, b, &product) && product.Sign() >= 0 && product.Truncate(amount.Scale(), &truncated)) {
        const int c = Decimal::Compare(amount, truncated);
        if (c == 0) return true;
        if (c > 0 && Decimal::Compare(truncated, product) < 0) {
            Decimal up;
            if (Decimal::Add(truncated, Decimal::Unit(amount.Scale()), &up) && Decimal::Compare(amount, up) == 0)
                return true;
        }
    }
    Decimal lower, upper;
    if (!ProductBounds(a, b, bExact, amount.Scale(), &lower, &upper)) return true;
    return Decimal::Compare(amount, lower) >= 0 && Decimal::Compare(amount, upper) <= 0;
}

}  // namespace kvn
