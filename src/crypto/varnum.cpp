// Varnum object layer: growable digit arrays over the digit layer of mp.h.
#include "crypto/varnum.h"

#include <algorithm>
#include <cstring>

#include "base/memory.h"
#include "crypto/mp.h"

namespace kvn {
namespace {

std::size_t Largest(std::initializer_list<const Varnum*> list) noexcept {
    std::size_t n = 0;
    for (const Varnum* b : list) n = std::max(n, b->ndigits);
    return std::max<std::size_t>(n, 1);
}

void SetSignificant(Varnum* b) noexcept { b->ndigits = mpSizeof(b->digits, b->maxdigits); }

}  // namespace

Varnum* vnNew() {
    Varnum* b = nullptr;
    try {
        b = static_cast<Varnum*>(ecalloc(1, sizeof(Varnum)));
        b->digits = static_cast<Digit*>(ecalloc(1, sizeof(Digit)));
    } catch (const std::bad_alloc&) {
        efree(b);
        throw AllocError("vnNew: Failed to calloc memory.");
    }
    b->ndigits = 0;
    b->maxdigits = 1;
    return b;
}

void vnDispose(Varnum** b) noexcept {
    if (!b || !*b) return;
    mpFree((*b)->digits, (*b)->maxdigits);
    efree(*b);
    *b = nullptr;
}

void vn_resize(Varnum* b, std::size_t n) {
    if (n < b->ndigits) {
        mpSetZero(b->digits + n, b->ndigits - n);
        b->ndigits = n;
    }
    if (n > b->maxdigits) {
        // On failure the object keeps its old array, so the caller can still dispose it.
        Digit* grown;
        try {
            grown = static_cast<Digit*>(emalloc(n * sizeof(Digit)));
        } catch (const std::bad_alloc&) {
            throw AllocError("vn_resize: Failed to realloc memory.");
        }
        std::memcpy(grown, b->digits, b->maxdigits * sizeof(Digit));
        mpFree(b->digits, b->maxdigits);
        b->digits = grown;
        mpSetZero(b->digits + b->maxdigits, n - b->maxdigits);
        b->maxdigits = n;
    }
    if (n > b->ndigits) mpSetZero(b->digits + b->ndigits, n - b->ndigits);
}

int vnFromBytes(Varnum* b, const std::uint8_t* bytes, std::size_t nbytes) {
    const std::size_t nd = (nbytes + 3) / 4;
    vn_resize(b, 0);  // clears the old value
    vn_resize(b, nd);
    std::size_t filled = mpConvFromOctets(b->digits, nd, bytes, nbytes);
    SetSignificant(b);
    return static_cast<int>(filled);
}

int vnToBytes(const Varnum* b, std::uint8_t* out, std::size_t outLen) noexcept {
    const std::size_t bits = mpBitLength(b->digits, b->ndigits);
    const std::size_t needed = bits == 0 ? 1 : (bits + 7) / 8;
    if (out && outLen > 0) mpConvToOctets(b->digits, b->ndigits, out, outLen);
    return static_cast<int>(needed);
}

int vnBits(const Varnum* b) noexcept { return static_cast<int>(mpBitLength(b->digits, b->ndigits)); }

int vnCmp(const Varnum* a, const Varnum* b) noexcept {
    std::size_t na = mpSizeof(a->digits, a->ndigits), nb = mpSizeof(b->digits, b->ndigits);
    if (na != nb) return na > nb ? 1 : -1;
    return mpCompare(a->digits, b->digits, na);
}

bool vnIsZero(const Varnum* b) noexcept { return mpIsZero(b->digits, b->ndigits); }

void vnAdd(Varnum* w, Varnum* u, Varnum* v) {
    const std::size_t n = Largest({u, v});
    const bool oneDigit = v->ndigits <= 1;
    const Digit v0 = v->digits[0];
    vn_resize(u, n);
    vn_resize(v, n);
    // One digit more than the operands, so the carry is kept.
    vn_resize(w, n + 1);
    Digit carry = oneDigit ? mpShortAdd(w->digits, u->digits, v0, n) : mpAdd(w->digits, u->digits, v->digits, n);
    w->digits[n] = carry;
    SetSignificant(w);
}

std::uint32_t vnSub(Varnum* w, Varnum* u, Varnum* v) {
    const std::size_t n = Largest({u, v});
    const bool oneDigit = v->ndigits <= 1;
    const Digit v0 = v->digits[0];
    vn_resize(u, n);
    vn_resize(v, n);
    vn_resize(w, n);
    Digit borrow = oneDigit ? mpShortSub(w->digits, u->digits, v0, n) : mpSubtract(w->digits, u->digits, v->digits, n);
    SetSignificant(w);
    return borrow;
}

void vnMul(Varnum* w, Varnum* u, Varnum* v) {
    const std::size_t n = Largest({u, v});
    const bool oneDigit = v->ndigits <= 1;
    vn_resize(u, n);
    vn_resize(v, n);
    // Formed in a temporary, so an output that is also an operand still gives u * v.
    MpBuf product(2 * n);
    if (oneDigit)
        product.get()[n] = mpShortMult(product.get(), u->digits, v->digits[0], n);
    else
        mpMultiply(product.get(), u->digits, v->digits, n);
    vn_resize(w, 2 * n);
    mpSetEqual(w->digits, product.get(), 2 * n);
    SetSignificant(w);
}

void vnMulMod(Varnum* a, Varnum* x, Varnum* y, Varnum* m) {
    const std::size_t n = Largest({x, y, m});
    vn_resize(x, n);
    vn_resize(y, n);
    vn_resize(m, n);
    MpBuf result(n);
    mpModMult(result.get(), x->digits, y->digits, m->digits, n);
    vn_resize(a, n);
    mpSetEqual(a->digits, result.get(), n);
    SetSignificant(a);
}

void vnPowMod(Varnum* y, Varnum* x, Varnum* e, Varnum* m) {
    const std::size_t n = Largest({x, e, m});
    vn_resize(x, n);
    vn_resize(e, n);
    vn_resize(m, n);
    MpBuf result(n);
    mpModExp(result.get(), x->digits, e->digits, m->digits, n);
    vn_resize(y, n);
    mpSetEqual(y->digits, result.get(), n);
    SetSignificant(y);
}

void vnMod(Varnum* r, Varnum* u, Varnum* m) {
    const std::size_t n = Largest({u, m});
    vn_resize(u, n);
    vn_resize(m, n);
    MpBuf result(n);
    mpModulo(result.get(), u->digits, n, m->digits, n);
    vn_resize(r, n);
    mpSetEqual(r->digits, result.get(), n);
    SetSignificant(r);
}

void vnSetDigit(Varnum* b, std::uint32_t d) {
    vn_resize(b, 0);
    vn_resize(b, 1);
    b->digits[0] = d;
    SetSignificant(b);
}

void vnCopy(Varnum* dst, const Varnum* src) {
    if (dst == src) return;
    const std::size_t n = std::max<std::size_t>(src->ndigits, 1);
    vn_resize(dst, 0);
    vn_resize(dst, n);
    mpSetEqual(dst->digits, src->digits, n);
    SetSignificant(dst);
}

}  // namespace kvn
