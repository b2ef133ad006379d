// Digit-array layer of Varnum: arithmetic on caller-supplied arrays of 32-bit digits,
// least significant first. n is the common length of the operands unless stated.
// Temporary arrays come from mpAlloc and are zero-filled before they are freed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn {

using Digit = std::uint32_t;

// Zero-filled array of max(n, 1) digits. Throws AllocError
// ("mpAlloc: Unable to allocate memory.") when memory runs out.
Digit* mpAlloc(std::size_t n);
// Zero-fills max(n, 1) digits of a and frees it; null is allowed.
void mpFree(Digit* a, std::size_t n) noexcept;

// Owner of one mpAlloc array.
class MpBuf {
public:
    explicit MpBuf(std::size_t n) : n_(n), p_(mpAlloc(n)) {}
    ~MpBuf() { mpFree(p_, n_); }
    MpBuf(const MpBuf&) = delete;
    MpBuf& operator=(const MpBuf&) = delete;
    Digit* get() const noexcept { return p_; }
    std::size_t size() const noexcept { return n_; }

private:
    std::size_t n_;
    Digit* p_;
};

void mpSetZero(Digit* a, std::size_t n) noexcept;
void mpSetDigit(Digit* a, Digit d, std::size_t n) noexcept;    // a = d
void mpSetEqual(Digit* a, const Digit* b, std::size_t n) noexcept;
bool mpIsZero(const Digit* a, std::size_t n) noexcept;
std::size_t mpSizeof(const Digit* a, std::size_t n) noexcept;  // significant digits
std::size_t mpBitLength(const Digit* a, std::size_t n) noexcept;
int mpCompare(const Digit* a, const Digit* b, std::size_t n) noexcept;  // 1, 0, -1

Digit mpAdd(Digit* w, const Digit* u, const Digit* v, std::size_t n) noexcept;       // returns carry
Digit mpSubtract(Digit* w, const Digit* u, const Digit* v, std::size_t n) noexcept;  // returns borrow
// w (2n digits, distinct from u and v) = u * v.
void mpMultiply(Digit* w, const Digit* u, const Digit* v, std::size_t n) noexcept;
// w (2n digits, distinct from x) = x * x.
void mpSquare(Digit* w, const Digit* x, std::size_t n) noexcept;

Digit mpShortAdd(Digit* w, const Digit* u, Digit v, std::size_t n) noexcept;   // returns carry
Digit mpShortSub(Digit* w, const Digit* u, Digit v, std::size_t n) noexcept;   // returns borrow
Digit mpShortMult(Digit* w, const Digit* u, Digit v, std::size_t n) noexcept;  // returns the carry digit
// q = u / v, returns u mod v; v = 0 gives q = 0 and remainder 0.
Digit mpShortDiv(Digit* q, const Digit* u, Digit v, std::size_t n) noexcept;
// a = b << shift (shift < 32), returns the bits shifted out; a may equal b.
Digit mpShiftLeft(Digit* a, const Digit* b, unsigned shift, std::size_t n) noexcept;
// a = b >> shift (shift < 32), returns the bits shifted out; a may equal b.
Digit mpShiftRight(Digit* a, const Digit* b, unsigned shift, std::size_t n) noexcept;

// Knuth's Algorithm D. q (udigits) = u / v and r (vdigits) = u mod v. A zero divisor
// gives q = 0 and r = 0. q or r may be null when not wanted.
void mpDivide(Digit* q, Digit* r, const Digit* u, std::size_t udigits, const Digit* v, std::size_t vdigits);
// r (vdigits) = u mod v.
void mpModulo(Digit* r, const Digit* u, std::size_t udigits, const Digit* v, std::size_t vdigits);
// a = x * y mod m, all n digits; a may equal any operand.
void mpModMult(Digit* a, const Digit* x, const Digit* y, const Digit* m, std::size_t n);
// y = x^e mod m, all n digits; y is written only at the end.
void mpModExp(Digit* y, const Digit* x, const Digit* e, const Digit* m, std::size_t n);

// a (ndigits) = the big-endian bytes c; returns the digits filled, ceil(nbytes / 4)
// (bytes that do not fit are ignored).
std::size_t mpConvFromOctets(Digit* a, std::size_t ndigits, const std::uint8_t* c, std::size_t nbytes) noexcept;
// Writes a big-endian, right-aligned in nbytes; returns nbytes.
std::size_t mpConvToOctets(const Digit* a, std::size_t ndigits, std::uint8_t* c, std::size_t nbytes) noexcept;

}  // namespace kvn
