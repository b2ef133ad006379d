// Encrypted private-key files: PKCS#8 EncryptedPrivateKeyInfo in DER or PEM, read with a
// password into a private key string (pki/rsa.h), and written again.
#pragma once

#include <cstdio>

#include "base/memory.h"
#include "pki/asn1.h"
#include "pki/rsa.h"

namespace kvn {

// Option bits of the writers.
inline constexpr int kKeyPbes2 = 0x1000;      // PBES2; cipher from bits 0xF0, PRF from the low nibble
inline constexpr int kKeyPem = 0x10000;       // write PEM instead of DER
inline constexpr int kKeyPemLf = 0x20000;     // PEM as well

// Reads and decrypts a key file (PEM text given in place of the name, a DER file or a PEM
// file) into a private key string. BAD_PARAM_ERROR empty keyFile; OPEN_ERROR the file cannot be
// opened; BAD_FORMAT_ERROR no readable element; DECRYPT_ERROR decryption or a structure
// check failed (also for a wrong password); INVALID_DATA_ERROR the key string cannot be
// made. A null password is an empty one.
Error key_ReadEncrypted(SecureString& keyString, const char* keyFile, const char* password);
// Reads and decrypts a key file once into a record, with key_ReadEncrypted's errors.
// stringError gets what reading the key from a key string would add: kOk, or
// OUT_OF_RANGE_ERROR for a key whose DER is shorter than 76 bytes (callers report it where
// the string was read).
Error key_ReadPrivateKey(rsa_Key& key, Error& stringError, const char* keyFile, const char* password);

// The EncryptedPrivateKeyInfo of a private key string, or null with status set (the key
// string's reading error, or MISC_ERROR).
AsnList key_MakeEncrypted(Error& status, const char* privateKeyString, int iterations, const char* password, int options);
// Writes it to a file, readable by its owner only, through the library's output
// (base/file.h): PEM (label "ENCRYPTED PRIVATE KEY", 64-character lines, CRLF) when
// options carry kKeyPem or kKeyPemLf, else DER. CREATE_ERROR the file cannot be created;
// WRITE_ERROR the text cannot be written; key_MakeEncrypted's status.
Error key_WriteEncrypted(const char* fileName, const char* privateKeyString, int iterations, const char* password,
                       int options);

}  // namespace kvn
