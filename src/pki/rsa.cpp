// RSA operations, PKCS#1 v1.5 signature blocks, the key-pair check and the XML form.
#include <cstring>

#include "crypto/digest.h"
#include "crypto/random.h"
#include "kelvane.h"
#include "pki/base64.h"
#include "pki/rsa.h"
#include "pki/trace.h"

namespace kvn {
namespace {

// DigestInfo prefixes of RFC 8017 section 9.2 note 1, by hash id.
struct DigestInfoRow {
    int hashId;
    int digestLength;
    std::uint8_t prefixLength;
    std::uint8_t prefix[19];
};
constexpr DigestInfoRow kDigestInfo[] = {
    {0, 20, 15, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14}},
    {1, 16, 18, {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10}},
    {2, 16, 18, {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10}},
    {3, 32, 19, {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20}},
    {4, 48, 19, {0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30}},
    {5, 64, 19, {0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40}},
    {6, 28, 19, {0x30, 0x2D, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04, 0x05, 0x00, 0x04, 0x1C}},
};

// Loads the block as a number and checks it against the key: 0, or 11.
int LoadBlock(const rsa_Key& key, const std::uint8_t* block, int length, Varnum* x) {
    if (length != rsa_KeyBytes(key)) {
        asn_Trace("Data length (%ld) does not match key (%d) bytes", static_cast<long>(length), rsa_KeyBytes(key));
        return kRsaOutOfRange;
    }
    vnFromBytes(x, block, static_cast<std::size_t>(length));
    if (vnCmp(x, key.part[kRsaN].get()) >= 0) return kRsaOutOfRange;
    return 0;
}

void StoreBlock(const Varnum* y, std::uint8_t* block, int length) {
    vnToBytes(y, block, static_cast<std::size_t>(length));
}

// m = c^d mod n by the Chinese remainder theorem (Garner's recombination).
void PrivateCrt(const rsa_Key& key, Varnum* m, Varnum* c) {
    Varnum* p = key.part[kRsaP].get();
    Varnum* q = key.part[kRsaQ].get();
    VarnumPtr m1 = vnMake(), m2 = vnMake(), h = vnMake(), t = vnMake();
    // Reduce c first: the exponentiation works at the width of its widest operand, so a
    // full-width c would make each half as slow as a whole private operation.
    vnMod(t.get(), c, p);
    vnPowMod(m1.get(), t.get(), key.part[kRsaDP].get(), p);
    vnMod(t.get(), c, q);
    vnPowMod(m2.get(), t.get(), key.part[kRsaDQ].get(), q);
    // m1 - m2 must not go below zero; adding p keeps it congruent mod p.
    while (vnCmp(m1.get(), m2.get()) < 0) vnAdd(m1.get(), m1.get(), p);
    vnSub(t.get(), m1.get(), m2.get());
    vnMulMod(h.get(), key.part[kRsaQInv].get(), t.get(), p);
    vnMul(t.get(), h.get(), q);
    vnAdd(m, t.get(), m2.get());
}

int CodeOf(int readCode) {
    if (readCode < 0) return -readCode;
    return readCode == 0 ? kRsaNoSpecificCode : readCode;
}

}  // namespace

int rsa_PublicOp(const rsa_Key& key, std::uint8_t* block, int length) {
    if (!block || length < 1 || !(key.flags & kRsaHasPublic)) return BAD_PARAM_ERROR;
    VarnumPtr x = vnMake(), y = vnMake();
    if (int rc = LoadBlock(key, block, length, x.get())) return rc;
    vnPowMod(y.get(), x.get(), key.part[kRsaE].get(), key.part[kRsaN].get());
    StoreBlock(y.get(), block, length);
    return 0;
}

int rsa_PrivateOp(const rsa_Key& key, std::uint8_t* block, int length) {
    if (!block || length < 1 || !(key.flags & kRsaHasPrivate)) return BAD_PARAM_ERROR;
    VarnumPtr x = vnMake(), y = vnMake();
    if (int rc = LoadBlock(key, block, length, x.get())) return rc;
    if (key.flags & kRsaHasCrt) {
        PrivateCrt(key, y.get(), x.get());
    } else {
        vnPowMod(y.get(), x.get(), key.part[kRsaD].get(), key.part[kRsaN].get());
    }
    StoreBlock(y.get(), block, length);
    return 0;
}

