#include "cfdi/sign_document.h"

#include <cstring>

#include "base/file.h"
#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/namespaces.h"
#include "cfdi/seal.h"
#include "cfdi/signature_attribute.h"
#include "cfdi/signed_writer.h"
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

// kOk when the key the seal was made with is the private half of the certificate's key;
// otherwise the failing step's error (a key of another pair gives NO_MATCH_ERROR),
// nothing recorded. The seal's own check stands for the key's self-test.
Error CheckKeyBelongsToCertificate(const SealKey& used, const char* certFile) {
    cred_Stage failed;
    return cred_CheckPair(failed, *used.key, kOk, certFile, used.proof);
}

Error ReadCertificateFields(CertificateFields& fields, const char* certFile) {
    if (Failed(x509_GetBase64(fields.text, certFile))) {
        RecordError("Invalid X.509 certificate/Certificado no valido X.509");
        return Error::BAD_CERT_ERROR;
    }
    String serial;
    Error rc = Error::INVALID_DATA_ERROR;
    int length = 0;
    if (!Failed(x509_GetSerial(serial, certFile))) {
        rc = cert_NumberFromHex(fields.number, kCertNumberMax, serial, length);
        if (!Failed(rc) && length < 1) rc = Error::BAD_FORMAT_ERROR;
    }
    if (Failed(rc)) {
        RecordError("Invalid serial number in X.509 certificate/Numero de serie no valido en el certificado X.509");
    }
    return rc;
}

Error CheckSealKeyAgainstCertificate(const SealKey& used, const char* certFile) {
    Error rc = CheckKeyBelongsToCertificate(used, certFile);
    if (Failed(rc)) {
        RecordError("Private key does not match key in certificate/La clave privada no coincide con la clave del certificado");
    }
    return rc;
}

Error WriteFailed(const char* outputFile) {
    RecordError("Unable to write to file '%s'/No es posible escribir en el archivo", outputFile);
    return Error::WRITE_ERROR;
}

}  // namespace

Error SignDocument(const char* outputFile, const char* xmlFile, const char* keyFile, const char* password,
                   const char* certFile, int options) {
    const DocumentVersion version = ReadDocumentVersion(xmlFile);
    // A document whose version cannot be read fails in the seal's pipe string below, which
    // records why; the export began with an empty last-error text, so nothing else is lost.
    if (Failed(version.error)) ClearLastError();
    const SealNames& names = SealNamesForVersion(version.number);

    // The key is read once: the seal is made with it, and with a certificate the seal's
    // check with the public exponent proves the key's consistency for the pair check.
    String seal;
    SealKey used;
    SealKey* const keep = certFile ? &used : nullptr;
    CertificateFields certificate;
    if (names.numberInPipe && certFile) {
        // The certificate number is part of the pipe string: the seal covers the number the
        // document will carry, so the certificate is read first. A root without the
        // attribute gets it when the version adds what is missing; otherwise it keeps
        // going without it, and so does its pipe string.
        if (Error rc = ReadCertificateFields(certificate, certFile); Failed(rc)) return rc;
        const RootAttributeValue number{names.number, certificate.number};
        const bool written =
            certificate.number[0] != '\0' && (names.addMissing || RootHasAttribute(xmlFile, names.number));
        if (Error rc = MakeSeal(seal, xmlFile, keyFile, password, options, written ? &number : nullptr, keep);
            Failed(rc)) {
            return rc;
        }
    } else {
        if (Error rc = MakeSeal(seal, xmlFile, keyFile, password, options, nullptr, keep); Failed(rc)) return rc;
        if (certFile) {
            if (Error rc = ReadCertificateFields(certificate, certFile); Failed(rc)) return rc;
        }
    }
    if (certFile) {
        if (Error rc = CheckSealKeyAgainstCertificate(used, certFile); Failed(rc)) return rc;
    }
    if (Failed(version.error)) return version.error;

    // Roots of 3.x and 4.0 must be in their CFDI namespace (or in none); version 2 roots may
    // be in any namespace, as the attribute query finds them.
    const char* rootUri = names.rootUri ? names.rootUri : version.number / 10 == 3 ? NamespaceForPrefix("cfdi") : nullptr;
    AttributeReplacement replacements[3];
    int count = 0;
    replacements[count++] = {rootUri, names.rootName, names.seal, seal.c_str(), names.addMissing};
    if (certFile) {
        replacements[count++] = {rootUri, names.rootName, names.certificate, certificate.text.c_str(), names.addMissing};
        if (certificate.number[0] != '\0') {
            replacements[count++] = {rootUri, names.rootName, names.number, certificate.number, names.addMissing};
        }
    }

    ReplacingOutput out;
    if (!out.Open(outputFile)) return WriteFailed(outputFile);
    if (Error rc = WriteSignedDocument(xmlFile, out, options, replacements, count); Failed(rc)) return rc;
    if (!out.Commit()) return WriteFailed(outputFile);
    return kOk;
}

}  // namespace kvn
