// Amount arithmetic and catalog readings of the payment-receipt and CFDI 3.3 rules.
#include "cfdi/rule_amounts.h"

#include "cfdi/catalog_table.h"

namespace kvn {
namespace {

using Mantissa = Decimal::Mantissa;

bool IsXmlSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view Trimmed(std::string_view text) noexcept {
    while (!text.empty() && IsXmlSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsXmlSpace(text.back())) text.remove_suffix(1);
    return text;
}

// A decimal as its integer mantissa and scale (the digits it was written with).
bool Unpack(const Decimal& d, Mantissa* mantissa, int* scale) {
    const String text = d.ToString();
    Mantissa m = 0;
    int s = 0;
    bool point = false, negative = false;
    for (char c : text) {
        if (c == '-') {
            negative = true;
        } else if (c == '.') {
            point = true;
        } else {
            m = m * 10 + (c - '0');
            if (point) ++s;
        }
    }
    *mantissa = negative ? -m : m;
    *scale = s;
    return true;
}

bool TimesPowerOfTen(Mantissa m, int n, Mantissa* out) noexcept {
    for (int i = 0; i < n; ++i)
        if (__builtin_mul_overflow(m, Mantissa{10}, &m)) return false;
    *out = m;
    return true;
}

// Decimal from a mantissa and scale, through its text (Decimal keeps its mantissa private).
bool Pack(Mantissa m, int scale, Decimal* out) {
    char digits[48];
    int n = 0;
    const bool negative = m < 0;
    if (negative) m = -m;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(m % 10));
        m /= 10;
    } while (m != 0 || n <= scale);
    char text[52];
    int t = 0;
    if (negative) text[t++] = '-';
    for (int i = n - 1; i >= 0; --i) {
        text[t++] = digits[i];
        if (i == scale && scale > 0) text[t++] = '.';
    }
    return Decimal::Parse(std::string_view(text, static_cast<std::size_t>(t)), out);
}

const char* TaxName(std::string_view code) noexcept {
    if (code == "001") return "ISR";
    if (code == "002") return "IVA";
    if (code == "003") return "IEPS";
    return nullptr;
}

// The catalog's impuesto column names a tax by its text, sometimes with a qualifier
// ("IVA Crédito aplicado del 50%").
bool NamesTax(std::string_view column, std::string_view name) noexcept {
    return column == name || (column.size() > name.size() && column.substr(0, name.size()) == name &&
                              column[name.size()] == ' ');
}

// Matches a value against one alternative: a sequence of [class]{n} / [class]{n,m} / [class]
// steps. Returns false for a form it does not read (`understood` cleared).
bool MatchesSteps(std::string_view steps, std::string_view value, bool* understood) noexcept {
    std::size_t at = 0;
    while (!steps.empty()) {
        if (steps.front() != '[') {
            *understood = false;
            return false;
        }
        const std::size_t close = steps.find(']');
        if (close == std::string_view::npos) {
            *understood = false;
            return false;
        }
        const std::string_view chars = steps.substr(1, close - 1);
        steps.remove_prefix(close + 1);
        std::size_t low = 1, high = 1;
        if (!steps.empty() && steps.front() == '{') {
            const std::size_t end = steps.find('}');
            if (end == std::string_view::npos) {
                *understood = false;
                return false;
            }
            std::string_view counts = steps.substr(1, end - 1);
            steps.remove_prefix(end + 1);
            auto number = [](std::string_view s, std::size_t* out) {
                if (s.empty() || s.size() > 4) return false;
                std::size_t n = 0;
                for (char c : s) {
                    if (c < '0' || c > '9') return false;
                    n = n * 10 + static_cast<std::size_t>(c - '0');
                }
                *out = n;
                return true;
            };
            const std::size_t comma = counts.find(',');
            if (comma == std::string_view::npos) {
                if (!number(counts, &low)) {
                    *understood = false;
                    return false;
                }
                high = low;
            } else if (!number(counts.substr(0, comma), &low) || !number(counts.substr(comma + 1), &high)) {
                *understood = false;
                return false;
            }
        }
        auto inClass = [&](char c) {
            for (std::size_t i = 0; i < chars.size(); ++i) {
                if (i + 2 < chars.size() && chars[i + 1] == '-') {
                    if (c >= chars[i] && c <= chars[i + 2]) return true;
                    i += 2;
                } else if (c == chars[i]) {
                    return true;
                }
            }
            return false;
        };
        // Steps of the catalog never overlap in what they take, so a greedy run is exact.
        std::size_t taken = 0;
        while (taken < high && at + taken < value.size() && inClass(value[at + taken])) ++taken;
        if (taken < low) return false;
        at += taken;
    }
    return at == value.size();
}

}  // namespace

bool ParseAmount(std::string_view text, Decimal* out) noexcept { return Decimal::Parse(Trimmed(text), out); }

bool AmountEquals(std::string_view text, std::string_view literal) noexcept {
    Decimal a, b;
    return ParseAmount(text, &a) && Decimal::Parse(literal, &b) && Decimal::Compare(a, b) == 0;
}

