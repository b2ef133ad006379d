// The signer's credentials once read: the pair check of a private key record against a
// certificate, without a second reading of the key and with at most one private
// operation.
#pragma once

#include "pki/rsa.h"

namespace kvn {

// The certificate's RSA public key (certificate: a file name, PEM or base64 text, as
// x509_Read takes) loaded into key. BAD_PARAM_ERROR empty argument; the error of
// x509_GetPublicKey; BAD_FORMAT_ERROR when the certificate holds no RSA public key;
// INVALID_DATA_ERROR when the key cannot be encoded. stringError gets what reading the key
// from a public key string would add: kOk, or OUT_OF_RANGE_ERROR for a DER below 18 bytes.
Error cred_CertificateKey(rsa_Key& key, Error& stringError, const char* certificate);

enum class cred_Stage { None, Certificate, Match };

// Whether the private key (read once; keyStringError as key_ReadPrivateKey gave it)
// belongs to the certificate. proof as rsa_RecordsMatch takes it: the outcome of the
// private operation already made with the key, or kRsaProofNone for one test operation.
// The error of the failing step with failed telling which: reading the certificate's key
// (cred_CertificateKey's errors) or the match (the key's or the certificate's string
// error, then rsa_RecordsMatch's errors). Nothing recorded.
Error cred_CheckPair(cred_Stage& failed, const rsa_Key& key, Error keyStringError, const char* certificate,
                     int proof);

}  // namespace kvn
