// Exports over the content of a document: version, one attribute, the pipe string.
#include "api/export_guard.h"
#include "cfdi/attribute_query.h"
#include "cfdi/document.h"
#include "cfdi/pipe_string.h"

// A null file name is refused; an empty one is a name that cannot be opened (OPEN_ERROR
// with "Cannot open file ''..."), as in every export that opens a document.
extern "C" KVN_API int KVN_XmlReceiptVersion(const char* xmlFile) {
    return kvn::RunExport([&] {
        if (!xmlFile) return kvn::ResultOf(kvn::Error::BAD_PARAM_ERROR);
        int number = 0;
        if (kvn::Error rc = kvn::VersionNumber(xmlFile, number); kvn::Failed(rc)) return kvn::ResultOf(rc);
        if (number == 20) return 2;
        if (number == 30) return 3;
        return number;
    });
}

extern "C" KVN_API int KVN_GetXmlAttribute(char* out, int outlen, const char* xmlFile, const char* attributeName,
                                           const char* elementName) {
    return kvn::RunExport([&] {
        if (!xmlFile || !attributeName || !elementName) return kvn::ResultOf(kvn::Error::BAD_PARAM_ERROR);
        if (!out) outlen = 0;
        if (out && outlen > 0) out[0] = '\0';
        kvn::FilePtr document = kvn::OpenDocument(xmlFile);
        if (!document) return kvn::ResultOf(kvn::Error::OPEN_ERROR);
        int length = 0;
        const kvn::Error rc = kvn::QueryAttribute(out, outlen, document.get(), attributeName, elementName, length);
        return kvn::LengthOrResult(rc, length);
    });
}

extern "C" KVN_API int KVN_MakePipeStringFromXml(char* out, int outlen, const char* xmlFile, int options) {
    return kvn::RunExport([&] {
        if (!xmlFile) return kvn::ResultOf(kvn::Error::BAD_PARAM_ERROR);
        kvn::DocumentTextScope asText((options & KVN_OPT_XMLTEXT) != 0);
        int length = 0;
        const kvn::Error rc = kvn::MakePipeString(out, outlen, xmlFile, options, length);
        return kvn::LengthOrResult(rc, length);
    });
}
