// The attribute lists of the schema tables, one row per attribute in pipe-string order.
// Lists are shared between entries and tables where the standard gives an element the
// same attributes. Columns: name, in pipe string (P), mandatory (M), restriction
// {type, min length, max length, check, check argument}.
#include "cfdi/schema_attribute_lists.h"

namespace kvn::schema {
namespace {
constexpr bool P = true;
constexpr bool M = true;
constexpr bool no = false;
}  // namespace

// Comprobante
const AttributeRow A01[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "2.0"}},
    {"serie", P, no, {kString, 1, 10}},
    {"folio", P, M, {kUnsignedInteger, 1, 20}},
    {"fecha", P, M, {kDateTime, 0, 0}},
    {"noAprobacion", P, M, {kInteger, 0, 0}},
    {"anoAprobacion", P, M, {kInteger, 4, 4}},
    {"tipoDeComprobante", P, M, {kString, 0, 0, kEnumeration, "ingreso|egreso|traslado"}},
    {"formaDePago", P, M},
    {"condicionesDePago", P, no, {kString, 1, 0}},
    {"subTotal", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"descuento", P, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"total", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"motivoDescuento", no, no, {kString, 1, 0}},
    {"metodoDePago", no, no, {kString, 1, 0}},
    {"sello", no, M},
    {"noCertificado", no, M, {kString, 20, 20}},
    {"certificado", no, no},
    {},
};

// Emisor, cfdi:Emisor
const AttributeRow A02[] = {
    {"rfc", P, M, {kString, 12, 13}},
    {"nombre", P, M, {kString, 1, 0}},
    {},
};

// DomicilioFiscal, terceros:InformacionFiscalTercero, cfdi:DomicilioFiscal
const AttributeRow A03[] = {
    {"calle", P, M, {kString, 1, 0}},
    {"noExterior", P, no, {kString, 1, 0}},
    {"noInterior", P, no, {kString, 1, 0}},
    {"colonia", P, no, {kString, 1, 0}},
    {"localidad", P, no, {kString, 1, 0}},
    {"referencia", P, no, {kString, 1, 0}},
    {"municipio", P, M, {kString, 1, 0}},
    {"estado", P, M, {kString, 1, 0}},
    {"pais", P, M, {kString, 1, 0}},
    {"codigoPostal", P, M, {kString, 5, 5}},
    {},
};

// ExpedidoEn, Domicilio, cfdi:ExpedidoEn, cfdi:Domicilio
const AttributeRow A04[] = {
    {"calle", P, no, {kString, 1, 0}},
    {"noExterior", P, no, {kString, 1, 0}},
    {"noInterior", P, no, {kString, 1, 0}},
    {"colonia", P, no, {kString, 1, 0}},
    {"localidad", P, no, {kString, 1, 0}},
    {"referencia", P, no, {kString, 1, 0}},
    {"municipio", P, no, {kString, 1, 0}},
    {"estado", P, no, {kString, 1, 0}},
    {"pais", P, M, {kString, 1, 0}},
    {"codigoPostal", P, no, {kString, 1, 0}},
    {},
};

// Receptor, cfdi:Receptor
const AttributeRow A05[] = {
    {"rfc", P, M, {kString, 12, 13}},
    {"nombre", P, no, {kString, 1, 0}},
    {},
};

