// libFuzzer target: see data_targets.h.
#include "data_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        kvn_fuzz::FuzzDocumentData(data, size);
    } catch (const std::bad_alloc&) {
        // A request of 1 GiB or more is refused by the allocator; that is not a fault.
    }
    return 0;
}
