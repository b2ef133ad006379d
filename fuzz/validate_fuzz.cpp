// Validates arbitrary documents against the embedded CFDI 3.2 DTD with ValidateAgainstDtd
// (the DTD read from a file beside the document), and with ValidateDocument as
// KVN_ValidateXml runs it (the embedded DTD of the document's version, compiled once).
// Seeds: tests/fixtures/validation/*.xml. Inputs that once crashed live in
// fuzz/regressions/validate/ and are replayed by the cfdi tests.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <new>
#include <string>

#include "base/lasterror.h"
#include "cfdi/dtd_catalogue.h"
#include "cfdi/validate.h"

namespace {

std::string WorkFile(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp ? tmp : "/tmp") + "/kvn-validate-fuzz-" + std::to_string(::getpid()) + "-" + name;
}

bool WriteFile(const std::string& path, const void* data, std::size_t n) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dtd = [] {
        std::string path = WorkFile("cfdv32.dtd");
        kvn::DtdText text = kvn::EmbeddedDtd(32);
        WriteFile(path, text.data, text.size);
        return path;
    }();
    static const std::string document = WorkFile("doc.xml");
    if (!WriteFile(document, data, size)) return 0;
    kvn::ClearLastError();
    try {
        (void)kvn::ValidateAgainstDtd(document.c_str(), dtd.c_str());
        kvn::ClearLastError();
        (void)kvn::ValidateDocument(document.c_str(), 0);
    } catch (const std::bad_alloc&) {
        // Documents that want 1 GiB or more are refused; that is not a fault.
    }
    return 0;
}
