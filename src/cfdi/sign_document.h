// Signing an invoice: its seal, and the certificate that goes with it, written into a copy
// of the document.
#pragma once

#include "base/error.h"

namespace kvn {

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

}  // namespace kvn
