// libFuzzer target: see zip_targets.h.
#include "zip_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kvn_fuzz::FuzzZipReader(data, size);
    return 0;
}
