// The checks before signing, over the public interface: the certificate's key usage,
// validity and RFC, and the document's validation findings.
#include "sign_checks.h"

#include <string>
#include <vector>

#include "kelvane.h"
#include "library.h"

namespace cli {
namespace {

// A text answer of the library, or nullopt when the call fails.
std::optional<std::string> Answer(const BufferCall& call) {
    Outcome o = CallForText(call);
    if (!o.ok()) return std::nullopt;
    return o.result;
}

std::optional<std::string> CertQuery(const std::string& cert, const char* query) {
    return Answer([&](char* out, int n) { return KVN_QueryCert(out, n, cert.c_str(), query, 0); });
}

std::optional<std::string> DocumentAttribute(const std::string& file, const char* name, const char* element) {
    return Answer([&](char* out, int n) { return KVN_GetXmlAttribute(out, n, file.c_str(), name, element); });
}

bool HasItem(const std::string& list, const std::string& item) { return ("," + list + ",").find("," + item + ",") != std::string::npos; }

Outcome Refusal(const std::string& message, const std::string& hint) {
    Outcome o;
    o.code = -kCertRefused;
    o.message = message;
    o.hint = hint;
    return o;
}

const char* const kSkipHint = "sign with the issuer's seal certificate (CSD), or give --no-checks to sign anyway";

// A seal certificate's key usage is digitalSignature and nonRepudiation; an e.signature
// certificate (FIEL) adds dataEncipherment and keyAgreement.
std::optional<Outcome> CheckKeyUsage(const std::string& usage) {
    if (usage.empty()) return std::nullopt;  // no key usage extension: nothing to go by
    if (HasItem(usage, "dataEncipherment") || HasItem(usage, "keyAgreement") || !HasItem(usage, "digitalSignature"))
        return Refusal("the certificate is not a seal certificate (CSD): its key usage (" + usage +
                           ") is that of an e.signature certificate (FIEL), which does not seal invoices",
                       kSkipHint);
    return std::nullopt;
}

// Fecha (local time of the document, "yyyy-mm-ddThh:mm:ss") within the certificate's
// validity ("yyyy-mm-ddThh:mm:ssZ"), compared as written.
std::optional<Outcome> CheckValidity(const std::string& fecha, const std::string& from, const std::string& until) {
    if (fecha.size() < 19 || from.size() < 19 || until.size() < 19) return std::nullopt;
    const std::string when = fecha.substr(0, 19);
    if (when >= from.substr(0, 19) && when <= until.substr(0, 19)) return std::nullopt;
    return Refusal("the certificate is not valid at the document's Fecha " + when + ": it is valid from " + from +
                       " to " + until,
                   "sign with a certificate valid at the invoice's date, or give --no-checks to sign anyway");
}

std::optional<Outcome> CheckRfc(const std::string& certRfc, const std::string& issuerRfc) {
    if (certRfc.empty() || issuerRfc.empty() || certRfc == issuerRfc) return std::nullopt;
    return Refusal("the certificate belongs to RFC " + certRfc + ", not to the document's issuer (Emisor Rfc " +
                       issuerRfc + ")",
                   "sign with the issuer's own seal certificate, or give --no-checks to sign anyway");
}

// The fields of one line of the findings text.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return fields;
}

// The validation errors of a CFDI 3.3 or 4.0 document that signing does not settle (those
// about the root's Sello, NoCertificado and Certificado, which signing fills in): their
// count and the first as text. Older versions are not looked at (0).
int ValidationErrors(const std::string& file, int version, std::string* first) {
    if (version != 33 && version != 40) return 0;
    std::optional<std::string> text =
        Answer([&](char* out, int n) { return KVN_ValidateXmlFindings(out, n, file.c_str(), nullptr, 0); });
    if (!text) return 0;  // a document the signing itself will report on
    int errors = 0;
    size_t start = 0;
    while (start < text->size()) {
        size_t end = text->find('\n', start);
        if (end == std::string::npos) end = text->size();
        const std::vector<std::string> f = Fields(text->substr(start, end - start));
        start = end + 1;
        if (f.size() < 8 || f[2] != "error") continue;
        const bool sealField = f[4].find('/', 1) == std::string::npos &&
                               (f[5] == "Sello" || f[5] == "NoCertificado" || f[5] == "Certificado");
        if (sealField) continue;
        if (errors++ == 0) *first = "[" + f[4] + (f[5].empty() ? "" : "/@" + f[5]) + "] " + f[1] + " " + f[7];
    }
    return errors;
}

// The checks of the certificate against the document: its kind, its validity at the
// document's date and its RFC against the issuer's.
std::optional<Outcome> CheckCertificate(const CertificateFacts& cert, const std::string& file, bool modern) {
    if (!cert.usage) return std::nullopt;
    if (auto refused = CheckKeyUsage(*cert.usage)) return refused;
    const std::optional<std::string> fecha = DocumentAttribute(file, modern ? "Fecha" : "fecha", "Comprobante");
    if (fecha && cert.notBefore && cert.notAfter) {
        if (auto refused = CheckValidity(*fecha, *cert.notBefore, *cert.notAfter)) return refused;
    }
    const std::optional<std::string> issuerRfc =
        cert.rfc ? DocumentAttribute(file, modern ? "Rfc" : "rfc", "Emisor") : std::nullopt;
    if (cert.rfc && issuerRfc) {
        if (auto refused = CheckRfc(*cert.rfc, *issuerRfc)) return refused;
    }
    return std::nullopt;
}

}  // namespace

CertificateFacts ReadCertificateFacts(const std::string& cert) {
    CertificateFacts facts;
    facts.usage = CertQuery(cert, "keyUsage");
    // A certificate that cannot be read is not checked (signing reports on it).
    if (!facts.usage) return facts;
    facts.notBefore = CertQuery(cert, "notBefore");
    facts.notAfter = CertQuery(cert, "notAfter");
    facts.rfc = CertQuery(cert, "rfc");
    return facts;
}

std::optional<Outcome> CheckBeforeSigning(const std::string& file, int version, const CertificateFacts* cert,
                                          bool refuseInvalid, std::string* warning) {
    warning->clear();
    const bool modern = version == 33 || version == 40;
    // Without a certificate given, the one the document carries (when it carries one).
    const CertificateFacts own = cert ? CertificateFacts{} : ReadCertificateFacts(file);
    if (auto refused = CheckCertificate(cert ? *cert : own, file, modern)) return refused;
    std::string first;
    const int errors = ValidationErrors(file, version, &first);
    if (errors == 0) return std::nullopt;
    const std::string summary = "the document fails validation (" + std::to_string(errors) + " error" +
                                (errors == 1 ? "" : "s") + "; first: " + first + ")";
    if (refuseInvalid) {
        Outcome o;
        o.code = -kInvalidRefused;
        o.message = summary;
        o.hint = "see kelvane validate for every finding; without --validate it is signed with a warning";
        return o;
    }
    *warning = "warning: " + summary + "; signed anyway";
    return std::nullopt;
}

}  // namespace cli
