// Exact decimals on a 128-bit mantissa.
#include "cfdi/decimal.h"

namespace kvn {
namespace {

using Mantissa = Decimal::Mantissa;

// 10^n for n in 0..38.
Mantissa PowerOfTen(int n) noexcept {
    Mantissa p = 1;
    for (int i = 0; i < n; ++i) p *= 10;
    return p;
}

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// Amounts as invoices write them ("1234.56"): at most 18 digits, which 64 bits hold, read in
// one tight loop. False when the text is anything else (the general reading decides then).
bool ParseShort(std::string_view text, Decimal::Mantissa* mantissa, int* scale) noexcept {
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t value = 0;
    std::size_t i = 0, digits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) value = value * 10 + static_cast<unsigned>(text[i] - '0');
    std::size_t fraction = 0;
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && IsDigit(text[i]); ++i, ++fraction)
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (i != text.size() || digits + fraction == 0 || digits + fraction > 18) return false;
    *mantissa = static_cast<Decimal::Mantissa>(value);
    *scale = static_cast<int>(fraction);
    return true;
}

}  // namespace

bool Decimal::Parse(std::string_view text, Decimal* out) noexcept {
    Mantissa shortMantissa = 0;
    int shortScale = 0;
    if (ParseShort(text, &shortMantissa, &shortScale)) {
        *out = Decimal(shortMantissa, shortScale);
        return true;
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    Mantissa m = 0;
    int significant = 0, scale = 0, digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            if (point) return false;
            point = true;
            continue;
        }
        if (!IsDigit(c)) return false;
        ++digits;
        if (point) {
            if (++scale > kMaxScale) return false;
        }
        if (significant > 0 || c != '0') {
            if (++significant > kMaxScale) return false;
        }
        m = m * 10 + (c - '0');
    }
    if (digits == 0) return false;
    *out = Decimal(negative ? -m : m, scale);
    return true;
}

bool Decimal::Rescaled(int scale, Mantissa* out) const noexcept {
    if (scale > kMaxScale) return false;
    Mantissa m = mantissa_;
    for (int s = scale_; s < scale; ++s) {
        if (__builtin_mul_overflow(m, Mantissa{10}, &m)) return false;
    }
    *out = m;
    return true;
}

bool Decimal::Add(const Decimal& a, const Decimal& b, Decimal* out) noexcept {
    const int scale = a.scale_ > b.scale_ ? a.scale_ : b.scale_;
    Mantissa x, y, sum;
    if (!a.Rescaled(scale, &x) || !b.Rescaled(scale, &y) || __builtin_add_overflow(x, y, &sum)) return false;
    *out = Decimal(sum, scale);
    return true;
}

bool Decimal::Sub(const Decimal& a, const Decimal& b, Decimal* out) noexcept { return Add(a, b.Negated(), out); }

bool Decimal::Mul(const Decimal& a, const Decimal& b, Decimal* out) noexcept {
    Mantissa product;
    const int scale = a.scale_ + b.scale_;
    if (__builtin_mul_overflow(a.mantissa_, b.mantissa_, &product)) return false;
    Decimal exact(product, scale);
    // A scale beyond the limit is brought back when the extra digits are zeros.
    while (exact.scale_ > kMaxScale) {
        if (exact.mantissa_ % 10 != 0) return false;
        exact.mantissa_ /= 10;
        --exact.scale_;
    }
    *out = exact;
    return true;
}

int Decimal::Compare(const Decimal& a, const Decimal& b) noexcept {
    if (a.Sign() != b.Sign()) return a.Sign() < b.Sign() ? -1 : 1;
    const int scale = a.scale_ > b.scale_ ? a.scale_ : b.scale_;
    Mantissa x, y;
    const bool xFits = a.Rescaled(scale, &x), yFits = b.Rescaled(scale, &y);
    if (xFits && yFits) return x < y ? -1 : x > y ? 1 : 0;
    // Only the one with fewer decimals can fail to fit: its magnitude is then the larger.
    const int larger = xFits ? -1 : 1;  // which side has the larger magnitude
    return a.Sign() < 0 ? -larger : larger;
}

bool Decimal::Reduce(int decimals, bool round, Decimal* out) const noexcept {
    if (decimals < 0 || decimals > kMaxScale) return false;
    if (decimals >= scale_) {
        Mantissa m;
        if (!Rescaled(decimals, &m)) return false;
        *out = Decimal(m, decimals);
        return true;
    }
    const Mantissa divisor = PowerOfTen(scale_ - decimals);
    Mantissa q = mantissa_ / divisor;  // truncates toward zero
    const Mantissa r = mantissa_ % divisor;
    if (round) {
        const Mantissa rest = r < 0 ? -r : r;
        if (rest >= divisor - rest) q += mantissa_ < 0 ? -1 : 1;  // rest >= divisor / 2, without overflow
    }
    *out = Decimal(q, decimals);
    return true;
}

bool Decimal::RoundTo(int decimals, Decimal* out) const noexcept { return Reduce(decimals, true, out); }

bool Decimal::Truncate(int decimals, Decimal* out) const noexcept { return Reduce(decimals, false, out); }

String Decimal::ToString() const {
    char digits[64];
    int n = 0;
    Mantissa m = mantissa_ < 0 ? -mantissa_ : mantissa_;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(m % 10));
        m /= 10;
    } while (m != 0 || n <= scale_);
    String text;
    if (mantissa_ < 0) text += '-';
    for (int i = n - 1; i >= 0; --i) {
        text += digits[i];
        if (i == scale_ && i > 0) text += '.';
    }
    return text;
}

}  // namespace kvn
