// The signed-document writer: copies a document event by event as XML text, replacing
// the values of chosen attributes of chosen elements.
#pragma once

#include "base/error.h"
#include "base/file.h"

namespace kvn {

// One replacement: on every element whose namespace URI and local name are these, the
// attribute with this qualified name gets this value. Elements are matched by namespace
// and local name, not by the prefix written, so "<cfdi:Comprobante xmlns:cfdi=...>" and
// "<Comprobante xmlns=...>" are the same element. As in the attribute query, namespaces
// count only when both are known: a null uri matches any namespace, and an element in no
// namespace matches by local name. Attributes already present are replaced; with
// addToRoot, a root element that matches but lacks the attribute gets it, after its own
// attributes (in the order of the replacements).
struct AttributeReplacement {
    const char* uri;
    const char* localName;
    const char* attribute;
    const char* value;
    bool addToRoot = false;
};

// Parses xmlFile and writes it to out: the declaration (with the UTF-8 byte-order mark
// first unless KVN_OPT_NOBOM is in options, encoding always "UTF-8"), elements with their
// attributes in document order (namespace declarations included; empty-element tags
// written as start and end tags), text with '"', '&', '<', '>' escaped, comments and
// processing instructions. The DOCTYPE is not written.
// Failures: OPEN_ERROR, BAD_XML_ERROR, WRITE_ERROR with the message recorded. Memory
// exhaustion throws AllocError.
Error WriteSignedDocument(const char* xmlFile, ReplacingOutput& out, int options,
                          const AttributeReplacement* replacements, int count);

}  // namespace kvn
