// What the peer pipelines of the benchmarks (libxml2 SAX2 collecting attribute values)
// share: the attributes that make the pipe string of the generated invoices, in table
// order, and the whitespace cleaning of each value.
#pragma once

#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace kvn_bench {

// Element local name -> its attributes in the order the pipe string takes them.
inline const std::map<std::string, std::vector<std::string>> kPeerPipeOrder = {
    {"Comprobante", {"version", "fecha", "tipoDeComprobante", "formaDePago", "condicionesDePago", "subTotal",
                     "descuento", "TipoCambio", "Moneda", "total", "metodoDePago", "LugarExpedicion", "NumCtaPago"}},
    {"Emisor", {"rfc", "nombre"}},
    {"RegimenFiscal", {"Regimen"}},
    {"Receptor", {"rfc", "nombre"}},
    {"Concepto", {"cantidad", "unidad", "noIdentificacion", "descripcion", "valorUnitario", "importe"}},
    {"Traslado", {"impuesto", "tasa", "importe"}},
};

// Appends s[0..n) with leading and trailing whitespace dropped and inner runs made one space.
inline void AppendNormalised(std::string& out, const char* s, std::size_t n) {
    std::size_t b = 0;
    while (b < n && std::strchr(" \t\r\n", s[b])) ++b;
    while (n > b && std::strchr(" \t\r\n", s[n - 1])) --n;
    bool space = false;
    for (std::size_t i = b; i < n; ++i) {
        if (std::strchr(" \t\r\n", s[i])) {
            space = true;
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += s[i];
    }
}

}  // namespace kvn_bench
