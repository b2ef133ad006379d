// The seal of an invoice: the digest of its pipe string, and the RSA PKCS#1 v1.5 signature
// over that pipe string in base64, which is what the sello (Sello) attribute carries.
#pragma once

#include "base/memory.h"
#include "cfdi/pipe_string.h"
#include "pki/rsa.h"

namespace kvn {

// The digest algorithm (a HashAlg id of crypto/digest.h) of a seal of a document of this
// version number: SHA-256 for 3.3 and 4.0, whose seals are always SHA-256; otherwise
// MD5 when the four bits 0xF0 of options equal KVN_OPT_MD5, else SHA-1. Asking for MD5 on a
// 3.3 or 4.0 document records "MD5 digest is not allowed for CFDI version '%d.%d'/..." and
// gives BAD_FLAG_ERROR.
Error SealDigestAlgorithm(unsigned& algorithm, int versionNumber, int options);

// The digest of the pipe string in lower-case hex. Copies at most outlen characters and a
// NUL into out when out is given and outlen >= 1; hexLength gets the full hex length (40 for
// SHA-1, 32 for MD5, 64 for SHA-256) either way. The pipe string's error, or BAD_FLAG_ERROR
// from SealDigestAlgorithm, with its message recorded.
Error MakeDigestFromXml(int& hexLength, char* out, int outlen, const char* xmlFile, int options);

// The key a seal was made with, kept for the pair check with the certificate.
struct SealKey {
    RsaKeyPtr key;
    int proof = kRsaProofNone;  // as rsa_RecordsMatch takes it: 0 when the seal passed its check
};

// The seal of xmlFile: the pipe string (with `replaced`, see BuildPipeString) digested
// by SealDigestAlgorithm, wrapped in a PKCS#1 v1.5 block of the key's length, raised to
// the private exponent of the key read from keyFile with password, base64-encoded on one
// line (172 characters for a 1024-bit key, 344 for a 2048-bit one). The decrypted key is
// wiped as soon as the RSA operation has run. On failure `seal` is empty and the error's
// message recorded.
//
// With `used` given the key record read is kept there for the pair check with the
// certificate, and a seal that fails its check with the public exponent (a damaged key)
// is not reported here but left in used->proof for that check, which has always been the
// step that refuses such a key; the seal is then void. Without it, such a key is a
// signing error ("Signature encryption error", INVALID_DATA_ERROR) and never gives a seal.
Error MakeSeal(String& seal, const char* xmlFile, const char* keyFile, const char* password, int options,
               const RootAttributeValue* replaced = nullptr, SealKey* used = nullptr);

}  // namespace kvn
