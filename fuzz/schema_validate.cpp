// libFuzzer target: schema validation of CFDI 3.3 and 4.0 (schema_targets.h).
#include "schema_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kvn_fuzz::FuzzSchemaValidation(data, size);
    return 0;
}
