// HMAC (RFC 2104) over SHA-1, MD5 and the SHA-2 family, and PBKDF2 (RFC 2898 section 5.2).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "crypto/digest.h"

namespace kvn {

// HMAC of message under key, with the digest options & 15. Accepted ids: 0, 1, 3, 4, 5,
// 6; MD2 (2) and ids 7..15 give BAD_FLAG_ERROR; a negative length, or a null message or
// key with a positive length, gives BAD_PARAM_ERROR. With out non-null and outLen >= 1,
// writes min(outLen, L) bytes and sets `length` to that count; otherwise writes nothing
// and sets `length` to L.
Error HmacData(std::uint8_t* out, int outLen, const void* message, int messageLen, const void* key, int keyLen,
               unsigned options, int& length) noexcept;

// HMAC-SHA-1 written straight into out20.
void HmacSha1(std::uint8_t out20[20], const void* message, std::size_t messageLen,
              const void* key, std::size_t keyLen) noexcept;

// PBKDF2 with HMAC as the PRF, keyed with the password. prfOptions (not masked) picks
// the PRF: 0 HMAC-SHA-1, 3 HMAC-SHA-256, 4 HMAC-SHA-384, 5 HMAC-SHA-512, 6 HMAC-SHA-224.
// An iteration count of 0 counts as 1.
// BAD_PARAM_ERROR when derived, password or salt is null, derivedLen is 0 or the PRF is
// not one of the above. Allocates one work buffer of
// saltLen + 4 bytes (throws std::bad_alloc when that fails).
Error Pbkdf2(std::uint8_t* derived, std::size_t derivedLen, const void* password, std::size_t passwordLen,
           const void* salt, std::size_t saltLen, unsigned iterations, unsigned prfOptions);

}  // namespace kvn
