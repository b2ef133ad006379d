// HMAC (RFC 2104) and PBKDF2 (RFC 2898 section 5.2).
//
// An HMAC key is prepared once into two digest contexts that have already absorbed the
// inner and the outer pad block; each MAC then starts from copies of them, so PBKDF2
// pays two compressions of pad per iteration less than a naive HMAC would.
#include "crypto/hmac.h"

#include <cstring>

#include "base/memory.h"
#include "crypto/digest_internal.h"
#include "crypto/endian.h"

namespace kvn {
namespace {


// The two keyed contexts of one HMAC key. Wiped on destruction.
struct HmacKey {
    const DigestAlgo* algo;
    AnyDigestCtx inner;
    AnyDigestCtx outer;

    HmacKey(const DigestAlgo* a, const void* key, std::size_t keyLen) noexcept : algo(a) {
        std::uint8_t block[kMaxBlockLen];
        std::uint8_t hashedKey[kMaxDigestLen];
        const std::size_t blockLen = static_cast<std::size_t>(algo->blockLen);
        if (keyLen > blockLen) {
            algo->init(&inner);
            algo->update(&inner, key, keyLen);
            algo->final(hashedKey, &inner);
            key = hashedKey;
            keyLen = static_cast<std::size_t>(algo->digestLen);
        }
        std::memset(block, 0, blockLen);
        if (keyLen > 0) std::memcpy(block, key, keyLen);
        for (std::size_t i = 0; i < blockLen; ++i) block[i] ^= 0x36;
        algo->init(&inner);
        algo->update(&inner, block, blockLen);
        for (std::size_t i = 0; i < blockLen; ++i) block[i] ^= 0x36 ^ 0x5c;
        algo->init(&outer);
        algo->update(&outer, block, blockLen);
        ewipe(block, sizeof block);
        ewipe(hashedKey, sizeof hashedKey);
    }
    ~HmacKey() {
        ewipe(&inner, sizeof inner);
        ewipe(&outer, sizeof outer);
    }
    HmacKey(const HmacKey&) = delete;
    HmacKey& operator=(const HmacKey&) = delete;

