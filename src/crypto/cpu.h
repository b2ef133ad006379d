// Processor features for the accelerated digests, ciphers and Montgomery products, read
// once from CPUID. No setting of the caller's changes what the library runs: only the test
// programs switch to the portable code (cpu_UsePortableForTesting, which the test suites
// call when KVN_PORTABLE_CRYPTO=1, so that every vector and streaming test runs both ways).
#pragma once

namespace kvn {

// True when the SHA extensions (with SSE4.1) are there and not turned off.
bool cpu_UseShaNi() noexcept;
// True when AES-NI (with SSE4.1) is there and not turned off.
bool cpu_UseAesNi() noexcept;
// What the processor offers, whatever the test switch says.
bool cpu_HasShaNi() noexcept;
bool cpu_HasAesNi() noexcept;

// True when MULX, ADCX and ADOX (BMI2 and ADX) are there and not turned off: the
// Montgomery products of crypto/mont.h then run two carry chains at once.
bool cpu_UseMulxAdx() noexcept;
bool cpu_HasMulxAdx() noexcept;
// True when AVX2 is there, enabled by the operating system and not turned off (the
// window table scan of crypto/mont.h gathers four limbs at a time).
bool cpu_UseAvx2() noexcept;
// Test hook: 1 or 0 makes cpu_UseMulxAdx() answer so whatever the processor says, -1
// returns to what it says. The constant-time check needs it: valgrind runs MULX, ADCX
// and ADOX but its simulated CPUID does not offer them.
void cpu_OverrideMulxAdxForTesting(int use) noexcept;
// Test hook: true keeps every algorithm on its portable code (the SHA extensions, AES-NI,
// MULX/ADX and AVX2 paths answer false), false returns to what the processor offers.
void cpu_UsePortableForTesting(bool portable) noexcept;
// What the processor offers for the radix-2^52 Montgomery kernels of crypto/mont52.h:
// AVX512F, AVX512VL and AVX512IFMA, with the operating system saving their registers.
bool cpu_HasAvx512Ifma() noexcept;

}  // namespace kvn
