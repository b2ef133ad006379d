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

// Reads and decrypts the signing key once into key, recording the message on failure.
Error ReadSigningKey(rsa_Key& key, const char* keyFile, const char* password) {
    Error stringError;
    Error rc = key_ReadPrivateKey(key, stringError, keyFile, password);
    if (!Failed(rc)) rc = stringError;
    if (Failed(rc)) RecordError("Cannot read private key/No se puede leer la clave privada");
    return rc;
}

// Signs the pipe string with the key in keyFile: the signature block, already raised to
// the private exponent, replaces `block`. The key is read once; the key record is wiped
// when released (here, or by `used` when given). The private operation checks its result
// with the public exponent. With `used` given, a result failing that check is no error
// here: used->proof gets it (INVALID_DATA_ERROR, also for a result equal to its input)
// for the pair check that follows, and block is zeroed; otherwise it is a signing error.
Error SignPipeString(Bytes& block, const String& pipe, const char* keyFile, const char* password,
                     unsigned algorithm, SealKey* used) {
    RsaKeyPtr key = rsa_KeyNew();
    if (Error rc = ReadSigningKey(*key, keyFile, password); Failed(rc)) return rc;
    const int keyBytes = rsa_KeyBytes(*key);
    block.assign(static_cast<std::size_t>(keyBytes), 0);
    Error rc = rsa_EncodeSignature(block.data(), keyBytes, reinterpret_cast<const std::uint8_t*>(pipe.data()),
                                   static_cast<int>(pipe.size()), kRsaSigBlockType1 | static_cast<int>(algorithm));
    if (Failed(rc)) {
        RecordError("Signature encoding error/Firma del error de codificacion");
        return rc;
    }
    const Bytes encoded = block;
    rc = rsa_PrivateOp(*key, block.data(), keyBytes);
    if (used) {
        const bool refused = rc == Error::INVALID_DATA_ERROR || (!Failed(rc) && block == encoded);
        if (refused) {
            std::fill(block.begin(), block.end(), std::uint8_t{0});
            rc = kOk;
        }
        used->proof = refused ? CodeOf(Error::INVALID_DATA_ERROR) : 0;
        used->key = std::move(key);
    }
    if (Failed(rc)) {
        RecordError("Signature encryption error/Firma del error de cifrado");
    }
    return rc;
}

}  // namespace

Error SealDigestAlgorithm(unsigned& algorithm, int versionNumber, int options) {
    const bool md5 = (options & 0xF0) == KVN_OPT_MD5;
    algorithm = kHashSha256;
    if (!SealedWithSha256(versionNumber)) {
        algorithm = md5 ? kHashMd5 : kHashSha1;
        return kOk;
    }
    if (md5) {
        RecordError("MD5 digest is not allowed for CFDI version '%d.%d'/"
                    "El digesto MD5 no esta permitido para la version de CFDI",
                    versionNumber / 10, versionNumber % 10);
        return Error::BAD_FLAG_ERROR;
    }
    return kOk;
}

namespace {

// The pipe string of xmlFile and the digest algorithm of its seal. The version is read
// once the pipe string was built, so a document without one reports the pipe string's
// error.
Error PipeStringAndAlgorithm(String& pipe, unsigned& algorithm, const char* xmlFile, int options,
                             const RootAttributeValue* replaced) {
    if (Error rc = BuildPipeString(pipe, xmlFile, options, replaced); Failed(rc)) return rc;
    int versionNumber = 0;
    if (Error rc = VersionNumber(xmlFile, versionNumber); Failed(rc)) return rc;
    return SealDigestAlgorithm(algorithm, versionNumber, options);
}

}  // namespace

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

Error MakeSeal(String& seal, const char* xmlFile, const char* keyFile, const char* password, int options,
               const RootAttributeValue* replaced, SealKey* used) {
    seal.clear();
    String pipe;
    unsigned algorithm = 0;
    if (Error rc = PipeStringAndAlgorithm(pipe, algorithm, xmlFile, options, replaced); Failed(rc)) return rc;
    Bytes block;
    if (Error rc = SignPipeString(block, pipe, keyFile, password, algorithm, used); Failed(rc)) return rc;

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

}  // namespace kvn
