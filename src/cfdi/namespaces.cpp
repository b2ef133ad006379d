#include "cfdi/namespaces.h"

#include <cstring>

namespace kvn {
namespace {

struct PrefixRow {
    std::string_view prefix;
    const char* uri;
};

// Searched in this order. Prefixes used by the schema tables but missing here
// (leyendasFisc, ventavehiculos, pfic, tpe, registrofiscal) resolve to no URI, so their
// elements match by local name in any namespace.
constexpr PrefixRow kPrefixes[] = {
    {"cfdi", "http://www.sat.gob.mx/cfd/3"},
    {"detallista", "http://www.sat.gob.mx/detallista"},
    {"divisas", "http://www.sat.gob.mx/divisas"},
    {"donat", "http://www.sat.gob.mx/donat"},
    {"ecb", "http://www.sat.gob.mx/ecb"},
    {"ecc", "http://www.sat.gob.mx/ecc"},
    {"implocal", "http://www.sat.gob.mx/implocal"},
    {"psgecfd", "http://www.sat.gob.mx/psgecfd"},
    {"terceros", "http://www.sat.gob.mx/terceros"},
    {"tfd", "http://www.sat.gob.mx/TimbreFiscalDigital"},
    {"iedu", "http://www.sat.gob.mx/iedu"},
    {"psgcfdsp", "http://www.sat.gob.mx/psgcfdsp"},
    {"nomina", "http://www.sat.gob.mx/nomina"},
};

constexpr std::size_t kMaxPrefix = 31;

}  // namespace

const char* NamespaceForPrefix(std::string_view prefix) noexcept {
    if (prefix.size() > kMaxPrefix) return nullptr;
    for (const PrefixRow& row : kPrefixes) {
        if (row.prefix == prefix) return row.uri;
    }
    return nullptr;
}

ResolvedName ResolvePrefixedName(const char* name) noexcept {
    const char* colon = std::strchr(name, ':');
    if (!colon) return {nullptr, name};
    return {NamespaceForPrefix(std::string_view(name, static_cast<std::size_t>(colon - name))), colon + 1};
}

}  // namespace kvn
