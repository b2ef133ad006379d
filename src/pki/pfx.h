// PKCS#12 (PFX) output, in the layout of PKCS#12 v1.0 (RFC 7292): the certificate in a
// certificate bag encrypted with RC2-40, the key in a PKCS#8 shrouded key bag encrypted
// with Triple DES, both labelled with the same local key identifier (the SHA-1 of the
// certificate), and an HMAC-SHA-1 integrity MAC.
#pragma once

#include "base/error.h"

namespace kvn {

inline constexpr int kPfxIterations = 2048;

// Writes the PFX (DER) of certificate and, when keyFile is given, the key in keyFile
// (opened with password) to outputFile. Without a key file the PFX holds the certificate
// only; without a password the certificate bag is not encrypted and no MAC is written.
// A non-empty friendlyName is added to the bags' attributes. BAD_PARAM_ERROR no
// certificate, or a key file without a password; the certificate's public-key error;
// INVALID_DATA_ERROR the key file cannot be read or the certificate cannot be read; the
// key match's error; the re-encryption's status; CREATE_ERROR or WRITE_ERROR the output
// cannot be created or written; REOPEN_ERROR the written file cannot be opened again;
// MISC_ERROR the structure cannot be built.
Error pfx_Make(const char* outputFile, const char* certificate, const char* keyFile, const char* password,
             const char* friendlyName, int options);

}  // namespace kvn
