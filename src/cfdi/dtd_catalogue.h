// The DTD texts carried inside the library, one per supported document version. Each is
// the text of a file under src/cfdi/dtd/, embedded at build time byte for byte.
#pragma once

#include <cstddef>

namespace kvn {

struct XmlCompiledDtd;

struct DtdText {
    const char* data = nullptr;  // UTF-8, NUL-terminated; null when there is none
    std::size_t size = 0;        // bytes, without the NUL
    const char* name = nullptr;  // its file name, the system identifier it is read under
    int version = 0;             // the version number it serves
};

// The DTD of a version number: 20 CFD 2.0, 22 CFD 2.2, 30 CFDI 3.0, 32 CFDI 3.2; an
// empty DtdText for any other number.
DtdText EmbeddedDtd(int versionNumber) noexcept;

// The same DTD compiled (xml/compiled_dtd.h) on first use and then shared by every call
// and thread for the life of the process; null for numbers without a DTD. A first use
// that runs out of memory throws std::bad_alloc and leaves the next use to compile it.
const XmlCompiledDtd* CompiledEmbeddedDtd(int versionNumber);

}  // namespace kvn
