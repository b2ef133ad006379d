#include "cfdi/sign_document.h"

#include <cstring>

#include "base/file.h"
#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/namespaces.h"
#include "cfdi/seal.h"
#include "cfdi/signed_writer.h"
#include "kelvane.h"
#include "pki/certinfo.h"
#include "pki/keyfile.h"
#include "pki/rsa.h"
#include "pki/x509.h"

namespace kvn {
namespace {

inline constexpr int kCertNumberMax = 255;

// What a certificate contributes to the signed document.
struct CertificateFields {
    String text;                        // DER in base64, one line
    char number[kCertNumberMax + 1] = {};  // the serial read as text; may be empty
};

// 0 when the key in keyFile is the private half of the certificate's key; otherwise the
// failing step's code (a key of another pair gives NO_MATCH_ERROR), nothing recorded.
int CheckKeyBelongsToCertificate(const char* keyFile, const char* password, const char* certFile) {
    SecureString privateKey;
    if (int rc = key_ReadEncrypted(privateKey, keyFile, password)) return rc;
    SecureString publicKey;
    if (int rc = ResultOf(x509_GetPublicKeyString(publicKey, certFile)); rc < 0) return rc;
    return rsa_KeyMatch(privateKey.c_str(), publicKey.c_str());
}

int ReadCertificateFields(CertificateFields& fields, const char* keyFile, const char* password,
                          const char* certFile) {
    if (Failed(x509_GetBase64(fields.text, certFile))) {
        RecordError("Invalid X.509 certificate/Certificado no valido X.509");
        return -BAD_CERT_ERROR;
    }
    String serial;
    int rc = -INVALID_DATA_ERROR;
    if (!Failed(x509_GetSerial(serial, certFile))) {
        if (Error e = cert_NumberFromHex(fields.number, kCertNumberMax, serial, rc); Failed(e)) rc = ResultOf(e);
    }
    if (rc < 1) {
        RecordError("Invalid serial number in X.509 certificate/Numero de serie no valido en el certificado X.509");
        return rc < 0 ? rc : -BAD_FORMAT_ERROR;
    }
    if ((rc = CheckKeyBelongsToCertificate(keyFile, password, certFile)) != 0) {
        RecordError("Private key does not match key in certificate/La clave privada no coincide con la clave del certificado");
        return rc < 0 ? rc : -rc;
    }
    return 0;
}

int WriteFailed(const char* outputFile) {
    RecordError("Unable to write to file '%s'/No es posible escribir en el archivo", outputFile);
    return -WRITE_ERROR;
}

}  // namespace

int SignDocument(const char* outputFile, const char* xmlFile, const char* keyFile, const char* password,
                 const char* certFile, int options) {
    String seal;
    if (int rc = MakeSeal(seal, xmlFile, keyFile, password, options); rc < 1) return rc;

    CertificateFields certificate;
    if (certFile) {
        if (int rc = ReadCertificateFields(certificate, keyFile, password, certFile)) return rc;
    }

    const int version = VersionNumber(xmlFile);
    if (version < 1) return version;
    // Version 3 roots must be in the CFDI namespace (or in none); version 2 roots may be
    // in any namespace, as the attribute query finds them.
    const char* rootUri = version / 10 == 3 ? NamespaceForPrefix("cfdi") : nullptr;
    AttributeReplacement replacements[3];
    int count = 0;
    replacements[count++] = {rootUri, "Comprobante", "sello", seal.c_str()};
    if (certFile) {
        replacements[count++] = {rootUri, "Comprobante", "certificado", certificate.text.c_str()};
        if (certificate.number[0] != '\0') {
            replacements[count++] = {rootUri, "Comprobante", "noCertificado", certificate.number};
        }
    }

    ReplacingOutput out;
    if (!out.Open(outputFile)) return WriteFailed(outputFile);
    if (int rc = WriteSignedDocument(xmlFile, out, options, replacements, count)) return rc;
    if (!out.Commit()) return WriteFailed(outputFile);
    return 0;
}

}  // namespace kvn