int rsa_Public(std::uint8_t* block, int length, const char* publicKeyString, int options) {
    (void)options;
    if (!block || length < 1 || !publicKeyString || !*publicKeyString) return BAD_PARAM_ERROR;
    RsaKeyPtr key = rsa_KeyNew();
    int rc = rsa_ReadPublicString(*key, publicKeyString);
    if (rc != 0 || !(key->flags & kRsaHasPublic)) {
        asn_Trace("Invalid Public Key");
        return CodeOf(rc);
    }
    return rsa_PublicOp(*key, block, length);
}

int rsa_Private(std::uint8_t* block, int length, const char* privateKeyString, int options) {
    (void)options;
    if (!block || length < 1 || !privateKeyString || !*privateKeyString) return BAD_PARAM_ERROR;
    RsaKeyPtr key = rsa_KeyNew();
    int rc = rsa_ReadPrivateString(*key, privateKeyString);
    if (rc != 0 || !(key->flags & kRsaHasPrivate)) {
        asn_Trace("Invalid Private Key");
        return CodeOf(rc);
    }
    return rsa_PrivateOp(*key, block, length);
}

int rsa_EncodeSignature(std::uint8_t* block, int keyLength, const std::uint8_t* data, int dataLength, int options) {
    const int hashId = options & 0x0F;
    if (hashId >= 7) {
        asn_Trace("Invalid hash algorithm");
        return -BAD_FLAG_ERROR;
    }
    const DigestInfoRow& row = kDigestInfo[hashId];
    if (!block || keyLength < row.digestLength + row.prefixLength + 11) return -SHORT_BUF_ERROR;
    std::uint8_t digest[kMaxDigestLen];
    if (options & kRsaSigIsDigest) {
        if (dataLength != row.digestLength || !data) return -BAD_LENGTH_ERROR;
        std::memcpy(digest, data, static_cast<std::size_t>(dataLength));
    } else if (DigestData(digest, sizeof digest, data ? data : reinterpret_cast<const std::uint8_t*>(""),
                          data ? dataLength : 0, static_cast<unsigned>(hashId)) != row.digestLength) {
        return -BAD_PARAM_ERROR;
    }
    // 00 01 FF..FF 00 || prefix || digest
    const int t = row.prefixLength + row.digestLength;
    block[0] = 0x00;
    block[1] = 0x01;
    std::memset(block + 2, 0xFF, static_cast<std::size_t>(keyLength - t - 3));
    block[keyLength - t - 1] = 0x00;
    std::memcpy(block + keyLength - t, row.prefix, row.prefixLength);
    std::memcpy(block + keyLength - row.digestLength, digest, static_cast<std::size_t>(row.digestLength));
    ewipe(digest, sizeof digest);
    return 0;
}

int rsa_DecodeSignature(std::uint8_t* out, int capacity, const std::uint8_t* block, int length, int options) {
    // 00 01 FF{8,} 00 T, where T = DigestInfo prefix || digest
    if (!block || length < 11 || block[0] != 0x00 || block[1] != 0x01) return -DECRYPT_ERROR;
    int i = 2;
    while (i < length && block[i] == 0xFF) ++i;
    if (i >= length || block[i] != 0x00 || i - 2 < 8) return -DECRYPT_ERROR;
    const std::uint8_t* t = block + i + 1;
    const int tLength = length - i - 1;
    auto copyOut = [&](const std::uint8_t* p, int n) {
        if (out && capacity > 0) std::memcpy(out, p, static_cast<std::size_t>(n < capacity ? n : capacity));
        return n;
    };
    if (options & kRsaSigWholeDigestInfo) return copyOut(t, tLength);
    for (const DigestInfoRow& row : kDigestInfo) {
        if (row.prefixLength > tLength || std::memcmp(t, row.prefix, row.prefixLength) != 0) continue;
        if (options & kRsaSigHashIdOnly) return row.hashId;
        return copyOut(t + row.prefixLength, tLength - row.prefixLength);
    }
    return (options & kRsaSigHashIdOnly) ? -1 : -DECRYPT_ERROR;
}

int rsa_CheckKey(const rsa_Key& key) {
    const int len = rsa_KeyBytes(key);
    if (len < 2) return BAD_LENGTH_ERROR;
    SecureBytes message(static_cast<std::size_t>(len)), work(static_cast<std::size_t>(len));
    if (int rc = RandomBytes(message.data(), message.size())) return rc;
    message[0] = 0x00;
    message[1] = 0x01;  // below n, whose top byte is not zero
    work = message;
    if (rsa_PublicOp(key, work.data(), len) != 0 || work == message) return INVALID_DATA_ERROR;
    if (rsa_PrivateOp(key, work.data(), len) != 0 || work != message) return INVALID_DATA_ERROR;
    if (rsa_PrivateOp(key, work.data(), len) != 0 || rsa_PublicOp(key, work.data(), len) != 0 || work != message) {
        return INVALID_DATA_ERROR;
    }
    return 0;
}

