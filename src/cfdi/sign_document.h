// Signing an invoice: its seal, and the certificate that goes with it, written into a copy
// of the document.
#pragma once

#include "base/error.h"
#include "base/memory.h"
#include "cfdi/seal.h"

namespace kvn {

inline constexpr int kCertNumberMax = 255;

// What a certificate contributes to the signed document.
struct CertificateFields {
    String text;                           // DER in base64, one line
    char number[kCertNumberMax + 1] = {};  // the serial read as text; may be empty
};

// Reads the certificate's base64 text and its number. On failure records "Invalid X.509
// certificate/Certificado no valido X.509" (BAD_CERT_ERROR) or "Invalid serial number in
// X.509 certificate/Numero de serie no valido en el certificado X.509" (the number's error).
Error ReadCertificateFields(CertificateFields& fields, const char* certFile);

// Computes the seal of xmlFile (cfdi/seal.h, with options) and writes the signed document
// to outputFile: a copy made event by event (cfdi/signed_writer.h) in which the root
// Comprobante's seal attribute gets the seal and, when certFile is given, the certificate
// attribute gets the certificate as one base64 line and the number attribute its number
// (the serial read as text). The names are the version's: sello, certificado and
// noCertificado up to 3.2; Sello, Certificado and NoCertificado in 3.3 and 4.0, where the
// number is part of the pipe string, so the seal is computed over the number written (the
// document's own NoCertificado when no certificate is given). The root is matched by
// namespace and local name: Comprobante of the version's CFDI namespace for 3.x and 4.0
// (written with any prefix, or in the default namespace), Comprobante in any namespace for
// version 2. Up to 3.2 only attributes already present are filled; a 3.3 or 4.0 root that
// lacks any of the three gets it (SealNames::addMissing), and the seal covers the number
// added.
//
// With a certificate the key must belong to it. outputFile is written through
// ReplacingOutput (base/file.h): a regular file is replaced only when the whole copy was
// written (it may name xmlFile), and on any failure it is left as it was and no file is
// created. On failure the error's message is recorded.
Error SignDocument(const char* outputFile, const char* xmlFile, const char* keyFile, const char* password,
                   const char* certFile, int options);

// The same with a key already open and, when certificate is not null, a certificate already
// read and known to belong to the key (a signing session). The document's own errors and
// the writing's are SignDocument's.
Error SignDocumentWithKey(const char* outputFile, const char* xmlFile, const SigningKey& key,
                          const CertificateFields* certificate, int options);

// kOk when the key is the private half of the certificate's key, with `proof` as
// rsa_RecordsMatch takes it (kRsaProofNone: one test operation here). Otherwise records
// "Private key does not match key in certificate/La clave privada no coincide con la clave
// del certificado" and answers the failing step's error (a key of another pair gives
// NO_MATCH_ERROR, a damaged key INVALID_DATA_ERROR).
Error CheckKeyAgainstCertificate(const SigningKey& key, const char* certFile, int proof);

}  // namespace kvn
