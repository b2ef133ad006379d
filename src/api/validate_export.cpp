// KVN_ValidateXml: the DTD of the document's version, then its value restrictions.
#include "api/export_guard.h"
#include "cfdi/document.h"
#include "cfdi/validate.h"

extern "C" KVN_API int KVN_ValidateXml(const char* xmlFile, int options) {
    return kvn::RunExport([&] {
        kvn::DocumentTextScope asText((options & KVN_OPT_XMLTEXT) != 0);
        return kvn::ValidateDocument(xmlFile, options);
    });
}
