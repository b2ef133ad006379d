// RSA operations, PKCS#1 v1.5 signature blocks, the key-pair check and the XML form.
#include <atomic>
#include <cstring>
#include <utility>

#include "crypto/digest.h"
#include "crypto/mont.h"
#include "crypto/random.h"
#include "pki/base64.h"
#include "pki/rsa.h"
#include "pki/rsa_private.h"
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

// Big-endian bytes of a part, minimal length (at least one byte).
SecureBytes PartBytes(const rsa_Key& key, rsa_Part which) {
    SecureBytes bytes;
    rsa_GetPart(key, which, bytes);
    return bytes;
}

// The part in limbs, zero-extended to limbs limbs; sets significant to its own limbs.
SecureLimbs PartLimbs(const rsa_Key& key, rsa_Part which, std::size_t limbs, std::size_t* significant = nullptr) {
    SecureBytes bytes = PartBytes(key, which);
    SecureLimbs out(limbs);
    mont_FromBytes(out.data(), limbs, bytes.data(), bytes.size());
    if (significant) *significant = mont_LimbsFor(bytes.size());
    return out;
}

// A public part's 32-bit digits as n 64-bit limbs (it fits: checked by the caller).
void LimbsOfPart(Limb* out, std::size_t n, const Varnum* part) {
    std::memset(out, 0, n * sizeof(Limb));
    for (std::size_t i = 0; i < part->ndigits && i / 2 < n; ++i) out[i / 2] |= Limb{part->digits[i]} << (32 * (i % 2));
}

// The key in limbs for rsa_PrivateContext.
void PrivateLimbs(rsa_PrivateLimbs& out, const rsa_Key& key) {
    out.nLimbs = mont_LimbsFor(static_cast<std::size_t>(rsa_KeyBytes(key)));
    out.crt = (key.flags & kRsaHasCrt) != 0;
    out.n = PartLimbs(key, kRsaN, out.nLimbs);
    out.e = PartLimbs(key, kRsaE, out.nLimbs);
    if (!out.crt) {
        out.d = PartLimbs(key, kRsaD, out.nLimbs);
        return;
    }
    const std::size_t pLimbs = mont_LimbsFor(PartBytes(key, kRsaP).size());
    const std::size_t qLimbs = mont_LimbsFor(PartBytes(key, kRsaQ).size());
    out.halfLimbs = pLimbs > qLimbs ? pLimbs : qLimbs;
    out.p = PartLimbs(key, kRsaP, out.halfLimbs, &out.pLimbs);
    out.q = PartLimbs(key, kRsaQ, out.halfLimbs, &out.qLimbs);
    out.dp = PartLimbs(key, kRsaDP, out.halfLimbs);
    out.dq = PartLimbs(key, kRsaDQ, out.halfLimbs);
    out.qinv = PartLimbs(key, kRsaQInv, out.halfLimbs);
}

// A key string's reading error; PKI_FAILED_ERROR when it read but lacks the part needed.
Error ReadingError(Error read) { return Failed(read) ? read : Error::PKI_FAILED_ERROR; }

// Blinding pairs kept with a prepared key for the operations that follow (rsa_Blinding):
// a call takes a free slot for the length of its operation and leaves the moved-on pair
// in it. Calls on other threads meanwhile take other slots; when all are taken, a call
// draws a pair of its own and keeps nothing. The slots are only claimed and released
// atomically: no lock is held while a key operates.
class BlindingSlots {
public:
    static constexpr int kSlots = 8;

    // A free slot, now the caller's; null when every slot is taken.
    rsa_Blinding* Claim() noexcept {
        for (Slot& s : slots_) {
            if (!s.busy.exchange(true, std::memory_order_acquire)) return &s.pair;
        }
        return nullptr;
    }

    void Release(rsa_Blinding* pair) noexcept {
        for (Slot& s : slots_) {
            if (&s.pair == pair) s.busy.store(false, std::memory_order_release);
        }
    }

private:
    struct Slot {
        std::atomic<bool> busy{false};
        rsa_Blinding pair;
    };
    Slot slots_[kSlots];
};

