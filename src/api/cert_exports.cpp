// Exports that answer questions about certificates and keys.
//
// Wherever a certificate is expected the caller may name a signed invoice instead: when
// the argument cannot be read as a certificate, the certificado (Certificado) attribute of the
// document's root stands in for it.
#include <cstring>

#include "api/export_guard.h"
#include "base/outbuf.h"
#include "api/cert_exports.h"
#include "cfdi/signature_attribute.h"
#include "pki/base64.h"
#include "pki/certinfo.h"
#include "pki/charset.h"
#include "pki/credentials.h"
#include "pki/keyfile.h"
#include "pki/rsa.h"
#include "pki/x509.h"

namespace kvn {
namespace {

// The certificate carried by a signed document, or false when there is none.
bool CertificateFromDocument(const char* file, String& certificate) {
    return ReadSealField(file, SealField::kCertificate, certificate);
}

// Serial number as hex, from the certificate or the document fallback.
Error SerialHex(String& hex, const char* certFile) {
    if (!Failed(x509_GetSerial(hex, certFile))) return kOk;
    String certificate;
    if (!CertificateFromDocument(certFile, certificate)) return Error::INVALID_DATA_ERROR;
    return x509_GetSerial(hex, certificate.c_str());
}

// Each answer below stores its full length in length (what the export returns).
Error CertNumber(int& length, char* out, int outlen, const char* certFile) {
    String hex;
    if (Error rc = SerialHex(hex, certFile); Failed(rc)) return rc;
    return cert_NumberFromHex(out, outlen, hex, length);
}

Error CertTime(int& length, char* out, int outlen, const char* certFile, bool notBefore) {
    char text[21];
    const int which = notBefore ? 1 : 0;
    if (Failed(x509_GetTime(text, certFile, which))) {
        String certificate;
        if (!CertificateFromDocument(certFile, certificate)) return Error::INVALID_DATA_ERROR;
        if (Error rc = x509_GetTime(text, certificate.c_str(), which); Failed(rc)) return rc;
    }
    if (!WantsLength(out, outlen)) CopyOut(out, outlen, text, 20);
    length = 20;
    return kOk;
}

Error SubjectField(int& length, char* out, int outlen, const char* certFile, cert_Field field, int options) {
    String subject;
    if (Failed(x509_GetName(subject, certFile, ";", kX509NameLatin1, true))) {
        String certificate;
        if (!CertificateFromDocument(certFile, certificate)) return Error::MISSING_ERROR;
        if (Error rc = x509_GetName(subject, certificate.c_str(), ";", kX509NameLatin1, true); Failed(rc)) return rc;
    }
    if (subject.empty()) return Error::NO_DATA_ERROR;
    String answer;
    cert_SubjectField(answer, subject, field);
    if (!(options & KVN_OPT_LATIN1)) {
        String utf8;
        if (Error e = latin1_ToUtf8Text(utf8, answer.c_str()); Failed(e)) return e;  // an empty answer
        answer.swap(utf8);
    }
    if (!WantsLength(out, outlen)) CopyOut(out, outlen, answer.data(), answer.size());
    length = static_cast<int>(answer.size());
    return kOk;
}

// The names of the keyUsage bits, joined by ',' (empty: no keyUsage extension).
Error KeyUsage(int& length, char* out, int outlen, const char* certFile) {
    String names;
    if (Failed(x509_GetKeyUsage(names, certFile))) {
        String certificate;
        if (!CertificateFromDocument(certFile, certificate)) return Error::INVALID_DATA_ERROR;
        if (Error rc = x509_GetKeyUsage(names, certificate.c_str()); Failed(rc)) return rc;
    }
    if (!WantsLength(out, outlen)) CopyOut(out, outlen, names.data(), names.size());
    length = static_cast<int>(names.size());
    return kOk;
}

}  // namespace
}  // namespace kvn

using namespace kvn;

extern "C" KVN_API int KVN_GetCertNumber(char* out, int outlen, const char* certFile) {
    return RunExport([&] {
        if (!certFile) return ResultOf(Error::BAD_PARAM_ERROR);
        int length = 0;
        const Error rc = CertNumber(length, out, outlen, certFile);
        return LengthOrResult(rc, length);
    });
}

extern "C" KVN_API int KVN_GetCertExpiry(char* out, int outlen, const char* certFile, int options) {
    return RunExport([&] {
        if (!certFile) return ResultOf(Error::BAD_PARAM_ERROR);
        int length = 0;
        const Error rc = CertTime(length, out, outlen, certFile, (options & KVN_OPT_NOTBEFORE) != 0);
        return LengthOrResult(rc, length);
    });
}

