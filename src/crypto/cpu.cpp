#include "crypto/cpu.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace kvn {
namespace {

struct Features {
    bool sha = false;
    bool aes = false;
    bool mulxAdx = false;
    bool avx2 = false;
};

Features Detect() noexcept {
    Features f;
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    bool sse41 = false;
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        sse41 = (c & bit_SSE4_1) != 0;
        f.aes = sse41 && (c & bit_AES) != 0;
    }
    bool avxState = false;
    if (__get_cpuid(1, &a, &b, &c, &d) && (c & bit_OSXSAVE) && (c & bit_AVX)) {
        unsigned lo = 0, hi = 0;
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        avxState = (lo & 6) == 6;  // the OS saves the XMM and YMM registers
    }
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        f.avx2 = avxState && (b & bit_AVX2) != 0;
        f.sha = sse41 && (b & bit_SHA) != 0;
        f.mulxAdx = (b & bit_BMI2) != 0 && (b & bit_ADX) != 0;
    }
#endif
    return f;
}

std::atomic<int> mulxAdxOverride{-1};
std::atomic<bool> portableForTesting{false};

bool Portable() noexcept { return portableForTesting.load(std::memory_order_relaxed); }

// Read once, on first use; immutable afterwards.
const Features& Get() noexcept {
    static const Features features = Detect();
    return features;
}

}  // namespace

bool cpu_HasShaNi() noexcept { return Get().sha; }
bool cpu_HasAesNi() noexcept { return Get().aes; }
bool cpu_UseShaNi() noexcept { return Get().sha && !Portable(); }
bool cpu_UseAesNi() noexcept { return Get().aes && !Portable(); }
bool cpu_HasMulxAdx() noexcept { return Get().mulxAdx; }
bool cpu_UseMulxAdx() noexcept {
    const int forced = mulxAdxOverride.load(std::memory_order_relaxed);
    return forced >= 0 ? forced == 1 : Get().mulxAdx && !Portable();
}
bool cpu_UseAvx2() noexcept { return Get().avx2 && !Portable(); }
void cpu_OverrideMulxAdxForTesting(int use) noexcept { mulxAdxOverride.store(use, std::memory_order_relaxed); }
void cpu_UsePortableForTesting(bool portable) noexcept { portableForTesting.store(portable, std::memory_order_relaxed); }

bool cpu_HasAvx512Ifma() noexcept {
    static const bool ifma = [] {
#if defined(__x86_64__)
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE)) return false;
        unsigned lo = 0, hi = 0;
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        // The operating system saves XMM, YMM, the mask registers and all of ZMM.
        if ((lo & 0xE6) != 0xE6) return false;
        if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
        return (b & bit_AVX512F) && (b & bit_AVX512VL) && (b & bit_AVX512IFMA);
#else
        return false;
#endif
    }();
    return ifma;
}

}  // namespace kvn
