// Attribute query and version detection over a document file.
#pragma once

#include <cstddef>
#include <cstdio>

#include "base/error.h"
#include "cfdi/xml_events.h"

namespace kvn {

// Reads attribute `attributeName` (its qualified name exactly as written, so "xmlns:cfdi"
// or a prefixed name may be asked for) of the element named by `elementRef`:
// [prefix ":"] local-name ["[" n "]"], n counting matching elements from 1. A known prefix
// also requires the element's namespace; an unknown or absent one matches by local name.
// The answer comes from the first matching element, at or after the n-th, that carries
// the attribute. The parse stops at the answer, so errors later in the document are not
// seen.
//
// Copies at most outlen characters of the value and a NUL into out when out is given and
// outlen >= 1 (out[0] is NUL'ed first in any case), and sets `length` to the full value
// length. Failures: NO_MATCH_ERROR (no message), BAD_PARAM_ERROR, or BAD_XML_ERROR with
// the parser's message recorded.
Error QueryAttribute(char* out, int outlen, std::FILE* document, const char* attributeName, const char* elementRef,
                     int& length);

// Reads the document's version. CFDI 3.3 and 4.0 name it `Version`: a root
// cfdi:Comprobante in http://www.sat.gob.mx/cfd/3 with Version="3.3", or in
// http://www.sat.gob.mx/cfd/4 with Version="4.0" (a root Comprobante with `Version` and
// without `version` and any other namespace or value is not supported). So do Retenciones
// documents: a root Retenciones in http://www.sat.gob.mx/esquemas/retencionpago/1 with
// Version="1.0" or in .../retencionpago/2 with Version="2.0", whose versions read as
// KVN_VERSION_RET10 / 10 and KVN_VERSION_RET20 / 10 (a root Retenciones with `Version` and
// any other namespace or value is not supported). Older versions
// name it `version`, read from the first Comprobante (any namespace) that carries it.
// Sets `version` whenever the attribute was read; its major version is 2, 3 or 4 on
// success. Failures: NO_MATCH_ERROR ("Cannot find the 'version' attribute/..."),
// NOT_SUPPORTED_ERROR for another major version (and for a `version` of 3.3, which is
// only ever written `Version`), or the query's error.
Error DetectVersion(std::FILE* document, double& version);

// Sets `number` to trunc(version x 10) of the document in xmlFile: 20, 22, 30, 32, 33, 40
// (KVN_VERSION_RET10, KVN_VERSION_RET20 for Retenciones) for the supported versions, any other number for other minor versions of 2 and 3; 0 on
// failure. Failures: OPEN_ERROR or DetectVersion's, with the message recorded.
Error VersionNumber(const char* xmlFile, int& number);

// A document's version number together with the error of its read, for the readers that
// go on after a failed read: they take the names of versions 2.x and 3.2 then, or give up
// at once when the document cannot be read at all.
struct DocumentVersion {
    Error error = kOk;
    int number = 0;  // 0 when error is set

    // The read failed because the document cannot be opened or parsed: that was recorded
    // by the read, and any further read would only record it again.
    bool Unreadable() const noexcept {
        return error == Error::OPEN_ERROR || error == Error::BAD_XML_ERROR;
    }
};

// VersionNumber's answer as a DocumentVersion.
DocumentVersion ReadDocumentVersion(const char* xmlFile);

// The version number of a version attribute's text, read as the document's version is
// (its first 15 characters): trunc(version x 10) when the major version is 2 or 3, else 0.
int SupportedVersionNumber(const char* text) noexcept;

// The version number that a root start tag settles by itself, as VersionNumber would give
// it: 33, 40, KVN_VERSION_RET10 or KVN_VERSION_RET20 for the root of a 3.3, 4.0 or
// Retenciones document, SupportedVersionNumber of a root
// Comprobante's `version`; 0 when the root alone does not settle it (VersionNumber then
// decides and reports).
int RootVersionNumber(const char* uri, const char* local, const ElementAttribute* attributes,
                      std::size_t count) noexcept;

// Reads "1.5e1"-style text as C atof does in the "C" locale (leading white space, sign,
// digits, fraction, exponent; 0 when no number starts the text), whatever the host's
// locale says about the decimal point.
double ReadLeadingNumber(const char* text) noexcept;

}  // namespace kvn
