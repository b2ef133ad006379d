// Value restrictions: lexical forms, patterns, checks and the detail texts of failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cfdi/restrictions.h"

namespace kvn {
namespace {

struct FormCase {
    int typeCode;
    const char* value;
    int expected;  // 0 fits, position of the first bad byte, or kIncomplete
};

TEST(LexicalForm, AcceptsAndLocatesTheFirstBadByte) {
    const FormCase cases[] = {
        {kDecimal, "1", 0},           {kDecimal, "1.", 0},          {kDecimal, ".5", 0},
        {kDecimal, "-0.25", 0},       {kDecimal, "+12", 0},         {kDecimal, "", kIncomplete},
        {kDecimal, "-", kIncomplete}, {kDecimal, ".", kIncomplete}, {kDecimal, "1.2.3", 4},
        {kDecimal, "1,5", 2},         {kDecimal, "-x", 2},          {kDecimal, "1e5", 2},
        {kInteger, "-12", 0},         {kInteger, "+", kIncomplete}, {kInteger, "1.0", 2},
        {kUnsignedInteger, "007", 0}, {kUnsignedInteger, "+7", 1},  {kUnsignedInteger, "", kIncomplete},
        {kDate, "2014-01-31", 0},     {kDate, "12014-01-31", 0},    {kDate, "2014-01-31Z", 0},
        {kDate, "2014-01-31-06:00", 0}, {kDate, "14-01-31", 3},     {kDate, "2014-1-31", 7},
        {kDate, "2014-01-3", kIncomplete}, {kDate, "2014-01-31+06", kIncomplete}, {kDate, "2014-01-31Zx", 12},
        {kDate, "2014-01-31T10:00:00", 11},
        {kDateTime, "2014-01-31T10:20:30", 0}, {kDateTime, "2014-01-31T10:20:30.125", 0},
        {kDateTime, "2014-01-31T10:20:30.125-06:00", 0}, {kDateTime, "2014-01-31T10:20:30Z", 0},
        {kDateTime, "2014-01-31T10:20", kIncomplete},  // hours and minutes, no seconds
        {kDateTime, "2014-01-31 10:20:30", 11},         {kDateTime, "2014-01-31T10:20:30.", kIncomplete},
        {kDateTime, "2014-01-31T10:20:30.x", 21},       {kDateTime, "2014-01-31T10:20:30 ", 20},
        {kString, "anything at all", 0},                {kStringType, "", 0},
    };
    for (const FormCase& c : cases) {
        EXPECT_EQ(MatchLexicalForm(c.typeCode, c.value, std::strlen(c.value)), c.expected)
            << "type " << c.typeCode << " value '" << c.value << "'";
    }
}

TEST(LexicalForm, RfcAndCurp) {
    const FormCase rfc[] = {
        {0, "ABC011301XY9", 0},        // three letters, date digits 011301
        {0, "ABC012301XY9", 6},        // third date digit must be 0 or 1
        {0, "ABCD011231A1B", 0},       // four letters
        {0, "\xD1" "A&011231A1B", 0},  // N with tilde and ampersand are name characters
        {0, "AB1011231A1B", 3},        // fewer than three letters
        {0, "ABC010141XY9", 8},        // fifth date digit 0-3
        {0, "ABC011301XY", kIncomplete}, {0, "ABC011301XY9Z", 13}, {0, "ABC011301xY9", 10},
        {0, "", kIncomplete},
    };
    for (const FormCase& c : rfc) EXPECT_EQ(MatchRfc(c.value, std::strlen(c.value)), c.expected) << c.value;
    const FormCase curp[] = {
        {0, "GODE561231HDFRRN09", 0}, {0, "GBDE561231HDFRRN09", 2}, {0, "GODE561231XDFRRN09", 11},
        {0, "GODE561231HDFARN09", 14}, {0, "GODE561231HDF\xD1RN09", 0}, {0, "GODE561241HDFRRN09", 9},
        {0, "GODE561231HDFRRN0", kIncomplete}, {0, "GODE561231HDFRRN090", 19}, {0, "GODE561231HDFRRNA9", 0},
        {0, "GODE561231HDFRRN0A", 18},
    };
    for (const FormCase& c : curp) EXPECT_EQ(MatchCurp(c.value, std::strlen(c.value)), c.expected) << c.value;
}

TEST(SingleByte, NarrowsUtf8ToLatin1) {
    char text[] = "\xC3\xB1o\xC3\xA9 \xE2\x82\xAC \xC4\x8D \xF0\x9F\x98\x80!";
    std::size_t n = ToSingleByte(text, std::strlen(text));
    EXPECT_EQ(std::string(text, n), "\xF1o\xE9 ? ? ?!");
    EXPECT_EQ(text[n], '\0');
}

struct CheckCase {
    Restriction r;
    const char* value;
    const char* detail;  // null: passes
};

TEST(RestrictedValue, TestsInOrderAndFormatsTheDetail) {
    const CheckCase cases[] = {
        {{kString, 12, 13}, "ABC011301XY", "'ABC011301XY' is too short/es demasiado corto, minimum length/longitud minima=12"},
        {{kString, 12, 13}, "ABCD011301XY9Q", "'ABCD011301XY9Q' is too long/es demasiado largo, maximum length/longitud maxima=13"},
        {{kString, 5, 5}, "12345", nullptr},
        // length before type, type before check
        {{kDecimal, 5, 0, kFractionDigits, "6"}, "1x", "'1x' is too short/es demasiado corto, minimum length/longitud minima=5"},
        {{kDecimal, 0, 0, kFractionDigits, "6"}, "1x.1234567",
         "'1x.1234567' fails decimal type restriction/No cumple con la restriccion: 'x' at position 2 is not allowed/caracter en la posicion no esta permitido"},
        {{kDecimal, 0, 0, kFractionDigits, "6"}, "10.1234567",
         "'10.1234567': expected at most 6 fraction digits, found 7/Demasiados digitos de fraccion"},
        {{kDecimal, 0, 0, kFractionDigits, "2"}, "10", nullptr},
        {{kDateTime}, "2014-01-31T10:20",
         "'2014-01-31T10:20' fails dateTime type restriction/No cumple con la restriccion: value is incomplete or ends with invalid character/valor es incompleta o termina con un caracter no valido"},
        {{kString, 0, 0, kFixedValue, "3.2"}, "3.2", nullptr},
        {{kString, 0, 0, kFixedValue, "3.2"}, "3.20", "Expected/esperado '3.2', found/encontrado '3.20'"},
        {{kString, 0, 0, kEnumeration, "ingreso|egreso|traslado"}, "egreso", nullptr},
        {{kString, 0, 0, kEnumeration, "ingreso|egreso|traslado"}, "egres",
         "Expected value in set {ingreso|egreso|traslado} but found 'egres'/Valor esperado en el conjunto, pero encontro otro"},
        {{kString, 0, 0, kEnumeration, "Profesional t\xE9" "cnico|Primaria"}, "Profesional t\xE9" "cnico", nullptr},
        {{kString, 0, 0, kMinimumValue, "1"}, "1.5", nullptr},
        {{kString, 0, 0, kMinimumValue, "1"}, "0.9", "'0.9': expected minimum value 1/valor m\xEDnimo esperado"},
        {{kString, 0, 0, kRfcPattern}, "ABC012301XY9",
         "'ABC012301XY9' fails RFC restriction/No cumple con la restriccion: '2' at position 6 is not allowed/caracter en la posicion no esta permitido"},
        {{kString, 18, 18, kCurpPattern}, "GODE561231HDFRRN0A",
         "'GODE561231HDFRRN0A' fails CURP restriction/No cumple con la restriccion: 'A' at position 18 is not allowed/caracter en la posicion no esta permitido"},
    };
    for (const CheckCase& c : cases) {
        char detail[kDetailSize] = "";
        bool ok = CheckRestrictedValue(c.r, c.value, std::strlen(c.value), detail);
        EXPECT_EQ(ok, c.detail == nullptr) << c.value;
        if (c.detail) {
            EXPECT_STREQ(detail, c.detail);
        }
    }
}

TEST(RestrictedValue, LongValuesAreCutInTheDetail) {
    std::string value(600, 'x');
    char detail[kDetailSize];
    ASSERT_FALSE(CheckRestrictedValue(Restriction{kString, 0, 10}, value.c_str(), value.size(), detail));
    EXPECT_EQ(std::strlen(detail), kDetailSize - 1);
}

}  // namespace
}  // namespace kvn
