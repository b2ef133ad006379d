#include "cfdi/session.h"

#include "base/lasterror.h"
#include "pki/rsa.h"

namespace kvn {

Error OpenSigningSession(SigningSession& session, const char* keyFile, const char* password, const char* certFile) {
    if (Error rc = ReadSigningKey(session.key, keyFile, password); Failed(rc)) return rc;
    if (certFile) {
        if (Error rc = ReadCertificateFields(session.certificate, certFile); Failed(rc)) return rc;
        session.hasCertificate = true;
        return CheckKeyAgainstCertificate(session.key, certFile, kRsaProofNone);
    }
    // Without a certificate a damaged key shows where a single call would show it: when
    // it makes a seal.
    const Error rc = rsa_CheckKey(*session.key.record);
    if (rc == Error::MISC_ERROR) return rc;  // no random bytes: the reason is recorded
    if (Failed(rc) || !session.key.prepared) {
        RecordError("Signature encryption error/Firma del error de cifrado");
        return Error::INVALID_DATA_ERROR;
    }
    return kOk;
}

Error SessionSignDocument(const SigningSession& session, const char* outputFile, const char* xmlFile, int options) {
    return SignDocumentWithKey(outputFile, xmlFile, session.key, session.hasCertificate ? &session.certificate : nullptr,
                               options);
}

Error SessionMakeSeal(const SigningSession& session, String& seal, const char* xmlFile, int options) {
    return MakeSealWithKey(seal, xmlFile, session.key, options);
}

}  // namespace kvn
