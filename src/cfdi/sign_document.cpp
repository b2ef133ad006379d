#include "cfdi/sign_document.h"

#include <cstring>

#include "base/file.h"
#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/namespaces.h"
#include "cfdi/seal.h"
#include "cfdi/signature_attribute.h"
#include "cfdi/signed_writer.h"
#include "kelvane.h"
#include "pki/certinfo.h"
#include "pki/credentials.h"
#include "pki/x509.h"

namespace kvn {
namespace {

inline constexpr int kCertNumberMax = 255;

// What a certificate contributes to the signed document.
struct CertificateFields {
    String text;                        // DER in base64, one line
    char number[kCertNumberMax + 1] = {};  // the serial read as text; may be empty
};

// 0 when the key the seal was made with is the private half of the certificate's key;
// otherwise the failing step's code (a key of another pair gives NO_MATCH_ERROR),
// nothing recorded. The seal's own check stands for the key's self-test.
int CheckKeyBelongsToCertificate(const SealKey& used, const char* certFile) {
    cred_Stage failed;
    return ResultOf(cred_CheckPair(failed, *used.key, kOk, certFile, used.proof));
}

int ReadCertificateFields(CertificateFields& fields, const char* certFile) {
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
    return 0;
}

int CheckSealKeyAgainstCertificate(const SealKey& used, const char* certFile) {
    if (int rc = CheckKeyBelongsToCertificate(used, certFile)) {
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
    const int version = VersionNumber(xmlFile);
    // A document whose version cannot be read fails in the seal's pipe string below, which
    // records why; the export began with an empty last-error text, so nothing else is lost.
    if (version < 1) ClearLastError();
    const SealNames& names = SealNamesForVersion(version);

    // The key is read once: the seal is made with it, and with a certificate the seal's
    // check with the public exponent proves the key's consistency for the pair check.
    String seal;
    SealKey used;
    SealKey* const keep = certFile ? &used : nullptr;
    CertificateFields certificate;
    if (names.numberInPipe && certFile) {
        // The certificate number is part of the pipe string: the seal covers the number the
        // document will carry, so the certificate is read first. A root without the
        // attribute keeps going without it, and so does its pipe string.
        if (int rc = ReadCertificateFields(certificate, certFile)) return rc;
        const RootAttributeValue number{names.number, certificate.number};
        const bool written = certificate.number[0] != '\0' && RootHasAttribute(xmlFile, names.number);
        if (int rc = MakeSeal(seal, xmlFile, keyFile, password, options, written ? &number : nullptr, keep); rc < 1) {
            return rc;
        }
    } else {
        if (int rc = MakeSeal(seal, xmlFile, keyFile, password, options, nullptr, keep); rc < 1) return rc;
        if (certFile) {
            if (int rc = ReadCertificateFields(certificate, certFile)) return rc;
        }
    }
    if (certFile) {
        if (int rc = CheckSealKeyAgainstCertificate(used, certFile)) return rc;
    }
    if (version < 1) return version;

    // Roots of 3.x and 4.0 must be in their CFDI namespace (or in none); version 2 roots may
    // be in any namespace, as the attribute query finds them.
    const char* rootUri = names.rootUri ? names.rootUri : version / 10 == 3 ? NamespaceForPrefix("cfdi") : nullptr;
    AttributeReplacement replacements[3];
    int count = 0;
    replacements[count++] = {rootUri, "Comprobante", names.seal, seal.c_str()};
    if (certFile) {
        replacements[count++] = {rootUri, "Comprobante", names.certificate, certificate.text.c_str()};
        if (certificate.number[0] != '\0') {
            replacements[count++] = {rootUri, "Comprobante", names.number, certificate.number};
        }
    }

    ReplacingOutput out;
    if (!out.Open(outputFile)) return WriteFailed(outputFile);
    if (int rc = WriteSignedDocument(xmlFile, out, options, replacements, count)) return rc;
    if (!out.Commit()) return WriteFailed(outputFile);
    return 0;
}

}  // namespace kvn
