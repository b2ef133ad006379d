// RSA key records, their PKCS#1 forms, and key strings.
#include <cstring>

#include "crypto/cipher.h"
#include "crypto/random.h"
#include "pki/base64.h"
#include "pki/rsa.h"
#include "pki/trace.h"

namespace kvn {
namespace {

// Kind markers: the three bytes that encode to the first four characters of a string.
constexpr std::uint8_t kMarkers[4][3] = {
    {0x3D, 0x40, 0x51},  // "PUBR"
    {0x3D, 0x54, 0xD1},  // "PVTR"
    {0x3D, 0x40, 0x43},
    {0x3D, 0x54, 0xC3},
};
constexpr std::uint8_t kSecondPassIv[8] = {0x5A, 0x1E, 0x93, 0x07, 0xC4, 0x6B, 0xF2, 0x38};

const asn_TemplateEntry kPublicTemplate[] = {{16, 0}, {2, 1}, {2, 1}, {0, -1}};
const asn_TemplateEntry kPrivateTemplate[] = {{16, 0}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1},
                                              {2, 1},  {2, 1}, {2, 1}, {2, 1}, {0, -1}};

// The per-process key that wraps key strings in memory, drawn once from the operating
// system. Held in a function-local static, so the first callers on several threads agree
// on one key; when no random bytes can be had the initialisation throws and is tried
// again by the next caller.
struct SessionKeyBytes {
    std::uint8_t bytes[24];
};
struct NoRandomBytes {};

SessionKeyBytes DrawSessionKey() {
    SessionKeyBytes key;
    if (Failed(RandomBytes(key.bytes, sizeof key.bytes))) throw NoRandomBytes{};
    return key;
}

// Null when the operating system gave no random bytes (the reason is in the last-error text).
const std::uint8_t* SessionKey() noexcept {
    try {
        static const SessionKeyBytes key = DrawSessionKey();
        return key.bytes;
    } catch (const NoRandomBytes&) {
        return nullptr;
    }
}

// 64-bit check value: a reflected shift register with feedback 0xD000000000000001,
// fed with every bit, least significant first.
void CheckValue(const std::uint8_t* data, std::size_t n, std::uint8_t out[8]) {
    std::uint64_t reg = 0;
    for (std::size_t i = 0; i < n; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            unsigned b = (data[i] >> bit) & 1u;
            reg = (reg & 1u) != b ? (reg >> 1) ^ 0xD000000000000001ull : reg >> 1;
        }
    }
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<std::uint8_t>(reg);
        reg >>= 8;
    }
}

bool Des3InPlace(std::uint8_t* data, std::size_t n, const std::uint8_t* iv, bool encrypt) {
    Des3Ctx ctx;
    bool ok = !Failed(Des3CbcInit(&ctx, SessionKey(), iv, encrypt ? 1 : 0)) && !Failed(Des3CbcProcess(&ctx, data, data, n));
    Des3Wipe(&ctx);
    return ok;
}

void Reverse(std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0, j = n; i + 1 < j; ++i) std::swap(p[i], p[--j]);
}

// IV || E_K,IV(L(2) || DER || padding(1..8) || check(8)), reversed, then encrypted again
// under the fixed IV. The IV and the padding are random bytes; false when there are none.
bool Wrap(SecureBytes& out, const std::uint8_t* der, std::size_t length) {
    const std::size_t pad = 8 - (length + 2) % 8;
    const std::size_t body = length + 2 + pad + 8;
    out.assign(8 + body, 0);
    std::uint8_t* p = out.data() + 8;
    p[0] = static_cast<std::uint8_t>(length >> 8);
    p[1] = static_cast<std::uint8_t>(length);
    std::memcpy(p + 2, der, length);
    if (Failed(RandomBytes(p + 2 + length, pad))) return false;
    CheckValue(p, body - 8, p + body - 8);
    if (Failed(RandomBytes(out.data(), 8)) || !Des3InPlace(p, body, out.data(), true)) return false;
    Reverse(out.data(), out.size());
    return Des3InPlace(out.data(), out.size(), kSecondPassIv, true);
}

bool Unwrap(SecureBytes& der, const std::uint8_t* data, std::size_t n) {
    if (n < 24 || n % 8) return false;
    SecureBytes work(data, data + n);
    if (!Des3InPlace(work.data(), n, kSecondPassIv, false)) return false;
    Reverse(work.data(), n);
    std::uint8_t* body = work.data() + 8;
    const std::size_t bodyLength = n - 8;
    if (!Des3InPlace(body, bodyLength, work.data(), false)) return false;
    std::uint8_t check[8];
    CheckValue(body, bodyLength - 8, check);
    if (std::memcmp(check, body + bodyLength - 8, 8) != 0) return false;
    const std::size_t length = static_cast<std::size_t>(body[0]) << 8 | body[1];
    if (length + 2 + 8 > bodyLength || bodyLength - 8 - 2 - length > 8) return false;
    der.assign(body + 2, body + 2 + length);
    return true;
}