bool DivideDecimal(const Decimal& a, const Decimal& b, int decimals, Decimal* out) noexcept {
    Mantissa ma, mb;
    int sa, sb;
    if (b.IsZero() || decimals < 0 || decimals > Decimal::kMaxScale) return false;
    Unpack(a, &ma, &sa);
    Unpack(b, &mb, &sb);
    // a / b = (ma / mb) * 10^(sb - sa); at `decimals` digits: ma * 10^(decimals + sb - sa) / mb.
    const int shift = decimals + sb - sa;
    Mantissa numerator = ma, denominator = mb;
    if (shift >= 0 ? !TimesPowerOfTen(ma, shift, &numerator) : !TimesPowerOfTen(mb, -shift, &denominator))
        return false;
    if (denominator < 0) {
        numerator = -numerator;
        denominator = -denominator;
    }
    Mantissa q = numerator / denominator;
    Mantissa r = numerator % denominator;
    if (r < 0) r = -r;
    if (r >= denominator - r) q += numerator < 0 ? -1 : 1;  // half away from zero
    return Pack(q, decimals, out);
}

bool AgreesWithSum(const Decimal& stated, const Decimal& sum, int terms, int decimals) noexcept {
    Decimal difference, tolerance;
    if (!Decimal::Sub(stated, sum, &difference)) return true;
    if (!Decimal::Mul(Decimal::FromInt(terms > 1 ? terms : 1), Decimal::HalfUnit(decimals), &tolerance)) return true;
    return Decimal::Compare(difference.Abs(), tolerance) <= 0;
}

bool EqualsRoundedSum(const Decimal& stated, const Decimal& sum) noexcept {
    Decimal rounded;
    if (!sum.RoundTo(stated.Scale(), &rounded)) return true;
    return Decimal::Compare(stated, rounded) == 0;
}

bool MatchesRoundedTotal(const Decimal& stated, const Decimal& sum) noexcept {
    const int decimals = stated.Scale() > 2 ? stated.Scale() : 2;
    Decimal rounded, two;
    if (!sum.RoundTo(decimals, &rounded) || !sum.RoundTo(2, &two)) return true;
    return Decimal::Compare(stated, rounded) == 0 || Decimal::Compare(stated, two) == 0;
}

RateAnswer CheckRate(const ValidationContext& context, std::string_view tax, std::string_view factor,
                     const Decimal& rate, bool retention) noexcept {
    const CatalogTable* table = context.CatalogTables().Find(context.Schema().catalogs, "c_TasaOCuota");
    if (!table) return RateAnswer::kAbsent;
    const char* name = TaxName(tax);
    if (!name) return RateAnswer::kInvalid;
    const std::int32_t date = context.DocumentDate();
    for (CatalogRow row : table->Rows()) {
        if (!row.ValidAt(date)) continue;
        if (!NamesTax(row.Field("impuesto").value_or(""), name) || row.Field("factor").value_or("") != factor) continue;
        if (row.Field(retention ? "retencion" : "traslado").value_or("") != "1") continue;
        Decimal value, minimum;
        if (!Decimal::Parse(row.Field("valor").value_or(""), &value)) continue;
        if (row.Field("tipo").value_or("") == "Rango") {
            if (!Decimal::Parse(row.Field("minimo").value_or(""), &minimum)) continue;
            if (Decimal::Compare(rate, minimum) >= 0 && Decimal::Compare(rate, value) <= 0) return RateAnswer::kValid;
        } else if (Decimal::Compare(rate, value) == 0) {
            return RateAnswer::kValid;
        }
    }
    return RateAnswer::kInvalid;
}

bool MatchesAccountPattern(std::string_view pattern, std::string_view value) noexcept {
    if (pattern == "\\V*") return true;
    bool understood = true;
    while (true) {
        const std::size_t bar = pattern.find('|');
        if (MatchesSteps(pattern.substr(0, bar), value, &understood)) return true;
        if (!understood) return true;
        if (bar == std::string_view::npos) return false;
        pattern.remove_prefix(bar + 1);
    }
}

bool ConvertedPaymentBounds(const Decimal& paid, const Decimal& equivalence, int paymentDecimals, Decimal* converted,
                            Decimal* lower, Decimal* upper) noexcept {
    // lower = (paid - half a unit of its last digit) / (equivalence + half of its), truncated;
    // upper = (paid + half a unit) / (equivalence - half a unit), rounded.
    if (paid.Scale() >= Decimal::kMaxScale || equivalence.Scale() >= Decimal::kMaxScale) return false;
    const Decimal halfPaid = Decimal::HalfUnit(paid.Scale());
    const Decimal halfEquivalence = Decimal::HalfUnit(equivalence.Scale());
    Decimal paidLow, paidHigh, eqLow, eqHigh, low, high;
    if (!Decimal::Sub(paid, halfPaid, &paidLow) || !Decimal::Add(paid, halfPaid, &paidHigh) ||
        !Decimal::Sub(equivalence, halfEquivalence, &eqLow) || !Decimal::Add(equivalence, halfEquivalence, &eqHigh))
        return false;
    if (eqLow.Sign() <= 0) return false;
    const int work = paymentDecimals + 6;
    if (!DivideDecimal(paid, equivalence, work, converted) || !DivideDecimal(paidLow, eqHigh, work, &low) ||
        !DivideDecimal(paidHigh, eqLow, work, &high))
        return false;
    return low.Truncate(paymentDecimals, lower) && high.RoundTo(paymentDecimals, upper);
}

}  // namespace kvn