// A claimed slot, released when the operation is over; the caller's own pair when none
// was free.
class ClaimedPair {
public:
    explicit ClaimedPair(BlindingSlots& slots) : slots_(slots), claimed_(slots.Claim()) {}
    ~ClaimedPair() {
        if (claimed_) slots_.Release(claimed_);
    }
    ClaimedPair(const ClaimedPair&) = delete;
    ClaimedPair& operator=(const ClaimedPair&) = delete;
    rsa_Blinding& pair() noexcept { return claimed_ ? *claimed_ : own_; }

private:
    BlindingSlots& slots_;
    rsa_Blinding* claimed_;
    rsa_Blinding own_;
};

}  // namespace

struct rsa_PreparedKey {
    rsa_PreparedKey(rsa_PrivateContext c, int b) : context(std::move(c)), bytes(b) {}
    rsa_PrivateContext context;
    int bytes;
    mutable BlindingSlots blinding;
};

void rsa_PreparedKeyDeleter::operator()(rsa_PreparedKey* key) const noexcept { Deleter<rsa_PreparedKey>()(key); }

Error rsa_PreparePrivate(RsaPreparedPtr& out, const rsa_Key& key) {
    out.reset();
    if (!(key.flags & kRsaHasPrivate)) return Error::BAD_PARAM_ERROR;
    if (Error rc = rsa_CheckSupported(key); Failed(rc)) return rc;
    rsa_PrivateLimbs limbs;
    PrivateLimbs(limbs, key);
    if (!rsa_PrivateLimbsUsable(limbs)) return Error::NOT_SUPPORTED_ERROR;
    out.reset(MakeUnique<rsa_PreparedKey>(rsa_PrivateContext(std::move(limbs)), rsa_KeyBytes(key)).release());
    return kOk;
}

int rsa_PreparedBytes(const rsa_PreparedKey& key) noexcept { return key.bytes; }

Error rsa_PrivateOpPrepared(const rsa_PreparedKey& key, std::uint8_t* block, int length) {
    if (!block || length < 1) return Error::BAD_PARAM_ERROR;
    if (length != key.bytes) {
        asn_Trace("Data length (%ld) does not match key (%d) bytes", static_cast<long>(length), key.bytes);
        return Error::OUT_OF_RANGE_ERROR;
    }
    const rsa_PrivateLimbs& limbs = key.context.key();
    const std::size_t n = limbs.nLimbs;
    SecureLimbs c(n);
    mont_FromBytes(c.data(), n, block, static_cast<std::size_t>(length));
    if (!mont_Less(c.data(), limbs.n.data(), n)) return Error::OUT_OF_RANGE_ERROR;
    ClaimedPair claimed(key.blinding);
    rsa_Blinding& pair = claimed.pair();
    SecureBytes random;
    // A blinding value sharing a factor with n comes once in 2^500 draws or so; a few
    // draws in a row mean the modulus itself is not a product of two large primes.
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (pair.uses <= 0) {
            random.resize(rsa_BlindingBytes(limbs));
            if (Error rc = RandomBytes(random.data(), random.size()); Failed(rc)) return rc;
        }
        switch (key.context.RunKept(c.data(), c.data(), pair, random.data())) {
        case rsa_PrivateResult::Ok:
            mont_ToBytes(block, static_cast<std::size_t>(length), c.data(), n);
            return kOk;
        case rsa_PrivateResult::Fault:
            return Error::INVALID_DATA_ERROR;
        case rsa_PrivateResult::Retry:
            break;
        }
    }
    return Error::INVALID_DATA_ERROR;
}

Error rsa_PublicOp(const rsa_Key& key, std::uint8_t* block, int length) {
    if (!block || length < 1 || !(key.flags & kRsaHasPublic)) return Error::BAD_PARAM_ERROR;
    if (Error rc = rsa_CheckSupported(key); Failed(rc)) return rc;
    if (length != rsa_KeyBytes(key)) {
        asn_Trace("Data length (%ld) does not match key (%d) bytes", static_cast<long>(length), rsa_KeyBytes(key));
        return Error::OUT_OF_RANGE_ERROR;
    }
    // Everything here is public: plain storage, nothing to wipe.
    const std::size_t n = mont_LimbsFor(static_cast<std::size_t>(length));
    Vec<Limb> limbs(3 * n);
    Limb* x = limbs.data();
    Limb* modulus = x + n;
    Limb* exponent = modulus + n;
    mont_FromBytes(x, n, block, static_cast<std::size_t>(length));
    LimbsOfPart(modulus, n, key.part[kRsaN].get());
    LimbsOfPart(exponent, n, key.part[kRsaE].get());
    if (!mont_Less(x, modulus, n)) return Error::OUT_OF_RANGE_ERROR;
    rsa_PublicLimbsOp(x, x, modulus, exponent, n);
    mont_ToBytes(block, static_cast<std::size_t>(length), x, n);
    return kOk;
}

