// The checks `kelvane sign` makes before it seals a document: the certificate must be a
// seal certificate (CSD, not an e.signature FIEL), valid at the document's Fecha and issued
// to the issuer's Rfc; a document that fails validation is signed with a warning, or
// refused with --validate. --no-checks skips them all.
#pragma once

#include <optional>
#include <string>

#include "cli.h"

namespace cli {

// Codes of the refusals (negated in Outcome::code), outside the library's own.
inline constexpr int kCertRefused = 1001;     // exit status kExitRefused
inline constexpr int kInvalidRefused = 1002;  // exit status kExitInvalid

// What the checks need of a certificate, read once for any number of documents: its key
// usage (nullopt when the certificate cannot be read, which leaves it unchecked), validity
// and RFC.
struct CertificateFacts {
    std::optional<std::string> usage, notBefore, notAfter, rfc;
};

// The facts of a certificate file (or of the certificate a document carries).
CertificateFacts ReadCertificateFacts(const std::string& cert);

// The refusal of signing `file` (of KVN_XmlReceiptVersion's `version`) with the
// certificate read into `cert` (or the document's own certificate when null), or nullopt;
// `warning` gets the validation warning, if any.
std::optional<Outcome> CheckBeforeSigning(const std::string& file, int version, const CertificateFacts* cert,
                                          bool refuseInvalid, std::string* warning);

}  // namespace cli
