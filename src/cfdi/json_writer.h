// A document as JSON, in one shape for every version and document type:
//
//   {"cfdi:Comprobante": {"@Version": "4.0", ..., "cfdi:Emisor": {...},
//                         "cfdi:Conceptos": {"cfdi:Concepto": [{...}, {...}]}, ...}}
//
//  - the document is an object with one member, its root element;
//  - an element is an object: its attributes as "@name" members (the name as written,
//    "@xsi:schemaLocation" included; namespace declarations are left out), its text as a
//    "#text" member when it has text other than white space (all its pieces, as written),
//    and its child elements as members named "prefix:Local";
//  - an element in one of the tax authority's namespaces takes the authority's prefix for
//    it (cfd, cfdi, tfd, pago20, nomina12, ...), whatever prefix the document used; an
//    element of another namespace keeps the document's qualified name;
//  - a child element that its parent's schema lets occur more than once is an array, even
//    when one is present (an element a repeatable wildcard takes, such as a complement under
//    Complemento, included); any other element is an object, unless it does occur more than
//    once under its parent (content no schema describes: inside Addenda and unknown
//    complements);
//  - every value is a string, exactly as the parser delivers it (entities expanded,
//    attribute values normalised as XML 1.0 section 3.3.3 says); amounts keep their digits.
//
// Members follow document order, attributes first, and the members of an array follow
// the first occurrence. The JSON is UTF-8; '"', '\' and control characters are escaped.
// docs/document.schema.json states this shape as a JSON Schema.
//
// Memory follows the output: the tree of names and values that the text is written from.
#pragma once

#include "base/error.h"
#include "base/memory.h"

namespace kvn {

// Appends the JSON of xmlFile (a file name, or the document's text inside a
// DocumentTextScope) to `out`. OPEN_ERROR or BAD_XML_ERROR (not well-formed, with the
// parser's message and line) with the message recorded; an allocation failure escapes as
// std::bad_alloc.
Error WriteDocumentJson(String& out, const char* xmlFile);

}  // namespace kvn
