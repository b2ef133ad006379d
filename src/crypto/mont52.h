// Montgomery exponentiation in radix 2^52 for the lanes of AVX-512 IFMA (the kernels of
// crypto/mont52_kernel.h), with the conversions between 64-bit and 52-bit limbs.
// crypto/mont.h uses it for its secret exponentiations where the processor has IFMA; the
// emulated lanes run the same kernels anywhere, for the tests and the constant-time check.
//
// Limbs are least significant first. L (mont52_LimbsFor) makes 2^(52 L) > 4 m for a
// modulus of n 64-bit limbs and is a whole number of vectors.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn {

enum class mont52_Lanes { kIfma, kEmulated };

// True when the processor has AVX512F, AVX512VL and AVX512IFMA and the operating system
// saves their registers.
bool mont52_IfmaAvailable() noexcept;

// 52-bit limbs for a modulus of n 64-bit limbs: at least 64 n + 2 bits, in whole vectors.
std::size_t mont52_LimbsFor(std::size_t n) noexcept;
// Limbs of the work area mont52_Exp needs for L limbs.
std::size_t mont52_WorkLimbs(std::size_t limbs) noexcept;

// out (L limbs of 52 bits) = in (n limbs of 64 bits); the value must fit.
void mont52_From64(std::uint64_t* out, std::size_t limbs, const std::uint64_t* in, std::size_t n) noexcept;
// out (n limbs of 64 bits) = in (L limbs of 52 bits), cut to 64 n bits.
void mont52_To64(std::uint64_t* out, std::size_t n, const std::uint64_t* in, std::size_t limbs) noexcept;

// r = a b / 2^(52 L) mod m, below 2m for a, b below 2m; k0 = -m^-1 mod 2^52.
void mont52_Mul(mont52_Lanes lanes, std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* b,
                const std::uint64_t* m, std::uint64_t k0, std::size_t limbs) noexcept;
// r = a^e in the radix-2^52 Montgomery domain (below 2m; a below 2m; one = 2^(52 L) mod m),
// in constant time for a secret exponent of elimbs 64-bit limbs. work holds
// mont52_WorkLimbs(L) limbs; the caller wipes it.
void mont52_Exp(mont52_Lanes lanes, std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* m,
                std::uint64_t k0, const std::uint64_t* one, std::size_t limbs, const std::uint64_t* e,
                std::size_t elimbs, std::uint64_t* work) noexcept;

// The IFMA build of the kernels (crypto/mont52_ifma.cpp): only to be called when
// mont52_IfmaAvailable().
void mont52_MulIfma(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* b, const std::uint64_t* m,
                    std::uint64_t k0, std::size_t limbs) noexcept;
void mont52_ExpIfma(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* m, std::uint64_t k0,
                    const std::uint64_t* one, std::size_t limbs, const std::uint64_t* e, std::size_t elimbs,
                    std::uint64_t* work) noexcept;

}  // namespace kvn
