// X.509 certificates as containers of a few fields: the certificate as base64, its serial
// number, issuer and subject names as text, validity dates and the RSA public key. No
// chain building, signature checking, extension parsing or revocation checking.
//
// Every function takes the certificate argument as text: a file name (DER or PEM), PEM
// text, or bare base64 of more than 256 characters; it is read afresh on each call.
#pragma once

#include <cstddef>

#include "base/memory.h"
#include "pki/asn1.h"
#include "pki/rsa.h"

namespace kvn {

inline constexpr std::size_t kX509MinBase64 = 256;
inline constexpr int kX509NotRsaPublicKey = 36;
inline constexpr int kX509NameLatin1 = 0x400000;  // x509_GetName: values in Latin-1

// The certificate's element list (head: the Certificate SEQUENCE), or null when the
// argument yields no element or the element is not shaped like a certificate.
AsnList x509_Read(const char* argument);

// The DER of the certificate as one base64 line. Its length; 0 when it cannot be read.
int x509_GetBase64(String& out, const char* argument);
// Buffer form: out holds capacity + 1 bytes. The length (the length needed when out is
// null or capacity < 1); -30 when capacity is smaller; 0 when the certificate is unreadable.
int x509_GetBase64(char* out, int capacity, const char* argument);

// The serialNumber content bytes as stored (a leading 00 included) in lower-case hex.
// 2 * byte count; -7 when the certificate cannot be read or has no serial number.
int x509_GetSerial(String& hex, const char* argument);

// Issuer (subject = false) or subject name as label=value pairs joined by the first
// character of delimiter (";" when empty), in certificate order. Values are converted to
// Latin-1 with kX509NameLatin1 (else kept as UTF-8); values of other types, and values
// that do not convert, are written as "#x" and upper-case hex. The length; -7 when the
// certificate or the name cannot be read or an attribute is malformed.
int x509_GetName(String& text, const char* argument, const char* delimiter, int options, bool subject);

// notBefore (which = 1) or notAfter (which = 0) as "yyyy-mm-ddThh:nn:ssZ" into out
// (21 bytes). 20; -6 for an empty argument; -8 when the certificate, validity or time
// cannot be read.
int x509_GetTime(char out[21], const char* argument, int which);

// Loads the RSA public key into key. 0 (also, loading nothing, when the certificate
// cannot be read); 6 empty argument; 19 not rsaEncryption; 36 not an RSAPublicKey.
int x509_GetPublicKey(rsa_Key& key, const char* argument);
// The public key as a public key string. Its length; -6 empty argument; the negated code
// of x509_GetPublicKey; -7 certificate unreadable; -8 the string cannot be made.
int x509_GetPublicKeyString(SecureString& out, const char* argument);

}  // namespace kvn
