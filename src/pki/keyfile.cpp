#include "pki/keyfile.h"

#include <cstring>

#include "base/file.h"
#include "crypto/random.h"
#include "pki/pbe.h"
#include "pki/pem.h"
#include "pki/rsa.h"
#include "pki/trace.h"

namespace kvn {
namespace {

AsnList ReadKeyFileElement(const char* keyFile, Error& code) {
    code = kOk;
    AsnList list;
    if (pem_IsPemString(keyFile) && !Failed(pki_ReadObject(list, keyFile, static_cast<std::size_t>(-1)))) return list;
    const Error read = pki_ReadFileObject(list, keyFile);
    if (read == Error::OPEN_ERROR) {
        code = Error::OPEN_ERROR;
    } else if (Failed(read) || list->tag != kTagSequence) {
        code = Error::BAD_FORMAT_ERROR;
        list.reset();
    }
    return list;
}

// Scheme, cipher and PRF chosen by the writer's options.
void ChooseScheme(pbe_Params& p, int options) {
    if (options & kKeyPbes2) {
        std::strcpy(p.scheme, "pkcs5PBES2");
        switch (options & 0xF0) {
            case 0x20: p.cipherId = kPbeAes128; break;
            case 0x30: p.cipherId = kPbeAes192; break;
            case 0x40: p.cipherId = kPbeAes256; break;
            default: p.cipherId = kPbeDes3; break;
        }
        const int nibble = options & 0x0F;
        p.prfId = nibble >= 3 && nibble <= 6 ? nibble : 0;
        return;
    }
    switch (options & 0x0F) {
        case 1: std::strcpy(p.scheme, "pbeWithMD5AndDES-CBC"); break;
        case 2: std::strcpy(p.scheme, "pbeWithMD2AndDES-CBC"); break;
        case 3: std::strcpy(p.scheme, "pbeWithSHA1AndDES-CBC"); break;
        case 4:
            std::strcpy(p.scheme, "pkcs5PBES2");
            p.cipherId = kPbeDes3;
            p.prfId = 0;
            break;
        default: std::strcpy(p.scheme, "pbeWithSHAAnd3-KeyTripleDES-CBC"); break;
    }
}

// Salt: 8 bytes from the operating system for every scheme, so that two files of one key
// under one password share neither salt nor derived key. False when none can be drawn.
bool MakeSalt(pbe_Params& p) {
    p.salt.assign(8, 0);
    return !Failed(RandomBytes(p.salt.data(), p.salt.size()));
}

AsnList AlgorithmIdentifier(const pbe_Params& p) {
    AsnList salt = asn_NewOctets(p.salt.data(), p.salt.size());
    AsnList iterations = asn_NewIntegerU32(p.iterations);
    if (std::strcmp(p.scheme, "pkcs5PBES2") != 0) {
        AsnList id = asn_NewOid(p.scheme);
        asn_LinkAll(salt, iterations);
        AsnList params = asn_Sequence(std::move(salt));
        asn_LinkAll(id, params);
        return asn_Sequence(std::move(id));
    }
    // PBES2: the PRF is written only when it is not the default hmacWithSHA1; no key length.
    if (p.prfId != 0) {
        AsnList prfId = asn_NewOid(pbe_PrfName(p.prfId));
        AsnList null = asn_NewNull();
        asn_LinkAll(prfId, null);
        AsnList prf = asn_Sequence(std::move(prfId));
        asn_LinkAll(salt, iterations, prf);
    } else {
        asn_LinkAll(salt, iterations);
    }
    AsnList kdfId = asn_NewOid("pkcs5PBKDF2");
    AsnList kdfParams = asn_Sequence(std::move(salt));
    asn_LinkAll(kdfId, kdfParams);
    AsnList kdf = asn_Sequence(std::move(kdfId));
    AsnList cipherId = asn_NewOid(pbe_CipherName(p.cipherId));
    AsnList iv = asn_NewOctets(p.iv.data(), p.iv.size());
    asn_LinkAll(cipherId, iv);
    AsnList scheme = asn_Sequence(std::move(cipherId));
    asn_LinkAll(kdf, scheme);
    AsnList params = asn_Sequence(std::move(kdf));
    AsnList id = asn_NewOid("pkcs5PBES2");
    asn_LinkAll(id, params);
    return asn_Sequence(std::move(id));
}

// PrivateKeyInfo { 0, { rsaEncryption, NULL }, OCTET STRING { RSAPrivateKey } } as DER.
bool PrivateKeyInfo(const rsa_Key& key, SecureBytes& der) {
    SecureBytes rsaDer;
    if (!rsa_PrivateDer(key, rsaDer)) return false;
    AsnList version = asn_NewIntegerU32(0);
    AsnList oid = asn_NewOid("rsaEncryption");
    AsnList null = asn_NewNull();
    asn_LinkAll(oid, null);
    AsnList algorithm = asn_Sequence(std::move(oid));
    AsnList octets = asn_NewOctets(rsaDer.data(), rsaDer.size());
    asn_LinkAll(version, algorithm, octets);
    AsnList info = asn_Sequence(std::move(version));
    bool ok = info && !Failed(asn_Encode(info.get(), der));
    info.wipe_and_reset();
    return ok;
}

}  // namespace

namespace {

// Reads and decrypts the key file: the RSAPrivateKey element list, with key loaded
// from it, or null with code set.
AsnList DecryptKeyFile(rsa_Key& key, Error& code, const char* keyFile, const char* password) {
    code = kOk;
    if (!keyFile || !*keyFile) {
        code = Error::BAD_PARAM_ERROR;
        return AsnList();
    }
    AsnList encrypted = ReadKeyFileElement(keyFile, code);
    if (!encrypted) return AsnList();
    pbe_Params params;
    if (password) params.password.assign(password, password + std::strlen(password));
    AsnList rsaKey;
    code = pbe_Decrypt(rsaKey, key, params, encrypted.get());
    return rsaKey;
}

}  // namespace

Error key_ReadEncrypted(SecureString& keyString, const char* keyFile, const char* password) {
    keyString.clear();
    Error code;
    RsaKeyPtr key = rsa_KeyNew();
    AsnList rsaKey = DecryptKeyFile(*key, code, keyFile, password);
    if (!rsaKey) return code;
    SecureBytes der;
    bool ok = !Failed(asn_Encode(rsaKey.get(), der));
    rsaKey.wipe_and_reset();
    if (!ok) return Error::INVALID_DATA_ERROR;
    rsa_MakeKeyString(keyString, kRsaKindPrivate, der.data(), der.size());
    return keyString.empty() ? Error::INVALID_DATA_ERROR : kOk;
}

Error key_ReadPrivateKey(rsa_Key& key, Error& stringError, const char* keyFile, const char* password) {
    stringError = kOk;
    Error code;
    AsnList rsaKey = DecryptKeyFile(key, code, keyFile, password);
    if (!rsaKey) return code;
    // Keys travelled as key strings, whose reader refuses a DER below 76 bytes; such a key
    // keeps failing where it always failed. A definite content of 128 bytes or more stays
    // above that however its nine headers are re-encoded, so only short keys are encoded.
    if (rsaKey->indefinite || rsaKey->length < 128) {
        SecureBytes der;
        if (Failed(asn_Encode(rsaKey.get(), der))) {
            rsaKey.wipe_and_reset();
            return Error::INVALID_DATA_ERROR;
        }
        if (der.size() < 76) stringError = Error::OUT_OF_RANGE_ERROR;
    }
    rsaKey.wipe_and_reset();
    return kOk;
}



AsnList key_MakeEncrypted(Error& status, const char* privateKeyString, int iterations, const char* password,
                          int options) {
    status = kOk;
    RsaKeyPtr key = rsa_KeyNew();
    if (Error rc = rsa_ReadPrivateString(*key, privateKeyString); Failed(rc)) {
        status = rc;
        return AsnList();
    }
    pbe_Params params;
    ChooseScheme(params, options);
    params.iterations = iterations < 1 ? 1u : static_cast<std::uint32_t>(iterations);
    if (password) params.password.assign(password, password + std::strlen(password));
    SecureBytes plaintext, ciphertext;
    AsnList result;
    if (PrivateKeyInfo(*key, plaintext)) {
        if (MakeSalt(params) && !Failed(pbe_Encrypt(params, plaintext, ciphertext))) {
            AsnList algorithm = AlgorithmIdentifier(params);
            AsnList data = asn_NewOctets(ciphertext.data(), ciphertext.size());
            if (algorithm && asn_LinkAll(algorithm, data)) result = asn_Sequence(std::move(algorithm));
        }
    }
    if (!result) {
        asn_Trace("Unable to make encrypted private key");
        status = Error::MISC_ERROR;
    }
    return result;
}

Error key_WriteEncrypted(const char* fileName, const char* privateKeyString, int iterations, const char* password,
                         int options) {
    Error status;
    AsnList info = key_MakeEncrypted(status, privateKeyString, iterations, password, options);
    if (!info) return status;
    SecureBytes der;
    if (Failed(asn_Encode(info.get(), der))) return Error::MISC_ERROR;
    SecureString pem;
    if ((options & (kKeyPem | kKeyPemLf)) && !pem_Format(pem, der.data(), der.size(), "ENCRYPTED PRIVATE KEY", 64, false)) {
        return Error::WRITE_ERROR;
    }
    ReplacingOutput out;
    if (!fileName || !*fileName || !out.Open(fileName, OutputAccess::kOwnerOnly)) return Error::CREATE_ERROR;
    const bool written = pem.empty() ? out.Write(der.data(), der.size()) : out.Write(pem.data(), pem.size());
    return written && out.Commit() ? kOk : Error::WRITE_ERROR;
}

}  // namespace kvn
