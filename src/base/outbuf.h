// The output-buffer convention of the exports: (out, outlen) where the buffer holds
// outlen characters plus a NUL.
#pragma once

#include <cstddef>
#include <cstring>

namespace kvn {

inline bool WantsLength(const char* out, int outlen) { return out == nullptr || outlen < 1; }

// Copies min(outlen, n) characters of s and a NUL; returns the number copied.
inline int CopyOut(char* out, int outlen, const char* s, std::size_t n) {
    std::size_t take = n < static_cast<std::size_t>(outlen) ? n : static_cast<std::size_t>(outlen);
    std::memcpy(out, s, take);
    out[take] = '\0';
    return static_cast<int>(take);
}

// Step 1 and 2 of the convention: the whole length without a buffer, else the number of
// characters written.
inline int AnswerText(char* out, int outlen, const char* s, std::size_t n) {
    if (WantsLength(out, outlen)) return static_cast<int>(n);
    return CopyOut(out, outlen, s, n);
}
inline int AnswerText(char* out, int outlen, const char* s) { return AnswerText(out, outlen, s, std::strlen(s)); }

}  // namespace kvn
