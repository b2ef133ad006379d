// Block ciphers in CBC mode with PKCS#5 padding: DES (FIPS 46-3), Triple DES with three
// keys, encrypt-decrypt-encrypt (NIST SP 800-67 keying option 1), AES-128/192/256
// (FIPS 197) and RC2 (RFC 2268).
//
// The whole-message functions put their result in `out` (replacing what it held; its
// storage is wiped when released). Every failure leaves `out` empty and no plaintext
// behind: BAD_PARAM_ERROR for a null key or IV or an input length that cannot be padded,
// BAD_LENGTH_ERROR for an unsupported key size or RC2 effective length, DECRYPT_ERROR for
// a ciphertext that is not a whole, non-zero number of blocks or whose padding is wrong.
// Allocation failure throws std::bad_alloc (nothing is leaked).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "base/memory.h"

namespace kvn {

// PKCS#5 padding (RFC 2898 section 6.1.1): appends p = blockSize - inLen % blockSize
// bytes of value p (a whole block when inLen is aligned) and stores the padded length in
// padded; with out null or outLen < 1 only stores it. BAD_PARAM_ERROR when blockSize is
// not 8 or 16 or the input is negative, null or too long; SHORT_BUF_ERROR when outLen is
// below the padded length (padded still set).
Error PadPkcs5(std::uint8_t* out, int outLen, const std::uint8_t* in, int inLen, int blockSize, int& padded) noexcept;

Error DesCbcEncrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key8,
                    const std::uint8_t* iv8);
Error DesCbcDecrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key8,
                    const std::uint8_t* iv8);
Error Des3CbcEncrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key24,
                     const std::uint8_t* iv8);
Error Des3CbcDecrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key24,
                     const std::uint8_t* iv8);
// keyBits 128, 192 or 256.
Error AesCbcEncrypt(SecureBytes& out, int keyBits, const std::uint8_t* in, int inLen, const std::uint8_t* key,
                    const std::uint8_t* iv16);
Error AesCbcDecrypt(SecureBytes& out, int keyBits, const std::uint8_t* in, int inLen, const std::uint8_t* key,
                    const std::uint8_t* iv16);
// keyLen 1..128 bytes; effectiveBits 1..1024, 0 meaning 1024.
Error Rc2CbcEncrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key, int keyLen,
                    int effectiveBits, const std::uint8_t* iv8);
Error Rc2CbcDecrypt(SecureBytes& out, const std::uint8_t* in, int inLen, const std::uint8_t* key, int keyLen,
                    int effectiveBits, const std::uint8_t* iv8);

// Triple DES CBC context, for callers that pad by themselves and work in place.
struct Des3Ctx {
    int encrypt;                  // 1 encrypt, 0 decrypt
    std::uint32_t schedule[3][32];  // three DES subkey schedules, in the order applied
    std::uint8_t chain[8];        // chaining value
};

// Sets ctx up for CBC encryption (encrypt 1) or decryption (0). BAD_PARAM_ERROR for
// a null key or IV.
Error Des3CbcInit(Des3Ctx* ctx, const std::uint8_t* key24, const std::uint8_t* iv8, int encrypt) noexcept;
// Processes len bytes, continuing the chain; out may equal in. BAD_LENGTH_ERROR when len
// is not a multiple of 8, in which case nothing is touched.
Error Des3CbcProcess(Des3Ctx* ctx, std::uint8_t* out, const std::uint8_t* in, std::size_t len) noexcept;
void Des3Wipe(Des3Ctx* ctx) noexcept;

}  // namespace kvn
