#include "pki/credentials.h"

#include "pki/trace.h"
#include "pki/x509.h"

namespace kvn {

Error cred_CertificateKey(rsa_Key& key, Error& stringError, const char* certificate) {
    stringError = kOk;
    if (!certificate || !*certificate) return Error::BAD_PARAM_ERROR;
    if (Error e = x509_GetPublicKey(key, certificate); Failed(e)) return e;
    // Public keys travelled as key strings, whose reader refuses a DER below 18 bytes.
    if (key.bits < 8 * 18) {
        SecureBytes der;
        if (!rsa_PublicDer(key, der)) return Error::INVALID_DATA_ERROR;
        if (der.size() < 18) stringError = Error::OUT_OF_RANGE_ERROR;
    }
    return kOk;
}

Error cred_CheckPair(cred_Stage& failed, const rsa_Key& key, Error keyStringError, const char* certificate,
                     int proof) {
    failed = cred_Stage::None;
    RsaKeyPtr pub = rsa_KeyNew();
    Error pubStringError;
    if (Error rc = cred_CertificateKey(*pub, pubStringError, certificate); Failed(rc)) {
        failed = cred_Stage::Certificate;
        return rc;
    }
    Error rc = kOk;
    if (Failed(keyStringError) || Failed(pubStringError)) {
        asn_Trace("Could not extract key from string");
        rc = Failed(keyStringError) ? keyStringError : pubStringError;
    } else {
        rc = rsa_RecordsMatch(key, *pub, proof);
    }
    if (Failed(rc)) failed = cred_Stage::Match;
    return rc;
}

}  // namespace kvn
