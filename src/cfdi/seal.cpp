#include "cfdi/seal.h"

#include <algorithm>

#include "base/lasterror.h"
#include "base/outbuf.h"
#include "cfdi/attribute_query.h"
#include "cfdi/pipe_string.h"
#include "cfdi/signature_attribute.h"
#include "crypto/digest.h"
#include "kelvane.h"
#include "pki/base64.h"
#include "pki/keyfile.h"
#include "pki/rsa.h"

namespace kvn {
namespace {

inline constexpr int kDigestScratch = 128;  // hex characters of the longest digest

}  // namespace

Error SealDigestAlgorithm(unsigned& algorithm, int versionNumber, int options) {
    const bool md5 = (options & 0xF0) == KVN_OPT_MD5;
    if (!FixedSealHash(versionNumber, algorithm)) {
        algorithm = md5 ? kHashMd5 : kHashSha1;
        return kOk;
    }
    if (md5) {
        const VersionLabel label = SealedVersionLabel(versionNumber);
        RecordError("MD5 digest is not allowed for %s version '%s'/El digesto MD5 no esta permitido para la version de %s",
                    label.kind, label.version, label.kind);
        return Error::BAD_FLAG_ERROR;
    }
    return kOk;
}

Error PipeStringAndAlgorithm(String& pipe, unsigned& algorithm, const char* xmlFile, int options,
                             const RootAttributeValue* replaced) {
    // The version is read once the pipe string was built, so a document without one
    // reports the pipe string's error.
    if (Error rc = BuildPipeString(pipe, xmlFile, options, replaced); Failed(rc)) return rc;
    int versionNumber = 0;
    if (Error rc = VersionNumber(xmlFile, versionNumber); Failed(rc)) return rc;
    return SealDigestAlgorithm(algorithm, versionNumber, options);
}

Error MakeDigestFromXml(int& hexLength, char* out, int outlen, const char* xmlFile, int options) {
    hexLength = 0;
    String pipe;
    unsigned algorithm = 0;
    if (Error rc = PipeStringAndAlgorithm(pipe, algorithm, xmlFile, options, nullptr); Failed(rc)) return rc;
    char hex[kDigestScratch + 1];
    int n = 0;
    if (Error rc = DigestHex(hex, kDigestScratch, pipe.data(), static_cast<int>(pipe.size()), algorithm, n); Failed(rc))
        return rc;
    if (!WantsLength(out, outlen)) CopyOut(out, outlen, hex, static_cast<std::size_t>(n));
    hexLength = n;
    return kOk;
}

Error ReadSigningKey(SigningKey& key, const char* keyFile, const char* password) {
    key.record = rsa_KeyNew();
    key.prepared.reset();
    Error stringError;
    Error rc = key_ReadPrivateKey(*key.record, stringError, keyFile, password);
    if (!Failed(rc)) rc = stringError;
    if (Failed(rc)) {
        RecordError("Cannot read private key/No se puede leer la clave privada");
        return rc;
    }
    // A key the arithmetic refuses was refused by the reader; should one pass, it fails
    // where the seal is made, as a key that cannot sign.
    if (Failed(rsa_PreparePrivate(key.prepared, *key.record))) key.prepared.reset();
    return kOk;
}

Error SealPipeString(String& seal, const String& pipe, unsigned algorithm, const SigningKey& key, int* proof) {
    seal.clear();
    const int keyBytes = rsa_KeyBytes(*key.record);
    Bytes block(static_cast<std::size_t>(keyBytes), 0);
    Error rc = rsa_EncodeSignature(block.data(), keyBytes, reinterpret_cast<const std::uint8_t*>(pipe.data()),
                                   static_cast<int>(pipe.size()), kRsaSigBlockType1 | static_cast<int>(algorithm));
    if (Failed(rc)) {
        RecordError("Signature encoding error/Firma del error de codificacion");
        return rc;
    }
    const Bytes encoded = block;
    rc = key.prepared ? rsa_PrivateOpPrepared(*key.prepared, block.data(), keyBytes) : Error::NOT_SUPPORTED_ERROR;
    if (proof) {
        const bool refused = rc == Error::INVALID_DATA_ERROR || (!Failed(rc) && block == encoded);
        if (refused) {
            std::fill(block.begin(), block.end(), std::uint8_t{0});
            rc = kOk;
        }
        *proof = refused ? CodeOf(Error::INVALID_DATA_ERROR) : 0;
    }
    if (Failed(rc)) {
        RecordError("Signature encryption error/Firma del error de cifrado");
        return rc;
    }

    const std::size_t expected = 4 * ((block.size() + 2) / 3);
    seal.assign(expected + 1, '\0');
    const int written = b64_Encode(seal.data(), seal.size(), block.data(), block.size());
    if (written < 0 || static_cast<std::size_t>(written) != expected) {
        RecordError("Base64 encoding error/No se puede codificar de base64");
        seal.clear();
        return Error::MISC_ERROR;
    }
    seal.resize(expected);
    return kOk;
}

Error MakeSeal(String& seal, const char* xmlFile, const char* keyFile, const char* password, int options,
               const RootAttributeValue* replaced, SealKey* used) {
    seal.clear();
    String pipe;
    unsigned algorithm = 0;
    if (Error rc = PipeStringAndAlgorithm(pipe, algorithm, xmlFile, options, replaced); Failed(rc)) return rc;
    SealKey local;
    SealKey& key = used ? *used : local;
    if (Error rc = ReadSigningKey(key.key, keyFile, password); Failed(rc)) return rc;
    return SealPipeString(seal, pipe, algorithm, key.key, used ? &used->proof : nullptr);
}

Error MakeSealWithKey(String& seal, const char* xmlFile, const SigningKey& key, int options,
                      const RootAttributeValue* replaced) {
    seal.clear();
    String pipe;
    unsigned algorithm = 0;
    if (Error rc = PipeStringAndAlgorithm(pipe, algorithm, xmlFile, options, replaced); Failed(rc)) return rc;
    return SealPipeString(seal, pipe, algorithm, key, nullptr);
}

}  // namespace kvn
