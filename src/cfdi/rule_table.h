// The tax authority's rule codes with their messages: every code of the error matrices of
// CFDI 4.0, Pagos 2.0, CFDI 3.3 and Retenciones 2.0, in generated/rule_tables.cpp (written by
// scripts/gen_rule_tables.py from the matrices; the message is the authority's, verbatim).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kvn {

// Whether the matrix says a rule can be decided offline (CFDI 4.0 says; the others do not).
enum class RuleOffline : std::uint8_t {
    kUnknown,  // the matrix does not say
    kYes,      // from the document and the catalogs
    kPartly,   // a part of it
    kNo,       // needs the authority's registries
};

// How this library applies a rule; each rule family keeps a table of these
// ({"CODE", RuleStatus::kChecked}, ...), which the generator also reads for the docs.
enum class RuleStatus : std::uint8_t {
    kChecked,     // decided in full
    kPartly,      // the decidable part
    kRegistries,  // needs the authority's registries: reported as not checked on request
    kNotApplied,  // not checked here
};

struct RuleStatusEntry {
    const char* code;
    RuleStatus status;
};

struct RuleText {
    const char* code;       // "CFDI40108"
    const char* element;    // as the matrix names it ("Comprobante", "cfdi:Conceptos/Concepto")
    const char* attribute;  // "SubTotal"; may be empty
    const char* message;    // the authority's message
    RuleOffline offline;
};

extern const RuleText kRuleTexts[];  // sorted by code (bytes)
extern const std::size_t kRuleTextCount;

// The entry of a code, or null.
const RuleText* FindRule(std::string_view code) noexcept;

}  // namespace kvn
