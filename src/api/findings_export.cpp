// KVN_ValidateXmlFindings: every finding of a CFDI 3.3 or 4.0 document as text.
#include <climits>

#include "api/export_guard.h"
#include "cfdi/document.h"
#include "base/outbuf.h"
#include "cfdi/validate.h"

extern "C" KVN_API int KVN_ValidateXmlFindings(char* out, int outlen, const char* xmlFile, const char* catalogDir,
                                               int options) {
    return kvn::RunExport([&] {
        if (!xmlFile) return kvn::ResultOf(kvn::Error::BAD_PARAM_ERROR);
        if (out && outlen > 0) out[0] = '\0';
        kvn::DocumentTextScope asText((options & KVN_OPT_XMLTEXT) != 0);
        kvn::FindingList findings;
        if (kvn::Error rc = kvn::ValidateFindings(xmlFile, catalogDir, options, findings); kvn::Failed(rc))
            return kvn::ResultOf(rc);
        kvn::String text;
        kvn::WriteFindings(findings, text);
        if (text.size() > INT_MAX) return kvn::ResultOf(kvn::Error::BAD_LENGTH_ERROR);
        if (!kvn::WantsLength(out, outlen)) kvn::CopyOut(out, outlen, text.data(), text.size());
        return static_cast<int>(text.size());
    });
}
