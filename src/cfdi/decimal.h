// Exact decimal numbers for the arithmetic of invoice amounts: sums, products, rounding to a
// currency's decimals. A value is a signed integer mantissa and a scale (digits after the
// point), so 12.50 is 1250 with scale 2, and keeps the scale it was written with. Nothing
// goes through binary floating point.
//
// The mantissa holds 38 decimal digits: the sum of 100,000 amounts of 18 integer and 6
// fraction digits, times a rate of 6 decimals, still fits. An operation whose exact result
// does not fit fails (returns false) and leaves its output unchanged; it never wraps.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/memory.h"

namespace kvn {

class Decimal {
public:
    __extension__ typedef __int128 Mantissa;
    static constexpr int kMaxScale = 38;

    constexpr Decimal() noexcept = default;  // 0 with scale 0
    static Decimal FromInt(std::int64_t value) noexcept { return Decimal(value, 0); }

    // The lexical form of xs:decimal: an optional sign, then digits with an optional point
    // and digits after it (at least one digit on either side: "1", "1.", ".5", "-0.50").
    // False for any other text or one with more significant digits than the mantissa holds.
    static bool Parse(std::string_view text, Decimal* out) noexcept;

    // Exact a + b, a - b and a * b (the scale of a sum is the larger one, of a product the
    // sum of both). False on overflow.
    static bool Add(const Decimal& a, const Decimal& b, Decimal* out) noexcept;
    static bool Sub(const Decimal& a, const Decimal& b, Decimal* out) noexcept;
    static bool Mul(const Decimal& a, const Decimal& b, Decimal* out) noexcept;

    // -1, 0 or 1 as a is below, equal to or above b, whatever their scales (1.50 == 1.5).
    static int Compare(const Decimal& a, const Decimal& b) noexcept;

    int Scale() const noexcept { return scale_; }
    int Sign() const noexcept { return mantissa_ < 0 ? -1 : mantissa_ > 0 ? 1 : 0; }
    bool IsZero() const noexcept { return mantissa_ == 0; }
    Decimal Abs() const noexcept { return Decimal(mantissa_ < 0 ? -mantissa_ : mantissa_, scale_); }
    Decimal Negated() const noexcept { return Decimal(-mantissa_, scale_); }

    // The value with `decimals` digits after the point (0..kMaxScale). RoundTo rounds half
    // away from zero (2.345 -> 2.35, -2.345 -> -2.35), the authority's rounding; Truncate
    // drops the digits (2.349 -> 2.34, -2.349 -> -2.34). Asking for more digits than the
    // value has pads with zeros, which fails only on overflow.
    bool RoundTo(int decimals, Decimal* out) const noexcept;
    bool Truncate(int decimals, Decimal* out) const noexcept;

    // 10^-decimals (0.01 for 2); decimals in 0..kMaxScale.
    static Decimal Unit(int decimals) noexcept { return Decimal(1, decimals); }
    // 10^-decimals / 2 (0.005 for 2): half a unit of the last digit.
    static Decimal HalfUnit(int decimals) noexcept { return Decimal(5, decimals + 1); }

    // The digits with the value's own scale: "-12.50", "0.000", "7".
    String ToString() const;

private:
    constexpr Decimal(Mantissa mantissa, int scale) noexcept : mantissa_(mantissa), scale_(scale) {}
    // The mantissa at a larger scale; false on overflow.
    bool Rescaled(int scale, Mantissa* out) const noexcept;
    bool Reduce(int decimals, bool round, Decimal* out) const noexcept;

    Mantissa mantissa_ = 0;
    int scale_ = 0;
};

}  // namespace kvn
