// Readers of the signature-related attributes of a document: the seal, the certificate and
// its number on the root element, and the stamp's seal. Their names depend on the
// version: sello, certificado, noCertificado, selloSAT on the Comprobante up to 3.2;
// Sello, Certificado, NoCertificado, SelloSAT on the Comprobante of 3.3 and 4.0 and the
// Retenciones of 2.0; Sello, Cert, NumCert, selloSAT on the Retenciones of 1.0.
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

// The names of a version number (20, 22, 30, 32, 33, 40, KVN_VERSION_RET10, ...). Version
// numbers without names of their own (failed detection included) get the names of
// versions 2.x and 3.2.
const SealNames& SealNamesForVersion(int versionNumber) noexcept;

// True, with the one digest (kHashSha1, kHashSha256) that seals and stamps of this version
// take: SHA-256 for 3.3, 4.0 and Retenciones 2.0, SHA-1 for Retenciones 1.0. False for the
// versions up to 3.2, whose seals are SHA-1 or MD5 as the signer chose.
bool FixedSealHash(int versionNumber, unsigned& hash) noexcept;

// How messages name a version with names of its own: {"CFDI", "4.0"}, {"Retenciones", "1.0"};
// empty texts for the others.
struct VersionLabel {
    const char* kind = "";
    const char* version = "";
};
VersionLabel SealedVersionLabel(int versionNumber) noexcept;

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