Error rsa_PrivateOp(const rsa_Key& key, std::uint8_t* block, int length) {
    if (!block || length < 1 || !(key.flags & kRsaHasPrivate)) return Error::BAD_PARAM_ERROR;
    RsaPreparedPtr prepared;
    if (Error rc = rsa_PreparePrivate(prepared, key); Failed(rc)) return rc;
    return rsa_PrivateOpPrepared(*prepared, block, length);
}

Error rsa_Public(std::uint8_t* block, int length, const char* publicKeyString, int options) {
    (void)options;
    if (!block || length < 1 || !publicKeyString || !*publicKeyString) return Error::BAD_PARAM_ERROR;
    RsaKeyPtr key = rsa_KeyNew();
    Error rc = rsa_ReadPublicString(*key, publicKeyString);
    if (Failed(rc) || !(key->flags & kRsaHasPublic)) {
        asn_Trace("Invalid Public Key");
        return ReadingError(rc);
    }
    return rsa_PublicOp(*key, block, length);
}

Error rsa_Private(std::uint8_t* block, int length, const char* privateKeyString, int options) {
    (void)options;
    if (!block || length < 1 || !privateKeyString || !*privateKeyString) return Error::BAD_PARAM_ERROR;
    RsaKeyPtr key = rsa_KeyNew();
    Error rc = rsa_ReadPrivateString(*key, privateKeyString);
    if (Failed(rc) || !(key->flags & kRsaHasPrivate)) {
        asn_Trace("Invalid Private Key");
        return ReadingError(rc);
    }
    return rsa_PrivateOp(*key, block, length);
}

