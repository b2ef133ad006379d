#include "cfdi/signature_attribute.h"

#include <algorithm>

#include "cfdi/attribute_query.h"
#include "cfdi/document.h"
#include "kelvane.h"

namespace kvn {
namespace {

// Values up to this length (a certificate in base64 is about 2,000 characters) are read
// in one query; a longer one takes a second query into a buffer of its size.
inline constexpr int kFirstReadLength = 8192;

bool ReadWholeAttribute(const char* xmlFile, const char* attributeName, const char* elementRef, String& value) {
    String text(kFirstReadLength, '\0');
    int length = 0;
    {
        FilePtr document = OpenDocument(xmlFile);
        if (!document) return false;
        length = QueryAttribute(text.data(), kFirstReadLength, document.get(), attributeName, elementRef);
    }
    if (length < 1) return false;
    if (length > kFirstReadLength) {
        FilePtr document = OpenDocument(xmlFile);
        if (!document) return false;
        text.assign(static_cast<std::size_t>(length), '\0');
        int got = QueryAttribute(text.data(), length, document.get(), attributeName, elementRef);
        if (got < 1) return false;
        length = std::min(got, length);
    }
    text.resize(static_cast<std::size_t>(length));
    value = std::move(text);
    return true;
}

bool IsWrapWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool ReadSignatureAttribute(const char* xmlFile, const char* attributeName, String& value) {
    int major = 2;
    if (FilePtr document = OpenDocument(xmlFile)) {
        double version = 0.0;
        major = DetectVersion(document.get(), version);
        // A document that does not parse gives the same error to the attribute query:
        // its message is recorded once.
        if (major == -PARSER_FAILED_ERROR || major == -BAD_XML_ERROR) return false;
        if (major != 3) major = 2;
    }
    const char* element = major == 3 ? "cfdi:Comprobante" : "Comprobante";
    if (!ReadWholeAttribute(xmlFile, attributeName, element, value)) return false;
    value.erase(std::remove_if(value.begin(), value.end(), IsWrapWhitespace), value.end());
    return true;
}

bool ReadStampSignature(const char* xmlFile, String& value) {
    return ReadWholeAttribute(xmlFile, "selloSAT", "tfd:TimbreFiscalDigital", value);
}

}  // namespace kvn
