// Arithmetic and catalog readings that the payment-receipt and CFDI 3.3 rules share beyond
// rules.h: quotients of amounts (conversions by an equivalence), rates looked up in
// c_TasaOCuota by tax, factor and use, sums compared with the tolerance of their rounding,
// and the account patterns of c_FormaPago.
#pragma once

#include <optional>
#include <string_view>

#include "cfdi/catalogs.h"
#include "cfdi/decimal.h"
#include "cfdi/rules.h"
#include "cfdi/schema_pass.h"

namespace kvn {

// The value of a decimal attribute as written, after the collapse of its whitespace. False
// when it is not a decimal (the schema pass reports that).
bool ParseAmount(std::string_view text, Decimal* out) noexcept;
// Whether a decimal attribute equals a literal by value ("0.00" equals "0").
bool AmountEquals(std::string_view text, std::string_view literal) noexcept;

// a / b with `decimals` digits after the point, rounded half away from zero. False when b
// is zero or the quotient does not fit.
bool DivideDecimal(const Decimal& a, const Decimal& b, int decimals, Decimal* out) noexcept;

// Whether a stated amount agrees with a sum of `terms` amounts that were each rounded to
// `decimals`: at most half a unit of that digit per term apart (half a unit for no term).
bool AgreesWithSum(const Decimal& stated, const Decimal& sum, int terms, int decimals) noexcept;

// Whether a stated amount is a sum rounded to the decimals the amount is written with.
bool EqualsRoundedSum(const Decimal& stated, const Decimal& sum) noexcept;

// Whether a stated total equals a sum rounded to two decimals (or to the decimals it is
// written with, when it has more).
bool MatchesRoundedTotal(const Decimal& stated, const Decimal& sum) noexcept;

// A TasaOCuota against c_TasaOCuota at the document's date: a fixed row of its tax and factor
// with that value, or a range row that holds it, allowed for the use (transfer or retention).
enum class RateAnswer : std::uint8_t { kValid, kInvalid, kAbsent };
// `tax` is the c_Impuesto code ("002"); the catalog names the tax by its text ("IVA").
RateAnswer CheckRate(const ValidationContext& context, std::string_view tax, std::string_view factor,
                     const Decimal& rate, bool retention) noexcept;

// Whether a value matches an account pattern of c_FormaPago: alternatives of character
// classes with counts ("[0-9]{10}|[0-9]{16}|[A-Z0-9_]{10,50}"); "\V*" takes anything. A
// pattern of another form takes anything as well (there is nothing sound to check against).
bool MatchesAccountPattern(std::string_view pattern, std::string_view value) noexcept;

// One paid amount of a related document in another currency, in the payment's currency:
// the quotient by the equivalence, and the bounds of that quotient given the decimals both
// are written with (lower truncated, upper rounded, to the payment's decimals). False when
// the figures do not allow it (an equivalence too small for its own precision, overflow).
bool ConvertedPaymentBounds(const Decimal& paid, const Decimal& equivalence, int paymentDecimals, Decimal* converted,
                            Decimal* lower, Decimal* upper) noexcept;

}  // namespace kvn
