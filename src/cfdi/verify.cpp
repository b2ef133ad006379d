#include "cfdi/verify.h"

#include <cstring>

#include "base/lasterror.h"
#include "base/outbuf.h"
#include "cfdi/attribute_query.h"
#include "cfdi/document.h"
#include "cfdi/seal.h"
#include "cfdi/signature_attribute.h"
#include "crypto/digest.h"
#include "pki/base64.h"
#include "pki/rsa.h"
#include "pki/x509.h"

namespace kvn {
namespace {

inline constexpr int kDigestScratch = 128;  // hex characters of the longest digest

Error InvalidCertificate() {
    RecordError("X.509 certificate is invalid or not found/Certificado X.509 es valido o no encontrado");
    return Error::INVALID_DATA_ERROR;
}

// The certificate text to verify with: certFile, or the document's certificado.
Error FindCertificate(String& certificate, const char* xmlFile, const DocumentVersion& version, const char* certFile,
                      int options) {
    if (certFile == nullptr || *certFile == '\0') {
        if (options & KVN_OPT_STAMP) {
            RecordError("X.509 certificate must be specified for TFD option/"
                        "Certificado X.509 debe ser especificado para la opcion de TFD");
            return Error::MISSING_ERROR;
        }
        if (!ReadSealField(xmlFile, version, SealField::kCertificate, certificate)) return InvalidCertificate();
        return kOk;
    }
    if (Failed(x509_GetBase64(certificate, certFile)) || certificate.empty()) return InvalidCertificate();
    return kOk;
}

// The seal's bytes, decoded from base64.
Error ReadSignature(Bytes& signature, const char* xmlFile, const DocumentVersion& version, int options) {
    String text;
    const bool found = (options & KVN_OPT_STAMP) ? ReadStampSignature(xmlFile, version, text)
                                                  : ReadSealField(xmlFile, version, SealField::kSeal, text);
    if (!found || text.empty()) {
        RecordError("No signature found in XML file '%s'/La firma no se encuentra en el archivo XML",
                    DocumentLabel(xmlFile));
        return Error::BAD_PARAM_ERROR;
    }
    // Decoding never yields more than three bytes for four characters.
    signature.assign(3 * ((text.size() + 3) / 4) + 1, 0);
    const int n = b64_Decode(signature.data(), signature.size(), text.c_str());
    if (n < 1) {
        RecordError("Signature in XML is in wrong format/Firma en XML es un formato incorrecto");
        return Error::INVALID_DATA_ERROR;
    }
    signature.resize(static_cast<std::size_t>(n));
    return kOk;
}

// OpenSignature for a document whose version was already read (one that cannot be read
// counts as version 2), so a call reads it once.
Error OpenSignatureOfVersion(Bytes& block, const char* xmlFile, const DocumentVersion& version, const char* certFile,
                             int options) {
    String certificate;
    if (Error rc = FindCertificate(certificate, xmlFile, version, certFile, options); Failed(rc)) return rc;

    RsaKeyPtr key = rsa_KeyNew();
    if (Failed(x509_GetPublicKey(*key, certificate.c_str()))) {
        RecordError("Unable to extract public key from certificate/No se puede extraer la clave publica del certificado");
        return Error::BAD_CERT_ERROR;
    }

    Bytes signature;
    if (Error rc = ReadSignature(signature, xmlFile, version, options); Failed(rc)) return rc;

    const int keyBytes = rsa_KeyBytes(*key);
    if (signature.size() > static_cast<std::size_t>(keyBytes)) {
        RecordError("Signature (%d bytes) is bigger than public key size (%d bytes)/"
                    "La firma es mas grande que el tamano de clave publica",
                    static_cast<int>(signature.size()), keyBytes);
        return Error::BAD_LENGTH_ERROR;
    }
    block.assign(static_cast<std::size_t>(keyBytes), 0);
    std::memcpy(block.data() + (keyBytes - static_cast<int>(signature.size())), signature.data(), signature.size());
    if (Failed(rsa_PublicOp(*key, block.data(), keyBytes))) {
        RecordError("Invalid signature/Firma no valida");
        return Error::SIGNATURE_ERROR;
    }
    return kOk;
}

// The digest a type 01 block carries: its length in carriedLength (DECRYPT_ERROR, without a
// message, for a block that is not of type 01).
Error CarriedDigest(std::uint8_t (&carried)[kMaxDigestLen], int& carriedLength, const Bytes& block) {
    return rsa_DecodeSignature(carried, sizeof carried, block.data(), static_cast<int>(block.size()), 0, carriedLength);
}

}  // namespace

Error OpenSignature(Bytes& block, const char* xmlFile, const char* certFile, int options) {
    // The version names the attributes.
    return OpenSignatureOfVersion(block, xmlFile, ReadDocumentVersion(xmlFile), certFile, options);
}

Error VerifyDocumentSignature(const char* xmlFile, const char* certFile, int options) {
    const DocumentVersion version = ReadDocumentVersion(xmlFile);
    Bytes block;
    if (Error rc = OpenSignatureOfVersion(block, xmlFile, version, certFile, options); Failed(rc)) return rc;
    String pipe;
    if (Error rc = BuildPipeString(pipe, xmlFile, options); Failed(rc)) return rc;

    // A block that is not one DigestInfo of a known hash is no signature (DECRYPT_ERROR).
    int carriedHash = 0;
    if (Error rc = rsa_DecodeSignature(nullptr, 0, block.data(), static_cast<int>(block.size()), kRsaSigHashIdOnly,
                                       carriedHash);
        Failed(rc)) {
        return rc;
    }
    // 3.3 and 4.0 seals (and their stamps) are SHA-256 only; in the older versions the
    // block names MD5 or SHA-1 (anything else is taken as SHA-1, and so does not match).
    const unsigned algorithm = SealedWithSha256(version.number)                  ? kHashSha256
                               : carriedHash == static_cast<int>(kHashMd5) ? kHashMd5
                                                                                 : kHashSha1;
    // The whole block must be the one a signature of this pipe string with that hash is:
    // 00 01 FF.. 00, the hash's DigestInfo prefix and the pipe string's digest.
    Bytes expected(block.size(), 0);
    const bool encoded = !Failed(rsa_EncodeSignature(expected.data(), static_cast<int>(expected.size()),
                                                     reinterpret_cast<const std::uint8_t*>(pipe.data()),
                                                     static_cast<int>(pipe.size()), kRsaSigBlockType1 | static_cast<int>(algorithm)));
    if (!encoded || expected != block) {
        RecordError("Invalid signature/Firma no valida");
        return Error::SIGNATURE_ERROR;
    }
    return kOk;
}

Error ExtractDigestFromSignature(int& hexLength, char* out, int outlen, const char* xmlFile, const char* certFile,
                                 int options) {
    hexLength = 0;
    Bytes block;
    if (Error rc = OpenSignature(block, xmlFile, certFile, options); Failed(rc)) return rc;
    std::uint8_t carried[kMaxDigestLen];
    int carriedLength = 0;
    if (Error rc = CarriedDigest(carried, carriedLength, block); Failed(rc)) return rc;
    const int shown = carriedLength < kMaxDigestLen ? carriedLength : kMaxDigestLen;
    char hex[kDigestScratch + 1];
    hexLength = hex_Encode(hex, sizeof hex, carried, static_cast<std::size_t>(shown));
    if (!WantsLength(out, outlen)) CopyOut(out, outlen, hex, static_cast<std::size_t>(hexLength));
    return kOk;
}

}  // namespace kvn
