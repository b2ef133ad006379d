// Verification of an invoice's seal, or of the tax authority's stamp seal, and extraction of
// the digest a seal carries.
#pragma once

#include "base/error.h"
#include "base/memory.h"

namespace kvn {

// Opens the signature of xmlFile with a certificate's public key:
//  - the certificate is certFile (a file, PEM or base64 text) when given and not empty,
//    else the document's own certificado (Certificado in 3.3/4.0); with KVN_OPT_STAMP certFile is
//    required (the certificate of the authority that stamped the document);
//  - the signature is the root's sello (Sello), or with KVN_OPT_STAMP the selloSAT
//    (SelloSAT) of tfd:TimbreFiscalDigital, decoded from base64 and left-padded with zeros to the key's
//    length.
// On success `block` holds the signature raised to the public exponent (a PKCS#1 v1.5
// type 01 block when the seal was made by the certificate's key); otherwise MISSING_ERROR,
// INVALID_DATA_ERROR, BAD_CERT_ERROR, BAD_PARAM_ERROR (no signature in the document),
// BAD_LENGTH_ERROR or SIGNATURE_ERROR, with the message recorded.
Error OpenSignature(Bytes& block, const char* xmlFile, const char* certFile, int options);

// kOk when the seal (or the stamp seal) is a valid signature over the pipe string computed
// with options: SHA-256 for 3.3 and 4.0 documents; in older ones MD5 when the opened
// block's DigestInfo names MD5, else SHA-1. The whole opened block must equal the PKCS#1
// v1.5 block of that hash and the pipe string's digest.
// A block that is not of type 01 with one known DigestInfo gives DECRYPT_ERROR without a
// message; any other difference gives SIGNATURE_ERROR with "Invalid signature/Firma no
// valida".
Error VerifyDocumentSignature(const char* xmlFile, const char* certFile, int options);

// The digest inside the seal in upper-case hex, copied (at most outlen characters and a
// NUL) when out is given and outlen >= 1; hexLength gets the full hex length, twice the
// length of the hash the block's DigestInfo names. OpenSignature's errors, or DECRYPT_ERROR
// for a block that is not of type 01 with one known DigestInfo. The pipe string is not
// computed.
Error ExtractDigestFromSignature(int& hexLength, char* out, int outlen, const char* xmlFile, const char* certFile,
                                 int options);

}  // namespace kvn
