// The tax authority's rules beyond the schemas, run in the schema pass (schema_pass.h).
//
// Rules come in families, one file each, each family a ValidationListener that watches the
// elements it needs and reports through ReportRule: rules_40.cpp (CFDI 4.0), rules_pagos20.cpp
// (the Pagos 2.0 complement, inside a 4.0 document), rules_33.cpp (CFDI 3.3), rules_ret20.cpp
// (Retenciones 2.0). The registry (rules.cpp) knows which families run for a kind of
// document; a fan-out listener hands every event of the pass to each of them, so one parse
// serves the schema and all the rules.
//
// A family streams: it keeps per open element what its rules need and accumulates what the
// totals need, never the document's elements, so memory does not grow with the number of
// concepts or payments. Each family also keeps a status table (RuleStatusEntry) of the codes
// it covers, which the docs generator reads (scripts/gen_rule_tables.py).
//
// Rules read values as written; a value the schema pass already turned down (not a decimal,
// not in its catalog) is left to that finding and not reported again by a rule that needs it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/memory.h"
#include "cfdi/catalogs.h"
#include "cfdi/decimal.h"
#include "cfdi/rule_table.h"
#include "cfdi/schema_pass.h"

namespace kvn {

struct RuleOptions {
    // Report each rule that needs the authority's registries and applies to the document as a
    // not-checked warning (KVN_OPT_REGISTRY_RULES).
    bool registryRules = false;
    // The document's file, for the rules that read it again (the seal); null leaves them out.
    const char* documentFile = nullptr;
};

// Values several families share.
inline constexpr std::string_view kLocalTaxesUri = "http://www.sat.gob.mx/implocal";
inline constexpr std::string_view kGenericNationalRfc = "XAXX010101000";  // sales to the public
inline constexpr std::string_view kGenericForeignRfc = "XEXX010101000";   // foreign parties

// A family of rules. Owned by the fan-out listener.
class RuleFamily : public ValidationListener {
public:
    virtual ~RuleFamily() = default;
};

// The families' factories (one per file).
UniquePtr<RuleFamily> MakeRules40(const RuleOptions& options);
UniquePtr<RuleFamily> MakeRulesPagos20(const RuleOptions& options);
UniquePtr<RuleFamily> MakeRules33(const RuleOptions& options);
UniquePtr<RuleFamily> MakeRulesRet20(const RuleOptions& options);

// The families' status tables, for the docs and the tests.
struct RuleStatusTable {
    const RuleStatusEntry* entries;
    std::size_t count;
};
RuleStatusTable Rules40Status() noexcept;

// Hands every event to each family, in order.
class RuleFanOut final : public ValidationListener {
public:
    void Add(UniquePtr<RuleFamily> family) { families_.push_back(std::move(family)); }
    bool empty() const noexcept { return families_.empty(); }

    void OnStartElement(ValidationContext& context, const ValidationElement& element) override;
    void OnEndElement(ValidationContext& context, const ValidationElement& element) override;
    void OnEndDocument(ValidationContext& context) override;

private:
    Vec<UniquePtr<RuleFamily>> families_;
};

// The families that run for documents of a schema set (by its version number: 40, 33, ...);
// none for a kind without rules.
void AddRuleFamilies(const XsdSchemaSet& set, const RuleOptions& options, RuleFanOut& fanOut);

// Reports a broken rule at the current element: kind rule, severity error, the code and the
// authority's message from the rule table. `code` must be a code of the table (static text).
void ReportRule(ValidationContext& context, const char* code, std::string_view attribute, std::string_view value);
// The same at a place of the document other than the current element (a total checked at
// the end of the element that carries it, for instance).
void ReportRuleAt(ValidationContext& context, int line, std::string_view path, const char* code,
                  std::string_view attribute, std::string_view value);

// A place of the document to report at later (a total checked at the end of the element that
// carries it, for instance): the line and element path of the element read when noted.
struct RulePlace {
    int line = 0;
    String path;
    bool noted = false;
    void Note(const ValidationContext& context);
};
void ReportRuleAt(ValidationContext& context, const RulePlace& place, const char* code, std::string_view attribute,
                  std::string_view value);

// Remembers which codes were reported as not checked, so that a rule whose catalog is absent
// gives one finding per document, not one per value (an invoice of a thousand concepts would
// otherwise repeat it a thousand times). Codes end in three digits, unique within a family.
class OnceByCode {
public:
    bool First(std::string_view code) noexcept {
        if (code.size() < 3) return true;
        const std::string_view digits = code.substr(code.size() - 3);
        int n = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return true;
            n = n * 10 + (c - '0');
        }
        if (seen_[n]) return false;
        seen_[n] = true;
        return true;
    }

private:
    bool seen_[1000] = {};
};

