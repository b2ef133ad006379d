#include "crypto/random.h"

#include "base/os_random.h"

namespace kvn {

Error RandomBytes(void* buffer, std::size_t count) noexcept {
    return ReadOsRandom(buffer, count) ? kOk : Error::MISC_ERROR;
}

}  // namespace kvn
