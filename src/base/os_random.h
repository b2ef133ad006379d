// Random bytes from the operating system: getrandom(2), or /dev/urandom where that call
// is missing or refused. Every random byte of the library comes from here; there is no
// generator of its own and no weaker fallback.
#pragma once

#include <cstddef>

namespace kvn {

// Fills count bytes of buffer from the kernel's generator. On failure records "Cannot get
// random bytes from the operating system/..." in the last-error text and returns false;
// the buffer then holds nothing to rely on. A count of 0 succeeds and writes nothing.
// Safe to call from any number of threads.
[[nodiscard]] bool ReadOsRandom(void* buffer, std::size_t count) noexcept;

// Test hook: which sources ReadOsRandom may use (process-wide; only tests change it).
enum class OsRandomSources { kAll, kDevUrandomOnly, kNone };
void SetOsRandomSourcesForTesting(OsRandomSources sources) noexcept;

}  // namespace kvn
