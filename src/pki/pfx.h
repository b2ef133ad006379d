// PKCS#12 (PFX) output, in the layout of PKCS#12 v1.0 (RFC 7292): the certificate in a
// certificate bag encrypted with RC2-40, the key in a PKCS#8 shrouded key bag encrypted
// with Triple DES, both labelled with the same local key identifier (the SHA-1 of the
// certificate), and an HMAC-SHA-1 integrity MAC.
#pragma once

#include "base/error.h"
#include "base/memory.h"

namespace kvn {

inline constexpr int kPfxIterations = 2048;

// The PFX (DER) of certificate and, when privateKeyString is given, that key, built in
// memory. Without a key the PFX holds the certificate only; without a password the
// certificate bag is not encrypted and no MAC is written. A non-empty friendlyName is
// added to the bags' attributes. BAD_PARAM_ERROR no certificate, or a key without a
// password; the certificate's public-key error; INVALID_DATA_ERROR the certificate cannot
// be read; the key match's error; the re-encryption's status; MISC_ERROR the structure
// cannot be built. der is wiped and emptied on failure.
Error pfx_Build(SecureBytes& der, const char* certificate, const char* privateKeyString, const char* password,
                const char* friendlyName);

// pfx_Build with the key in keyFile (opened with password; INVALID_DATA_ERROR when it cannot
// be), written to outputFile through the library's output (owner-only: the file holds a
// private key). CREATE_ERROR or WRITE_ERROR when the output cannot be created or written.
Error pfx_Make(const char* outputFile, const char* certificate, const char* keyFile, const char* password,
             const char* friendlyName, int options);

}  // namespace kvn
