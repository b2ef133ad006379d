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

// A signing key read once: its record (whose public part serves the pair check with a
// certificate) and its private form prepared for any number of operations. Nothing in it
// changes once read, so any number of threads may seal with one at once; its secrets are
// wiped when it is released.
struct SigningKey {
    RsaKeyPtr record;
    RsaPreparedPtr prepared;
};

// Reads and decrypts keyFile with password into key. On failure records "Cannot read private
// key/No se puede leer la clave privada" and answers the key reader's error (also
// OUT_OF_RANGE_ERROR for a key whose DER is too short to travel as a key string).
Error ReadSigningKey(SigningKey& key, const char* keyFile, const char* password);

// The seal of a pipe string with an open key: the digest by `algorithm` (a HashAlg id)
// wrapped in a PKCS#1 v1.5 block of the key's length, raised to the private exponent,
// base64-encoded on one line (172 characters for a 1024-bit key, 344 for a 2048-bit one).
// On failure `seal` is empty and the error's message recorded.
//
// With `proof` given, a result that fails its check with the public exponent (a damaged
// key; also a result equal to its input) is not reported here: *proof gets
// INVALID_DATA_ERROR's code (0 when the check passed) for the pair check with the
// certificate, which has always been the step that refuses such a key, and the seal is
// void. Without it, such a key is a signing error ("Signature encryption error",
// INVALID_DATA_ERROR) and never gives a seal.
Error SealPipeString(String& seal, const String& pipe, unsigned algorithm, const SigningKey& key, int* proof);

// The pipe string of xmlFile (with `replaced`, see BuildPipeString) and the digest
// algorithm of its seal (SealDigestAlgorithm), with their errors recorded.
Error PipeStringAndAlgorithm(String& pipe, unsigned& algorithm, const char* xmlFile, int options,
                             const RootAttributeValue* replaced);

// The key a seal was made with, kept for the pair check with the certificate.
struct SealKey {
    SigningKey key;
    int proof = kRsaProofNone;  // as rsa_RecordsMatch takes it: 0 when the seal passed its check
};

// The seal of xmlFile (PipeStringAndAlgorithm, then SealPipeString) with the key read from
// keyFile with password; the document's errors come before the key's. The decrypted key is
// wiped once the seal is made (or, with `used` given, when `used` releases it).
//
// With `used` given the key read is kept there for the pair check with the certificate,
// and a seal that fails its check is left in used->proof (see SealPipeString).
Error MakeSeal(String& seal, const char* xmlFile, const char* keyFile, const char* password, int options,
               const RootAttributeValue* replaced = nullptr, SealKey* used = nullptr);

// The same with a key already open: any failing check of the result is a signing error.
Error MakeSealWithKey(String& seal, const char* xmlFile, const SigningKey& key, int options,
                      const RootAttributeValue* replaced = nullptr);

}  // namespace kvn
