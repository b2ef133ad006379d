// Block-level interfaces of the ciphers behind cipher.h: key set-up and single-block
// operations, and the generic CBC step they share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/cipher.h"

namespace kvn {

// --- DES and Triple DES (FIPS 46-3, SP 800-67) ---
// A DES schedule is 16 rounds x 2 words; the round function takes the subkey's eight
// 6-bit groups in the order its S-box lookups need them.
struct DesCtx {
    int encrypt;
    std::uint32_t schedule[32];
    std::uint8_t chain[8];
};
// Sets a schedule for encryption or (decrypt) decryption; parity bits are ignored.
void DesKeySchedule(std::uint32_t schedule[32], const std::uint8_t key8[8], bool decrypt) noexcept;
void DesBlock(const std::uint32_t schedule[32], std::uint8_t out[8], const std::uint8_t in[8]) noexcept;
// Applies schedule[0], [1], [2] in turn (one initial and one final permutation).
void Des3Block(const std::uint32_t (*schedule)[32], std::uint8_t out[8], const std::uint8_t in[8]) noexcept;

// --- AES (FIPS 197) ---
struct AesCtx {
    int encrypt;
    int keyBits;
    int rounds;                 // 10, 12 or 14
    std::uint32_t roundKeys[60];
    std::uint8_t chain[16];
};
// BAD_LENGTH_ERROR for a key size other than 128/192/256 bits, BAD_PARAM_ERROR for a null key.
// The schedule is made with AES-NI (no table indexed by key bytes) when cpu_UseAesNi() says
// so, else on the portable code; both give the same round keys.
Error AesSetKey(AesCtx* ctx, const std::uint8_t* key, int keyBits, bool decrypt) noexcept;
// The same on the portable code (S-box lookups), whatever the processor has.
Error AesSetKeyPortable(AesCtx* ctx, const std::uint8_t* key, int keyBits, bool decrypt) noexcept;
void AesEncryptBlock(const AesCtx* ctx, std::uint8_t out[16], const std::uint8_t in[16]) noexcept;
void AesDecryptBlock(const AesCtx* ctx, std::uint8_t out[16], const std::uint8_t in[16]) noexcept;
#if defined(__x86_64__) || defined(__i386__)
// CBC over len bytes (whole blocks) with AES-NI, continuing chain; out may equal in. Only
// when cpu_UseAesNi() (crypto/cpu.h) is true.
void AesCbcEncryptNi(const AesCtx* ctx, std::uint8_t chain[16], std::uint8_t* out, const std::uint8_t* in,
                     std::size_t len) noexcept;
void AesCbcDecryptNi(const AesCtx* ctx, std::uint8_t chain[16], std::uint8_t* out, const std::uint8_t* in,
                     std::size_t len) noexcept;
// The round keys of a key of nk words (4, 6 or 8) and `rounds` rounds, in AesCtx's form,
// with AESKEYGENASSIST for SubWord and AESIMC for the decryption schedule's InvMixColumns.
// Only when cpu_UseAesNi() is true.
void AesKeyScheduleNi(std::uint32_t* roundKeys, const std::uint8_t* key, int nk, int rounds, bool decrypt) noexcept;
#endif

// --- RC2 (RFC 2268) ---
struct Rc2Ctx {
    int encrypt;
    int effectiveBits;
    std::uint16_t keyWords[64];
    std::uint8_t chain[8];
};
// keyLen 1..128, effectiveBits 0 (= 1024) to 1024. BAD_LENGTH_ERROR for a bad key or
// effective length, BAD_PARAM_ERROR for a null key.
Error Rc2SetKey(Rc2Ctx* ctx, const std::uint8_t* key, int keyLen, int effectiveBits) noexcept;
void Rc2EncryptBlock(const Rc2Ctx* ctx, std::uint8_t out[8], const std::uint8_t in[8]) noexcept;
void Rc2DecryptBlock(const Rc2Ctx* ctx, std::uint8_t out[8], const std::uint8_t in[8]) noexcept;

}  // namespace kvn
