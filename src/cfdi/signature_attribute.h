// Readers of the signature-related attributes of a document: the seal, the certificate and
// its number on the root Comprobante, and the stamp's seal. Their names depend on the
// version: sello, certificado, noCertificado, selloSAT up to 3.2; Sello, Certificado,
// NoCertificado, SelloSAT in 3.3 and 4.0.
#pragma once

#include "base/memory.h"
#include "cfdi/attribute_query.h"

namespace kvn {

// The names under which a document of one version carries its seal. A document type is
// signed by naming these: its root, the root's three seal attributes and how the signer
// treats them.
struct SealNames {
    const char* rootUri;      // namespace of the root; null for any namespace
    const char* rootName;     // local name of the root element
    const char* seal;         // the issuer's seal
    const char* certificate;  // the issuer's certificate, DER in base64
    const char* number;       // the certificate number
    const char* stampSeal;    // the stamp's seal, on tfd:TimbreFiscalDigital
    bool numberInPipe;        // the certificate number is part of the pipe string
    bool addMissing;          // the signer adds the seal attributes the root lacks (and the
                              // seal covers a number it adds); otherwise only those present
                              // are filled in
};

// The names of a version number (20, 22, 30, 32, 33, 40, ...). Version numbers without
// names of their own (failed detection included) get the names of versions 2.x and 3.2.
const SealNames& SealNamesForVersion(int versionNumber) noexcept;

// True for the versions sealed with SHA-256 (3.3 and 4.0).
bool SealedWithSha256(int versionNumber) noexcept;

enum class SealField { kSeal, kCertificate, kCertificateNumber };

// Reads one seal field of the root Comprobante of xmlFile, under the name its version
// gives it, and removes every space, tab, line feed and carriage return from it, so
// base64 text wrapped over lines becomes one line. `version` is the document's (a failed
// read counts as version 2). True with the value when found; false when the root has no
// such attribute, an empty one, or the document cannot be read. A version read that says
// the document cannot be opened or parsed gives false at once: the read recorded why, and
// each message is recorded once.
bool ReadSealField(const char* xmlFile, const DocumentVersion& version, SealField field, String& value);

// The same, with the version detected from xmlFile first.
bool ReadSealField(const char* xmlFile, SealField field, String& value);


// True when the document's root element carries the attribute (empty or not). The parse
// stops at the root's start tag.
bool RootHasAttribute(const char* xmlFile, const char* attributeName);

// Reads the stamp's seal (selloSAT, SelloSAT in 3.3/4.0) of the first
// tfd:TimbreFiscalDigital, as written. True with the value when found; false otherwise (a
// document that cannot be read records its message once, as ReadSealField's).
bool ReadStampSignature(const char* xmlFile, String& value);
bool ReadStampSignature(const char* xmlFile, const DocumentVersion& version, String& value);

}  // namespace kvn
