#include "crypto/random.h"

#include "base/os_random.h"
#include "kelvane.h"

namespace kvn {

int RandomBytes(void* buffer, std::size_t count) noexcept { return ReadOsRandom(buffer, count) ? 0 : MISC_ERROR; }

}  // namespace kvn