extern "C" KVN_API int KVN_GetCertAsString(char* out, int outlen, const char* certFile) {
    return RunExport([&] {
        if (!certFile) return ResultOf(Error::BAD_PARAM_ERROR);
        String text;
        if (Failed(x509_GetBase64(text, certFile)) && !CertificateFromDocument(certFile, text)) {
            return ResultOf(Error::INVALID_DATA_ERROR);
        }
        const int length = static_cast<int>(text.size());
        if (WantsLength(out, outlen)) return length;
        if (outlen < length) return ResultOf(Error::SHORT_BUF_ERROR);
        CopyOut(out, outlen, text.data(), text.size());
        return length;
    });
}

extern "C" KVN_API int KVN_QueryCert(char* out, int outlen, const char* certFile, const char* query, int options) {
    return RunExport([&] {
        if (!query || !certFile) return ResultOf(Error::BAD_PARAM_ERROR);
        int length = 0;
        Error rc = Error::BAD_QUERY_ERROR;
        if (std::strcmp(query, "rfc") == 0) {
            rc = SubjectField(length, out, outlen, certFile, cert_Field::Rfc, options);
        } else if (std::strcmp(query, "organizationName") == 0) {
            rc = SubjectField(length, out, outlen, certFile, cert_Field::OrganizationName, options);
        } else if (std::strcmp(query, "notBefore") == 0) {
            rc = CertTime(length, out, outlen, certFile, true);
        } else if (std::strcmp(query, "notAfter") == 0) {
            rc = CertTime(length, out, outlen, certFile, false);
        } else if (std::strcmp(query, "serialNumber") == 0) {
            rc = CertNumber(length, out, outlen, certFile);
        } else if (std::strcmp(query, "keyUsage") == 0) {
            rc = KeyUsage(length, out, outlen, certFile);
        } else {
            RecordError("'%s' is not a valid query/no es una consulta valida", query);
        }
        return LengthOrResult(rc, length);
    });
}

namespace kvn {

bool ResolveCertificate(String& certificate, const char* certFile) {
    if (Missing(certFile)) return false;
    return !Failed(x509_GetBase64(certificate, certFile)) || CertificateFromDocument(certFile, certificate);
}

// The pair check of KVN_CheckKeyAndCert, with its messages; also the first step of the
// PFX writer. 0 when the key belongs to the certificate.
Error CheckKeyAndCert(const char* keyFile, const char* password, const char* certFile) {
    // The key is read and decrypted once; the pair check makes one test operation.
    RsaKeyPtr key = rsa_KeyNew();
    Error keyStringError;
    if (Error rc = key_ReadPrivateKey(*key, keyStringError, keyFile, password); Failed(rc)) {
        RecordError("Cannot read private key/No se puede leer la clave privada");
        return rc;
    }
    String certificate;
    if (!ResolveCertificate(certificate, certFile)) {
        RecordError("Invalid certificate/Certificado no valido");
        return Error::INVALID_DATA_ERROR;
    }
    cred_Stage failed;
    if (Error rc = cred_CheckPair(failed, *key, keyStringError, certificate.c_str(), kRsaProofNone); Failed(rc)) {
        if (failed == cred_Stage::Certificate) {
            RecordError("Cannot read public key in certificate/No se puede leer la clave publica del certificado");
        } else {
            RecordError("Private key does not match key in certificate/La clave privada no coincide con la clave del certificado");
        }
        return rc;
    }
    return kOk;
}

}  // namespace kvn

extern "C" KVN_API int KVN_CheckKeyAndCert(const char* keyFile, const char* password, const char* certFile) {
    return RunExport([&] { return CheckKeyAndCert(keyFile, password, certFile); });
}

extern "C" KVN_API int KVN_GetKeyAsString(char* out, int outlen, const char* keyFile, const char* password, int options) {
    (void)options;  // no option bits
    return RunExport([&] {
        SecureString privateKey;
        if (Error rc = key_ReadEncrypted(privateKey, keyFile, password); Failed(rc)) {
            RecordError("Cannot read private key/No se puede leer la clave privada");
            return ResultOf(rc);
        }
        SecureString xml;
        if (Error rc = rsa_KeyToXml(xml, privateKey.c_str(), kRsaXmlKeyValueRoot); Failed(rc)) {
            RecordError("Error with private key/Error con la clave privada");
            return ResultOf(rc);
        }
        if (xml.empty()) {
            RecordError("Error with private key/Error con la clave privada");
            return ResultOf(Error::INVALID_DATA_ERROR);
        }
        SecureString text;
        b64_EncodeTo(text, reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size());
        const int length = static_cast<int>(text.size());
        if (WantsLength(out, outlen)) return length;
        if (outlen < length) return ResultOf(Error::SHORT_BUF_ERROR);
        CopyOut(out, outlen, text.data(), text.size());
        return length;
    });
}
