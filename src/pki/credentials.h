// The signer's credentials once read: the pair check of a private key record against a
// certificate, without a second reading of the key and with at most one private
// operation.
#pragma once

#include "pki/rsa.h"

namespace kvn {

// The certificate's RSA public key (certificate: a file name, PEM or base64 text, as
// x509_Read takes) loaded into key. 0; -6 empty argument; the negated code of
// x509_GetPublicKey; -7 when the certificate cannot be read. stringCode gets what
// reading the key from a public key string would add: 0, or 11 for a DER below 18 bytes.
int cred_CertificateKey(rsa_Key& key, int& stringCode, const char* certificate);

enum class cred_Stage { None, Certificate, Match };

// Whether the private key (read once; keyStringCode as key_ReadPrivateKey gave it)
// belongs to the certificate. proof as rsa_RecordsMatch takes it: the outcome of the
// private operation already made with the key, or kRsaProofNone for one test operation.
// 0, or the negative code of the failing step with failed telling which: reading the
// certificate's key (cred_CertificateKey's codes) or the match (the key's or the
// certificate's string code negated, then rsa_RecordsMatch's codes). Nothing recorded.
int cred_CheckPair(cred_Stage& failed, const rsa_Key& key, int keyStringCode, const char* certificate, int proof);

}  // namespace kvn
