// Park-Miller minimal standard generator: x -> 16807 x mod (2^31 - 1).
#include "crypto/random.h"

#include <ctime>

namespace kvn {
namespace {

constexpr std::uint64_t kModulus = 2147483647u;  // 2^31 - 1
constexpr std::uint64_t kMultiplier = 16807u;

// The only state of the generator; 0 until the first call seeds it from the clock.
std::uint32_t g_seedState = 0;

// Milliseconds since the process started (the C runtime's processor clock) XOR seconds
// since 1970.
std::uint32_t ClockSeed() noexcept {
    std::clock_t ticks = std::clock();
    std::uint64_t ms = ticks == static_cast<std::clock_t>(-1)
                           ? 0
                           : static_cast<std::uint64_t>(ticks) * 1000u / CLOCKS_PER_SEC;
    std::uint64_t seconds = static_cast<std::uint64_t>(std::time(nullptr));
    return static_cast<std::uint32_t>(ms ^ seconds);
}

// Draws a fresh seed from the process-wide state and leaves it as the new state.
std::uint32_t DrawSeed() noexcept {
    ++g_seedState;
    if (g_seedState == 1) g_seedState = ClockSeed();
    std::uint32_t x1 = ParkMillerStep(g_seedState);
    std::uint32_t x2 = ParkMillerStep(x1);
    g_seedState = (x2 & 0xFFFFu) | ((x1 << 16) & 0x7FFFFFFFu);
    return g_seedState;
}

}  // namespace

std::uint32_t ParkMillerStep(std::uint32_t x) noexcept {
    std::uint64_t r = (kMultiplier * x) % kModulus;
    return r == 0 ? static_cast<std::uint32_t>(kModulus) : static_cast<std::uint32_t>(r);
}

int RandomBytes(void* buffer, std::size_t count) noexcept {
    if (!buffer) count = 0;
    std::uint32_t x = DrawSeed();
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < count; ++i) {
        x = ParkMillerStep(x);
        out[i] = static_cast<std::uint8_t>(x);
    }
    return 0;
}

std::uint32_t RandomSeedState() noexcept { return g_seedState; }
void SetRandomSeedState(std::uint32_t state) noexcept { g_seedState = state; }

}  // namespace kvn
