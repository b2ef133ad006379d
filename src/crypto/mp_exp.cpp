// Modular multiplication and exponentiation of the Varnum digit layer. Every product
// and square is formed in 2n digits and reduced by Algorithm D; there is no Montgomery
// or Barrett step. The running time depends on the exponent's bit pattern.
#include "crypto/mp.h"
#include "crypto/mp_reduce.h"

namespace kvn {

void mpModMult(Digit* a, const Digit* x, const Digit* y, const Digit* m, std::size_t n) {
    MpBuf product(2 * n);
    mpMultiply(product.get(), x, y, n);
    Reducer reducer(m, n, 2 * n);
    reducer.Reduce(a, nullptr, product.get(), 2 * n);
}

namespace {

// Window width for an exponent of `bits` bits: the number of thresholds at most bits.
unsigned WindowWidth(std::size_t bits) noexcept {
    static constexpr std::size_t kThresholds[] = {5, 16, 64, 240, 768, 1024, 2048, 4096};
    unsigned w = 0;
    for (std::size_t t : kThresholds)
        if (t <= bits) ++w;
    return w;
}

bool TestBit(const Digit* e, std::size_t bit) noexcept { return (e[bit / 32] >> (bit % 32)) & 1; }

// State of one exponentiation: the modulus reducer and a 2n-digit scratch product.
class ModArith {
public:
    ModArith(const Digit* m, std::size_t n) : n_(n), reducer_(m, n, 2 * n), t_(2 * n) {}
    // a = a^2 mod m
    void Square(Digit* a) noexcept {
        mpSquare(t_.get(), a, n_);
        reducer_.Reduce(a, nullptr, t_.get(), 2 * n_);
    }
    // a = a * b mod m (a differs from b)
    void Mult(Digit* a, const Digit* b) noexcept {
        mpMultiply(t_.get(), a, b, n_);
        reducer_.Reduce(a, nullptr, t_.get(), 2 * n_);
    }
    // a = b mod m
    void Reduce(Digit* a, const Digit* b) noexcept {
        mpSetZero(t_.get(), 2 * n_);
        mpSetEqual(t_.get(), b, n_);
        reducer_.Reduce(a, nullptr, t_.get(), n_);
    }

private:
    std::size_t n_;
    Reducer reducer_;
    MpBuf t_;
};

// The odd powers of the sliding window, each in its own mpAlloc array.
struct PowerTable {
    std::size_t n;
    std::size_t count = 0;
    Digit* entries[128] = {};
    explicit PowerTable(std::size_t digits) : n(digits) {}
    ~PowerTable() {
        for (std::size_t i = 0; i < count; ++i) mpFree(entries[i], n);
    }
    PowerTable(const PowerTable&) = delete;
    PowerTable& operator=(const PowerTable&) = delete;
    void Add() {
        Digit* p = mpAlloc(n);
        entries[count++] = p;
    }
};

// Left-to-right binary square-and-multiply; the result starts as x, unreduced.
void BinaryExp(Digit* result, const Digit* x, const Digit* e, std::size_t bits, ModArith& arith, std::size_t n) {
    mpSetEqual(result, x, n);
    for (std::size_t i = bits - 1; i-- > 0;) {
        arith.Square(result);
        if (TestBit(e, i)) arith.Mult(result, x);
    }
}

// Left-to-right sliding window of width w over precomputed odd powers x, x^3, x^5, ...
void WindowExp(Digit* result, const Digit* x, const Digit* e, std::size_t bits, unsigned w, ModArith& arith,
               std::size_t n) {
    const std::size_t tableSize = std::size_t{1} << (w - 1);
    PowerTable table(n);
    MpBuf g2(n);
    for (std::size_t i = 0; i < tableSize; ++i) table.Add();
    arith.Reduce(table.entries[0], x);
    mpSetEqual(g2.get(), table.entries[0], n);
    arith.Square(g2.get());
    for (std::size_t i = 1; i < tableSize; ++i) {
        mpSetEqual(table.entries[i], table.entries[i - 1], n);
        arith.Mult(table.entries[i], g2.get());
    }

    bool first = true;
    std::size_t i = bits;  // bits still to scan: i - 1 down to 0
    while (i > 0) {
        if (!TestBit(e, i - 1)) {
            arith.Square(result);
            --i;
            continue;
        }
        // Longest run of at most w bits from bit i - 1 down that ends in a one bit.
        std::size_t low = i >= w ? i - w : 0;
        while (!TestBit(e, low)) ++low;
        std::size_t value = 0;
        for (std::size_t b = i; b-- > low;) value = (value << 1) | (TestBit(e, b) ? 1u : 0u);
        const Digit* power = table.entries[value >> 1];
        if (first) {
            mpSetEqual(result, power, n);
            first = false;
        } else {
            for (std::size_t s = low; s < i; ++s) arith.Square(result);
            arith.Mult(result, power);
        }
        i = low;
    }
}

}  // namespace

void mpModExp(Digit* y, const Digit* x, const Digit* e, const Digit* m, std::size_t n) {
    const std::size_t bits = mpBitLength(e, n);
    MpBuf result(n);
    if (bits == 0) {
        mpSetDigit(result.get(), 1, n);
    } else {
        ModArith arith(m, n);
        if (bits == 1) {
            arith.Reduce(result.get(), x);
        } else {
            unsigned w = WindowWidth(bits);
            if (w < 2)
                BinaryExp(result.get(), x, e, bits, arith, n);
            else
                WindowExp(result.get(), x, e, bits, w, arith, n);
        }
    }
    mpSetEqual(y, result.get(), n);
}

}  // namespace kvn
