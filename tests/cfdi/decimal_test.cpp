// Exact decimals: the lexical forms taken and refused, exact arithmetic, the authority's
// rounding, and overflow reported rather than wrapped.
#include <gtest/gtest.h>

#include <string>

#include "cfdi/decimal.h"

namespace kvn {
namespace {

Decimal D(const char* text) {
    Decimal d;
    EXPECT_TRUE(Decimal::Parse(text, &d)) << text;
    return d;
}

std::string S(const Decimal& d) { return std::string(d.ToString().c_str()); }

TEST(Decimal, ParsesTheSchemaFormsAndKeepsTheScale) {
    const struct {
        const char* text;
        const char* shown;
        int scale;
    } ok[] = {{"0", "0", 0},           {"12.50", "12.50", 2},   {"-0.50", "-0.50", 2}, {"+7", "7", 0},
              {".5", "0.5", 1},        {"5.", "5", 0},          {"007.10", "7.10", 2}, {"0.000", "0.000", 3},
              {"99999999999999999999999999999999999999", "99999999999999999999999999999999999999", 0},
              // 18 digits fit the short reading, 19 take the general one: both exact.
              {"999999999999999999", "999999999999999999", 0}, {"9999999999999999.99", "9999999999999999.99", 2},
              {"1844674407370955161.6", "1844674407370955161.6", 1}, {"0000000000000000000001", "1", 0}};
    for (const auto& c : ok) {
        const Decimal d = D(c.text);
        EXPECT_EQ(S(d), c.shown) << c.text;
        EXPECT_EQ(d.Scale(), c.scale) << c.text;
    }
    Decimal d;
    for (const char* bad : {"", "-", ".", "1.2.3", "1e5", " 1", "1,5", "0x10", "--1", "1-",
                            "999999999999999999999999999999999999999" /* 39 digits */}) {
        EXPECT_FALSE(Decimal::Parse(bad, &d)) << bad;
    }
}

TEST(Decimal, ArithmeticIsExact) {
    Decimal r;
    ASSERT_TRUE(Decimal::Add(D("0.1"), D("0.2"), &r));
    EXPECT_EQ(S(r), "0.3");
    ASSERT_TRUE(Decimal::Sub(D("1"), D("0.001"), &r));
    EXPECT_EQ(S(r), "0.999");
    ASSERT_TRUE(Decimal::Mul(D("1750.00"), D("0.160000"), &r));
    EXPECT_EQ(S(r), "280.00000000");
    ASSERT_TRUE(Decimal::Mul(D("-1.5"), D("2"), &r));
    EXPECT_EQ(S(r), "-3.0");
    EXPECT_EQ(Decimal::Compare(D("1.50"), D("1.5")), 0);
    EXPECT_LT(Decimal::Compare(D("-2"), D("1.5")), 0);
    EXPECT_GT(Decimal::Compare(D("0.0001"), D("0")), 0);
    // A comparison whose alignment would overflow still orders the values.
    EXPECT_GT(Decimal::Compare(D("99999999999999999999999999999999999999"), D("0.5")), 0);
    EXPECT_LT(Decimal::Compare(D("-99999999999999999999999999999999999999"), D("0.5")), 0);
}

TEST(Decimal, HundredThousandConceptsOfEighteenDigitsFit) {
    Decimal sum;
    const Decimal amount = D("999999999999999999.999999");
    for (int i = 0; i < 100000; ++i) ASSERT_TRUE(Decimal::Add(sum, amount, &sum));
    Decimal taxed;
    EXPECT_TRUE(Decimal::Mul(sum, D("0.160000"), &taxed));
}

TEST(Decimal, OverflowIsReportedAndLeavesTheOutput) {
    const Decimal big = D("99999999999999999999999999999999999999");
    Decimal r = D("1");
    EXPECT_FALSE(Decimal::Mul(big, D("10"), &r));
    EXPECT_FALSE(Decimal::Add(big, big, &r));
    EXPECT_FALSE(Decimal::Sub(big.Negated(), big, &r));
    EXPECT_EQ(S(r), "1");
    EXPECT_FALSE(D("12345678901234567890").RoundTo(20, &r));  // padding past 38 digits
}

TEST(Decimal, RoundsHalfAwayFromZeroAndTruncates) {
    const struct {
        const char* value;
        int decimals;
        const char* rounded;
        const char* truncated;
    } cases[] = {
        {"2.345", 2, "2.35", "2.34"},   {"-2.345", 2, "-2.35", "-2.34"}, {"2.344999", 2, "2.34", "2.34"},
        {"0.5", 0, "1", "0"},           {"-0.5", 0, "-1", "0"},          {"9.995", 2, "10.00", "9.99"},
        {"1.2", 4, "1.2000", "1.2000"}, {"0.0049", 2, "0.00", "0.00"},
        {"0.99999999999999999999999999999999999999", 0, "1", "0"},
    };
    for (const auto& c : cases) {
        Decimal r, t;
        ASSERT_TRUE(D(c.value).RoundTo(c.decimals, &r)) << c.value;
        ASSERT_TRUE(D(c.value).Truncate(c.decimals, &t)) << c.value;
        EXPECT_EQ(S(r), c.rounded) << c.value;
        EXPECT_EQ(S(t), c.truncated) << c.value;
    }
}

}  // namespace
}  // namespace kvn
