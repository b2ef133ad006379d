// Validation of an invoice document. Versions 2.0 to 3.2: the DTD of the version, then the
// value restrictions of its schema table; every problem found goes to the last-error text,
// so one call can report many. Versions with compiled schemas (3.3, 4.0): the schema pass
// (schema_pass.h) with the catalogs, whose findings are a list.
#pragma once

#include "base/error.h"
#include "cfdi/findings.h"

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

// The work of KVN_ValidateXml. Versions 2.0 to 3.2: the DTD pass with the embedded DTD of
// the document's version and, unless flags has KVN_OPT_NOFACETS, the value-restriction pass;
// kOk when the document is valid, XML_FACET_ERROR for broken value restrictions. Versions
// with compiled schemas: the schema pass with the catalogs of CatalogFolder(nullptr),
// stopping at the first finding of severity error, whose message is recorded as
// "XML validation error/Error al validar XML: [path/@attribute] message (Line/numero de
// linea: n)"; BAD_XML_ERROR for a fault of structure, XML_FACET_ERROR for a fault of a
// value (type, facet, fixed value, catalog). KVN_OPT_NOFACETS leaves values unchecked.
Error ValidateDocument(const char* xmlFile, int flags);

// The catalog folder a validation reads: catalogDir when it is given and not empty, else
// the folder named by the environment variable KELVANE_CATALOGS when that is set and not
// empty, else null (the built-in snapshot alone).
const char* CatalogFolder(const char* catalogDir) noexcept;

// Every finding of a document of a kind with compiled schemas, appended to `findings`, with
// the catalogs of CatalogFolder(catalogDir); KVN_OPT_NOFACETS in flags leaves values
// unchecked. kOk when the document could be validated (valid or not: the findings say);
// OPEN_ERROR or the version read's error; NOT_SUPPORTED_ERROR with "Findings are given for
// CFDI 3.3 and 4.0 and Retenciones 1.0 and 2.0; version '%d.%d' is validated by
// KVN_ValidateXml/..." for a version without compiled schemas; the catalog folder's error
// (a folder that does not exist or cannot be read, a malformed catalog file); BAD_XML_ERROR
// for a document that is not well-formed.
Error ValidateFindings(const char* xmlFile, const char* catalogDir, int flags, FindingList& findings);

}  // namespace kvn
