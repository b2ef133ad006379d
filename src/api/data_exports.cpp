// Exports that give a document as data: its table rows, and its JSON.
#include <climits>

#include "api/export_guard.h"
#include "base/outbuf.h"
#include "cfdi/document.h"
#include "cfdi/json_writer.h"
#include "cfdi/table_row.h"

namespace {

// The text of a result answered by the buffer convention: its whole length, and as much
// of it as fits.
int AnswerWhole(char* out, int outlen, const kvn::String& text) {
    if (text.size() > INT_MAX) return kvn::ResultOf(kvn::Error::BAD_LENGTH_ERROR);
    if (!kvn::WantsLength(out, outlen)) kvn::CopyOut(out, outlen, text.data(), text.size());
    return static_cast<int>(text.size());
}

}  // namespace

extern "C" KVN_API int KVN_TableRows(char* out, int outlen, const char* xmlFile, int options) {
    return kvn::RunExport([&] {
        if (out && outlen > 0) out[0] = '\0';
        if (!xmlFile) return kvn::ResultOf(kvn::Error::BAD_PARAM_ERROR);
        kvn::DocumentTextScope asText((options & KVN_OPT_XMLTEXT) != 0);
        kvn::String rows;
        kvn::WriteTableRows(rows, xmlFile,
                            (options & KVN_OPT_LINES) ? kvn::TableKind::kLines : kvn::TableKind::kDocuments);
        return AnswerWhole(out, outlen, rows);
    });
}

extern "C" KVN_API int KVN_XmlToJson(char* out, int outlen, const char* xmlFile, int options) {
    return kvn::RunExport([&] {
        if (out && outlen > 0) out[0] = '\0';
        if (!xmlFile) return kvn::ResultOf(kvn::Error::BAD_PARAM_ERROR);
        kvn::DocumentTextScope asText((options & KVN_OPT_XMLTEXT) != 0);
        kvn::String json;
        if (kvn::Error rc = kvn::WriteDocumentJson(json, xmlFile); kvn::Failed(rc)) return kvn::ResultOf(rc);
        return AnswerWhole(out, outlen, json);
    });
}
