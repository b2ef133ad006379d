#include "cfdi/sign_document.h"

#include <cstring>

#include "base/file.h"
#include "kelvane.h"
#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/document.h"
#include "cfdi/namespaces.h"
#include "cfdi/signature_attribute.h"
#include "cfdi/signed_writer.h"
#include "pki/certinfo.h"
#include "pki/credentials.h"
#include "pki/x509.h"

namespace kvn {
namespace {

Error WriteFailed(const char* outputFile) {
    RecordError("Unable to write to file '%s'/No es posible escribir en el archivo", outputFile);
    return Error::WRITE_ERROR;
}

// The certificate number the seal covers, for versions whose pipe string holds it: the one
// the signed document will carry. A root without the attribute gets it when the version
// adds what is missing; otherwise it keeps going without it, and so does its pipe string.
// Null when the pipe string takes the document as it is.
const RootAttributeValue* NumberForPipe(RootAttributeValue& slot, const char* xmlFile, const SealNames& names,
                                        const CertificateFields* certificate) {
    if (!names.numberInPipe || !certificate) return nullptr;
    slot = RootAttributeValue{names.number, certificate->number};
    const bool written =
        certificate->number[0] != '\0' && (names.addMissing || RootHasAttribute(xmlFile, names.number));
    return written ? &slot : nullptr;
}

// Writes the signed copy of xmlFile: the seal and, with a certificate, its text and number
// replace the root's attributes of the version's names.
Error WriteSigned(const char* outputFile, const char* xmlFile, const DocumentVersion& version, const SealNames& names,
                  const String& seal, const CertificateFields* certificate, int options) {
    // Roots of 3.x and 4.0 must be in their CFDI namespace (or in none); version 2 roots may
    // be in any namespace, as the attribute query finds them.
    const char* rootUri = names.rootUri ? names.rootUri : version.number / 10 == 3 ? NamespaceForPrefix("cfdi") : nullptr;
    AttributeReplacement replacements[3];
    int count = 0;
    replacements[count++] = {rootUri, names.rootName, names.seal, seal.c_str(), names.addMissing};
    if (certificate) {
        replacements[count++] = {rootUri, names.rootName, names.certificate, certificate->text.c_str(), names.addMissing};
        if (certificate->number[0] != '\0') {
            replacements[count++] = {rootUri, names.rootName, names.number, certificate->number, names.addMissing};
        }
    }

    ReplacingOutput out;
    if (!out.Open(outputFile)) return WriteFailed(outputFile);
    if (options & KVN_OPT_NOSYNC) out.LeaveFlushToCaller();
    if (Error rc = WriteSignedDocument(xmlFile, out, options, replacements, count); Failed(rc)) return rc;
    if (!out.Commit()) return WriteFailed(outputFile);
    return kOk;
}

// The document's version, read once for the names; a document whose version cannot be read
// fails in the seal's pipe string, which records why. The export began with an empty
// last-error text, so nothing else is lost.
DocumentVersion VersionForSigning(const char* xmlFile) {
    const DocumentVersion version = ReadDocumentVersion(xmlFile);
    if (Failed(version.error)) ClearLastError();
    return version;
}

}  // namespace

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

Error CheckKeyAgainstCertificate(const SigningKey& key, const char* certFile, int proof) {
    cred_Stage failed;
    Error rc = cred_CheckPair(failed, *key.record, kOk, certFile, proof);
    if (Failed(rc)) {
        RecordError("Private key does not match key in certificate/La clave privada no coincide con la clave del certificado");
    }
    return rc;
}

Error SignDocument(const char* outputFile, const char* xmlFile, const char* keyFile, const char* password,
                   const char* certFile, int options) {
    const HeldDocumentScope held(xmlFile);  // read once for the version, the seal and the copy
    const DocumentVersion version = VersionForSigning(xmlFile);
    const SealNames& names = SealNamesForVersion(version.number);

    // The key is read once: the seal is made with it, and with a certificate the seal's
    // check with the public exponent proves the key's consistency for the pair check.
    String seal;
    SealKey used;
    SealKey* const keep = certFile ? &used : nullptr;
    CertificateFields certificate;
    if (names.numberInPipe && certFile) {
        // The certificate number is part of the pipe string: the seal covers the number the
        // document will carry, so the certificate is read first.
        if (Error rc = ReadCertificateFields(certificate, certFile); Failed(rc)) return rc;
        RootAttributeValue slot{};
        const RootAttributeValue* number = NumberForPipe(slot, xmlFile, names, &certificate);
        if (Error rc = MakeSeal(seal, xmlFile, keyFile, password, options, number, keep); Failed(rc)) return rc;
    } else {
        if (Error rc = MakeSeal(seal, xmlFile, keyFile, password, options, nullptr, keep); Failed(rc)) return rc;
        if (certFile) {
            if (Error rc = ReadCertificateFields(certificate, certFile); Failed(rc)) return rc;
        }
    }
    if (certFile) {
        if (Error rc = CheckKeyAgainstCertificate(used.key, certFile, used.proof); Failed(rc)) return rc;
    }
    if (Failed(version.error)) return version.error;
    return WriteSigned(outputFile, xmlFile, version, names, seal, certFile ? &certificate : nullptr, options);
}

Error SignDocumentWithKey(const char* outputFile, const char* xmlFile, const SigningKey& key,
                          const CertificateFields* certificate, int options) {
    const HeldDocumentScope held(xmlFile);
    const DocumentVersion version = VersionForSigning(xmlFile);
    const SealNames& names = SealNamesForVersion(version.number);
    String seal;
    RootAttributeValue slot{};
    const RootAttributeValue* number = NumberForPipe(slot, xmlFile, names, certificate);
    if (Error rc = MakeSealWithKey(seal, xmlFile, key, options, number); Failed(rc)) return rc;
    if (Failed(version.error)) return version.error;
    return WriteSigned(outputFile, xmlFile, version, names, seal, certificate, options);
}

}  // namespace kvn