void SetPart(rsa_Key& key, int i, rsa_Bytes b) { vnFromBytes(key.part[i].get(), b.data, b.data ? b.length : 0); }

void UpdateBits(rsa_Key& key) { key.bits = vnBits(key.part[kRsaN].get()); }

asn_Node* NthInteger(asn_Node* list, int n) { return asn_NthTagLevel(list, kTagInteger, n, 1); }

rsa_Bytes ContentOf(const asn_Node* node) { return {node->content, node->length}; }

Error ReadKeyDer(SecureBytes& der, const char* text) {
    if (!text) return Error::NULL_KEY_ERROR;
    if (!*text) return Error::BAD_PARAM_ERROR;
    int kind = 0;
    return Failed(rsa_ReadKeyString(der, kind, text)) ? Error::INVALID_DATA_ERROR : kOk;
}

}  // namespace

RsaKeyPtr rsa_KeyNew() {
    RsaKeyPtr key = MakeUnique<rsa_Key>();
    for (auto& p : key->part) p = vnMake();
    return key;
}

void rsa_SetPublic(rsa_Key& key, rsa_Bytes n, rsa_Bytes e) {
    SetPart(key, kRsaN, n);
    SetPart(key, kRsaE, e);
    key.flags = kRsaHasPublic;
    UpdateBits(key);
}

void rsa_SetPrivate(rsa_Key& key, rsa_Bytes n, rsa_Bytes e, rsa_Bytes d) {
    SetPart(key, kRsaN, n);
    SetPart(key, kRsaE, e);
    SetPart(key, kRsaD, d);
    key.flags = kRsaHasPublic | kRsaHasPrivate;
    UpdateBits(key);
}

void rsa_SetPrivateCrt(rsa_Key& key, const rsa_Bytes parts[kRsaPartCount]) {
    for (int i = 0; i < kRsaPartCount; ++i) SetPart(key, i, parts[i]);
    key.flags = kRsaHasPublic | kRsaHasPrivate | kRsaHasCrt;
    UpdateBits(key);
}

void rsa_GetPart(const rsa_Key& key, rsa_Part which, SecureBytes& out) {
    const Varnum* v = key.part[which].get();
    out.assign(static_cast<std::size_t>(vnToBytes(v, nullptr, 0)), 0);
    vnToBytes(v, out.data(), out.size());
}

namespace {

bool IsOdd(const Varnum* v) { return v->ndigits > 0 && (v->digits[0] & 1); }

// 64-bit limbs of a part's minimal big-endian form, as the private operation lays it out.
std::size_t PartLimbs(const rsa_Key& key, rsa_Part which) {
    return (static_cast<std::size_t>(vnToBytes(key.part[which].get(), nullptr, 0)) + 7) / 8;
}

}  // namespace

Error rsa_CheckSupported(const rsa_Key& key) {
    const Varnum* e = key.part[kRsaE].get();
    const int eBits = vnBits(e);
    bool ok = IsOdd(key.part[kRsaN].get()) && key.bits <= kRsaMaxBits && IsOdd(e) && eBits >= 2 && eBits <= 64;
    if (ok && (key.flags & kRsaHasCrt)) {
        const std::size_t pLimbs = PartLimbs(key, kRsaP), qLimbs = PartLimbs(key, kRsaQ);
        const std::size_t half = pLimbs > qLimbs ? pLimbs : qLimbs;
        ok = IsOdd(key.part[kRsaP].get()) && IsOdd(key.part[kRsaQ].get()) && 2 * half >= PartLimbs(key, kRsaN) &&
             half <= kRsaMaxBits / 64;
    }
    if (!ok) asn_Trace("RSA key not supported: even modulus, prime or exponent, or a size out of range");
    return ok ? kOk : Error::NOT_SUPPORTED_ERROR;
}

Error rsa_LoadPublic(rsa_Key& key, asn_Node* list) {
    asn_Node* n = NthInteger(list, 1);
    asn_Node* e = NthInteger(list, 2);
    if (!n || !e || NthInteger(list, 3)) return Error::INVALID_DATA_ERROR;
    rsa_SetPublic(key, ContentOf(n), ContentOf(e));
    return rsa_CheckSupported(key);
}

