// One-shot digests selected by HashAlg id, and the table of algorithms behind the ids.
#include <cstring>

#include "base/error.h"
#include "base/memory.h"
#include "crypto/digest_internal.h"

namespace kvn {
namespace {


template <class Ctx, void (*Init)(Ctx*) noexcept, void (*Update)(Ctx*, const void*, std::size_t) noexcept>
struct Adapt {
    static void init(AnyDigestCtx* c) noexcept { Init(reinterpret_cast<Ctx*>(c)); }
    static void update(AnyDigestCtx* c, const void* d, std::size_t n) noexcept { Update(reinterpret_cast<Ctx*>(c), d, n); }
};

void FinalMd2(std::uint8_t* out, AnyDigestCtx* c) noexcept { Md2Final(out, &c->md2); }
void FinalMd5(std::uint8_t* out, AnyDigestCtx* c) noexcept { Md5Final(out, &c->md5); }
void FinalSha1(std::uint8_t* out, AnyDigestCtx* c) noexcept { Sha1Final(out, &c->sha1); }
void FinalSha224(std::uint8_t* out, AnyDigestCtx* c) noexcept { Sha224Final(out, &c->sha256); }
void FinalSha256(std::uint8_t* out, AnyDigestCtx* c) noexcept { Sha256Final(out, &c->sha256); }
void FinalSha384(std::uint8_t* out, AnyDigestCtx* c) noexcept { Sha384Final(out, &c->sha512); }
void FinalSha512(std::uint8_t* out, AnyDigestCtx* c) noexcept { Sha512Final(out, &c->sha512); }

using Md2A = Adapt<Md2Ctx, Md2Init, Md2Update>;
using Md5A = Adapt<Md5Ctx, Md5Init, Md5Update>;
using Sha1A = Adapt<Sha1Ctx, Sha1Init, Sha1Update>;
using Sha224A = Adapt<Sha256Ctx, Sha224Init, Sha256Update>;
using Sha256A = Adapt<Sha256Ctx, Sha256Init, Sha256Update>;
using Sha384A = Adapt<Sha512Ctx, Sha384Init, Sha512Update>;
using Sha512A = Adapt<Sha512Ctx, Sha512Init, Sha512Update>;

// Indexed by HashAlg id.
constexpr DigestAlgo kAlgos[kHashAlgCount] = {
    {"sha1", 20, 64, Sha1A::init, Sha1A::update, FinalSha1},
    {"md5", 16, 64, Md5A::init, Md5A::update, FinalMd5},
    {"md2", 16, 16, Md2A::init, Md2A::update, FinalMd2},
    {"sha256", 32, 64, Sha256A::init, Sha256A::update, FinalSha256},
    {"sha384", 48, 128, Sha384A::init, Sha384A::update, FinalSha384},
    {"sha512", 64, 128, Sha512A::init, Sha512A::update, FinalSha512},
    {"sha224", 28, 64, Sha224A::init, Sha224A::update, FinalSha224},
};

}  // namespace

const DigestAlgo* FindDigest(unsigned options) noexcept {
    unsigned id = options & kHashAlgMask;
    return id < kHashAlgCount ? &kAlgos[id] : nullptr;
}

int DigestLength(unsigned options) noexcept {
    const DigestAlgo* algo = FindDigest(options);
    return algo ? algo->digestLen : 0;
}

int DigestBlockLength(unsigned options) noexcept {
    const DigestAlgo* algo = FindDigest(options);
    return algo ? algo->blockLen : 0;
}

const char* DigestName(unsigned options) noexcept {
    const DigestAlgo* algo = FindDigest(options);
    return algo ? algo->name : nullptr;
}

Error DigestData(std::uint8_t* out, int outLen, const void* data, int dataLen, unsigned options, int& length) noexcept {
    length = 0;
    if (dataLen < 0 || (dataLen > 0 && !data)) return Error::BAD_PARAM_ERROR;
    const DigestAlgo* algo = FindDigest(options);
    if (!algo) return Error::BAD_FLAG_ERROR;

    std::uint8_t scratch[kMaxDigestLen];
    AnyDigestCtx ctx;
    algo->init(&ctx);
    algo->update(&ctx, data, static_cast<std::size_t>(dataLen));
    algo->final(scratch, &ctx);

    int result = algo->digestLen;
    if (out && outLen >= 1) {
        if (outLen < result) result = outLen;
        std::memcpy(out, scratch, static_cast<std::size_t>(result));
    }
    ewipe(scratch, sizeof scratch);
    length = result;
    return kOk;
}

Error DigestHex(char* outText, int maxChars, const void* data, int dataLen, unsigned options, int& length) noexcept {
    length = 0;
    std::uint8_t digest[kMaxDigestLen];
    int len = 0;
    if (Error rc = DigestData(digest, kMaxDigestLen, data, dataLen, options, len); Failed(rc)) return rc;
    if (!outText || maxChars <= 0) {
        ewipe(digest, sizeof digest);
        length = 2 * len;
        return kOk;
    }
    int n = len;
    if (maxChars < 2 * len) n = maxChars / 2;
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < n; ++i) {
        outText[2 * i] = kHex[digest[i] >> 4];
        outText[2 * i + 1] = kHex[digest[i] & 15];
    }
    outText[2 * n] = '\0';
    ewipe(digest, sizeof digest);
    length = 2 * n;
    return kOk;
}

}  // namespace kvn
