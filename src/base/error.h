// The library's one way to report a failure inside its layers: a named error of the error
// table. Every code has one sign here (the table's positive number); src/api alone turns
// an error into the C interface's negative int.
//
// The names are the table's own (Error::BAD_PARAM_ERROR is BAD_PARAM_ERROR of kelvane.h).
// A function that can fail returns Error (kOk on success) and hands its product back
// through an output argument; [[nodiscard]] makes ignoring the answer a compile error
// under -Werror. Allocation failure is not an Error: it propagates as std::bad_alloc.
#pragma once

#include "kelvane.h"

namespace kvn {

enum class [[nodiscard]] Error : int {
    SUCCESS_ERROR = ::SUCCESS_ERROR,
    OPEN_ERROR = ::OPEN_ERROR,
    CREATE_ERROR = ::CREATE_ERROR,
    READ_ERROR = ::READ_ERROR,
    WRITE_ERROR = ::WRITE_ERROR,
    MEMORY_ERROR = ::MEMORY_ERROR,
    BAD_PARAM_ERROR = ::BAD_PARAM_ERROR,
    BAD_FORMAT_ERROR = ::BAD_FORMAT_ERROR,
    INVALID_DATA_ERROR = ::INVALID_DATA_ERROR,
    EOF_ERROR = ::EOF_ERROR,
    DECRYPT_ERROR = ::DECRYPT_ERROR,
    MISSING_ERROR = ::MISSING_ERROR,
    BAD_FLAG_ERROR = ::BAD_FLAG_ERROR,
    NOT_SUPPORTED_ERROR = ::NOT_SUPPORTED_ERROR,
    NO_DATA_ERROR = ::NO_DATA_ERROR,
    NO_MATCH_ERROR = ::NO_MATCH_ERROR,
    SIGNATURE_ERROR = ::SIGNATURE_ERROR,
    BAD_LENGTH_ERROR = ::BAD_LENGTH_ERROR,
    BAD_XML_ERROR = ::BAD_XML_ERROR,
    XML_FACET_ERROR = ::XML_FACET_ERROR,
    BAD_QUERY_ERROR = ::BAD_QUERY_ERROR,
    SHORT_BUF_ERROR = ::SHORT_BUF_ERROR,
    BAD_CERT_ERROR = ::BAD_CERT_ERROR,
    PARSER_FAILED_ERROR = ::PARSER_FAILED_ERROR,
    VALIDATOR_FAIL_ERROR = ::VALIDATOR_FAIL_ERROR,
    BAD_DTD_ERROR = ::BAD_DTD_ERROR,
    MISC_ERROR = ::MISC_ERROR,
    // Codes of the certificate and key layer that reach callers but have no table row
    // (KVN_ErrorLookup answers 0 for them).
    OUT_OF_RANGE_ERROR = 11,  // a value out of range for the key, key data too short, or a
                              // character outside the target character set
    REOPEN_ERROR = 13,        // a file just written cannot be opened again
    NULL_KEY_ERROR = 14,      // a null key record
    NOT_RSA_KEY_ERROR = 36,   // a certificate key that is not an RSAPublicKey
    PKI_FAILED_ERROR = 9745,  // a failure without a more specific code
};

inline constexpr Error kOk = Error::SUCCESS_ERROR;

constexpr bool Failed(Error e) noexcept { return e != kOk; }

// The table's number of an error (positive; 0 for kOk).
constexpr int CodeOf(Error e) noexcept { return static_cast<int>(e); }

// The C interface's result for an error: the negated number (0 for kOk). The exports' own
// conversion (and the pipe string's message, which shows a failed version read by it).
constexpr int ResultOf(Error e) noexcept { return -static_cast<int>(e); }

}  // namespace kvn
