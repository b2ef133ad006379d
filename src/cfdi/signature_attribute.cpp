#include "cfdi/signature_attribute.h"

#include <algorithm>

#include "cfdi/attribute_query.h"
#include "cfdi/document.h"

namespace kvn {
namespace {

// Two queries: the first for the length, the second into a buffer of that size.
bool ReadWholeAttribute(const char* xmlFile, const char* attributeName, const char* elementRef, String& value) {
    int length = 0;
    {
        FilePtr document = OpenDocument(xmlFile);
        if (!document) return false;
        length = QueryAttribute(nullptr, 0, document.get(), attributeName, elementRef);
    }
    if (length < 1) return false;
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return false;
    String text(static_cast<std::size_t>(length), '\0');
    int got = QueryAttribute(text.data(), length, document.get(), attributeName, elementRef);
    if (got < 1) return false;
    text.resize(std::min(static_cast<std::size_t>(got), text.size()));
    value = std::move(text);
    return true;
}

bool IsWrapWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool ReadSignatureAttribute(const char* xmlFile, const char* attributeName, String& value) {
    int major = 2;
    if (FilePtr document = OpenDocument(xmlFile)) {
        double version = 0.0;
        if (DetectVersion(document.get(), version) == 3) major = 3;
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
