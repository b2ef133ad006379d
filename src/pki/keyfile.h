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
// file) into a private key string. 0; -6 empty keyFile; -1 (OPEN_ERROR) the file cannot be
// opened; -7 no readable element; -15 decryption or a structure check failed (also for a
// wrong password); -8 the key string cannot be made. A null password is an empty one.
int key_ReadEncrypted(SecureString& keyString, const char* keyFile, const char* password);
// Reads and decrypts a key file once into a record, with key_ReadEncrypted's codes.
// stringCode gets what reading the key from a key string would add: 0, or 11 for a key
// whose DER is shorter than 76 bytes (callers report it where the string was read).
int key_ReadPrivateKey(rsa_Key& key, int& stringCode, const char* keyFile, const char* password);
// The same into a caller's buffer of capacity bytes (the NUL included): the string's
// length (the length needed when out is null or capacity < 1), or -30 when out is too small.
int key_ReadEncrypted(char* out, int capacity, const char* keyFile, const char* password);

// The EncryptedPrivateKeyInfo of a private key string, or null with status set (the key
// string's reading code, or 9999).
AsnList key_MakeEncrypted(int& status, const char* privateKeyString, int iterations, const char* password, int options);
// Writes it to a file: PEM (label "ENCRYPTED PRIVATE KEY", 64-character lines, CRLF) when
// options carry kKeyPem or kKeyPemLf, else DER. 0; 2 the file cannot be created; 4 the
// text cannot be written; key_MakeEncrypted's status.
int key_WriteEncrypted(const char* fileName, const char* privateKeyString, int iterations, const char* password,
                       int options);

}  // namespace kvn