// Reports a rule that could not be checked: kind not-checked, severity warning, the code, and
// "Rule <code> was not checked: <why>/No se verifico la regla: <authority's message>".
void ReportRuleNotChecked(ValidationContext& context, const char* code, std::string_view attribute,
                          std::string_view value, std::string_view why);

// The same for a rule whose catalog is absent ("catalog <name> is absent"), once per code.
void ReportCatalogAbsent(OnceByCode& once, ValidationContext& context, const char* code, std::string_view attribute,
                         std::string_view value, std::string_view catalog);

// Common readings for the families.
//
// The value of an attribute of an element (no namespace), or nullopt-like: `found` false.
struct AttributeValue {
    std::string_view text;
    bool found = false;
};
AttributeValue FindAttribute(const ValidationElement& element, std::string_view name) noexcept;
// Reads an element's attributes by name, each search starting after the last one found:
// asked for in the order the schema declares them (which documents follow), each is found
// at the first place it looks.
class AttributeReader {
public:
    explicit AttributeReader(const ValidationElement& element) noexcept : element_(element) {}
    AttributeValue Find(std::string_view name) noexcept;

private:
    const ValidationElement& element_;
    std::size_t next_ = 0;
};
// Whether an element is `local` of namespace `uri`.
bool ElementIs(const ValidationElement& element, std::string_view uri, std::string_view local) noexcept;

// Whether a date-time is of the authority's pattern for the date of a document:
// (20[1-9][0-9])-(0[1-9]|1[0-2])-(0[1-9]|[12][0-9]|3[01])T([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]
bool FechaMatchesPattern(std::string_view text) noexcept;

// The document's own certificate attribute: whether it is base64 of a DER certificate whose
// public key reads. Only base64 is read, never a file of that name. The last error is kept.
bool EmbeddedCertificateReadable(std::string_view text);
// Whether the document's seal fails verification over its file (a second read of it):
// signature, decryption or length errors; a document the verifier cannot judge is not said
// to fail. The last error is kept.
bool SealFailsVerification(const char* documentFile);

// A taxpayer's kind by the length of its RFC (surrounding whitespace aside, which the schema
// collapses): 12 characters a company, 13 an individual.
enum class Person : std::uint8_t { kUnknown, kIndividual, kCompany };
Person PersonOf(std::string_view rfc) noexcept;

// A catalog lookup by the document's date, telling an absent catalog apart.
CatalogAnswer RuleCatalogCheck(const ValidationContext& context, std::string_view catalog,
                               std::string_view value) noexcept;
// The same answers remembered for one document: a family asks about the same few values
// (a tax, a factor, a unit) for every concept, and the document's date and catalogs do not
// change during the pass. Sets of a few ways each, chosen by a hash of the catalog's name and
// the value; a value too long to keep is looked up every time.
class RuleCatalogMemo {
public:
    CatalogAnswer Check(const ValidationContext& context, std::string_view catalog, std::string_view value) noexcept;

private:
    static constexpr std::size_t kSets = 16;
    static constexpr std::size_t kWays = 4;
    static constexpr std::size_t kMaxValue = 22;
    struct Slot {
        const char* catalog = nullptr;  // the caller's name text, compared by address first
        std::uint8_t catalogSize = 0;
        std::uint8_t valueSize = 0xFF;  // 0xFF: empty
        CatalogAnswer answer = CatalogAnswer::kAbsent;
        char value[kMaxValue];
    };
    Slot slots_[kSets][kWays];
    std::uint8_t next_[kSets] = {};  // the way a new answer takes in each set, in turn
};

// The row of `value` in `catalog` valid at the document's date; null row when there is none or
// the catalog is absent (`absent` tells which).
std::optional<CatalogRow> RuleCatalogRow(const ValidationContext& context, std::string_view catalog,
                                         std::string_view value, bool* absent = nullptr) noexcept;

// The decimals a currency allows (c_Moneda's `decimales`), or -1 when the currency or its
// catalog is unknown.
int CurrencyDecimals(const ValidationContext& context, std::string_view currency) noexcept;

// The bounds of an amount that is a product a x b, as the authority defines them: with da
// and db the decimals a and b are written with, and d those of the amount,
//   lower = (a - 10^-da / 2) x (b - 10^-db / 2), truncated to d decimals
//   upper = (a + 10^-da / 2) x (b + 10^-db / 2), rounded up to d decimals
// With `bExact` (a tax's rate), b is taken as it is: lower = (a - 10^-da / 2) x b, and
// likewise the upper. False on overflow.
bool ProductBounds(const Decimal& a, const Decimal& b, bool bExact, int amountDecimals, Decimal* lower,
                   Decimal* upper) noexcept;
// Whether `amount` lies within ProductBounds (true as well when the bounds overflow: the
// amount cannot be judged then).
bool WithinProductBounds(const Decimal& amount, const Decimal& a, const Decimal& b, bool bExact) noexcept;

}  // namespace kvn
