// X.509 certificates as containers of a few fields: the certificate as base64, its serial
// number, issuer and subject names as text, validity dates and the RSA public key. No
// chain building, signature checking, extension parsing or revocation checking.
//
// Every function takes the certificate argument as text: a file name (DER or PEM), PEM
// text, or bare base64 of more than 256 characters; it is read afresh on each call.
#pragma once

#include <cstddef>

#include "base/error.h"
#include "base/memory.h"
#include "pki/asn1.h"
#include "pki/rsa.h"

namespace kvn {

inline constexpr std::size_t kX509MinBase64 = 256;
inline constexpr int kX509NameLatin1 = 0x400000;  // x509_GetName: values in Latin-1

// The certificate's element list (head: the Certificate SEQUENCE) into `cert`. The
// argument's reading error (BAD_PARAM_ERROR, OPEN_ERROR, BAD_FORMAT_ERROR), or
// BAD_FORMAT_ERROR for an element not shaped like a certificate; `cert` is then empty.
Error x509_Read(const char* argument, AsnList& cert);

// The DER of the certificate as one base64 line. INVALID_DATA_ERROR when the certificate
// cannot be read.
Error x509_GetBase64(String& out, const char* argument);

// The serialNumber content bytes as stored (a leading 00 included) in lower-case hex
// (2 * byte count characters). BAD_FORMAT_ERROR when the certificate cannot be read or has
// no serial number.
Error x509_GetSerial(String& hex, const char* argument);

// Issuer (subject = false) or subject name as label=value pairs joined by the first
// character of delimiter (";" when empty), in certificate order. Values are converted to
// Latin-1 with kX509NameLatin1 (else kept as UTF-8); values of other types, and values
// that do not convert, are written as "#x" and upper-case hex. BAD_FORMAT_ERROR when the
// certificate or the name cannot be read or an attribute is malformed.
Error x509_GetName(String& text, const char* argument, const char* delimiter, int options, bool subject);

// notBefore (which = 1) or notAfter (which = 0) as "yyyy-mm-ddThh:nn:ssZ" into out
// (21 bytes, always 20 characters). BAD_PARAM_ERROR for an empty argument;
// INVALID_DATA_ERROR when the certificate, validity or time cannot be read.
Error x509_GetTime(char out[21], const char* argument, int which);

// The bits of the keyUsage extension as their names joined by ',' in the extension's bit
// order (digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment, keyAgreement,
// keyCertSign, cRLSign, encipherOnly, decipherOnly); empty when the certificate has no such
// extension. BAD_FORMAT_ERROR when the certificate or the extension cannot be read.
Error x509_GetKeyUsage(String& names, const char* argument);

// Loads the RSA public key into key. BAD_PARAM_ERROR empty argument; BAD_FORMAT_ERROR
// certificate unreadable; NOT_SUPPORTED_ERROR not rsaEncryption; NOT_RSA_KEY_ERROR not an
// RSAPublicKey. Nothing is loaded on failure.
Error x509_GetPublicKey(rsa_Key& key, const char* argument);
// The public key as a public key string. The error of x509_GetPublicKey; INVALID_DATA_ERROR
// the string cannot be made.
Error x509_GetPublicKeyString(SecureString& out, const char* argument);

}  // namespace kvn
