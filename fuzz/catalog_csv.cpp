// libFuzzer target: see catalog_targets.h.
#include "catalog_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        kvn_fuzz::FuzzCatalogCsv(data, size);
    } catch (const std::bad_alloc&) {
        // A request of 1 GiB or more is refused by the allocator; that is not a fault.
    }
    return 0;
}
