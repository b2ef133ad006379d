#include "pki/pfx.h"

#include <cstdio>
#include <cstring>

#include "base/file.h"
#include "crypto/digest.h"
#include "crypto/hmac.h"
#include "crypto/random.h"
#include "pki/keyfile.h"
#include "pki/pbe.h"
#include "pki/rsa.h"
#include "pki/trace.h"
#include "pki/x509.h"

namespace kvn {
namespace {

// Links the lists in order into one list.
AsnList Chain(std::initializer_list<AsnList*> items) {
    AsnList head;
    for (AsnList* item : items) {
        if (!*item || !asn_Link(head, *item)) return AsnList();
    }
    return head;
}

AsnList OidAnd(const char* oid, AsnList&& rest) {
    AsnList id = asn_NewOid(oid);
    AsnList tail = std::move(rest);
    return Chain({&id, &tail});
}

// SET { SEQUENCE { localKeyID, SET { OCTET STRING id } } [, SEQUENCE { friendlyName, SET { BMPString } }] }
AsnList BagAttributes(const std::uint8_t* keyId, const char* friendlyName) {
    AsnList localKeyId = asn_Sequence(OidAnd("localKeyID", asn_Set(asn_NewOctets(keyId, 20))));
    if (friendlyName && *friendlyName) {
        AsnList name = asn_Sequence(OidAnd("friendlyName", asn_Set(asn_NewBmpString(friendlyName))));
        return asn_Set(Chain({&localKeyId, &name}));
    }
    return asn_Set(std::move(localKeyId));
}

// SafeContents { SEQUENCE { certBag, [0] { SEQUENCE { x509Certificate, [0] { OCTET STRING der } } }, attributes } }
AsnList CertificateSafeContents(const SecureBytes& der, AsnList&& attributes) {
    AsnList certValue = asn_ContextConstructed(0, asn_NewOctets(der.data(), der.size()));
    AsnList certBag = asn_ContextConstructed(0, asn_Sequence(OidAnd("x509Certificate", std::move(certValue))));
    AsnList attrs = std::move(attributes);
    AsnList bag = asn_Sequence(OidAnd("pkcs-12-certBag", Chain({&certBag, &attrs})));
    return asn_Sequence(std::move(bag));
}

SecureBytes BmpPassword(const char* password) {
    pbe_Params p;
    p.password.assign(password, password + std::strlen(password));
    pbe_MakeBmpPassword(p);
    return p.password;
}

// EncryptedData ContentInfo of the certificate bag: RC2-40 under the PKCS#12 derivation.
AsnList EncryptedCertificateInfo(const SecureBytes& safeContents, const char* password) {
    pbe_Params p;
    std::strcpy(p.scheme, "pbeWithSHAAnd40BitRC2-CBC");
    p.password = BmpPassword(password);
    p.passwordIsBmp = true;
    p.iterations = kPfxIterations;
    // Salt: 8 bytes from the operating system.
    p.salt.assign(8, 0);
    if (Failed(RandomBytes(p.salt.data(), p.salt.size()))) return AsnList();
    SecureBytes ciphertext;
    if (Failed(pbe_Encrypt(p, safeContents, ciphertext))) return AsnList();

    AsnList salt = asn_NewOctets(p.salt.data(), p.salt.size());
    AsnList iterations = asn_NewIntegerU32(kPfxIterations);
    AsnList params = asn_Sequence(Chain({&salt, &iterations}));
    AsnList algorithm = asn_Sequence(OidAnd("pbeWithSHAAnd40BitRC2-CBC", std::move(params)));
    AsnList content = asn_NewContextPrimitive(0, ciphertext.data(), ciphertext.size());
    AsnList encryptedContentInfo = OidAnd("data", Chain({&algorithm, &content}));
    AsnList version = asn_NewIntegerU32(0);
    AsnList ecInfo = asn_Sequence(std::move(encryptedContentInfo));
    AsnList encryptedData = asn_Sequence(Chain({&version, &ecInfo}));
    return asn_Sequence(OidAnd("encryptedData", asn_ContextConstructed(0, std::move(encryptedData))));
}

// data ContentInfo { OCTET STRING { content } }
AsnList DataInfo(AsnList&& content) {
    return asn_Sequence(OidAnd("data", asn_ContextConstructed(0, asn_OctetWrap(std::move(content)))));
}

// MacData { DigestInfo { sha1, mac }, salt, 2048 } over the AuthenticatedSafe's DER.
AsnList MacData(const SecureBytes& authSafe, const char* password) {
    std::uint8_t salt[8];
    if (Failed(RandomBytes(salt, sizeof salt))) return AsnList();
    SecureBytes bmp = BmpPassword(password);
    SecureBytes saltBytes(salt, salt + 8);
    std::uint8_t macKey[20], mac[20];
    pbe_Pkcs12Kdf(macKey, sizeof macKey, 3, bmp, saltBytes, kPfxIterations);
    HmacSha1(mac, authSafe.data(), authSafe.size(), macKey, sizeof macKey);
    ewipe(macKey, sizeof macKey);
    AsnList null = asn_NewNull();
    AsnList sha1 = asn_Sequence(OidAnd("sha1", std::move(null)));
    AsnList macValue = asn_NewOctets(mac, sizeof mac);
    AsnList digestInfo = asn_Sequence(Chain({&sha1, &macValue}));
    AsnList macSalt = asn_NewOctets(salt, sizeof salt);
    AsnList iterations = asn_NewIntegerU32(kPfxIterations);
    return asn_Sequence(Chain({&digestInfo, &macSalt, &iterations}));
}

}  // namespace

Error pfx_Build(SecureBytes& der, const char* certificate, const char* privateKeyString, const char* password,
                const char* friendlyName) {
    SecureBytes().swap(der);
    if (!certificate || !*certificate) {
        asn_Trace("Certificate is mandatory");
        return Error::BAD_PARAM_ERROR;
    }
    const bool withKey = privateKeyString && *privateKeyString;
    const bool withPassword = password && *password;
    if (withKey && !withPassword) {
        asn_Trace("Require password for key file");
        return Error::BAD_PARAM_ERROR;
    }
    SecureString publicKey;
    if (Error e = x509_GetPublicKeyString(publicKey, certificate); Failed(e)) return e;

    AsnList encryptedKey;
    if (withKey) {
        if (Error rc = rsa_KeyMatch(privateKeyString, publicKey.c_str()); Failed(rc)) {
            asn_Trace("Private key does not match certificate");
            return rc;
        }
        Error status = kOk;
        encryptedKey = key_MakeEncrypted(status, privateKeyString, kPfxIterations, password, 0);
        if (!encryptedKey) return Failed(status) ? status : Error::MISC_ERROR;
    }

    AsnList cert;
    SecureBytes certDer;
    if (Failed(x509_Read(certificate, cert)) || Failed(asn_Encode(cert.get(), certDer))) {
        asn_Trace("Invalid certificate %s", certificate);
        return Error::INVALID_DATA_ERROR;
    }
    std::uint8_t keyId[20];
    int keyIdLength = 0;
    if (Error rc = DigestData(keyId, 20, certDer.data(), static_cast<int>(certDer.size()), kHashSha1, keyIdLength);
        Failed(rc)) {
        return rc;
    }

    SecureBytes safeContents;
    AsnList certContents = CertificateSafeContents(certDer, BagAttributes(keyId, friendlyName));
    if (!certContents || Failed(asn_Encode(certContents.get(), safeContents))) return Error::MISC_ERROR;
    AsnList certInfo = withPassword ? EncryptedCertificateInfo(safeContents, password) : DataInfo(std::move(certContents));
    AsnList contentInfos = std::move(certInfo);
    if (withKey) {
        AsnList shrouded = asn_ContextConstructed(0, std::move(encryptedKey));
        AsnList attributes = BagAttributes(keyId, friendlyName);
        AsnList bag = asn_Sequence(OidAnd("pkcs-12-pkcs-8ShroudedKeyBag", Chain({&shrouded, &attributes})));
        AsnList keyInfo = DataInfo(asn_Sequence(std::move(bag)));
        if (!keyInfo || !asn_Link(contentInfos, keyInfo)) return Error::MISC_ERROR;
    }
    AsnList authSafe = asn_Sequence(std::move(contentInfos));
    SecureBytes authSafeDer;
    if (!authSafe || Failed(asn_Encode(authSafe.get(), authSafeDer))) return Error::MISC_ERROR;

    AsnList version = asn_NewIntegerU32(3);
    AsnList authInfo = DataInfo(std::move(authSafe));
    AsnList mac = withPassword ? MacData(authSafeDer, password) : AsnList();
    AsnList pfx = asn_Sequence(withPassword ? Chain({&version, &authInfo, &mac}) : Chain({&version, &authInfo}));
    const bool encoded = pfx && !Failed(asn_Encode(pfx.get(), der));
    pfx.wipe_and_reset();
    if (!encoded) {
        SecureBytes().swap(der);
        return Error::MISC_ERROR;
    }
    return kOk;
}

Error pfx_Make(const char* outputFile, const char* certificate, const char* keyFile, const char* password,
             const char* friendlyName, int options) {
    (void)options;  // no option bits
    const bool withKey = keyFile && *keyFile;
    const bool withCertificate = certificate && *certificate;
    if (withKey && withCertificate && !(password && *password)) {
        asn_Trace("Require password for key file");
        return Error::BAD_PARAM_ERROR;
    }
    SecureString privateKey;
    if (withKey && withCertificate && Failed(key_ReadEncrypted(privateKey, keyFile, password))) {
        return Error::INVALID_DATA_ERROR;
    }
    const char* key = withKey ? privateKey.c_str() : nullptr;
    SecureBytes der;
    if (Error rc = pfx_Build(der, certificate, key, password, friendlyName); Failed(rc)) return rc;
    ReplacingOutput out;
    if (!out.Open(outputFile, OutputAccess::kOwnerOnly)) return Error::CREATE_ERROR;
    if (!out.Write(der.data(), der.size()) || !out.Commit()) return Error::WRITE_ERROR;
    return kOk;
}

}  // namespace kvn
