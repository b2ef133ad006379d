// The pipe string of an invoice document: exactly what the tax authority's cadena-original
// stylesheet of the document's version writes for it (attribute values and a few element
// texts, each cleaned of surplus white space, joined by '|' and framed by "||"), computed
// from the stylesheet tables without an XSLT processor. It is what the seal covers; one
// wrong byte makes the invoice invalid.
#pragma once

#include "base/error.h"
#include "base/memory.h"

namespace kvn {

// Computes the pipe string of the document in xmlFile. Options read: KVN_OPT_STAMP (the
// stamp's pipe string of a version 3 or 4 document: stamp 1.0 for 3.0 and 3.2, 1.1 for
// 3.3 and 4.0, of the first stamp in document order) and KVN_OPT_LATIN1 (the
// result converted to Latin-1).
//
// Without a buffer (out null or outlen < 1) sets `length` to an upper bound of the length
// (the length before any Latin-1 conversion); with one, writes at most outlen characters
// and a NUL (a short buffer gives a cut string) and sets `length` to the length written.
// Failures: OPEN_ERROR, BAD_FLAG_ERROR, NOT_SUPPORTED_ERROR, BAD_XML_ERROR, MISSING_ERROR
// (stamp mode) with their messages recorded; NO_DATA_ERROR without a message when the
// result would be shorter than 4 characters.
Error MakePipeString(char* out, int outlen, const char* xmlFile, int options, int& length);

// One root attribute whose value the pipe string takes as given instead of the document's
// (present or not in the document): signing computes the seal over the document as it will be written.
struct RootAttributeValue {
    const char* name;
    const char* value;
};

// The pipe string of the document in xmlFile, into `pipe` (replacing its content), with the
// root attribute `replaced` (may be null) taken as present with the given value. Options
// as for MakePipeString; the errors are MakePipeString's, and on any of them `pipe` is
// left empty.
Error BuildPipeString(String& pipe, const char* xmlFile, int options, const RootAttributeValue* replaced = nullptr);

}  // namespace kvn
