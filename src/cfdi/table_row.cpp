#include "cfdi/table_row.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/lasterror.h"
#include "cfdi/document.h"
#include "cfdi/namespaces.h"
#include "cfdi/verify.h"
#include "cfdi/xml_events.h"
#include "cfdi/xsd_values.h"

namespace kvn {
namespace {

// ---------------------------------------------------------------------------------------
// Columns. The tax columns are one fixed set for every document, so that a batch of mixed
// versions gives one table: IVA by its usual rates (16 %, 8 %, 0 %, any other rate), IEPS
// and other transferred taxes summed, withholdings by tax, and local taxes by their totals.

enum DocColumn : std::size_t {
    kStatus, kError, kUuid, kVersion, kType, kDate, kSeries, kFolio, kIssuerRfc, kIssuerName, kReceiverRfc,
    kReceiverName, kCurrency, kExchangeRate, kSubtotal, kDiscount, kTotal, kPaymentMethod, kPaymentForm,
    kTransferredTotal, kWithheldTotal, kDocTaxes,
    kTransferredLocal = kDocTaxes + 10, kWithheldLocal, kStampDate, kCertifier, kStampCertificate, kSeal,
    kDocColumnCount
};

enum LineColumn : std::size_t {
    kLineStatus, kLineError, kLineUuid, kLineNumber, kProductCode, kIdNumber, kQuantity, kUnitCode, kUnit,
    kDescription, kUnitValue, kAmount, kLineDiscount, kTaxObject, kLineTaxes, kLineColumnCount = kLineTaxes + 10
};

// The tax columns, in order, relative to kDocTaxes / kLineTaxes.
enum TaxColumn : std::size_t {
    kIva16, kIva8, kIva0, kIvaOther, kIeps, kTransferredOther, kWithheldIsr, kWithheldIva, kWithheldIeps,
    kWithheldOther, kTaxColumnCount
};

constexpr const char* kDocColumns[] = {
    "status", "error", "uuid", "version", "type", "date", "series", "folio", "issuer_rfc", "issuer_name",
    "receiver_rfc", "receiver_name", "currency", "exchange_rate", "subtotal", "discount", "total",
    "payment_method", "payment_form", "transferred_total", "withheld_total",
    "transferred_iva_16", "transferred_iva_8", "transferred_iva_0", "transferred_iva_other", "transferred_ieps",
    "transferred_other", "withheld_isr", "withheld_iva", "withheld_ieps", "withheld_other",
    "transferred_local", "withheld_local", "stamp_date", "certifier", "stamp_certificate", "seal",
};
constexpr const char* kLineColumns[] = {
    "status", "error", "uuid", "line", "product_code", "id_number", "quantity", "unit_code", "unit",
    "description", "unit_value", "amount", "discount", "tax_object",
    "transferred_iva_16", "transferred_iva_8", "transferred_iva_0", "transferred_iva_other", "transferred_ieps",
    "transferred_other", "withheld_isr", "withheld_iva", "withheld_ieps", "withheld_other",
};
static_assert(sizeof kDocColumns / sizeof *kDocColumns == kDocColumnCount);
static_assert(sizeof kLineColumns / sizeof *kLineColumns == kLineColumnCount);
static_assert(kTaxColumnCount == 10);

// ---------------------------------------------------------------------------------------
// Where values come from. A path is the local names of the elements from the root, each in
// a namespace of the tax authority; the first attribute name present wins (the names of
// 3.3 and 4.0 first, then those of the older versions). A new document type is new rows.

struct FieldSource {
    const char* path;
    std::size_t column;
    const char* names[3];
};

constexpr FieldSource kDocFields[] = {
    {"Comprobante", kVersion, {"Version", "version"}},
    {"Comprobante", kType, {"TipoDeComprobante", "tipoDeComprobante"}},
    {"Comprobante", kDate, {"Fecha", "fecha"}},
    {"Comprobante", kSeries, {"Serie", "serie"}},
    {"Comprobante", kFolio, {"Folio", "folio"}},
    {"Comprobante", kCurrency, {"Moneda", "moneda"}},
    {"Comprobante", kExchangeRate, {"TipoCambio", "tipoCambio"}},
    {"Comprobante", kSubtotal, {"SubTotal", "subTotal"}},
    {"Comprobante", kDiscount, {"Descuento", "descuento"}},
    {"Comprobante", kTotal, {"Total", "total"}},
    {"Comprobante", kPaymentMethod, {"MetodoPago", "metodoDePago"}},
    {"Comprobante", kPaymentForm, {"FormaPago", "formaDePago"}},
    {"Comprobante/Emisor", kIssuerRfc, {"Rfc", "rfc"}},
    {"Comprobante/Emisor", kIssuerName, {"Nombre", "nombre"}},
    {"Comprobante/Receptor", kReceiverRfc, {"Rfc", "rfc"}},
    {"Comprobante/Receptor", kReceiverName, {"Nombre", "nombre"}},
    {"Comprobante/Impuestos", kTransferredTotal, {"TotalImpuestosTrasladados", "totalImpuestosTrasladados"}},
    {"Comprobante/Impuestos", kWithheldTotal, {"TotalImpuestosRetenidos", "totalImpuestosRetenidos"}},
    {"Comprobante/Complemento/TimbreFiscalDigital", kUuid, {"UUID"}},
    {"Comprobante/Complemento/TimbreFiscalDigital", kStampDate, {"FechaTimbrado"}},
    {"Comprobante/Complemento/TimbreFiscalDigital", kCertifier, {"RfcProvCertif"}},
    {"Comprobante/Complemento/TimbreFiscalDigital", kStampCertificate, {"NoCertificadoSAT", "noCertificadoSAT"}},
    // Retenciones e informacion de pagos (2.0 names first, then 1.0). A foreign receiver has
    // no RFC: its name only. The amounts: the operation's total and the total withheld.
    {"Retenciones", kVersion, {"Version"}},
    {"Retenciones", kDate, {"FechaExp"}},
    {"Retenciones", kFolio, {"FolioInt"}},
    {"Retenciones/Emisor", kIssuerRfc, {"RfcE", "RFCEmisor"}},
    {"Retenciones/Emisor", kIssuerName, {"NomDenRazSocE"}},
    {"Retenciones/Receptor/Nacional", kReceiverRfc, {"RfcR", "RFCRecep"}},
    {"Retenciones/Receptor/Nacional", kReceiverName, {"NomDenRazSocR"}},
    {"Retenciones/Receptor/Extranjero", kReceiverName, {"NomDenRazSocR"}},
    {"Retenciones/Totales", kTotal, {"MontoTotOperacion", "montoTotOperacion"}},
    {"Retenciones/Totales", kWithheldTotal, {"MontoTotRet", "montoTotRet"}},
    {"Retenciones/Complemento/TimbreFiscalDigital", kUuid, {"UUID"}},
    {"Retenciones/Complemento/TimbreFiscalDigital", kStampDate, {"FechaTimbrado"}},
    {"Retenciones/Complemento/TimbreFiscalDigital", kCertifier, {"RfcProvCertif"}},
    {"Retenciones/Complemento/TimbreFiscalDigital", kStampCertificate, {"NoCertificadoSAT", "noCertificadoSAT"}},
};

// Local taxes are summed over every ImpuestosLocales element.
constexpr FieldSource kDocSums[] = {
    {"Comprobante/Complemento/ImpuestosLocales", kTransferredLocal, {"TotaldeTraslados"}},
    {"Comprobante/Complemento/ImpuestosLocales", kWithheldLocal, {"TotaldeRetenciones"}},
};

constexpr const char* kLinePath = "Comprobante/Conceptos/Concepto";

constexpr FieldSource kLineFields[] = {
    {kLinePath, kProductCode, {"ClaveProdServ"}},
    {kLinePath, kIdNumber, {"NoIdentificacion", "noIdentificacion"}},
    {kLinePath, kQuantity, {"Cantidad", "cantidad"}},
    {kLinePath, kUnitCode, {"ClaveUnidad"}},
    {kLinePath, kUnit, {"Unidad", "unidad"}},
    {kLinePath, kDescription, {"Descripcion", "descripcion"}},
    {kLinePath, kUnitValue, {"ValorUnitario", "valorUnitario"}},
    {kLinePath, kAmount, {"Importe", "importe"}},
    {kLinePath, kLineDiscount, {"Descuento"}},
    {kLinePath, kTaxObject, {"ObjetoImp"}},
};

// The elements whose lines are taxes: of the document, or of the concept being read.
struct TaxSource {
    const char* path;
    bool withheld;
    bool ofLine;
};
constexpr TaxSource kTaxSources[] = {
    {"Comprobante/Impuestos/Traslados/Traslado", false, false},
    {"Comprobante/Impuestos/Retenciones/Retencion", true, false},
    {"Comprobante/Conceptos/Concepto/Impuestos/Traslados/Traslado", false, true},
    {"Comprobante/Conceptos/Concepto/Impuestos/Retenciones/Retencion", true, true},
};

// The roots read as documents of a table, by namespace (a prefix of its URI) and name; the
// paths above start with the root's name. Another document type is a row here and its
// rows of fields above.
// `type` fills the type column of a document type whose root carries none.
struct TableRoot {
    std::string_view namespacePrefix;
    const char* local;
    const char* type;
};
constexpr TableRoot kTableRoots[] = {
    {"http://www.sat.gob.mx/cfd/", "Comprobante", nullptr},
    {"http://www.sat.gob.mx/esquemas/retencionpago/", "Retenciones", "Retenciones"},
};

const TableRoot* FindTableRoot(const char* uri, const char* local) {
    for (const TableRoot& r : kTableRoots) {
        const bool inNamespace = std::strncmp(uri, r.namespacePrefix.data(), r.namespacePrefix.size()) == 0;
        if (inNamespace && std::strcmp(local, r.local) == 0) return &r;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Exact decimal sums of non-negative amounts: digits and scale, never binary floating
// point. The sum keeps the largest number of fraction digits of its terms, so a single
// term reads as written ("680.00" stays "680.00").

class DecimalSum {
public:
    // False when the text is not a non-negative decimal; the sum is then left alone.
    bool Add(std::string_view text) {
        XsdDecimal d;
        if (!XsdParseDecimal(text, false, d) || d.negative) return false;
        // The written scale: digits after the point as written, trailing zeros included.
        const std::size_t point = text.find('.');
        const std::size_t scale = point == std::string_view::npos ? 0 : text.size() - point - 1;
        Widen(scale);
        // d.whole has no leading zeros, d.fraction no trailing ones.
        String term(d.whole.empty() ? "0" : d.whole);
        term.append(d.fraction);
        term.append(scale_ - d.fraction.size(), '0');
        AddDigits(term);
        used_ = true;
        return true;
    }
    bool used() const { return used_; }
    String Text() const {
        String whole = digits_.size() > scale_ ? String(digits_.substr(0, digits_.size() - scale_)) : String("0");
        if (scale_ == 0) return whole;
        String fraction = digits_.size() >= scale_ ? String(digits_.substr(digits_.size() - scale_)) : String();
        fraction.insert(0, scale_ - fraction.size(), '0');
        return whole + "." + fraction;
    }

private:
    void Widen(std::size_t scale) {
        if (scale <= scale_) return;
        if (!digits_.empty()) digits_.append(scale - scale_, '0');
        scale_ = scale;
    }
    // digits_ += term, both unsigned digit strings of the same scale.
    void AddDigits(const String& term) {
        String result;
        std::size_t i = digits_.size(), j = term.size();
        int carry = 0;
        while (i > 0 || j > 0 || carry) {
            int v = carry;
            if (i > 0) v += digits_[--i] - '0';
            if (j > 0) v += term[--j] - '0';
            result.push_back(static_cast<char>('0' + v % 10));
            carry = v / 10;
        }
        while (result.size() > scale_ + 1 && result.back() == '0') result.pop_back();
        digits_.assign(result.rbegin(), result.rend());
    }

    String digits_;  // the sum times 10^scale_
    std::size_t scale_ = 0;
    bool used_ = false;
};

// ---------------------------------------------------------------------------------------

struct Row {
    Vec<std::optional<String>> fields;
    DecimalSum taxes[kTaxColumnCount];
    String badAmounts;  // amounts that are not decimals, for the error column
};

const char* FindAttribute(const ElementAttribute* a, std::size_t count, const char* name) {
    for (std::size_t i = 0; i < count; ++i) {
        if (a[i].uri[0] == '\0' && std::strcmp(a[i].local, name) == 0) return a[i].value;
    }
    return nullptr;
}

// The attribute of the first name present.
const char* FirstOf(const ElementAttribute* a, std::size_t count, const char* const (&names)[3]) {
    for (const char* name : names) {
        if (!name) break;
        if (const char* v = FindAttribute(a, count, name)) return v;
    }
    return nullptr;
}

bool DecimalEquals(std::string_view value, const char* constant) {
    XsdDecimal a, b;
    return XsdParseDecimal(value, false, a) && XsdParseDecimal(constant, false, b) && XsdCompareDecimals(a, b) == 0;
}

// The tax column of a tax line. 3.3 and 4.0 name taxes by code and give the rate as a
// fraction (TasaOCuota 0.160000); the older versions name them and give a percentage
// (tasa 16.00). A line with TipoFactor Exento carries no amount and has no column.
std::optional<TaxColumn> TaxColumnOf(const ElementAttribute* a, std::size_t count, bool withheld) {
    const char* tax = FirstOf(a, count, {"Impuesto", "impuesto"});
    const std::string_view name = tax ? tax : "";
    const bool iva = name == "002" || name == "IVA";
    const bool isr = name == "001" || name == "ISR";
    const bool ieps = name == "003" || name == "IEPS";
    if (withheld) return iva ? kWithheldIva : isr ? kWithheldIsr : ieps ? kWithheldIeps : kWithheldOther;
    if (!iva) return ieps ? kIeps : kTransferredOther;
    const char* factor = FindAttribute(a, count, "TipoFactor");
    if (factor && std::strcmp(factor, "Exento") == 0) return std::nullopt;
    const char* fraction = FindAttribute(a, count, "TasaOCuota");
    const char* percent = FindAttribute(a, count, "tasa");
    auto rateIs = [&](const char* asFraction, const char* asPercent) {
        return fraction ? DecimalEquals(fraction, asFraction) : percent && DecimalEquals(percent, asPercent);
    };
    if (rateIs("0.16", "16")) return kIva16;
    if (rateIs("0.08", "8")) return kIva8;
    if (rateIs("0", "0")) return kIva0;
    return kIvaOther;
}

class RowSink final : public XmlEventSink {
public:
    RowSink() { document_.fields.resize(kDocColumnCount); }

    bool OnStartElement(const char* uri, const char* local, const char*, const ElementAttribute* a,
                        std::size_t count) override {
        const std::size_t mark = path_.size();
        marks_.push_back(mark);
        if (mark) path_.push_back('/');
        path_.append(local);
        if (marks_.size() == 1) {
            const TableRoot* root = FindTableRoot(uri, local);
            root_ = root != nullptr;
            if (!root_) {
                rootName_ = local;
                return false;
            }
            if (root->type) document_.fields[kType] = String(root->type);
            const char* seal = FirstOf(a, count, {"Sello", "sello"});
            signed_ = seal && seal[std::strspn(seal, " \t\r\n")] != '\0';
        }
        // Elements outside the authority's namespaces (Addenda content) give nothing.
        if (std::strncmp(uri, kTaxAuthorityHost.data(), kTaxAuthorityHost.size()) != 0) return true;
        if (path_ == kLinePath) {
            lines_.emplace_back();
            lines_.back().fields.resize(kLineColumnCount);
            lines_.back().fields[kLineNumber] = NumberText(lines_.size());
            Fill(lines_.back(), kLineFields, a, count);
        }
        Fill(document_, kDocFields, a, count);
        for (const FieldSource& s : kDocSums) {
            if (path_ != s.path) continue;
            if (const char* v = FirstOf(a, count, s.names)) AddAmount(document_, s.column, v);
        }
        for (const TaxSource& t : kTaxSources) {
            if (path_ != t.path) continue;
            Row* row = t.ofLine ? (lines_.empty() ? nullptr : &lines_.back()) : &document_;
            const std::optional<TaxColumn> column = TaxColumnOf(a, count, t.withheld);
            const char* amount = FirstOf(a, count, {"Importe", "importe"});
            if (row && column && amount && !row->taxes[*column].Add(amount)) NoteBadAmount(*row, amount);
        }
        return true;
    }

    bool OnEndElement(const char*, const char*, const char*) override {
        path_.resize(marks_.back());
        marks_.pop_back();
        return true;
    }

    bool root() const { return root_; }
    bool isSigned() const { return signed_; }
    const String& rootName() const { return rootName_; }
    Row& document() { return document_; }
    Vec<Row>& lines() { return lines_; }

private:
    template <std::size_t N>
    void Fill(Row& row, const FieldSource (&sources)[N], const ElementAttribute* a, std::size_t count) {
        for (const FieldSource& s : sources) {
            if (path_ != s.path || row.fields[s.column]) continue;  // the first element wins
            if (const char* v = FirstOf(a, count, s.names)) row.fields[s.column] = String(v);
        }
    }
    void AddAmount(Row& row, std::size_t column, const char* value) {
        DecimalSum sum;
        if (row.fields[column]) (void)sum.Add(*row.fields[column]);
        if (!sum.Add(value)) return NoteBadAmount(row, value);
        row.fields[column] = sum.Text();
    }
    static void NoteBadAmount(Row& row, const char* value) {
        row.badAmounts.append(row.badAmounts.empty() ? "amount is not a decimal: '" : ", '");
        row.badAmounts.append(value);
        row.badAmounts.push_back('\'');
    }
    static String NumberText(std::size_t n) {
        char text[24];
        std::snprintf(text, sizeof text, "%zu", n);
        return String(text);
    }

    String path_;
    Vec<std::size_t> marks_;
    bool root_ = false;
    bool signed_ = false;
    String rootName_;
    Row document_;
    Vec<Row> lines_;
};

// The seal status of a document that was read: valid, invalid (the seal does not match
// the document or its certificate), unsigned (no seal, or an empty one), unverifiable (no
// usable certificate, a seal that is not base64, and the like).
const char* SealStatus(const char* xmlFile, bool isSigned) {
    if (!isSigned) return "unsigned";
    const Error rc = VerifyDocumentSignature(xmlFile, nullptr, 0);
    ClearLastError();
    if (!Failed(rc)) return "valid";
    if (rc == Error::SIGNATURE_ERROR || rc == Error::DECRYPT_ERROR) return "invalid";
    if (rc == Error::BAD_PARAM_ERROR) return "unsigned";
    return "unverifiable";
}

void AppendField(String& out, const std::optional<String>& value) {
    if (!value) {
        out.append("\\N");
        return;
    }
    for (char c : *value) {
        switch (c) {
            case '\\': out.append("\\\\"); break;
            case '\t': out.append("\\t"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            default: out.push_back(c);
        }
    }
}

void AppendRow(String& out, Row& row, std::size_t taxes) {
    for (std::size_t t = 0; t < kTaxColumnCount; ++t) {
        if (row.taxes[t].used()) row.fields[taxes + t] = row.taxes[t].Text();
    }
    for (std::size_t i = 0; i < row.fields.size(); ++i) {
        if (i) out.push_back('\t');
        AppendField(out, row.fields[i]);
    }
    out.push_back('\n');
}

void AppendHeader(String& out, TableKind kind) {
    std::size_t count = 0;
    const char* const* names = TableColumns(kind, count);
    for (std::size_t i = 0; i < count; ++i) {
        if (i) out.push_back('\t');
        out.append(names[i]);
    }
    out.push_back('\n');
}

void AppendErrorRow(String& out, TableKind kind, const String& reason) {
    Row row;
    row.fields.resize(kind == TableKind::kLines ? std::size_t{kLineColumnCount} : std::size_t{kDocColumnCount});
    row.fields[kStatus] = String("error");
    row.fields[kError] = reason;
    AppendRow(out, row, kind == TableKind::kLines ? std::size_t{kLineTaxes} : std::size_t{kDocTaxes});
}


}  // namespace

const char* const* TableColumns(TableKind kind, std::size_t& count) noexcept {
    if (kind == TableKind::kLines) {
        count = kLineColumnCount;
        return kLineColumns;
    }
    count = kDocColumnCount;
    return kDocColumns;
}

void WriteTableRows(String& out, const char* xmlFile, TableKind kind) {
    AppendHeader(out, kind);
    FilePtr document = OpenDocument(xmlFile);
    if (!document) {
        String reason(LastErrorText());
        ClearLastError();
        return AppendErrorRow(out, kind, reason);
    }
    RowSink sink;
    const XmlParseResult parsed = ParseXmlEvents(document.get(), sink, kXmlDefaults);
    document.reset();
    if (parsed.status == XmlParseStatus::kError) {
        char reason[256];
        std::snprintf(reason, sizeof reason,
                      "Document is not well-formed/El documento no esta bien formado: %s (Line/numero de linea: %d)",
                      parsed.message, parsed.line);
        return AppendErrorRow(out, kind, String(reason));
    }
    if (!sink.root()) {
        char reason[256];
        std::snprintf(reason, sizeof reason,
                      "Root element '%.100s' is not an invoice's Comprobante/El elemento raiz no es un Comprobante",
                      sink.rootName().c_str());
        return AppendErrorRow(out, kind, String(reason));
    }
    Row& row = sink.document();
    if (kind == TableKind::kDocuments) {
        row.fields[kStatus] = String("ok");
        row.fields[kSeal] = String(SealStatus(xmlFile, sink.isSigned()));
        if (!row.badAmounts.empty()) row.fields[kError] = row.badAmounts;
        return AppendRow(out, row, kDocTaxes);
    }
    for (Row& line : sink.lines()) {
        line.fields[kLineStatus] = String("ok");
        line.fields[kLineUuid] = row.fields[kUuid];
        if (!line.badAmounts.empty()) line.fields[kLineError] = line.badAmounts;
        AppendRow(out, line, kLineTaxes);
    }
}

}  // namespace kvn
