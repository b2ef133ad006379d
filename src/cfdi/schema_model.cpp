// Lookup of the compiled schema sets.
#include "cfdi/schema_model.h"

namespace kvn {

const XsdSchemaSet* SchemaSetFor(int versionNumber) noexcept {
    for (std::size_t i = 0; i < kXsdSchemaSetCount; ++i)
        if (kXsdSchemaSets[i].versionNumber == versionNumber) return &kXsdSchemaSets[i];
    return nullptr;
}

}  // namespace kvn
