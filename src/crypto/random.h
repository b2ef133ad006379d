// Random bytes: the Park-Miller minimal standard generator (x -> 16807 x mod 2^31 - 1),
// seeded once per process from the clock.
//
// This is NOT a cryptographically strong generator: its whole state is one 31-bit word
// seeded from the time. It serves where the stored formats need bytes that merely vary.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn {

// Fills count bytes of buffer; returns 0. A count of 0 writes nothing. The process-wide
// seed state is not locked: callers serialise their calls.
int RandomBytes(void* buffer, std::size_t count) noexcept;

// One generator step: 16807 x mod (2^31 - 1), a zero result replaced by 2^31 - 1.
std::uint32_t ParkMillerStep(std::uint32_t x) noexcept;

// Test hooks: read or force the process-wide seed state.
std::uint32_t RandomSeedState() noexcept;
void SetRandomSeedState(std::uint32_t state) noexcept;

}  // namespace kvn