int rsa_KeyMatch(const char* privateKeyString, const char* publicKeyString) {
    RsaKeyPtr priv = rsa_KeyNew(), pub = rsa_KeyNew();
    int rc = rsa_ReadPrivateString(*priv, privateKeyString);
    if (rc != 0) {
        asn_Trace("Could not extract key from string");
        return -CodeOf(rc);
    }
    rc = rsa_ReadPublicString(*pub, publicKeyString);
    if (rc != 0) {
        asn_Trace("Could not extract key from string");
        return -CodeOf(rc);
    }
    if (priv->bits != pub->bits) {
        asn_Trace("Key lengths are different");
        return -NO_MATCH_ERROR;
    }
    if (rsa_CheckKey(*priv) != 0) {
        asn_Trace("Not a valid private key");
        return -INVALID_DATA_ERROR;
    }
    SecureBytes a, b;
    if (!rsa_PublicDer(*priv, a) || !rsa_PublicDer(*pub, b)) {
        asn_Trace("Invalid key data");
        return -INVALID_DATA_ERROR;
    }
    if (a != b) {
        asn_Trace("Keys do not match");
        return -NO_MATCH_ERROR;
    }
    return 0;
}

namespace {

// Loads a key string as public, else as private. 0, or the private reading's code.
int ReadAnyKey(rsa_Key& key, const char* text, bool& isPrivate) {
    isPrivate = false;
    if (rsa_ReadPublicString(key, text) == 0) return 0;
    isPrivate = true;
    return rsa_ReadPrivateString(key, text);
}

void AppendElement(SecureString& xml, const rsa_Key& key, const char* name, rsa_Part part, bool hex) {
    SecureBytes bytes;
    rsa_GetPart(key, part, bytes);
    SecureString value;
    if (hex) {
        value.assign(2 * bytes.size(), '\0');
        SecureBytes text(2 * bytes.size() + 1);
        hex_Encode(reinterpret_cast<char*>(text.data()), text.size(), bytes.data(), bytes.size());
        std::memcpy(value.data(), text.data(), value.size());
    } else {
        b64_EncodeTo(value, bytes.data(), bytes.size());
    }
    xml += '<';
    xml += name;
    if (hex) xml += " EncodingType=\"hexBinary\"";
    xml += '>';
    xml += value;
    xml += "</";
    xml += name;
    xml += '>';
}

}  // namespace

int rsa_KeyLength(const char* keyString, bool inBytes) {
    RsaKeyPtr key = rsa_KeyNew();
    bool isPrivate;
    if (int rc = ReadAnyKey(*key, keyString, isPrivate)) return rc > 0 ? -rc : rc;
    return inBytes ? rsa_KeyBytes(*key) : rsa_KeyBits(*key);
}

int rsa_KeyToXml(SecureString& out, const char* keyString, int options) {
    out.clear();
    if (!keyString || !*keyString) return -BAD_PARAM_ERROR;
    RsaKeyPtr key = rsa_KeyNew();
    bool isPrivate;
    if (int rc = ReadAnyKey(*key, keyString, isPrivate)) return rc > 0 ? -rc : rc;
    const bool hex = (options & kRsaXmlHex) != 0;
    if (!isPrivate || (options & kRsaXmlPublicOnly)) {
        out = "<RSAKeyValue>";
        AppendElement(out, *key, "Modulus", kRsaN, hex);
        AppendElement(out, *key, "Exponent", kRsaE, hex);
        out += "</RSAKeyValue>";
        return 0;
    }
    const unsigned all = kRsaHasPublic | kRsaHasPrivate | kRsaHasCrt;
    if ((key->flags & all) != all) return 0;  // a private key without all its parts
    const char* root = (options & kRsaXmlKeyValueRoot) ? "RSAKeyValue" : "RSAKeyPair";
    out += '<';
    out += root;
    out += '>';
    static const struct {
        const char* name;
        rsa_Part part;
    } kElements[] = {{"Modulus", kRsaN}, {"Exponent", kRsaE}, {"P", kRsaP},       {"Q", kRsaQ},
                     {"DP", kRsaDP},     {"DQ", kRsaDQ},      {"InverseQ", kRsaQInv}, {"D", kRsaD}};
    for (const auto& e : kElements) AppendElement(out, *key, e.name, e.part, hex);
    out += "</";
    out += root;
    out += '>';
    return 0;
}

}  // namespace kvn
