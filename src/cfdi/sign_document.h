// Signing an invoice: its seal, and the certificate that goes with it, written into a copy
// of the document.
#pragma once

namespace kvn {

// Computes the seal of xmlFile (cfdi/seal.h, with options) and writes the signed document
// to outputFile: a copy made event by event (cfdi/signed_writer.h) in which the root
// Comprobante's sello gets the seal and, when certFile is given, certificado gets the
// certificate as one base64 line and noCertificado its number (the serial read as text).
// The root is matched by namespace and local name: cfdi:Comprobante of the CFDI namespace
// for version 3 (written with any prefix, or in the default namespace), Comprobante in any
// namespace for version 2. Only attributes already present are filled.
//
// With a certificate the key must belong to it. outputFile is replaced only when the whole
// copy was written (it may name xmlFile); on any failure it is left as it was and no file
// is created. Returns 0 or a negative code with its message recorded.
int SignDocument(const char* outputFile, const char* xmlFile, const char* keyFile, const char* password,
                 const char* certFile, int options);

}  // namespace kvn
