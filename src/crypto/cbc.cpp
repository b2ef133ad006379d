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

// Pads and encrypts, in place in `out`, with a cipher whose context is already set up for
// encryption.
Error EncryptWhole(const BlockCipher& c, const std::uint8_t* in, int inLen, SecureBytes& out) {
    const int bs = static_cast<int>(c.blockSize);
    int padded = 0;
    if (Error rc = PadPkcs5(nullptr, 0, in, inLen, bs, padded); Failed(rc)) return rc;
    out.reserve(static_cast<std::size_t>(padded));
    if (inLen > 0) out.assign(in, in + inLen);
    out.resize(static_cast<std::size_t>(padded), static_cast<std::uint8_t>(padded - inLen));
    return CbcProcess(c, true, out.data(), out.data(), out.size());
}

// Decrypts and checks the padding: the last byte p is 1..block size and the p - 1 bytes
// before it equal p.
Error DecryptWhole(const BlockCipher& c, const std::uint8_t* in, int inLen, SecureBytes& out) {
    const int bs = static_cast<int>(c.blockSize);
    if (!in || inLen < bs || inLen % bs != 0) return Error::DECRYPT_ERROR;
    out.assign(in, in + inLen);
    if (Error rc = CbcProcess(c, false, out.data(), out.data(), out.size()); Failed(rc)) return rc;
    const int p = out[static_cast<std::size_t>(inLen - 1)];
    if (p < 1 || p > bs) return Error::DECRYPT_ERROR;
    for (int i = inLen - p; i < inLen - 1; ++i)
        if (out[static_cast<std::size_t>(i)] != p) return Error::DECRYPT_ERROR;
    out.resize(static_cast<std::size_t>(inLen - p));  // the cut bytes are wiped with the storage
    return kOk;
}

// Runs `body` with a zero-filled context of type Ctx that is wiped afterwards on every
// path; a null key or IV fails before anything is allocated. On failure `out` is left
// empty, its storage wiped.
template <class Ctx, class Body>
Error WithContext(SecureBytes& out, const std::uint8_t* key, const std::uint8_t* iv, Body body) {
    out.clear();
    if (!key || !iv) return Error::BAD_PARAM_ERROR;
    struct Wiped {
        Ctx ctx{};
        ~Wiped() { ewipe(&ctx, sizeof ctx); }
    } holder;
    Error rc = body(holder.ctx);
    if (Failed(rc)) SecureBytes().swap(out);
    return rc;
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

Error DesCbcEncrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key8,
                    const std::uint8_t* iv8) {
    return WithContext<DesCtx>(out, key8, iv8, [&](DesCtx& ctx) {
        ctx.encrypt = 1;
        DesKeySchedule(ctx.schedule, key8, false);
        std::memcpy(ctx.chain, iv8, 8);
        return EncryptWhole({&ctx, 8, DesEnc, ctx.chain}, in, inLen, out);
    });
}

Error DesCbcDecrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key8,
                    const std::uint8_t* iv8) {
    return WithContext<DesCtx>(out, key8, iv8, [&](DesCtx& ctx) {
        ctx.encrypt = 0;
        DesKeySchedule(ctx.schedule, key8, true);
        std::memcpy(ctx.chain, iv8, 8);
        return DecryptWhole({&ctx, 8, DesEnc, ctx.chain}, in, inLen, out);
    });
}

Error Des3CbcEncrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key24,
                     const std::uint8_t* iv8) {
    return WithContext<Des3Ctx>(out, key24, iv8, [&](Des3Ctx& ctx) {
        if (Error rc = Des3CbcInit(&ctx, key24, iv8, 1); Failed(rc)) return rc;
        return EncryptWhole({&ctx, 8, Des3Enc, ctx.chain}, in, inLen, out);
    });
}

Error Des3CbcDecrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key24,
                     const std::uint8_t* iv8) {
    return WithContext<Des3Ctx>(out, key24, iv8, [&](Des3Ctx& ctx) {
        if (Error rc = Des3CbcInit(&ctx, key24, iv8, 0); Failed(rc)) return rc;
        return DecryptWhole({&ctx, 8, Des3Enc, ctx.chain}, in, inLen, out);
    });
}

Error AesCbcEncrypt(SecureBytes& out, int keyBits, const std::uint8_t* in, int inLen, const std::uint8_t* key,
                    const std::uint8_t* iv16) {
    return WithContext<AesCtx>(out, key, iv16, [&](AesCtx& ctx) {
        if (Error rc = AesSetKey(&ctx, key, keyBits, false); Failed(rc)) return rc;
        std::memcpy(ctx.chain, iv16, 16);
        return EncryptWhole(AesCipher(ctx, true), in, inLen, out);
    });
}

Error AesCbcDecrypt(SecureBytes& out, int keyBits, const std::uint8_t* in, int inLen, const std::uint8_t* key,
                    const std::uint8_t* iv16) {
    return WithContext<AesCtx>(out, key, iv16, [&](AesCtx& ctx) {
        if (Error rc = AesSetKey(&ctx, key, keyBits, true); Failed(rc)) return rc;
        std::memcpy(ctx.chain, iv16, 16);
        return DecryptWhole(AesCipher(ctx, false), in, inLen, out);
    });
}

Error Rc2CbcEncrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key, int keyLen,
                    int effectiveBits, const std::uint8_t* iv8) {
    return WithContext<Rc2Ctx>(out, key, iv8, [&](Rc2Ctx& ctx) {
        if (Error rc = Rc2SetKey(&ctx, key, keyLen, effectiveBits); Failed(rc)) return rc;
        ctx.encrypt = 1;
        std::memcpy(ctx.chain, iv8, 8);
        return EncryptWhole({&ctx, 8, Rc2Enc, ctx.chain}, in, inLen, out);
    });
}

Error Rc2CbcDecrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key, int keyLen,
                    int effectiveBits, const std::uint8_t* iv8) {
    return WithContext<Rc2Ctx>(out, key, iv8, [&](Rc2Ctx& ctx) {
        if (Error rc = Rc2SetKey(&ctx, key, keyLen, effectiveBits); Failed(rc)) return rc;
        ctx.encrypt = 0;
        std::memcpy(ctx.chain, iv8, 8);
        return DecryptWhole({&ctx, 8, Rc2Dec, ctx.chain}, in, inLen, out);
    });
}

}  // namespace kvn
