// The five schema tables, one entry per line in document order. Columns: name, parent,
// depth, hasText, minOccurs, kind, repeatable, attributes, moveToEnd, text restriction.
#include "cfdi/schema_tables.h"

#include <cstring>

#include "cfdi/schema_attribute_lists.h"

namespace kvn {
namespace {

using namespace schema;

// At the end of Retenciones (Traslados) the total of the withholdings (transfers) moves
// behind their detail lines.
constexpr const char* kMoveRetenidos[] = {"totalImpuestosRetenidos", nullptr};
constexpr const char* kMoveTrasladados[] = {"totalImpuestosTrasladados", nullptr};

// Version 2.0 (CFD).
const ElementEntry kTable20[] = {
    {"Comprobante", nullptr, 0, false, 1, kChildren, false, A01},  // 0
    {"Emisor", nullptr, 1, false, 1, kChildren, false, A02},  // 1
    {"DomicilioFiscal", nullptr, 2, false, 1, kEmpty, false, A03},  // 2
    {"ExpedidoEn", nullptr, 2, false, 0, kEmpty, false, A04},  // 3
    {"Receptor", nullptr, 1, false, 1, kChildren, false, A05},  // 4
    {"Domicilio", nullptr, 2, false, 1, kEmpty, false, A04},  // 5
    {"Conceptos", nullptr, 1, false, 1, kChildren, false},  // 6
    {"Concepto", nullptr, 2, false, 1, kChildren, true, A06},  // 7
    {"InformacionAduanera", nullptr, 3, false, 0, kEmpty, true, A07},  // 8
    {"CuentaPredial", nullptr, 3, false, 0, kEmpty, false, A08},  // 9
    {"ComplementoConcepto", nullptr, 3, false, 0, kAny, false},  // 10
    {"terceros:PorCuentadeTerceros", nullptr, 4, false, 0, kChildren, false, A09},  // 11
    {"terceros:InformacionFiscalTercero", nullptr, 5, false, 0, kChildren, false, A03},  // 12
    {"terceros:InformacionAduanera", nullptr, 6, false, 0, kEmpty, false, A07},  // 13
    {"terceros:Parte", nullptr, 6, false, 0, kChildren, true, A10},  // 14
    {"terceros:InformacionAduanera", nullptr, 7, false, 0, kEmpty, true, A07},  // 15
    {"terceros:CuentaPredial", nullptr, 6, false, 0, kEmpty, false, A08},  // 16
    {"iedu:instEducativas", nullptr, 4, false, 0, kEmpty, false, A11},  // 17
    {"Parte", nullptr, 3, false, 0, kChildren, true, A10},  // 18
    {"InformacionAduanera", nullptr, 4, false, 0, kEmpty, true, A07},  // 19
    {"Impuestos", nullptr, 1, false, 1, kChildren, false, A12},  // 20
    {"Retenciones", nullptr, 2, false, 0, kChildren, false, nullptr, kMoveRetenidos, {}},  // 21
    {"Retencion", nullptr, 3, false, 1, kEmpty, true, A13},  // 22
    {"Traslados", nullptr, 2, false, 0, kChildren, false, nullptr, kMoveTrasladados, {}},  // 23
    {"Traslado", nullptr, 3, false, 1, kEmpty, true, A14},  // 24
    {"Complemento", nullptr, 1, false, 0, kAny, false},  // 25
    {"psgecfd:PrestadoresDeServiciosDeCFD", nullptr, 2, false, 0, kEmpty, false, A15},  // 26
    {"psgcfdsp:PrestadoresDeServiciosDeCFDSP", nullptr, 2, false, 0, kEmpty, false, A16},  // 27
    {"divisas:Divisas", nullptr, 2, false, 0, kEmpty, false, A17},  // 28
    {"donat:Donatarias", nullptr, 2, false, 0, kEmpty, false, A18},  // 29
    {"ecb:EstadoDeCuentaBancario", nullptr, 2, false, 0, kChildren, false, A19},  // 30
    {"ecb:Movimientos", nullptr, 3, false, 0, kChildren, false},  // 31
    {"ecb:MovimientoECB", nullptr, 4, false, 0, kEmpty, true, A20},  // 32
    {"ecb:MovimientoECBFiscal", nullptr, 4, false, 0, kEmpty, true, A21},  // 33
    {"ecc:EstadoDeCuentaCombustible", nullptr, 2, false, 0, kChildren, false, A22},  // 34
    {"ecc:Conceptos", nullptr, 3, false, 0, kChildren, false},  // 35
    {"ecc:ConceptoEstadoDeCuentaCombustible", nullptr, 4, false, 0, kChildren, true, A23},  // 36
    {"ecc:Traslados", nullptr, 5, false, 0, kChildren, true},  // 37
    {"ecc:Traslado", nullptr, 6, false, 0, kEmpty, true, A24},  // 38
    {"implocal:ImpuestosLocales", nullptr, 2, false, 0, kChildren, true, A25},  // 39
    {"implocal:RetencionesLocales", nullptr, 3, false, 0, kEmpty, true, A26},  // 40
    {"implocal:TrasladosLocales", nullptr, 3, false, 0, kEmpty, true, A27},  // 41
    {"detallista:detallista", nullptr, 2, false, 0, kChildren, false, A28},  // 42
    {"detallista:orderIdentification", nullptr, 3, false, 0, kChildren, false},  // 43
    {"detallista:referenceIdentification", "detallista:orderIdentification", 4, true, 1, kText, false},  // 44
    {"detallista:ReferenceDate", "detallista:orderIdentification", 4, true, 0, kText, false, nullptr, nullptr, {kDate, 0, 0}},  // 45
    {"detallista:buyer", nullptr, 3, false, 1, kChildren, false},  // 46
    {"detallista:gln", "detallista:buyer", 4, true, 1, kText, false, nullptr, nullptr, {kString, 13, 13}},  // 47
    {"detallista:seller", nullptr, 3, false, 0, kChildren, false},  // 48
    {"detallista:gln", "detallista:seller", 4, true, 0, kText, false, nullptr, nullptr, {kString, 13, 13}},  // 49
    {"detallista:alternatePartyIdentification", "detallista:seller", 4, true, 0, kText, false},  // 50
    {"detallista:totalAmount", nullptr, 3, false, 0, kChildren, false},  // 51
    {"detallista:Amount", "detallista:totalAmount", 4, true, 0, kText, false, nullptr, nullptr, {kDecimal, 0, 0}},  // 52
    {"detallista:TotalAllowanceCharge", nullptr, 3, false, 0, kChildren, true},  // 53
    {"detallista:specialServicesType", "detallista:TotalAllowanceCharge", 4, true, 0, kText, false, nullptr, nullptr, {kString, 1, 3, kEnumeration, "AA|ADS|ADO|ABZ|DA|EAA|PI|TAE|SAB|RAA|PAD|FG|FA|TD|TS|TX|ZZZ|VAB|UM|DI|ADT|AJ|CAC|COD|EAB|FC|FI|HD|QD"}},  // 54
    {"detallista:Amount", "detallista:TotalAllowanceCharge", 4, true, 0, kText, false, nullptr, nullptr, {kDecimal, 0, 0}},  // 55
    {"Addenda", nullptr, 1, false, 0, kAny, false},  // 56
    {},
};

// Version 2.2 (CFD).
const ElementEntry kTable22[] = {
    {"Comprobante", nullptr, 0, false, 1, kChildren, false, A29},  // 0
    {"Emisor", nullptr, 1, false, 1, kChildren, false, A30},  // 1
    {"DomicilioFiscal", nullptr, 2, false, 0, kEmpty, false, A03},  // 2
    {"ExpedidoEn", nullptr, 2, false, 0, kEmpty, false, A04},  // 3
    {"RegimenFiscal", nullptr, 2, false, 1, kEmpty, true, A31},  // 4
    {"Receptor", nullptr, 1, false, 1, kChildren, false, A05},  // 5
    {"Domicilio", nullptr, 2, false, 1, kEmpty, false, A04},  // 6
    {"Conceptos", nullptr, 1, false, 1, kChildren, false},  // 7
    {"Concepto", nullptr, 2, false, 1, kChildren, true, A32},  // 8
    {"InformacionAduanera", nullptr, 3, false, 0, kEmpty, true, A33},  // 9
    {"CuentaPredial", nullptr, 3, false, 0, kEmpty, false, A08},  // 10
    {"ComplementoConcepto", nullptr, 3, false, 0, kAny, false},  // 11
    {"terceros:PorCuentadeTerceros", nullptr, 4, false, 0, kChildren, false, A34},  // 12
    {"terceros:InformacionFiscalTercero", nullptr, 5, false, 0, kEmpty, false, A03},  // 13
    {"terceros:InformacionAduanera", nullptr, 5, false, 0, kEmpty, false, A33},  // 14
    {"terceros:Parte", nullptr, 5, false, 0, kChildren, true, A10},  // 15
    {"terceros:InformacionAduanera", nullptr, 6, false, 0, kEmpty, true, A33},  // 16
    {"terceros:CuentaPredial", nullptr, 5, false, 0, kEmpty, false, A08},  // 17
    {"terceros:Impuestos", nullptr, 5, false, 0, kChildren, false},  // 18
    {"terceros:Retencion", "terceros:Retenciones", 6, false, 0, kChildren, true, A13},  // 19
    {"terceros:Traslado", "terceros:Traslados", 6, false, 0, kChildren, true, A14},  // 20
    {"iedu:instEducativas", nullptr, 4, false, 0, kEmpty, false, A11},  // 21
    {"ventavehiculos:VentaVehiculos", nullptr, 2, false, 0, kChildren, false, A35},  // 22
    {"ventavehiculos:InformacionAduanera", nullptr, 3, false, 0, kEmpty, true, A33},  // 23
    {"ventavehiculos:Parte", nullptr, 3, false, 0, kChildren, true, A10},  // 24
    {"ventavehiculos:InformacionAduanera", nullptr, 4, false, 0, kEmpty, true, A33},  // 25
    {"Parte", nullptr, 3, false, 0, kChildren, true, A10},  // 26
    {"InformacionAduanera", nullptr, 4, false, 0, kEmpty, true, A33},  // 27
    {"Impuestos", nullptr, 1, false, 1, kChildren, false, A12},  // 28
    {"Retenciones", nullptr, 2, false, 0, kChildren, false, nullptr, kMoveRetenidos, {}},  // 29
    {"Retencion", nullptr, 3, false, 1, kEmpty, true, A13},  // 30
    {"Traslados", nullptr, 2, false, 0, kChildren, false, nullptr, kMoveTrasladados, {}},  // 31
    {"Traslado", nullptr, 3, false, 1, kEmpty, true, A14},  // 32
    {"Complemento", nullptr, 1, false, 0, kAny, false},  // 33
    {"psgecfd:PrestadoresDeServiciosDeCFD", nullptr, 2, false, 0, kEmpty, false, A15},  // 34
    {"psgcfdsp:PrestadoresDeServiciosDeCFDSP", nullptr, 2, false, 0, kEmpty, false, A16},  // 35
    {"divisas:Divisas", nullptr, 2, false, 0, kEmpty, false, A17},  // 36
    {"donat:Donatarias", nullptr, 2, false, 0, kEmpty, false, A36},  // 37
    {"ecb:EstadoDeCuentaBancario", nullptr, 2, false, 0, kChildren, false, A19},  // 38
    {"ecb:Movimientos", nullptr, 3, false, 0, kChildren, false},  // 39
    {"ecb:MovimientoECB", nullptr, 4, false, 0, kEmpty, true, A20},  // 40
    {"ecb:MovimientoECBFiscal", nullptr, 4, false, 0, kEmpty, true, A21},  // 41
    {"ecc:EstadoDeCuentaCombustible", nullptr, 2, false, 0, kChildren, false, A22},  // 42
    {"ecc:Conceptos", nullptr, 3, false, 0, kChildren, false},  // 43
    {"ecc:ConceptoEstadoDeCuentaCombustible", nullptr, 4, false, 0, kChildren, true, A23},  // 44
    {"ecc:Traslados", nullptr, 5, false, 0, kChildren, true},  // 45
    {"ecc:Traslado", nullptr, 6, false, 0, kEmpty, true, A14},  // 46
    {"implocal:ImpuestosLocales", nullptr, 2, false, 0, kChildren, true, A25},  // 47
    {"implocal:RetencionesLocales", nullptr, 3, false, 0, kEmpty, true, A26},  // 48
    {"implocal:TrasladosLocales", nullptr, 3, false, 0, kEmpty, true, A27},  // 49
    {"pfic:PFintegranteCoordinado", nullptr, 2, false, 0, kEmpty, false, A37},  // 50
    {"leyendasFisc:LeyendasFiscales", nullptr, 2, false, 0, kChildren, false, A38},  // 51
    {"leyendasFisc:Leyenda", nullptr, 3, false, 0, kEmpty, true, A39},  // 52
    {"tpe:TuristaPasajeroExtranjero", nullptr, 2, false, 0, kChildren, false, A40},  // 53
    {"tpe:datosTransito", nullptr, 3, false, 0, kEmpty, true, A41},  // 54
    {"nomina:Nomina", nullptr, 2, false, 0, kChildren, false, A42},  // 55
    {"nomina:Percepciones", nullptr, 3, false, 0, kChildren, false, A43},  // 56
    {"nomina:Percepcion", nullptr, 4, false, 0, kEmpty, true, A44},  // 57
    {"nomina:Deducciones", nullptr, 3, false, 0, kChildren, false, A45},  // 58
    {"nomina:Deduccion", nullptr, 4, false, 0, kEmpty, true, A46},  // 59
    {"nomina:Incapacidades", nullptr, 3, false, 0, kChildren, false},  // 60
    {"nomina:Incapacidad", nullptr, 4, false, 0, kEmpty, true, A47},  // 61
    {"nomina:HorasExtras", nullptr, 3, false, 0, kChildren, false},  // 62
    {"nomina:HorasExtra", nullptr, 4, false, 0, kEmpty, true, A48},  // 63
    {"registrofiscal:CFDIRegistroFiscal", nullptr, 2, false, 0, kChildren, false, A49},  // 64
    {"detallista:detallista", nullptr, 2, false, 0, kChildren, false, A28},  // 65
    {"detallista:orderIdentification", nullptr, 3, false, 0, kChildren, false},  // 66
    {"detallista:referenceIdentification", "detallista:orderIdentification", 4, true, 1, kText, false},  // 67
    {"detallista:ReferenceDate", "detallista:orderIdentification", 4, true, 0, kText, false, nullptr, nullptr, {kDate, 0, 0}},  // 68
    {"detallista:buyer", nullptr, 3, false, 1, kChildren, false},  // 69
    {"detallista:gln", "detallista:buyer", 4, true, 1, kText, false, nullptr, nullptr, {kString, 13, 13}},  // 70
    {"detallista:seller", nullptr, 3, false, 0, kChildren, false},  // 71
    {"detallista:gln", "detallista:seller", 4, true, 0, kText, false, nullptr, nullptr, {kString, 13, 13}},  // 72
    {"detallista:alternatePartyIdentification", "detallista:seller", 4, true, 0, kText, false},  // 73
    {"detallista:totalAmount", nullptr, 3, false, 0, kChildren, false},  // 74
    {"detallista:Amount", "detallista:totalAmount", 4, true, 0, kText, false, nullptr, nullptr, {kDecimal, 0, 0}},  // 75
    {"detallista:TotalAllowanceCharge", nullptr, 3, false, 0, kChildren, true},  // 76
    {"detallista:specialServicesType", "detallista:TotalAllowanceCharge", 4, true, 0, kText, false, nullptr, nullptr, {kString, 1, 3, kEnumeration, "AA|ADS|ADO|ABZ|DA|EAA|PI|TAE|SAB|RAA|PAD|FG|FA|TD|TS|TX|ZZZ|VAB|UM|DI|ADT|AJ|CAC|COD|EAB|FC|FI|HD|QD"}},  // 77
    {"detallista:Amount", "detallista:TotalAllowanceCharge", 4, true, 0, kText, false, nullptr, nullptr, {kDecimal, 0, 0}},  // 78
    {"Addenda", nullptr, 1, false, 0, kAny, false},  // 79
    {},
};

// Version 3.0 (CFDI).
const ElementEntry kTable30[] = {
    {"cfdi:Comprobante", nullptr, 0, false, 1, kChildren, false, A50},  // 0
    {"cfdi:Emisor", nullptr, 1, false, 1, kChildren, false, A02},  // 1
    {"cfdi:DomicilioFiscal", nullptr, 2, false, 1, kEmpty, false, A03},  // 2
    {"cfdi:ExpedidoEn", nullptr, 2, false, 1, kEmpty, false, A04},  // 3
    {"cfdi:Receptor", nullptr, 1, false, 1, kChildren, false, A05},  // 4
    {"cfdi:Domicilio", nullptr, 2, false, 0, kEmpty, false, A04},  // 5
    {"cfdi:Conceptos", nullptr, 1, false, 1, kChildren, false},  // 6
    {"cfdi:Concepto", nullptr, 2, false, 1, kChildren, true, A51},  // 7
    {"cfdi:InformacionAduanera", nullptr, 3, false, 0, kEmpty, true, A07},  // 8
    {"cfdi:CuentaPredial", nullptr, 3, false, 0, kEmpty, false, A08},  // 9
    {"cfdi:ComplementoConcepto", nullptr, 3, false, 0, kAny, false},  // 10
    {"terceros:PorCuentadeTerceros", nullptr, 4, false, 0, kChildren, false, A09},  // 11
    {"terceros:InformacionFiscalTercero", nullptr, 5, false, 0, kChildren, false, A03},  // 12
    {"terceros:InformacionAduanera", nullptr, 6, false, 0, kEmpty, false, A07},  // 13
    {"terceros:Parte", nullptr, 6, false, 0, kChildren, true, A10},  // 14
    {"terceros:InformacionAduanera", nullptr, 7, false, 0, kEmpty, true, A07},  // 15
    {"terceros:CuentaPredial", nullptr, 6, false, 0, kEmpty, false, A08},  // 16
    {"iedu:instEducativas", nullptr, 4, false, 0, kEmpty, false, A11},  // 17
    {"cfdi:Parte", nullptr, 3, false, 0, kChildren, true, A10},  // 18
    {"cfdi:InformacionAduanera", nullptr, 4, false, 0, kEmpty, true, A07},  // 19
    {"cfdi:Impuestos", nullptr, 1, false, 1, kChildren, false, A12},  // 20
    {"cfdi:Retenciones", nullptr, 2, false, 0, kChildren, false, nullptr, kMoveRetenidos, {}},  // 21
    {"cfdi:Retencion", nullptr, 3, false, 1, kEmpty, true, A13},  // 22
    {"cfdi:Traslados", nullptr, 2, false, 0, kChildren, false, nullptr, kMoveTrasladados, {}},  // 23
    {"cfdi:Traslado", nullptr, 3, false, 1, kEmpty, true, A14},  // 24
    {"cfdi:Complemento", nullptr, 1, false, 1, kAny, false},  // 25
    {"psgecfd:PrestadoresDeServiciosDeCFD", nullptr, 2, false, 0, kEmpty, false, A15},  // 26
    {"psgcfdsp:PrestadoresDeServiciosDeCFDSP", nullptr, 2, false, 0, kEmpty, false, A16},  // 27
    {"divisas:Divisas", nullptr, 2, false, 0, kEmpty, false, A17},  // 28
    {"donat:Donatarias", nullptr, 2, false, 0, kEmpty, false, A18},  // 29
    {"ecb:EstadoDeCuentaBancario", nullptr, 2, false, 0, kChildren, false, A19},  // 30
    {"ecb:Movimientos", nullptr, 3, false, 0, kChildren, false},  // 31
    {"ecb:MovimientoECB", nullptr, 4, false, 0, kEmpty, true, A20},  // 32
    {"ecb:MovimientoECBFiscal", nullptr, 4, false, 0, kEmpty, true, A21},  // 33
    {"ecc:EstadoDeCuentaCombustible", nullptr, 2, false, 0, kChildren, false, A22},  // 34
    {"ecc:Conceptos", nullptr, 3, false, 0, kChildren, false},  // 35
    {"ecc:ConceptoEstadoDeCuentaCombustible", nullptr, 4, false, 0, kChildren, true, A23},  // 36
    {"ecc:Traslados", nullptr, 5, false, 0, kChildren, true},  // 37
    {"ecc:Traslado", nullptr, 6, false, 0, kEmpty, true, A24},  // 38
    {"implocal:ImpuestosLocales", nullptr, 2, false, 0, kChildren, true, A25},  // 39
    {"implocal:RetencionesLocales", nullptr, 3, false, 0, kEmpty, true, A26},  // 40
    {"implocal:TrasladosLocales", nullptr, 3, false, 0, kEmpty, true, A27},  // 41
    {"detallista:detallista", nullptr, 2, false, 0, kChildren, false, A28},  // 42
    {"detallista:orderIdentification", nullptr, 3, false, 0, kChildren, false},  // 43
    {"detallista:referenceIdentification", "detallista:orderIdentification", 4, true, 1, kText, false},  // 44
    {"detallista:ReferenceDate", "detallista:orderIdentification", 4, true, 0, kText, false, nullptr, nullptr, {kDate, 0, 0}},  // 45
    {"detallista:buyer", nullptr, 3, false, 1, kChildren, false},  // 46
    {"detallista:gln", "detallista:buyer", 4, true, 1, kText, false, nullptr, nullptr, {kString, 13, 13}},  // 47
    {"detallista:seller", nullptr, 3, false, 0, kChildren, false},  // 48
    {"detallista:gln", "detallista:seller", 4, true, 0, kText, false, nullptr, nullptr, {kString, 13, 13}},  // 49
    {"detallista:alternatePartyIdentification", "detallista:seller", 4, true, 0, kText, false},  // 50
    {"detallista:totalAmount", nullptr, 3, false, 0, kChildren, false},  // 51
    {"detallista:Amount", "detallista:totalAmount", 4, true, 0, kText, false, nullptr, nullptr, {kDecimal, 0, 0}},  // 52
    {"detallista:TotalAllowanceCharge", nullptr, 3, false, 0, kChildren, true},  // 53
    {"detallista:specialServicesType", "detallista:TotalAllowanceCharge", 4, true, 0, kText, false, nullptr, nullptr, {kString, 1, 3, kEnumeration, "AA|ADS|ADO|ABZ|DA|EAA|PI|TAE|SAB|RAA|PAD|FG|FA|TD|TS|TX|ZZZ|VAB|UM|DI|ADT|AJ|CAC|COD|EAB|FC|FI|HD|QD"}},  // 54
    {"detallista:Amount", "detallista:TotalAllowanceCharge", 4, true, 0, kText, false, nullptr, nullptr, {kDecimal, 0, 0}},  // 55
    {"cfdi:Addenda", nullptr, 1, false, 0, kAny, false},  // 56
    {},
};

// Version 3.2 (CFDI).
const ElementEntry kTable32[] = {
    {"cfdi:Comprobante", nullptr, 0, false, 1, kChildren, false, A52},  // 0
    {"cfdi:Emisor", nullptr, 1, false, 1, kChildren, false, A30},  // 1
    {"cfdi:DomicilioFiscal", nullptr, 2, false, 0, kEmpty, false, A03},  // 2
    {"cfdi:ExpedidoEn", nullptr, 2, false, 0, kEmpty, false, A04},  // 3
    {"cfdi:RegimenFiscal", nullptr, 2, false, 1, kEmpty, true, A31},  // 4
    {"cfdi:Receptor", nullptr, 1, false, 1, kChildren, false, A05},  // 5
    {"cfdi:Domicilio", nullptr, 2, false, 0, kEmpty, false, A04},  // 6
    {"cfdi:Conceptos", nullptr, 1, false, 1, kChildren, false},  // 7
    {"cfdi:Concepto", nullptr, 2, false, 1, kChildren, true, A32},  // 8
    {"cfdi:InformacionAduanera", nullptr, 3, false, 0, kEmpty, true, A33},  // 9
    {"cfdi:CuentaPredial", nullptr, 3, false, 0, kEmpty, false, A08},  // 10
    {"cfdi:ComplementoConcepto", nullptr, 3, false, 0, kAny, false},  // 11
    {"terceros:PorCuentadeTerceros", nullptr, 4, false, 0, kChildren, false, A34},  // 12
    {"terceros:InformacionFiscalTercero", nullptr, 5, false, 0, kEmpty, false, A03},  // 13
    {"terceros:InformacionAduanera", nullptr, 5, false, 0, kEmpty, false, A33},  // 14
    {"terceros:Parte", nullptr, 5, false, 0, kChildren, true, A10},  // 15
    {"terceros:InformacionAduanera", nullptr, 6, false, 0, kEmpty, true, A33},  // 16
    {"terceros:CuentaPredial", nullptr, 5, false, 0, kEmpty, false, A08},  // 17
    {"terceros:Impuestos", nullptr, 5, false, 0, kChildren, false},  // 18
    {"terceros:Retencion", "terceros:Retenciones", 6, false, 0, kChildren, true, A13},  // 19
    {"terceros:Traslado", "terceros:Traslados", 6, false, 0, kChildren, true, A14},  // 20
    {"iedu:instEducativas", nullptr, 4, false, 0, kEmpty, false, A11},  // 21
    {"ventavehiculos:VentaVehiculos", nullptr, 2, false, 0, kChildren, false, A35},  // 22
    {"ventavehiculos:InformacionAduanera", nullptr, 3, false, 0, kEmpty, true, A33},  // 23
    {"ventavehiculos:Parte", nullptr, 3, false, 0, kChildren, true, A10},  // 24
    {"ventavehiculos:InformacionAduanera", nullptr, 4, false, 0, kEmpty, true, A33},  // 25
    {"cfdi:Parte", nullptr, 3, false, 0, kChildren, true, A10},  // 26
    {"cfdi:InformacionAduanera", nullptr, 4, false, 0, kEmpty, true, A33},  // 27
    {"cfdi:Impuestos", nullptr, 1, false, 1, kChildren, false, A12},  // 28
    {"cfdi:Retenciones", nullptr, 2, false, 0, kChildren, false, nullptr, kMoveRetenidos, {}},  // 29
    {"cfdi:Retencion", nullptr, 3, false, 1, kEmpty, true, A13},  // 30
    {"cfdi:Traslados", nullptr, 2, false, 0, kChildren, false, nullptr, kMoveTrasladados, {}},  // 31
    {"cfdi:Traslado", nullptr, 3, false, 1, kEmpty, true, A14},  // 32
    {"cfdi:Complemento", nullptr, 1, false, 0, kAny, false},  // 33
    {"psgecfd:PrestadoresDeServiciosDeCFD", nullptr, 2, false, 0, kEmpty, false, A15},  // 34
    {"psgcfdsp:PrestadoresDeServiciosDeCFDSP", nullptr, 2, false, 0, kEmpty, false, A16},  // 35
    {"divisas:Divisas", nullptr, 2, false, 0, kEmpty, false, A17},  // 36
    {"donat:Donatarias", nullptr, 2, false, 0, kEmpty, false, A36},  // 37
    {"ecb:EstadoDeCuentaBancario", nullptr, 2, false, 0, kChildren, false, A19},  // 38
    {"ecb:Movimientos", nullptr, 3, false, 0, kChildren, false},  // 39
    {"ecb:MovimientoECB", nullptr, 4, false, 0, kEmpty, true, A20},  // 40
    {"ecb:MovimientoECBFiscal", nullptr, 4, false, 0, kEmpty, true, A21},  // 41
    {"ecc:EstadoDeCuentaCombustible", nullptr, 2, false, 0, kChildren, false, A22},  // 42
    {"ecc:Conceptos", nullptr, 3, false, 0, kChildren, false},  // 43
    {"ecc:ConceptoEstadoDeCuentaCombustible", nullptr, 4, false, 0, kChildren, true, A23},  // 44
    {"ecc:Traslados", nullptr, 5, false, 0, kChildren, true},  // 45
    {"ecc:Traslado", nullptr, 6, false, 0, kEmpty, true, A14},  // 46
    {"implocal:ImpuestosLocales", nullptr, 2, false, 0, kChildren, true, A25},  // 47
    {"implocal:RetencionesLocales", nullptr, 3, false, 0, kEmpty, true, A26},  // 48
    {"implocal:TrasladosLocales", nullptr, 3, false, 0, kEmpty, true, A27},  // 49
    {"pfic:PFintegranteCoordinado", nullptr, 2, false, 0, kEmpty, false, A37},  // 50
    {"leyendasFisc:LeyendasFiscales", nullptr, 2, false, 0, kChildren, false, A38},  // 51
    {"leyendasFisc:Leyenda", nullptr, 3, false, 0, kEmpty, true, A39},  // 52
    {"tpe:TuristaPasajeroExtranjero", nullptr, 2, false, 0, kChildren, false, A40},  // 53
    {"tpe:datosTransito", nullptr, 3, false, 0, kEmpty, true, A41},  // 54
    {"nomina:Nomina", nullptr, 2, false, 0, kChildren, false, A42},  // 55
    {"nomina:Percepciones", nullptr, 3, false, 0, kChildren, false, A43},  // 56
    {"nomina:Percepcion", nullptr, 4, false, 0, kEmpty, true, A44},  // 57
    {"nomina:Deducciones", nullptr, 3, false, 0, kChildren, false, A45},  // 58
    {"nomina:Deduccion", nullptr, 4, false, 0, kEmpty, true, A46},  // 59
    {"nomina:Incapacidades", nullptr, 3, false, 0, kChildren, false},  // 60
    {"nomina:Incapacidad", nullptr, 4, false, 0, kEmpty, true, A47},  // 61
    {"nomina:HorasExtras", nullptr, 3, false, 0, kChildren, false},  // 62
    {"nomina:HorasExtra", nullptr, 4, false, 0, kEmpty, true, A48},  // 63
    {"registrofiscal:CFDIRegistroFiscal", nullptr, 2, false, 0, kChildren, false, A49},  // 64
    {"detallista:detallista", nullptr, 2, false, 0, kChildren, false, A28},  // 65
    {"detallista:orderIdentification", nullptr, 3, false, 0, kChildren, false},  // 66
    {"detallista:referenceIdentification", "detallista:orderIdentification", 4, true, 1, kText, false},  // 67
    {"detallista:ReferenceDate", "detallista:orderIdentification", 4, true, 0, kText, false, nullptr, nullptr, {kDate, 0, 0}},  // 68
    {"detallista:buyer", nullptr, 3, false, 1, kChildren, false},  // 69
    {"detallista:gln", "detallista:buyer", 4, true, 1, kText, false, nullptr, nullptr, {kString, 13, 13}},  // 70
    {"detallista:seller", nullptr, 3, false, 0, kChildren, false},  // 71
    {"detallista:gln", "detallista:seller", 4, true, 0, kText, false, nullptr, nullptr, {kString, 13, 13}},  // 72
    {"detallista:alternatePartyIdentification", "detallista:seller", 4, true, 0, kText, false},  // 73
    {"detallista:totalAmount", nullptr, 3, false, 0, kChildren, false},  // 74
    {"detallista:Amount", "detallista:totalAmount", 4, true, 0, kText, false, nullptr, nullptr, {kDecimal, 0, 0}},  // 75
    {"detallista:TotalAllowanceCharge", nullptr, 3, false, 0, kChildren, true},  // 76
    {"detallista:specialServicesType", "detallista:TotalAllowanceCharge", 4, true, 0, kText, false, nullptr, nullptr, {kString, 1, 3, kEnumeration, "AA|ADS|ADO|ABZ|DA|EAA|PI|TAE|SAB|RAA|PAD|FG|FA|TD|TS|TX|ZZZ|VAB|UM|DI|ADT|AJ|CAC|COD|EAB|FC|FI|HD|QD"}},  // 77
    {"detallista:Amount", "detallista:TotalAllowanceCharge", 4, true, 0, kText, false, nullptr, nullptr, {kDecimal, 0, 0}},  // 78
    {"cfdi:Addenda", nullptr, 1, false, 0, kAny, false},  // 79
    {},
};

// The stamp: every entry repeatable, so the cursor never leaves the root entry.
const ElementEntry kStampTable[] = {
    {"cfdi:Comprobante", nullptr, 0, false, 1, kChildren, true},  // 0
    {"cfdi:Complemento", nullptr, 1, false, 0, kAny, true},  // 1
    {"tfd:TimbreFiscalDigital", nullptr, 2, false, 1, kEmpty, true, A53},  // 2
    {},
};

}  // namespace

const ElementEntry* SchemaTableForVersion(int versionNumber) noexcept {
    switch (versionNumber) {
        case 20: return kTable20;
        case 22: return kTable22;
        case 30: return kTable30;
        case 32: return kTable32;
        default: return nullptr;
    }
}

const ElementEntry* StampSchemaTable() noexcept { return kStampTable; }

std::size_t SchemaTableSize(const ElementEntry* table) noexcept {
    std::size_t n = 0;
    while (table && table[n].name) ++n;
    return n;
}

const AttributeRow* FindAttributeRow(const ElementEntry& entry, const char* name) noexcept {
    for (const AttributeRow* row = entry.attributes; row && row->name; ++row) {
        if (std::strcmp(row->name, name) == 0) return row;
    }
    return nullptr;
}

const char* EntryLocalName(const ElementEntry& entry) noexcept {
    const char* colon = std::strchr(entry.name, ':');
    return colon ? colon + 1 : entry.name;
}

}  // namespace kvn
