#include "pki/credentials.h"

#include "kelvane.h"
#include "pki/trace.h"
#include "pki/x509.h"

namespace kvn {

int cred_CertificateKey(rsa_Key& key, int& stringCode, const char* certificate) {
    stringCode = 0;
    if (!certificate || !*certificate) return -BAD_PARAM_ERROR;
    if (Error e = x509_GetPublicKey(key, certificate); Failed(e)) return -CodeOf(e);
    if (!(key.flags & kRsaHasPublic)) return -BAD_FORMAT_ERROR;
    // Public keys travelled as key strings, whose reader refuses a DER below 18 bytes.
    if (key.bits < 8 * 18) {
        SecureBytes der;
        if (!rsa_PublicDer(key, der)) return -INVALID_DATA_ERROR;
        if (der.size() < 18) stringCode = kRsaOutOfRange;
    }
    return 0;
}

int cred_CheckPair(cred_Stage& failed, const rsa_Key& key, int keyStringCode, const char* certificate, int proof) {
    failed = cred_Stage::None;
    RsaKeyPtr pub = rsa_KeyNew();
    int pubStringCode;
    if (int rc = cred_CertificateKey(*pub, pubStringCode, certificate)) {
        failed = cred_Stage::Certificate;
        return rc;
    }
    int rc = 0;
    if (keyStringCode || pubStringCode) {
        asn_Trace("Could not extract key from string");
        rc = -(keyStringCode ? keyStringCode : pubStringCode);
    } else {
        rc = rsa_RecordsMatch(key, *pub, proof);
    }
    if (rc) failed = cred_Stage::Match;
    return rc;
}

}  // namespace kvn
