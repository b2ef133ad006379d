// Exports over documents that need no parse.
#include "api/export_guard.h"
#include "cfdi/document.h"

extern "C" KVN_API int KVN_FixBOM(const char* outputFile, const char* inputFile) {
    return kvn::RunExport([&] {
        if (kvn::Missing(outputFile) || kvn::Missing(inputFile)) return kvn::Error::BAD_PARAM_ERROR;
        return kvn::FixBom(outputFile, inputFile);
    });
}
