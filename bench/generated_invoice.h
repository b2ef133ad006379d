// Generated CFDI 3.2 and 4.0 invoices for the benchmarks: a fixed header, `concepts`
// Concepto elements and a fixed footer, so every benchmark measures the same shape of
// document.
#pragma once

#include <ctime>
#include <fstream>
#include <string>

namespace kvn_bench {

// Root, issuer and receiver of a plain invoice whose seal fields are empty.
inline constexpr const char* kPlainHeader =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.2" fecha="2014-02-01T09:00:00" tipoDeComprobante="ingreso" formaDePago="Pago en una sola exhibicion" subTotal="1000.00" total="1160.00" metodoDePago="Efectivo" LugarExpedicion="Puebla, Pue." sello="" noCertificado="" certificado="">
  <cfdi:Emisor rfc="AAA010101AAA" nombre="Empresa de Prueba SA de CV">
    <cfdi:RegimenFiscal Regimen="Regimen General de Ley"/>
  </cfdi:Emisor>
  <cfdi:Receptor rfc="XAXX010101000" nombre="Publico en General"/>
  <cfdi:Conceptos>
)";

// The same invoice with every field the DTD and the value restrictions require.
inline constexpr const char* kValidHeader =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/3" version="3.2" serie="A" folio="1" fecha="2014-02-01T09:00:00" sello="c2VsbG8=" formaDePago="Pago en una sola exhibicion" noCertificado="20001000000100005867" certificado="Y2VydA==" subTotal="1000.00" total="1160.00" tipoDeComprobante="ingreso" metodoDePago="Efectivo" LugarExpedicion="Puebla, Pue.">
  <cfdi:Emisor rfc="AAA010101AAA" nombre="Empresa de Prueba SA de CV">
    <cfdi:DomicilioFiscal calle="Reforma" municipio="Puebla" estado="Puebla" pais="Mexico" codigoPostal="72000"/>
    <cfdi:RegimenFiscal Regimen="Regimen General de Ley"/>
  </cfdi:Emisor>
  <cfdi:Receptor rfc="XAXX010101000" nombre="Publico en General"/>
  <cfdi:Conceptos>
)";

inline constexpr const char* kFooter = R"(  </cfdi:Conceptos>
  <cfdi:Impuestos totalImpuestosTrasladados="160.00">
    <cfdi:Traslados>
      <cfdi:Traslado impuesto="IVA" tasa="16.00" importe="160.00"/>
    </cfdi:Traslados>
  </cfdi:Impuestos>
</cfdi:Comprobante>
)";

// Writes the invoice to path unless a file is already there; returns path.
inline std::string WriteGeneratedInvoice(const std::string& path, const char* header, int concepts) {
    if (std::ifstream(path)) return path;
    std::ofstream out(path, std::ios::binary);
    out << header;
    for (int i = 0; i < concepts; ++i) {
        out << "    <cfdi:Concepto cantidad=\"" << (i % 7 + 1) << "\" unidad=\"pieza\" noIdentificacion=\"SKU-" << i
            << "\" descripcion=\"Articulo de prueba numero " << i << "\" valorUnitario=\"12.50\" importe=\""
            << (i % 7 + 1) * 12.5 << "\"/>\n";
    }
    out << kFooter;
    return path;
}

// A CFDI 4.0 invoice with empty seal fields, `concepts` concepts with their transferred tax
// each, written unless a file is already there; returns path.
inline std::string WriteGeneratedInvoice40(const std::string& path, int concepts, int folio) {
    if (std::ifstream(path)) return path;
    // Dated now: the test certificates are made valid from the day they are made, and the
    // tool refuses to sign with a certificate that is not valid at the invoice's date.
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", gmtime_r(&now, &utc));
    std::ofstream out(path, std::ios::binary);
    const int subtotal = 100 * concepts * (concepts + 1) / 2, tax = subtotal * 16 / 100;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/4\" Version=\"4.0\" Serie=\"B\" Folio=\""
        << folio << "\" Fecha=\"" << date << "\" Sello=\"\" FormaPago=\"03\" NoCertificado=\"\" Certificado=\"\" "
           "SubTotal=\"" << subtotal << ".00\" Moneda=\"MXN\" Total=\"" << subtotal + tax
        << ".00\" TipoDeComprobante=\"I\" Exportacion=\"01\" MetodoPago=\"PUE\" LugarExpedicion=\"44100\">\n"
           "  <cfdi:Emisor Rfc=\"AAA010101AAA\" Nombre=\"EMPRESA DE PRUEBA\" RegimenFiscal=\"601\"/>\n"
           "  <cfdi:Receptor Rfc=\"EKU9003173C9\" Nombre=\"ESCUELA KEMPER URGATE\" DomicilioFiscalReceptor=\"42501\" "
           "RegimenFiscalReceptor=\"601\" UsoCFDI=\"G03\"/>\n  <cfdi:Conceptos>\n";
    for (int i = 1; i <= concepts; ++i) {
        const int amount = 100 * i, itemTax = amount * 16 / 100;
        out << "    <cfdi:Concepto ClaveProdServ=\"25172002\" NoIdentificacion=\"SKU-" << i
            << "\" Cantidad=\"1\" ClaveUnidad=\"H87\" Unidad=\"Pieza\" Descripcion=\"Articulo de prueba numero " << i
            << "\" ValorUnitario=\"" << amount << ".00\" Importe=\"" << amount << ".00\" ObjetoImp=\"02\">\n"
            << "      <cfdi:Impuestos><cfdi:Traslados><cfdi:Traslado Base=\"" << amount
            << ".00\" Impuesto=\"002\" TipoFactor=\"Tasa\" TasaOCuota=\"0.160000\" Importe=\"" << itemTax
            << ".00\"/></cfdi:Traslados></cfdi:Impuestos>\n    </cfdi:Concepto>\n";
    }
    out << "  </cfdi:Conceptos>\n  <cfdi:Impuestos TotalImpuestosTrasladados=\"" << tax
        << ".00\"><cfdi:Traslados><cfdi:Traslado Base=\"" << subtotal
        << ".00\" Impuesto=\"002\" TipoFactor=\"Tasa\" TasaOCuota=\"0.160000\" Importe=\"" << tax
        << ".00\"/></cfdi:Traslados></cfdi:Impuestos>\n</cfdi:Comprobante>\n";
    return path;
}

}  // namespace kvn_bench
