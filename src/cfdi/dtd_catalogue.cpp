// Maps version numbers to the embedded DTD texts.
#include "cfdi/dtd_catalogue.h"

namespace kvn {

// Defined by the sources generated from src/cfdi/dtd/*.dtd.
extern const unsigned char kvn_embed_cfdv20_dtd[];
extern const unsigned long kvn_embed_cfdv20_dtd_size;
extern const unsigned char kvn_embed_cfdv22_dtd[];
extern const unsigned long kvn_embed_cfdv22_dtd_size;
extern const unsigned char kvn_embed_cfdv30_dtd[];
extern const unsigned long kvn_embed_cfdv30_dtd_size;
extern const unsigned char kvn_embed_cfdv32_dtd[];
extern const unsigned long kvn_embed_cfdv32_dtd_size;

namespace {

DtdText Text(const unsigned char* data, unsigned long size, const char* name) {
    return DtdText{reinterpret_cast<const char*>(data), static_cast<std::size_t>(size), name};
}

}  // namespace

DtdText EmbeddedDtd(int versionNumber) noexcept {
    switch (versionNumber) {
        case 20: return Text(kvn_embed_cfdv20_dtd, kvn_embed_cfdv20_dtd_size, "cfdv20.dtd");
        case 22: return Text(kvn_embed_cfdv22_dtd, kvn_embed_cfdv22_dtd_size, "cfdv22.dtd");
        case 30: return Text(kvn_embed_cfdv30_dtd, kvn_embed_cfdv30_dtd_size, "cfdv30.dtd");
        case 32: return Text(kvn_embed_cfdv32_dtd, kvn_embed_cfdv32_dtd_size, "cfdv32.dtd");
        default: return DtdText{};
    }
}

}  // namespace kvn