Error rsa_EncodeSignature(std::uint8_t* block, int keyLength, const std::uint8_t* data, int dataLength, int options) {
    const int hashId = options & 0x0F;
    if (hashId >= 7) {
        asn_Trace("Invalid hash algorithm");
        return Error::BAD_FLAG_ERROR;
    }
    const DigestInfoRow& row = kDigestInfo[hashId];
    if (!block || keyLength < row.digestLength + row.prefixLength + 11) return Error::SHORT_BUF_ERROR;
    std::uint8_t digest[kMaxDigestLen];
    if (options & kRsaSigIsDigest) {
        if (dataLength != row.digestLength || !data) return Error::BAD_LENGTH_ERROR;
        std::memcpy(digest, data, static_cast<std::size_t>(dataLength));
    } else {
        int digestLength = 0;
        if (Failed(DigestData(digest, sizeof digest, data ? data : reinterpret_cast<const std::uint8_t*>(""),
                              data ? dataLength : 0, static_cast<unsigned>(hashId), digestLength)) ||
            digestLength != row.digestLength) {
            return Error::BAD_PARAM_ERROR;
        }
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
    return kOk;
}

Error rsa_DecodeSignature(std::uint8_t* out, int capacity, const std::uint8_t* block, int length, int options,
                          int& answer) {
    answer = 0;
    // 00 01 FF{8,} 00 T, where T = DigestInfo prefix || digest
    if (!block || length < 11 || block[0] != 0x00 || block[1] != 0x01) return Error::DECRYPT_ERROR;
    int i = 2;
    while (i < length && block[i] == 0xFF) ++i;
    if (i >= length || block[i] != 0x00 || i - 2 < 8) return Error::DECRYPT_ERROR;
    const std::uint8_t* t = block + i + 1;
    const int tLength = length - i - 1;
    auto copyOut = [&](const std::uint8_t* p, int n) {
        if (out && capacity > 0) std::memcpy(out, p, static_cast<std::size_t>(n < capacity ? n : capacity));
        answer = n;
        return kOk;
    };
    if (options & kRsaSigWholeDigestInfo) return copyOut(t, tLength);
    // T must be exactly one DigestInfo of the table: its prefix and a digest of the length
    // the prefix names, nothing more and nothing less (a SHA-256 digest under the SHA-1
    // prefix is no SHA-1 signature).
    for (const DigestInfoRow& row : kDigestInfo) {
        if (tLength != row.prefixLength + row.digestLength || std::memcmp(t, row.prefix, row.prefixLength) != 0) continue;
        if (options & kRsaSigHashIdOnly) {
            answer = row.hashId;
            return kOk;
        }
        return copyOut(t + row.prefixLength, row.digestLength);
    }
    return Error::DECRYPT_ERROR;
}

Error rsa_CheckKey(const rsa_Key& key) {
    const int len = rsa_KeyBytes(key);
    if (len < 2) return Error::BAD_LENGTH_ERROR;
    SecureBytes message(static_cast<std::size_t>(len));
    if (Error rc = RandomBytes(message.data(), message.size()); Failed(rc)) return rc;
    message[0] = 0x00;
    message[1] = 0x01;  // below n, whose top byte is not zero
    SecureBytes work = message;
    // The public exponent must move the value, and the private operation, which checks
    // its own result with the public exponent, must give it back.
    if (Failed(rsa_PublicOp(key, work.data(), len)) || work == message) return Error::INVALID_DATA_ERROR;
    if (Failed(rsa_PrivateOp(key, work.data(), len)) || work != message) return Error::INVALID_DATA_ERROR;
    return kOk;
}

Error rsa_RecordsMatch(const rsa_Key& priv, const rsa_Key& pub, int proof) {
    if (priv.bits != pub.bits) {
        asn_Trace("Key lengths are different");
        return Error::NO_MATCH_ERROR;
    }
    if (proof == kRsaProofNone) proof = CodeOf(rsa_CheckKey(priv));
    if (proof != 0) {
        asn_Trace("Not a valid private key");
        return Error::INVALID_DATA_ERROR;
    }
    if (vnCmp(priv.part[kRsaN].get(), pub.part[kRsaN].get()) != 0 ||
        vnCmp(priv.part[kRsaE].get(), pub.part[kRsaE].get()) != 0) {
        asn_Trace("Keys do not match");
        return Error::NO_MATCH_ERROR;
    }
    return kOk;
}

Error rsa_KeyMatch(const char* privateKeyString, const char* publicKeyString) {
    RsaKeyPtr priv = rsa_KeyNew(), pub = rsa_KeyNew();
    Error rc = rsa_ReadPrivateString(*priv, privateKeyString);
    if (Failed(rc)) {
        asn_Trace("Could not extract key from string");
        return rc;
    }
    rc = rsa_ReadPublicString(*pub, publicKeyString);
    if (Failed(rc)) {
        asn_Trace("Could not extract key from string");
        return rc;
    }
    return rsa_RecordsMatch(*priv, *pub, kRsaProofNone);
}

namespace {

// Loads a key string as public, else as private; the private reading's error.
Error ReadAnyKey(rsa_Key& key, const char* text, bool& isPrivate) {
    isPrivate = false;
    if (!Failed(rsa_ReadPublicString(key, text))) return kOk;
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

Error rsa_KeyLength(const char* keyString, bool inBytes, int& length) {
    length = 0;
    RsaKeyPtr key = rsa_KeyNew();
    bool isPrivate;
    if (Error rc = ReadAnyKey(*key, keyString, isPrivate); Failed(rc)) return rc;
    length = inBytes ? rsa_KeyBytes(*key) : rsa_KeyBits(*key);
    return kOk;
}

Error rsa_KeyToXml(SecureString& out, const char* keyString, int options) {
    out.clear();
    if (!keyString || !*keyString) return Error::BAD_PARAM_ERROR;
    RsaKeyPtr key = rsa_KeyNew();
    bool isPrivate;
    if (Error rc = ReadAnyKey(*key, keyString, isPrivate); Failed(rc)) return rc;
    const bool hex = (options & kRsaXmlHex) != 0;
    if (!isPrivate || (options & kRsaXmlPublicOnly)) {
        out = "<RSAKeyValue>";
        AppendElement(out, *key, "Modulus", kRsaN, hex);
        AppendElement(out, *key, "Exponent", kRsaE, hex);
        out += "</RSAKeyValue>";
        return kOk;
    }
    const unsigned all = kRsaHasPublic | kRsaHasPrivate | kRsaHasCrt;
    if ((key->flags & all) != all) return kOk;  // a private key without all its parts
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
    return kOk;
}

}  // namespace kvn
