// Password-based encryption: PBES1 (PBKDF1 with MD2, MD5 or SHA-1), PBES2 (PBKDF2 with an
// HMAC PRF) and the PKCS#12 schemes (the SHA-1 key derivation of RFC 7292 appendix B with
// a BMPString password). Used to open and write encrypted private-key files and the PFX
// writer's encrypted certificate bag.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/memory.h"
#include "pki/asn1.h"
#include "pki/rsa.h"

namespace kvn {

enum pbe_CipherId : int { kPbeDes3 = 0, kPbeDes = 1, kPbeRc2 = 2, kPbeAes128 = 3, kPbeAes192 = 4, kPbeAes256 = 5 };

// The parameters of one encryption or decryption; secrets are wiped with the record.
struct pbe_Params {
    char scheme[kOidMaxName + 1] = {};  // object identifier name of the scheme
    SecureBytes password;               // BMPString form once converted for a PKCS#12 scheme
    bool passwordIsBmp = false;
    std::uint32_t iterations = 1;
    SecureBytes salt;
    SecureBytes iv;
    int cipherId = kPbeDes3;            // PBES2 only
    int keyLength = 0;                  // bytes; 0 = the cipher's default
    int rc2Bits = 0;                    // RC2 effective key bits
    int prfId = 0;                      // PBES2 PRF: a digest id (0 SHA-1, 3, 4, 5, 6)
};

// Converts the password once, in place, to a BMPString: 00 b for each byte, then 00 00.
void pbe_MakeBmpPassword(pbe_Params& params);
// PKCS#12 key derivation with SHA-1 (RFC 7292 B.2): id 1 key, 2 IV, 3 MAC key.
void pbe_Pkcs12Kdf(std::uint8_t* out, std::size_t n, int id, const SecureBytes& password, const SecureBytes& salt,
                   std::uint32_t iterations);

// Decrypts an EncryptedPrivateKeyInfo list into rsaKey, the RSAPrivateKey element list, with
// key loaded from it. DECRYPT_ERROR (rsaKey null) for a wrong password, a damaged file, an
// unsupported scheme, a key length that does not fit the cipher, or an iteration count
// whose derivation would cost more than its function's cap (about a second: a hostile
// file must not keep the caller busy; real files ask for a few thousand iterations).
Error pbe_Decrypt(AsnList& rsaKey, rsa_Key& key, pbe_Params& params, asn_Node* encrypted);

// Encrypts plaintext under params (scheme, password, salt, iterations, cipher, PRF; the
// PBES2 IV is drawn from the operating system and stored in params.iv). NOT_SUPPORTED_ERROR
// when the scheme or its parameters are not supported; MISC_ERROR when no random bytes could
// be drawn.
Error pbe_Encrypt(pbe_Params& params, const SecureBytes& plaintext, SecureBytes& ciphertext);

// Name of a PBES2 cipher id and a PRF digest id.
const char* pbe_CipherName(int cipherId);
const char* pbe_PrfName(int prfId);

}  // namespace kvn