Error rsa_LoadPrivate(rsa_Key& key, asn_Node* list) {
    asn_Node* ints[9];
    for (int i = 0; i < 9; ++i) {
        ints[i] = NthInteger(list, i + 1);
        if (!ints[i]) return Error::INVALID_DATA_ERROR;
    }
    if (asn_GetUint(ints[0]) != 0 || ints[0]->length > 4) return Error::NOT_SUPPORTED_ERROR;
    bool crt = false;
    for (int i = 4; i < 9; ++i) crt = crt || ints[i]->length != 1;
    if (!crt) {
        rsa_SetPrivate(key, ContentOf(ints[1]), ContentOf(ints[2]), ContentOf(ints[3]));
        return rsa_CheckSupported(key);
    }
    rsa_Bytes parts[kRsaPartCount];
    for (int i = 0; i < kRsaPartCount; ++i) parts[i] = ContentOf(ints[i + 1]);
    rsa_SetPrivateCrt(key, parts);
    return rsa_CheckSupported(key);
}

namespace {

bool EncodeIntegers(const rsa_Key& key, const int* which, int count, bool withVersion, SecureBytes& der) {
    AsnList items;
    if (withVersion) items = asn_NewIntegerU32(0);
    SecureBytes bytes;
    for (int i = 0; i < count; ++i) {
        rsa_GetPart(key, static_cast<rsa_Part>(which[i]), bytes);
        AsnList item = asn_NewInteger(bytes.data(), bytes.size());
        if (!item || !asn_Link(items, item)) return false;
    }
    AsnList seq = asn_Sequence(std::move(items));
    bool ok = seq && !Failed(asn_Encode(seq.get(), der));
    seq.wipe_and_reset();
    return ok;
}

}  // namespace

bool rsa_PublicDer(const rsa_Key& key, SecureBytes& der) {
    static const int kParts[] = {kRsaN, kRsaE};
    return EncodeIntegers(key, kParts, 2, false, der);
}

bool rsa_PrivateDer(const rsa_Key& key, SecureBytes& der) {
    static const int kParts[] = {kRsaN, kRsaE, kRsaD, kRsaP, kRsaQ, kRsaDP, kRsaDQ, kRsaQInv};
    return EncodeIntegers(key, kParts, 8, true, der);
}

void rsa_MakeKeyString(SecureString& out, int kind, const std::uint8_t* der, std::size_t length) {
    if (kind < 1 || kind > 4) {
        b64_EncodeTo(out, der, length);
        return;
    }
    SecureBytes wrapped;
    if (!Wrap(wrapped, der, length)) {
        out.clear();
        return;
    }
    SecureBytes marked(3 + wrapped.size());
    std::memcpy(marked.data(), kMarkers[kind - 1], 3);
    std::memcpy(marked.data() + 3, wrapped.data(), wrapped.size());
    b64_EncodeTo(out, marked.data(), marked.size());
}

Error rsa_ReadKeyString(SecureBytes& der, int& kind, const char* text) {
    der.clear();
    kind = 0;
    if (!text || !*text) return Error::BAD_PARAM_ERROR;
    const std::size_t length = std::strlen(text);
    SecureBytes decoded(3 * ((length + 2) / 4) + 1);
    decoded.resize(static_cast<std::size_t>(b64_Decode(decoded.data(), decoded.size(), text)));
    if (decoded.empty()) return Error::INVALID_DATA_ERROR;
    if (decoded[0] != 0x3D) {
        der.assign(decoded.begin(), decoded.end());
        return kOk;
    }
    static const char* const kTexts[4] = {"PUBR", "PVTR", "PUBD", "PVTD"};
    for (int i = 0; i < 4; ++i) {
        if (length >= 4 && std::memcmp(text, kTexts[i], 4) == 0) kind = i + 1;
    }
    if (decoded.size() < 3 || !Unwrap(der, decoded.data() + 3, decoded.size() - 3)) {
        der.clear();
        return Error::INVALID_DATA_ERROR;
    }
    return kOk;
}

Error rsa_ReadPublicString(rsa_Key& key, const char* text) {
    SecureBytes der;
    if (Error rc = ReadKeyDer(der, text); Failed(rc)) return rc;
    if (der.size() < 18) return Error::OUT_OF_RANGE_ERROR;
    AsnSource src = AsnSource::FromMemory(der.data(), der.size());
    AsnList list;
    if (Failed(asn_ReadTemplate(src, kPublicTemplate, list))) {
        asn_Trace("Could not extract public key from string");
        return Error::INVALID_DATA_ERROR;
    }
    return rsa_LoadPublic(key, list.get());
}

Error rsa_ReadPrivateString(rsa_Key& key, const char* text) {
    SecureBytes der;
    if (Error rc = ReadKeyDer(der, text); Failed(rc)) return rc;
    if (der.size() < 76) return Error::OUT_OF_RANGE_ERROR;
    AsnSource src = AsnSource::FromMemory(der.data(), der.size());
    AsnList list;
    if (Failed(asn_ReadTemplate(src, kPrivateTemplate, list))) {
        asn_Trace("Could not extract private key from string");
        return Error::INVALID_DATA_ERROR;
    }
    Error rc = rsa_LoadPrivate(key, list.get());
    list.wipe_and_reset();
    return rc;
}

}  // namespace kvn
