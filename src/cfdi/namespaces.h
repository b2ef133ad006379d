// Namespace prefixes of the library's own element names ("cfdi:Concepto",
// "tfd:TimbreFiscalDigital"): a fixed table maps each prefix to the tax authority's
// namespace URI.
#pragma once

#include <string_view>

namespace kvn {

inline constexpr std::string_view kTaxAuthorityHost = "http://www.sat.gob.mx";

// The namespace URI bound to `prefix` in the table, or null. Prefixes of 32 characters
// or more are never in it.
const char* NamespaceForPrefix(std::string_view prefix) noexcept;

// A name split at its first ':'. `uri` is the table's URI for the prefix, null when the
// name has no prefix or the prefix is not in the table; `local` points into the name.
struct ResolvedName {
    const char* uri = nullptr;
    const char* local = nullptr;
};
ResolvedName ResolvePrefixedName(const char* name) noexcept;

}  // namespace kvn