// Concepto
const AttributeRow A06[] = {
    {"cantidad", P, M, {kDecimal, 0, 0}},
    {"unidad", P, no, {kString, 1, 0}},
    {"noIdentificacion", P, no, {kString, 1, 0}},
    {"descripcion", P, M, {kString, 1, 0}},
    {"valorUnitario", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"importe", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// InformacionAduanera, terceros:InformacionAduanera, cfdi:InformacionAduanera
const AttributeRow A07[] = {
    {"numero", P, M, {kString, 1, 0}},
    {"fecha", P, M, {kDate, 0, 0}},
    {"aduana", P, M, {kString, 1, 0}},
    {},
};

// CuentaPredial, terceros:CuentaPredial, cfdi:CuentaPredial
const AttributeRow A08[] = {
    {"numero", P, M, {kString, 1, 0}},
    {},
};

// terceros:PorCuentadeTerceros
const AttributeRow A09[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {"rfc", P, M, {kString, 12, 13}},
    {"nombre", P, no, {kString, 1, 0}},
    {},
};

// terceros:Parte, Parte, ventavehiculos:Parte, cfdi:Parte
const AttributeRow A10[] = {
    {"cantidad", no, M, {kDecimal, 0, 0}},
    {"unidad", no, no, {kString, 1, 0}},
    {"noIdentificacion", no, no, {kString, 1, 0}},
    {"descripcion", no, M, {kString, 1, 0}},
    {"valorUnitario", no, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"importe", no, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// iedu:instEducativas
const AttributeRow A11[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {"nombreAlumno", P, M},
    {"CURP", P, M, {kString, 18, 18, kCurpPattern, nullptr}},
    {"nivelEducativo", P, M, {kString, 0, 0, kEnumeration, "Preescolar|Primaria|Secundaria|Profesional t\xE9" "cnico|Bachillerato o su equivalente"}},
    {"autRVOE", P, M, {kString, 1, 0}},
    {"rfcPago", P, no, {kString, 12, 13, kRfcPattern, nullptr}},
    {},
};

// Impuestos, cfdi:Impuestos
const AttributeRow A12[] = {
    {"totalImpuestosRetenidos", P, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"totalImpuestosTrasladados", P, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// Retencion, terceros:Retencion, cfdi:Retencion
const AttributeRow A13[] = {
    {"impuesto", P, M, {kString, 0, 0, kEnumeration, "ISR|IVA"}},
    {"importe", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// Traslado, terceros:Traslado, ecc:Traslado, cfdi:Traslado
const AttributeRow A14[] = {
    {"impuesto", P, M, {kString, 0, 0, kEnumeration, "IVA|IEPS"}},
    {"tasa", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"importe", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// psgecfd:PrestadoresDeServiciosDeCFD
const AttributeRow A15[] = {
    {"nombre", P, M, {kString, 1, 0}},
    {"rfc", P, M, {kString, 12, 13}},
    {"noCertificado", P, M, {kString, 20, 20}},
    {"fechaAutorizacion", P, M, {kDateTime, 0, 0}},
    {"noAutorizacion", P, M, {kInteger, 0, 0}},
    {"selloDelPSGECFD", no, M},
    {},
};

// psgcfdsp:PrestadoresDeServiciosDeCFDSP
const AttributeRow A16[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {"nombre", P, M, {kString, 1, 0}},
    {"rfc", P, M, {kString, 12, 13}},
    {"noCertificado", P, M, {kString, 20, 20}},
    {"fechaPublicacion", P, M, {kDateTime, 0, 0}},
    {"noAutorizacion", P, M, {kString, 1, 0}},
    {"selloDelPSGCFDSP", no, M},
    {},
};

// divisas:Divisas
const AttributeRow A17[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {"tipoOperacion", P, M, {kString, 0, 0, kEnumeration, "compra|venta"}},
    {},
};

// donat:Donatarias
const AttributeRow A18[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {"noAutorizacion", P, M},
    {"fechaAutorizacion", P, M, {kDate, 0, 0}},
    {"leyenda", no, M},
    {},
};

// ecb:EstadoDeCuentaBancario
const AttributeRow A19[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {"numeroCuenta", P, M, {kInteger, 0, 0}},
    {"nombreCliente", P, M, {kString, 1, 0}},
    {"periodo", no, M, {kString, 1, 0}},
    {"sucursal", no, no, {kString, 1, 0}},
    {},
};

// ecb:MovimientoECB
const AttributeRow A20[] = {
    {"fecha", no, M, {kDateTime, 0, 0}},
    {"referencia", no, no, {kString, 1, 0}},
    {"descripcion", no, M, {kString, 1, 0}},
    {"importe", no, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {"moneda", no, no, {kString, 1, 0}},
    {"saldoInicial", no, no, {kDecimal, 0, 0}},
    {"saldoAlCorte", no, no, {kDecimal, 0, 0}},
    {},
};

// ecb:MovimientoECBFiscal
const AttributeRow A21[] = {
    {"fecha", P, M, {kDateTime, 0, 0}},
    {"referencia", no, no, {kString, 1, 0}},
    {"descripcion", no, M, {kString, 1, 0}},
    {"RFCenajenante", P, M, {kString, 12, 13, kRfcPattern, nullptr}},
    {"Importe", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {"moneda", no, no, {kString, 1, 0}},
    {"saldoInicial", no, no, {kDecimal, 0, 0}},
    {"saldoAlCorte", no, no, {kDecimal, 0, 0}},
    {},
};

// ecc:EstadoDeCuentaCombustible
const AttributeRow A22[] = {
    {"tipoOperacion", P, M, {kString, 0, 0, kFixedValue, "Tarjeta"}},
    {"numeroDeCuenta", P, M, {kString, 1, 0}},
    {"subTotal", P, no, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {"total", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {},
};

// ecc:ConceptoEstadoDeCuentaCombustible
const AttributeRow A23[] = {
    {"identificador", P, M, {kString, 1, 0}},
    {"fecha", P, M, {kDateTime, 0, 0}},
    {"rfc", P, M, {kString, 12, 13}},
    {"claveEstacion", P, M, {kString, 1, 10}},
    {"cantidad", P, M, {kDecimal, 0, 0}},
    {"nombreCombustible", P, M, {kString, 1, 0}},
    {"folioOperacion", P, M, {kString, 1, 0}},
    {"valorUnitario", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {"importe", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {},
};

// ecc:Traslado
const AttributeRow A24[] = {
    {"impuesto", P, M, {kString, 0, 0, kEnumeration, "IVA|IEPS"}},
    {"tasa", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {"importe", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {},
};

// implocal:ImpuestosLocales
const AttributeRow A25[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {"TotaldeRetenciones", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {"TotaldeTraslados", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {},
};

// implocal:RetencionesLocales
const AttributeRow A26[] = {
    {"ImpLocRetenido", P, M},
    {"TasadeRetencion", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {"Importe", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {},
};

// implocal:TrasladosLocales
const AttributeRow A27[] = {
    {"ImpLocTrasladado", P, M},
    {"TasadeTraslado", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {"Importe", P, M, {kDecimal, 0, 0, kFractionDigits, "2"}},
    {},
};

// detallista:detallista
const AttributeRow A28[] = {
    {"type", no, no, {kString, 0, 0, kFixedValue, "SimpleInvoiceType"}},
    {"contentVersion", no, no, {kString, 0, 0, kFixedValue, "1.3.1"}},
    {"documentStructureVersion", P, no, {kString, 0, 0, kFixedValue, "AMC8.1"}},
    {"documentStatus", no, M, {kString, 0, 0, kEnumeration, "ORIGINAL|COPY|REEMPLAZA|DELETE"}},
    {},
};

// Comprobante
const AttributeRow A29[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "2.2"}},
    {"serie", P, no, {kString, 1, 10}},
    {"folio", P, M, {kUnsignedInteger, 1, 20}},
    {"fecha", P, M, {kDateTime, 0, 0}},
    {"noAprobacion", P, M, {kInteger, 0, 0}},
    {"anoAprobacion", P, M, {kInteger, 4, 4}},
    {"tipoDeComprobante", P, M, {kString, 0, 0, kEnumeration, "ingreso|egreso|traslado"}},
    {"formaDePago", P, M},
    {"condicionesDePago", P, no, {kString, 1, 0}},
    {"subTotal", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"descuento", P, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"total", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"metodoDePago", P, M, {kString, 1, 0}},
    {"LugarExpedicion", P, M, {kString, 1, 0}},
    {"NumCtaPago", P, no, {kString, 4, 0}},
    {"TipoCambio", P, no},
    {"Moneda", P, no},
    {"FolioFiscalOrig", P, no},
    {"SerieFolioFiscalOrig", P, no},
    {"FechaFolioFiscalOrig", P, no, {kDateTime, 0, 0}},
    {"MontoFolioFiscalOrig", P, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"motivoDescuento", no, no, {kString, 1, 0}},
    {"sello", no, M},
    {"noCertificado", no, M, {kString, 20, 20}},
    {"certificado", no, no},
    {},
};

// Emisor, cfdi:Emisor
const AttributeRow A30[] = {
    {"rfc", P, M, {kString, 12, 13, kRfcPattern, nullptr}},
    {"nombre", P, no, {kString, 1, 0}},
    {},
};

// RegimenFiscal, cfdi:RegimenFiscal
const AttributeRow A31[] = {
    {"Regimen", P, M, {kString, 1, 0}},
    {},
};

// Concepto, cfdi:Concepto
const AttributeRow A32[] = {
    {"cantidad", P, M, {kDecimal, 0, 0}},
    {"unidad", P, M, {kString, 1, 0}},
    {"noIdentificacion", P, no, {kString, 1, 0}},
    {"descripcion", P, M, {kString, 1, 0}},
    {"valorUnitario", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"importe", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// InformacionAduanera, terceros:InformacionAduanera, ventavehiculos:InformacionAduanera, cfdi:InformacionAduanera
const AttributeRow A33[] = {
    {"numero", P, M, {kString, 1, 0}},
    {"fecha", P, M, {kDate, 0, 0}},
    {"aduana", P, no, {kString, 1, 0}},
    {},
};

// terceros:PorCuentadeTerceros
const AttributeRow A34[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.1"}},
    {"rfc", P, M, {kString, 12, 13}},
    {"nombre", P, no, {kString, 1, 0}},
    {},
};

// ventavehiculos:VentaVehiculos
const AttributeRow A35[] = {
    {"version", P, M, {kString, 0, 0, kEnumeration, "1.0|1.1"}},
    {"ClaveVehicular", P, M, {kString, 1, 0}},
    {"Niv", P, no, {kString, 1, 0}},
    {},
};

// donat:Donatarias
const AttributeRow A36[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.1"}},
    {"noAutorizacion", P, M},
    {"fechaAutorizacion", P, M, {kDate, 0, 0}},
    {"leyenda", P, M},
    {},
};

// pfic:PFintegranteCoordinado
const AttributeRow A37[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {"ClaveVehicular", P, M, {kString, 1, 0}},
    {"Placa", P, M, {kString, 1, 0}},
    {"RFCPF", P, no, {kString, 12, 13, kRfcPattern, nullptr}},
    {},
};

// leyendasFisc:LeyendasFiscales
const AttributeRow A38[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {},
};

// leyendasFisc:Leyenda
const AttributeRow A39[] = {
    {"disposicionFiscal", P, no, {kString, 1, 0}},
    {"norma", P, no, {kString, 1, 0}},
    {"textoLeyenda", P, M, {kString, 1, 0}},
    {},
};

// tpe:TuristaPasajeroExtranjero
const AttributeRow A40[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {"fechadeTransito", P, M, {kDateTime, 0, 0}},
    {"tipoTransito", P, M, {kString, 0, 0, kEnumeration, "Arribo|Salida"}},
    {},
};

// tpe:datosTransito
const AttributeRow A41[] = {
    {"Via", P, M, {kString, 0, 0, kEnumeration, "A\xE9" "rea|Mar\xEDtima|Terrestre"}},
    {"TipoId", P, M, {kString, 1, 0}},
    {"NumeroId", P, M, {kString, 1, 0}},
    {"Nacionalidad", P, M, {kString, 1, 0}},
    {"EmpresaTransporte", P, M},
    {"IdTransporte", P, no},
    {},
};

// nomina:Nomina
const AttributeRow A42[] = {
    {"Version", P, M, {kString, 0, 0, kFixedValue, "1.1"}},
    {"RegistroPatronal", P, no, {kString, 1, 20}},
    {"NumEmpleado", P, M, {kString, 1, 15}},
    {"CURP", P, M, {kString, 18, 18, kCurpPattern, nullptr}},
    {"TipoRegimen", P, M, {kInteger, 0, 0, kMinimumValue, "1"}},
    {"NumSeguridadSocial", P, no, {kString, 1, 15}},
    {"FechaPago", P, M, {kDate, 0, 0}},
    {"FechaInicialPago", P, M, {kDate, 0, 0}},
    {"FechaFinalPago", P, M, {kDate, 0, 0}},
    {"NumDiasPagados", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"Departamento", P, no, {kString, 1, 100}},
    {"CLABE", P, no, {kInteger, 18, 18}},
    {"Banco", P, no, {kInteger, 3, 3, kMinimumValue, "1"}},
    {"FechaInicioRelLaboral", P, no, {kDate, 0, 0}},
    {"Antiguedad", P, no, {kInteger, 0, 0}},
    {"Puesto", P, no},
    {"TipoContrato", P, no},
    {"TipoJornada", P, no},
    {"PeriodicidadPago", P, M, {kString, 1, 100}},
    {"SalarioBaseCotApor", P, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"RiesgoPuesto", P, no, {kInteger, 0, 0, kMinimumValue, "1"}},
    {"SalarioDiarioIntegrado", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// nomina:Percepciones
const AttributeRow A43[] = {
    {"TotalGravado", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"TotalExento", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// nomina:Percepcion
const AttributeRow A44[] = {
    {"TipoPercepcion", P, M, {kInteger, 3, 3}},
    {"Clave", P, M, {kString, 3, 15}},
    {"Concepto", P, M, {kString, 1, 100}},
    {"ImporteGravado", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"ImporteExento", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// nomina:Deducciones
const AttributeRow A45[] = {
    {"TotalGravado", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"TotalExento", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// nomina:Deduccion
const AttributeRow A46[] = {
    {"TipoDeduccion", P, M, {kInteger, 3, 3}},
    {"Clave", P, M, {kString, 3, 15}},
    {"Concepto", P, M, {kString, 1, 100}},
    {"ImporteGravado", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"ImporteExento", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// nomina:Incapacidad
const AttributeRow A47[] = {
    {"DiasIncapacidad", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"TipoIncapacidad", P, M, {kInteger, 0, 0}},
    {"Descuento", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// nomina:HorasExtra
const AttributeRow A48[] = {
    {"Dias", P, M, {kInteger, 0, 0}},
    {"TipoHoras", P, M, {kString, 0, 0, kEnumeration, "Dobles|Triples"}},
    {"HorasExtra", P, M, {kInteger, 0, 0}},
    {"ImportePagado", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// registrofiscal:CFDIRegistroFiscal
const AttributeRow A49[] = {
    {"Version", P, M, {kString, 0, 0, kFixedValue, "1.0"}},
    {"Folio", P, M, {kInteger, 16, 16}},
    {},
};

// cfdi:Comprobante
const AttributeRow A50[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "3.0"}},
    {"serie", no, no, {kString, 1, 25}},
    {"folio", no, no, {kString, 1, 20}},
    {"fecha", P, M, {kDateTime, 0, 0}},
    {"tipoDeComprobante", P, M, {kString, 0, 0, kEnumeration, "ingreso|egreso|traslado"}},
    {"formaDePago", P, M},
    {"condicionesDePago", P, no, {kString, 1, 0}},
    {"subTotal", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"descuento", P, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"TipoCambio", P, no},
    {"Moneda", P, no},
    {"total", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"sello", no, M},
    {"noCertificado", no, M, {kString, 20, 20}},
    {"certificado", no, M},
    {"motivoDescuento", no, no, {kString, 1, 0}},
    {"metodoDePago", no, no, {kString, 1, 0}},
    {},
};

// cfdi:Concepto
const AttributeRow A51[] = {
    {"cantidad", P, M, {kDecimal, 0, 0}},
    {"unidad", P, no, {kString, 1, 0}},
    {"noIdentificacion", P, no, {kString, 1, 0}},
    {"descripcion", P, M, {kString, 1, 0}},
    {"valorUnitario", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"importe", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {},
};

// cfdi:Comprobante
const AttributeRow A52[] = {
    {"version", P, M, {kString, 0, 0, kFixedValue, "3.2"}},
    {"serie", no, no, {kString, 1, 25}},
    {"folio", no, no, {kString, 1, 20}},
    {"fecha", P, M, {kDateTime, 0, 0}},
    {"tipoDeComprobante", P, M, {kString, 0, 0, kEnumeration, "ingreso|egreso|traslado"}},
    {"formaDePago", P, M},
    {"condicionesDePago", P, no, {kString, 1, 0}},
    {"subTotal", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"descuento", P, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"TipoCambio", P, no},
    {"Moneda", P, no},
    {"total", P, M, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"metodoDePago", P, M, {kString, 1, 0}},
    {"LugarExpedicion", P, M, {kString, 1, 0}},
    {"NumCtaPago", P, no, {kString, 4, 0}},
    {"FolioFiscalOrig", P, no},
    {"SerieFolioFiscalOrig", P, no},
    {"FechaFolioFiscalOrig", P, no, {kDateTime, 0, 0}},
    {"MontoFolioFiscalOrig", P, no, {kDecimal, 0, 0, kFractionDigits, "6"}},
    {"motivoDescuento", no, no, {kString, 1, 0}},
    {"sello", no, M},
    {"noCertificado", no, M, {kString, 20, 20}},
    {"certificado", no, M},
    {},
};

// tfd:TimbreFiscalDigital
const AttributeRow A53[] = {
    {"version", P, M, {kString, 3, 3}},
    {"UUID", P, M, {kString, 36, 36}},
    {"FechaTimbrado", P, M, {kDateTime, 0, 0}},
    {"selloCFD", P, M},
    {"noCertificadoSAT", P, M, {kString, 20, 20}},
    {"selloSAT", no, M},
    {},
};

}  // namespace kvn::schema
