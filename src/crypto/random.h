// Random bytes for keys, salts, IVs, blinding and test messages: the operating system's
// generator (getrandom, or /dev/urandom), never a generator of the library's own.
#pragma once

#include <cstddef>

#include "base/error.h"

namespace kvn {

// Fills count bytes of buffer from the operating system. Returns kOk; on failure
// Error::MISC_ERROR, with "Cannot get random bytes from the operating system/..." in the
// last-error text (the buffer then holds nothing to rely on). A count of 0 writes
// nothing. Safe to call from any number of threads: it keeps no state.
Error RandomBytes(void* buffer, std::size_t count) noexcept;

}  // namespace kvn