    // mac = H(opad || H(ipad || message)); mac holds digestLen bytes.
    void Mac(std::uint8_t* mac, const void* message, std::size_t len) const noexcept {
        AnyDigestCtx ctx = inner;
        algo->update(&ctx, message, len);
        algo->final(mac, &ctx);
        ctx = outer;
        algo->update(&ctx, mac, static_cast<std::size_t>(algo->digestLen));
        algo->final(mac, &ctx);
    }
};

bool IsHmacAlgorithm(unsigned id) noexcept { return id < kHashAlgCount && id != kHashMd2; }

// U_2 .. U_c for the SHA-1 and SHA-256 families, whose messages of one digest fit one
// 64-byte block: each HMAC is exactly two compressions of prebuilt, prepadded blocks
// starting from the keyed chaining states. t holds U_1 on entry and T on return; u holds
// U_1 (hLen bytes) on entry.
template <int kWords, int kDigestLen, void (*kCompress)(std::uint32_t*, const std::uint8_t*, std::size_t) noexcept>
void Pbkdf2IterateOneBlock(std::uint8_t* t, std::uint8_t* u, const std::uint32_t* innerState,
                           const std::uint32_t* outerState, unsigned iterations) noexcept {
    // Both messages are kDigestLen bytes after a 64-byte pad block.
    std::uint8_t block[64] = {};
    block[kDigestLen] = 0x80;
    constexpr std::uint32_t kBits = (64 + kDigestLen) * 8;
    block[62] = static_cast<std::uint8_t>(kBits >> 8);
    block[63] = static_cast<std::uint8_t>(kBits);
    std::uint32_t state[kWords];
    std::memcpy(block, u, kDigestLen);
    for (unsigned j = 1; j < iterations; ++j) {
        std::memcpy(state, innerState, sizeof state);
        kCompress(state, block, 1);
        for (int w = 0; w < kDigestLen / 4; ++w) StoreBe32(block + 4 * w, state[w]);
        std::memcpy(state, outerState, sizeof state);
        kCompress(state, block, 1);
        for (int w = 0; w < kDigestLen / 4; ++w) {
            StoreBe32(block + 4 * w, state[w]);
            t[4 * w] ^= block[4 * w];
            t[4 * w + 1] ^= block[4 * w + 1];
            t[4 * w + 2] ^= block[4 * w + 2];
            t[4 * w + 3] ^= block[4 * w + 3];
        }
    }
    ewipe(block, sizeof block);
    ewipe(state, sizeof state);
}

// T = U_1 xor ... xor U_c with U_1 = PRF(saltIndex), U_j = PRF(U_{j-1}).
void Pbkdf2Block(std::uint8_t* t, const HmacKey& prf, const std::uint8_t* saltIndex, std::size_t saltIndexLen,
                 unsigned iterations) noexcept {
    const std::size_t hLen = static_cast<std::size_t>(prf.algo->digestLen);
    std::uint8_t u[kMaxDigestLen];
    prf.Mac(u, saltIndex, saltIndexLen);
    std::memcpy(t, u, hLen);
    if (prf.algo == FindDigest(kHashSha1)) {
        Pbkdf2IterateOneBlock<5, 20, Sha1Compress>(t, u, prf.inner.sha1.state, prf.outer.sha1.state, iterations);
    } else if (prf.algo == FindDigest(kHashSha256)) {
        Pbkdf2IterateOneBlock<8, 32, Sha256Compress>(t, u, prf.inner.sha256.state, prf.outer.sha256.state, iterations);
    } else if (prf.algo == FindDigest(kHashSha224)) {
        Pbkdf2IterateOneBlock<8, 28, Sha256Compress>(t, u, prf.inner.sha256.state, prf.outer.sha256.state, iterations);
    } else {
        for (unsigned j = 1; j < iterations; ++j) {
            prf.Mac(u, u, hLen);
            for (std::size_t k = 0; k < hLen; ++k) t[k] ^= u[k];
        }
    }
    ewipe(u, sizeof u);
}

}  // namespace

Error HmacData(std::uint8_t* out, int outLen, const void* message, int messageLen, const void* key, int keyLen,
               unsigned options, int& length) noexcept {
    length = 0;
    if (messageLen < 0 || keyLen < 0 || (messageLen > 0 && !message) || (keyLen > 0 && !key)) {
        return Error::BAD_PARAM_ERROR;
    }
    unsigned id = options & kHashAlgMask;
    if (!IsHmacAlgorithm(id)) return Error::BAD_FLAG_ERROR;
    const DigestAlgo* algo = FindDigest(id);

    std::uint8_t scratch[kMaxDigestLen];
    {
        HmacKey hmac(algo, key, static_cast<std::size_t>(keyLen));
        hmac.Mac(scratch, message, static_cast<std::size_t>(messageLen));
    }
    int result = algo->digestLen;
    if (out && outLen >= 1) {
        if (outLen < result) result = outLen;
        std::memcpy(out, scratch, static_cast<std::size_t>(result));
    }
    ewipe(scratch, sizeof scratch);
    length = result;
    return kOk;
}

void HmacSha1(std::uint8_t out20[20], const void* message, std::size_t messageLen, const void* key,
              std::size_t keyLen) noexcept {
    HmacKey hmac(FindDigest(kHashSha1), key, keyLen);
    hmac.Mac(out20, message, messageLen);
}

Error Pbkdf2(std::uint8_t* derived, std::size_t derivedLen, const void* password, std::size_t passwordLen,
           const void* salt, std::size_t saltLen, unsigned iterations, unsigned prfOptions) {
    if (!derived || !password || !salt) return Error::BAD_PARAM_ERROR;
    if (derivedLen == 0) return Error::BAD_PARAM_ERROR;
    if (prfOptions != kHashSha1 && prfOptions != kHashSha256 && prfOptions != kHashSha384 &&
        prfOptions != kHashSha512 && prfOptions != kHashSha224)
        return Error::BAD_PARAM_ERROR;
    if (iterations == 0) iterations = 1;

    std::memset(derived, 0, derivedLen);
    SecureBytes work(saltLen + 4);
    if (saltLen > 0) std::memcpy(work.data(), salt, saltLen);

    const HmacKey prf(FindDigest(prfOptions), password, passwordLen);
    const std::size_t hLen = static_cast<std::size_t>(prf.algo->digestLen);
    const std::size_t fullBlocks = derivedLen / hLen;
    std::uint32_t index = 1;
    auto setIndex = [&](std::uint32_t i) {
        std::uint8_t* p = work.data() + saltLen;
        p[0] = static_cast<std::uint8_t>(i >> 24);
        p[1] = static_cast<std::uint8_t>(i >> 16);
        p[2] = static_cast<std::uint8_t>(i >> 8);
        p[3] = static_cast<std::uint8_t>(i);
    };
    for (std::size_t b = 0; b < fullBlocks; ++b, ++index) {
        setIndex(index);
        Pbkdf2Block(derived + b * hLen, prf, work.data(), work.size(), iterations);
    }
    std::size_t rest = derivedLen % hLen;
    if (rest > 0) {
        std::uint8_t last[kMaxDigestLen];
        setIndex(index);
        Pbkdf2Block(last, prf, work.data(), work.size(), iterations);
        std::memcpy(derived + fullBlocks * hLen, last, rest);
        ewipe(last, sizeof last);
    }
    return kOk;
}

}  // namespace kvn
