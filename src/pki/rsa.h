// RSA for the library: key records, key strings, raw operations, PKCS#1 v1.5 signature
// blocks (RFC 8017 section 9.2), the key-pair check and the XML form of a key.
//
// Keys travel between operations as key strings: base64 (no line breaks) of a 3-byte
// kind marker and the key's PKCS#1 DER wrapped under a per-process session key (Triple
// DES). A key string made in one process cannot be read in another; strings never leave
// the library. Plain base64 DER (no marker) is accepted wherever a key string is read.
//
// Functions that can fail answer an Error (base/error.h): besides the table's errors,
// OUT_OF_RANGE_ERROR (a value out of range for the key, or key data too short) and
// NULL_KEY_ERROR (a null key string). Lengths and hash ids come back as ints, with a
// failure as a negative result where a function says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/error.h"
#include "base/memory.h"
#include "crypto/varnum.h"
#include "pki/asn1.h"

namespace kvn {

enum : unsigned { kRsaHasPublic = 1, kRsaHasPrivate = 2, kRsaHasCrt = 4 };

// Key string kinds.
enum : int { kRsaKindPublic = 1, kRsaKindPrivate = 2 };

// Parts in record order.
enum rsa_Part : int { kRsaN, kRsaE, kRsaD, kRsaP, kRsaQ, kRsaDP, kRsaDQ, kRsaQInv, kRsaPartCount };

struct rsa_Key {
    VarnumPtr part[kRsaPartCount];  // n, e, d, p, q, dP, dQ, qInv; wiped when released
    unsigned flags = 0;
    int bits = 0;                   // bit length of n
};
using RsaKeyPtr = UniquePtr<rsa_Key>;

RsaKeyPtr rsa_KeyNew();
inline void rsa_KeyFree(RsaKeyPtr& key) { key.reset(); }

struct rsa_Bytes {
    const std::uint8_t* data;
    std::size_t length;
};
void rsa_SetPublic(rsa_Key& key, rsa_Bytes n, rsa_Bytes e);
void rsa_SetPrivate(rsa_Key& key, rsa_Bytes n, rsa_Bytes e, rsa_Bytes d);
void rsa_SetPrivateCrt(rsa_Key& key, const rsa_Bytes parts[kRsaPartCount]);
// Minimal big-endian bytes of one part (at least one byte).
void rsa_GetPart(const rsa_Key& key, rsa_Part which, SecureBytes& out);
inline int rsa_KeyBits(const rsa_Key& key) { return key.bits; }
inline int rsa_KeyBytes(const rsa_Key& key) { return (key.bits + 7) / 8; }

// The largest modulus the library takes.
inline constexpr int kRsaMaxBits = 16384;

// kOk when the arithmetic takes the key; NOT_SUPPORTED_ERROR otherwise. A key read from a
// certificate or a document may come from anyone, and the cost of its operations must stay
// bounded: the modulus must be odd and of at most kRsaMaxBits bits, and the public exponent
// odd, at least 3 and of at most 64 bits. With CRT parts the primes must be odd too, and
// the larger of them at least half the modulus's 64-bit limbs (no RSA key is otherwise)
// and no longer than the largest modulus.
Error rsa_CheckSupported(const rsa_Key& key);

// From an RSAPublicKey list: INVALID_DATA_ERROR when there is no second INTEGER at level 1
// or a third; NOT_SUPPORTED_ERROR for a key rsa_CheckSupported refuses.
Error rsa_LoadPublic(rsa_Key& key, asn_Node* list);
// From an RSAPrivateKey list: INVALID_DATA_ERROR without a ninth INTEGER at level 1;
// NOT_SUPPORTED_ERROR for a version other than 0 or a key rsa_CheckSupported refuses.
// Without CRT parts when p, q, dP, dQ and qInv are each one byte long.
Error rsa_LoadPrivate(rsa_Key& key, asn_Node* list);
// PKCS#1 DER of a record: SEQUENCE { n, e } or SEQUENCE { 0, n, e, d, p, q, dP, dQ, qInv };
// parts not set are written as 0. False when the list cannot be built.
bool rsa_PublicDer(const rsa_Key& key, SecureBytes& der);
bool rsa_PrivateDer(const rsa_Key& key, SecureBytes& der);

// Key strings. kind 1 (public) to 4 gives a marked, wrapped string; any other kind the
// plain base64 of the DER. Left empty when no random bytes could be drawn for the wrapping.
void rsa_MakeKeyString(SecureString& out, int kind, const std::uint8_t* der, std::size_t length);
// The DER inside a key string: BAD_PARAM_ERROR for an empty text, INVALID_DATA_ERROR when
// it cannot be unwrapped.
Error rsa_ReadKeyString(SecureBytes& der, int& kind, const char* text);
// Load a record from a key string: NULL_KEY_ERROR null text; BAD_PARAM_ERROR empty text;
// INVALID_DATA_ERROR unreadable; OUT_OF_RANGE_ERROR DER shorter than 18 (public) or 76
// (private) bytes; then the errors of the loaders.
Error rsa_ReadPublicString(rsa_Key& key, const char* text);
Error rsa_ReadPrivateString(rsa_Key& key, const char* text);

// block = block^e mod n (public) or block^d mod n (private, with CRT when the parts are
// there), in place, left-padded to the key's byte length. BAD_PARAM_ERROR for a null
// block, a length below 1 or a key without the needed part; NOT_SUPPORTED_ERROR for a key
// rsa_CheckSupported refuses; OUT_OF_RANGE_ERROR for a length other than the key's or a
// value not below n; INVALID_DATA_ERROR when the private result fails its check;
// MISC_ERROR when no random bytes could be drawn.
Error rsa_PublicOp(const rsa_Key& key, std::uint8_t* block, int length);
Error rsa_PrivateOp(const rsa_Key& key, std::uint8_t* block, int length);

// A private key made ready for many private operations: its parts converted and its
// Montgomery constants computed once, and blinding pairs kept from one operation to the
// next (each call claims one atomically, so any number of threads may use one key at
// once). Its secrets and pairs are wiped when it is released.
struct rsa_PreparedKey;
struct rsa_PreparedKeyDeleter {
    void operator()(rsa_PreparedKey* key) const noexcept;
};
using RsaPreparedPtr = std::unique_ptr<rsa_PreparedKey, rsa_PreparedKeyDeleter>;
// BAD_PARAM_ERROR for a key without its private part; NOT_SUPPORTED_ERROR for a key
// rsa_CheckSupported refuses.
Error rsa_PreparePrivate(RsaPreparedPtr& out, const rsa_Key& key);
int rsa_PreparedBytes(const rsa_PreparedKey& key) noexcept;
// rsa_PrivateOp on a prepared key, with its errors.
Error rsa_PrivateOpPrepared(const rsa_PreparedKey& key, std::uint8_t* block, int length);
// The same from key strings: also BAD_PARAM_ERROR for an empty string, and the string's
// reading error (PKI_FAILED_ERROR when the string reads but lacks the part).
Error rsa_Public(std::uint8_t* block, int length, const char* publicKeyString, int options);
Error rsa_Private(std::uint8_t* block, int length, const char* privateKeyString, int options);

// Signature block options.
inline constexpr int kRsaSigBlockType1 = 0x20;
inline constexpr int kRsaSigIsDigest = 0x1000;
inline constexpr int kRsaSigWholeDigestInfo = 0x2000;
inline constexpr int kRsaSigHashIdOnly = 0x8000;

// PKCS#1 v1.5 block type 1 of keyLength bytes: 00 01 FF.. 00 DigestInfo. The hash id is
// the low nibble of options; data is digested unless options carry kRsaSigIsDigest.
// BAD_FLAG_ERROR for a hash id of 7 or more; BAD_LENGTH_ERROR for a given digest of the
// wrong length; SHORT_BUF_ERROR when keyLength is below digest + prefix + 11.
Error rsa_EncodeSignature(std::uint8_t* block, int keyLength, const std::uint8_t* data, int dataLength, int options);
// Checks a type 1 block and gives the digest after the DigestInfo prefix (copied up to
// capacity; `answer` is its length, always the named hash's), the whole DigestInfo with
// kRsaSigWholeDigestInfo (likewise), or only the hash id in `answer` with
// kRsaSigHashIdOnly. DECRYPT_ERROR for a block that is not a valid type 1 block or whose
// DigestInfo is not exactly one of the table's prefixes followed by a digest of that
// hash's length (except with kRsaSigWholeDigestInfo, which does not look at it).
Error rsa_DecodeSignature(std::uint8_t* out, int capacity, const std::uint8_t* block, int length, int options,
                          int& answer);

// Private key self-test: a random value through the public and the (self-checking) private
// operation. kOk when it comes back; INVALID_DATA_ERROR when it does not; BAD_LENGTH_ERROR
// for a key below two bytes; MISC_ERROR when no random bytes could be drawn.
Error rsa_CheckKey(const rsa_Key& key);
// kOk when the keys belong together; NO_MATCH_ERROR for different bit lengths or public
// parts; INVALID_DATA_ERROR when the private key fails its self-test; a string's reading
// error.
Error rsa_KeyMatch(const char* privateKeyString, const char* publicKeyString);
// The same check on records. proof is what a private operation already made with priv
// showed: 0 when its result passed the check with the public exponent (and moved its
// input), non-zero when it failed; kRsaProofNone makes one test operation here.
// NO_MATCH_ERROR for different bit lengths; INVALID_DATA_ERROR when the proof fails;
// NO_MATCH_ERROR for another modulus or exponent.
inline constexpr int kRsaProofNone = -1;
Error rsa_RecordsMatch(const rsa_Key& priv, const rsa_Key& pub, int proof);
// Bits (or bytes) of the key in a public or private key string, into `length`; the
// string's reading error.
Error rsa_KeyLength(const char* keyString, bool inBytes, int& length);

inline constexpr int kRsaXmlPublicOnly = 0x10;
inline constexpr int kRsaXmlKeyValueRoot = 0x1;
inline constexpr int kRsaXmlHex = 0x100;
// The XML form of a key string into out (replacing it). BAD_PARAM_ERROR for an empty
// string; a reading error. A private key lacking any part gives the empty text.
Error rsa_KeyToXml(SecureString& out, const char* keyString, int options);

}  // namespace kvn
