// Maps version numbers to the embedded DTD texts.
#include "cfdi/dtd_catalogue.h"

#include "xml/compiled_dtd.h"

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

DtdText Text(const unsigned char* data, unsigned long size, const char* name, int version) {
    return DtdText{reinterpret_cast<const char*>(data), static_cast<std::size_t>(size), name, version};
}

}  // namespace

DtdText EmbeddedDtd(int versionNumber) noexcept {
    switch (versionNumber) {
        case 20: return Text(kvn_embed_cfdv20_dtd, kvn_embed_cfdv20_dtd_size, "cfdv20.dtd", 20);
        case 22: return Text(kvn_embed_cfdv22_dtd, kvn_embed_cfdv22_dtd_size, "cfdv22.dtd", 22);
        case 30: return Text(kvn_embed_cfdv30_dtd, kvn_embed_cfdv30_dtd_size, "cfdv30.dtd", 30);
        case 32: return Text(kvn_embed_cfdv32_dtd, kvn_embed_cfdv32_dtd_size, "cfdv32.dtd", 32);
        default: return DtdText{};
    }
}

namespace {

XmlCompiledDtdPtr Compile(int versionNumber) {
    const DtdText text = EmbeddedDtd(versionNumber);
    XmlCompiledDtdPtr dtd;
    // The embedded texts are well-formed (the validation tests read every one), so this
    // does not fail; were one damaged, the text would be read per call and report it.
    if (Failed(XmlCompileDtd(dtd, text.data, text.size, text.name))) dtd.reset();
    return dtd;
}

}  // namespace

const XmlCompiledDtd* CompiledEmbeddedDtd(int versionNumber) {
    switch (versionNumber) {
        case 20: { static const XmlCompiledDtdPtr dtd = Compile(20); return dtd.get(); }
        case 22: { static const XmlCompiledDtdPtr dtd = Compile(22); return dtd.get(); }
        case 30: { static const XmlCompiledDtdPtr dtd = Compile(30); return dtd.get(); }
        case 32: { static const XmlCompiledDtdPtr dtd = Compile(32); return dtd.get(); }
        default: return nullptr;
    }
}

}  // namespace kvn
