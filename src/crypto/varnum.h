// Varnum: multiple-precision arithmetic on non-negative integers of 32-bit digits,
// least significant digit first. There is no sign: subtraction requires u >= v.
//
// A Varnum object owns a growable digit array. Invariant: digits[ndigits..maxdigits) are
// zero, and digits[ndigits - 1] is non-zero (ndigits is 0 for the value zero).
// Arithmetic first resizes all its operands, inputs included, to a common digit count
// (the largest ndigits among them; a product's output to twice that), then sets the
// output's ndigits to its significant count. Comparison and conversion leave their
// operands alone. Every digit array is zero-filled before it is released.
//
// Allocation failure throws kvn::AllocError (a std::bad_alloc) whose message names the
// failing step ("vnNew: Failed to calloc memory.", "vn_resize: Failed to realloc memory.",
// "mpAlloc: Unable to allocate memory."); no object is left half-updated with a leak.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kvn {

struct Varnum {
    std::uint32_t* digits;
    std::size_t ndigits;    // significant digits
    std::size_t maxdigits;  // digits allocated (at least 1)
};

// New object holding 0 (maxdigits 1, ndigits 0).
Varnum* vnNew();
// Zero-fills the digits, frees array and record and sets *b to null; null is allowed.
void vnDispose(Varnum** b) noexcept;

// n < ndigits truncates the value to n digits; n > maxdigits grows the array to exactly
// n digits (the old array is wiped). Digits from ndigits up to n - 1 are zeroed.
void vn_resize(Varnum* b, std::size_t n);

// b = the big-endian bytes; returns the number of digits filled (ceil(nbytes / 4)).
int vnFromBytes(Varnum* b, const std::uint8_t* bytes, std::size_t nbytes);
// Writes b big-endian, right-aligned in outLen bytes with leading zero bytes; when b
// needs more than outLen bytes only its low-order outLen bytes are written. Returns the
// minimal byte length of b (at least 1, so zero needs 1 byte); with out null or outLen
// 0 only returns that length.
int vnToBytes(const Varnum* b, std::uint8_t* out, std::size_t outLen) noexcept;

int vnBits(const Varnum* b) noexcept;                    // bit length, 0 for zero
int vnCmp(const Varnum* a, const Varnum* b) noexcept;    // 1, 0 or -1
bool vnIsZero(const Varnum* b) noexcept;

void vnAdd(Varnum* w, Varnum* u, Varnum* v);                    // w = u + v; w may be u
std::uint32_t vnSub(Varnum* w, Varnum* u, Varnum* v);           // w = u - v (u >= v); w may be u; returns the borrow
void vnMul(Varnum* w, Varnum* u, Varnum* v);                     // w = u * v; w differs from u and v
void vnMulMod(Varnum* a, Varnum* x, Varnum* y, Varnum* m);       // a = x * y mod m
// y = x^e mod m; y is written only at the end, so it may be any operand. e = 0 gives 1,
// m = 0 gives 0 for e >= 1. Not constant-time.
void vnPowMod(Varnum* y, Varnum* x, Varnum* e, Varnum* m);

// Helpers for the RSA layer.
void vnMod(Varnum* r, Varnum* u, Varnum* m);     // r = u mod m (0 when m = 0); r may be u
void vnSetDigit(Varnum* b, std::uint32_t d);     // b = d
void vnCopy(Varnum* dst, const Varnum* src);     // dst = src

// Owning handle: VarnumPtr n = vnMake();
struct VarnumDeleter {
    void operator()(Varnum* b) const noexcept { vnDispose(&b); }
};
using VarnumPtr = std::unique_ptr<Varnum, VarnumDeleter>;
inline VarnumPtr vnMake() { return VarnumPtr(vnNew()); }

}  // namespace kvn
