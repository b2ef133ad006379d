// CBC mode (NIST SP 800-38A) with PKCS#5 padding (RFC 2898 section 6.1.1) over the
// four block ciphers, as whole-message functions that allocate their result.
#include <cstring>

#include "base/memory.h"
#include "crypto/cipher_internal.h"
#include "crypto/cpu.h"

namespace kvn {
namespace {

constexpr std::size_t kMaxBlock = 16;

// One cipher in one direction: a context, its block size and its block function.
struct BlockCipher {
    const void* ctx;
    std::size_t blockSize;
    void (*block)(const void* ctx, std::uint8_t* out, const std::uint8_t* in) noexcept;
    std::uint8_t* chain;
    // Whole-message CBC in one direction, when the processor offers one (else null).
    void (*cbc)(const void* ctx, std::uint8_t* chain, std::uint8_t* out, const std::uint8_t* in,
                std::size_t len) noexcept = nullptr;
};

// Encrypts or decrypts len bytes in CBC mode, continuing the chain; out may equal in.
// BAD_LENGTH_ERROR when len is not a whole number of blocks (nothing is processed).
Error CbcProcess(const BlockCipher& c, bool encrypt, std::uint8_t* out, const std::uint8_t* in, std::size_t len) noexcept {
    const std::size_t bs = c.blockSize;
    if (len % bs != 0) return Error::BAD_LENGTH_ERROR;
    if (c.cbc) {
        c.cbc(c.ctx, c.chain, out, in, len);
        return kOk;
    }
    std::uint8_t block[kMaxBlock], saved[kMaxBlock];
    for (std::size_t off = 0; off < len; off += bs) {
        if (encrypt) {
            for (std::size_t i = 0; i < bs; ++i) block[i] = static_cast<std::uint8_t>(in[off + i] ^ c.chain[i]);
            c.block(c.ctx, out + off, block);
            std::memcpy(c.chain, out + off, bs);
        } else {
            std::memcpy(saved, in + off, bs);
            c.block(c.ctx, block, saved);
            for (std::size_t i = 0; i < bs; ++i) out[off + i] = static_cast<std::uint8_t>(block[i] ^ c.chain[i]);
            std::memcpy(c.chain, saved, bs);
        }
    }
    ewipe(block, sizeof block);
    ewipe(saved, sizeof saved);
    return kOk;
}

// Block functions with a uniform signature.
void DesEnc(const void* ctx, std::uint8_t* out, const std::uint8_t* in) noexcept {
    DesBlock(static_cast<const DesCtx*>(ctx)->schedule, out, in);
}
void Des3Enc(const void* ctx, std::uint8_t* out, const std::uint8_t* in) noexcept {
    Des3Block(static_cast<const Des3Ctx*>(ctx)->schedule, out, in);
}
void AesEnc(const void* ctx, std::uint8_t* out, const std::uint8_t* in) noexcept {
    AesEncryptBlock(static_cast<const AesCtx*>(ctx), out, in);
}
void AesDec(const void* ctx, std::uint8_t* out, const std::uint8_t* in) noexcept {
    AesDecryptBlock(static_cast<const AesCtx*>(ctx), out, in);
}
#if defined(__x86_64__) || defined(__i386__)
void AesCbcEnc(const void* ctx, std::uint8_t* chain, std::uint8_t* out, const std::uint8_t* in, std::size_t len) noexcept {
    AesCbcEncryptNi(static_cast<const AesCtx*>(ctx), chain, out, in, len);
}
void AesCbcDec(const void* ctx, std::uint8_t* chain, std::uint8_t* out, const std::uint8_t* in, std::size_t len) noexcept {
    AesCbcDecryptNi(static_cast<const AesCtx*>(ctx), chain, out, in, len);
}
#endif

// The AES cipher in one direction, with AES-NI's CBC when it may be used.
BlockCipher AesCipher(AesCtx& ctx, bool encrypt) {
    BlockCipher c{&ctx, 16, encrypt ? AesEnc : AesDec, ctx.chain};
#if defined(__x86_64__) || defined(__i386__)
    if (cpu_UseAesNi()) c.cbc = encrypt ? AesCbcEnc : AesCbcDec;
#endif
    return c;
}

void Rc2Enc(const void* ctx, std::uint8_t* out, const std::uint8_t* in) noexcept {
    Rc2EncryptBlock(static_cast<const Rc2Ctx*>(ctx), out, in);
}
void Rc2Dec(const void* ctx, std::uint8_t* out, const std::uint8_t* in) noexcept {
    Rc2DecryptBlock(static_cast<const Rc2Ctx*>(ctx), out, in);
}

// Owner of a result buffer: wiped and freed unless released to the caller.
class Output {
public:
    explicit Output(std::size_t n) : n_(n), p_(static_cast<std::uint8_t*>(emalloc(n))) {}
    ~Output() {
        if (p_) {
            ewipe(p_, n_);
            efree(p_);
        }
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    std::uint8_t* get() const noexcept { return p_; }
    std::uint8_t* release() noexcept {
        std::uint8_t* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    std::size_t n_;
    std::uint8_t* p_;
};

// Pads and encrypts with a cipher whose context is already set up for encryption.
std::uint8_t* EncryptWhole(const BlockCipher& c, const std::uint8_t* in, int inLen, int* outLenPtr) {
    const int bs = static_cast<int>(c.blockSize);
    int padded = 0;
    if (Failed(PadPkcs5(nullptr, 0, in, inLen, bs, padded)) || padded < 1) return nullptr;
    Output plain(static_cast<std::size_t>(padded));
    if (Failed(PadPkcs5(plain.get(), padded, in, inLen, bs, padded))) return nullptr;
    Output out(static_cast<std::size_t>(padded));
    if (Failed(CbcProcess(c, true, out.get(), plain.get(), static_cast<std::size_t>(padded)))) return nullptr;
    *outLenPtr = padded;
    return out.release();
}

// Decrypts and checks the padding: the last byte p is 1..block size and the p - 1 bytes
// before it equal p. The result keeps its inLen allocation; its length is inLen - p.
std::uint8_t* DecryptWhole(const BlockCipher& c, const std::uint8_t* in, int inLen, int* outLenPtr) {
    const int bs = static_cast<int>(c.blockSize);
    if (!in || inLen < bs || inLen % bs != 0) return nullptr;
    Output out(static_cast<std::size_t>(inLen));
    if (Failed(CbcProcess(c, false, out.get(), in, static_cast<std::size_t>(inLen)))) return nullptr;
    const std::uint8_t* plain = out.get();
    const int p = plain[inLen - 1];
    if (p < 1 || p > bs) return nullptr;
    for (int i = inLen - p; i < inLen - 1; ++i)
        if (plain[i] != p) return nullptr;
    *outLenPtr = inLen - p;
    return out.release();
}

// Runs `body` with a zero-filled context of type Ctx that is wiped afterwards on every
// path; null outLenPtr, key or IV fail before anything is allocated.
template <class Ctx, class Body>
std::uint8_t* WithContext(int* outLenPtr, const std::uint8_t* key, const std::uint8_t* iv, Body body) {
    if (!outLenPtr) return nullptr;
    *outLenPtr = 0;
    if (!key || !iv) return nullptr;
    struct Wiped {
        Ctx ctx{};
        ~Wiped() { ewipe(&ctx, sizeof ctx); }
    } holder;
    return body(holder.ctx);
}

}  // namespace

Error PadPkcs5(std::uint8_t* out, int outLen, const std::uint8_t* in, int inLen, int blockSize, int& padded) noexcept {
    padded = 0;
    if (blockSize != 8 && blockSize != 16) return Error::BAD_PARAM_ERROR;
    if (inLen < 0 || (inLen > 0 && !in)) return Error::BAD_PARAM_ERROR;
    const int p = blockSize - inLen % blockSize;
    if (inLen > 0x7FFFFFFF - p) return Error::BAD_PARAM_ERROR;
    padded = inLen + p;
    if (!out || outLen < 1) return kOk;
    if (outLen < padded) return Error::SHORT_BUF_ERROR;
    if (inLen > 0) std::memmove(out, in, static_cast<std::size_t>(inLen));
    std::memset(out + inLen, p, static_cast<std::size_t>(p));
    return kOk;
}

std::uint8_t* DesCbcEncrypt(const std::uint8_t* in, int inLen, int* outLenPtr, const std::uint8_t* key8,
                            const std::uint8_t* iv8) {
    return WithContext<DesCtx>(outLenPtr, key8, iv8, [&](DesCtx& ctx) {
        ctx.encrypt = 1;
        DesKeySchedule(ctx.schedule, key8, false);
        std::memcpy(ctx.chain, iv8, 8);
        return EncryptWhole({&ctx, 8, DesEnc, ctx.chain}, in, inLen, outLenPtr);
    });
}

std::uint8_t* DesCbcDecrypt(const std::uint8_t* in, int inLen, int* outLenPtr, const std::uint8_t* key8,
                            const std::uint8_t* iv8) {
    return WithContext<DesCtx>(outLenPtr, key8, iv8, [&](DesCtx& ctx) {
        ctx.encrypt = 0;
        DesKeySchedule(ctx.schedule, key8, true);
        std::memcpy(ctx.chain, iv8, 8);
        return DecryptWhole({&ctx, 8, DesEnc, ctx.chain}, in, inLen, outLenPtr);
    });
}

std::uint8_t* Des3CbcEncrypt(const std::uint8_t* in, int inLen, int* outLenPtr, const std::uint8_t* key24,
                             const std::uint8_t* iv8) {
    return WithContext<Des3Ctx>(outLenPtr, key24, iv8, [&](Des3Ctx& ctx) {
        if (Failed(Des3CbcInit(&ctx, key24, iv8, 1))) return static_cast<std::uint8_t*>(nullptr);
        return EncryptWhole({&ctx, 8, Des3Enc, ctx.chain}, in, inLen, outLenPtr);
    });
}

std::uint8_t* Des3CbcDecrypt(const std::uint8_t* in, int inLen, int* outLenPtr, const std::uint8_t* key24,
                             const std::uint8_t* iv8) {
    return WithContext<Des3Ctx>(outLenPtr, key24, iv8, [&](Des3Ctx& ctx) {
        if (Failed(Des3CbcInit(&ctx, key24, iv8, 0))) return static_cast<std::uint8_t*>(nullptr);
        return DecryptWhole({&ctx, 8, Des3Enc, ctx.chain}, in, inLen, outLenPtr);
    });
}

std::uint8_t* AesCbcEncrypt(int keyBits, const std::uint8_t* in, int inLen, int* outLenPtr, const std::uint8_t* key,
                            const std::uint8_t* iv16) {
    return WithContext<AesCtx>(outLenPtr, key, iv16, [&](AesCtx& ctx) -> std::uint8_t* {
        if (Failed(AesSetKey(&ctx, key, keyBits, false))) return nullptr;
        std::memcpy(ctx.chain, iv16, 16);
        return EncryptWhole(AesCipher(ctx, true), in, inLen, outLenPtr);
    });
}

std::uint8_t* AesCbcDecrypt(int keyBits, const std::uint8_t* in, int inLen, int* outLenPtr, const std::uint8_t* key,
                            const std::uint8_t* iv16) {
    return WithContext<AesCtx>(outLenPtr, key, iv16, [&](AesCtx& ctx) -> std::uint8_t* {
        if (Failed(AesSetKey(&ctx, key, keyBits, true))) return nullptr;
        std::memcpy(ctx.chain, iv16, 16);
        return DecryptWhole(AesCipher(ctx, false), in, inLen, outLenPtr);
    });
}

std::uint8_t* Rc2CbcEncrypt(const std::uint8_t* in, int inLen, int* outLenPtr, const std::uint8_t* key, int keyLen,
                            int effectiveBits, const std::uint8_t* iv8) {
    return WithContext<Rc2Ctx>(outLenPtr, key, iv8, [&](Rc2Ctx& ctx) -> std::uint8_t* {
        if (Failed(Rc2SetKey(&ctx, key, keyLen, effectiveBits))) return nullptr;
        ctx.encrypt = 1;
        std::memcpy(ctx.chain, iv8, 8);
        return EncryptWhole({&ctx, 8, Rc2Enc, ctx.chain}, in, inLen, outLenPtr);
    });
}

std::uint8_t* Rc2CbcDecrypt(const std::uint8_t* in, int inLen, int* outLenPtr, const std::uint8_t* key, int keyLen,
                            int effectiveBits, const std::uint8_t* iv8) {
    return WithContext<Rc2Ctx>(outLenPtr, key, iv8, [&](Rc2Ctx& ctx) -> std::uint8_t* {
        if (Failed(Rc2SetKey(&ctx, key, keyLen, effectiveBits))) return nullptr;
        ctx.encrypt = 0;
        std::memcpy(ctx.chain, iv8, 8);
        return DecryptWhole({&ctx, 8, Rc2Dec, ctx.chain}, in, inLen, outLenPtr);
    });
}

}  // namespace kvn
