// Validation of an invoice document: the DTD of its version, then the value restrictions
// of its schema table. Every problem found goes to the last-error text, so one call can
// report many.
#pragma once

#include "base/error.h"

namespace kvn {

// Validates xmlFile against the DTD in the file dtdFile, read as an external DTD subset
// (the document needs no DOCTYPE). Names in the namespaces of the library's prefix table
// are validated with their canonical prefix; XML Schema instance attributes and everything
// inside Addenda are exempt. Only the DTD file itself is ever opened: any other external
// entity or subset that the document names is skipped.
//
// kOk when the document is valid, with the number of its start tags in *startTags (when
// given); otherwise BAD_PARAM_ERROR (null xmlFile), OPEN_ERROR, BAD_XML_ERROR (a
// validation error was recorded) or BAD_DTD_ERROR (the document or the DTD is not
// well-formed). Allocation failure anywhere, the parser's and the validator's own
// included, throws std::bad_alloc.
Error ValidateAgainstDtd(const char* xmlFile, const char* dtdFile, int* startTags = nullptr);

// The work of KVN_ValidateXml: the DTD pass with the embedded DTD of the document's version
// and, unless flags has KVN_OPT_NOFACETS, the value-restriction pass. kOk when the document
// is valid; XML_FACET_ERROR for broken value restrictions.
Error ValidateDocument(const char* xmlFile, int flags);

}  // namespace kvn
