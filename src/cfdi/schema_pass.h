// The validation pass of CFDI 3.3 and 4.0 documents (and every document kind of
// schema_model.h): one parse, element by element, against the compiled schemas, with the
// catalog checks of the document's date; the findings go to a list.
//
// The pass keeps one frame per open element that it validates (the schemas' depth, not the
// document's size), the path of the current element, the text of the current
// simple-content element, and the findings. Content it does not validate (Addenda, and the
// rest of an element after a content error) is only counted through. So memory does not
// grow with the document, apart from the finding list. Nesting deeper than kMaxDepth
// levels stops the parse, as it does in the reference validator.
//
// After a content error in an element (an unexpected child, or content where none may be)
// the rest of that element's children are skipped, as the reference validator does, so
// that one misplaced element does not cascade into findings about its followers.
//
// Other checks hook into the same parse through a ValidationListener: element starts (with
// the attributes) and ends, and the end of the document, with the pass's context to read
// the catalogs and the document's date and to report findings at the current element.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "base/error.h"
#include "base/memory.h"
#include "cfdi/catalogs.h"
#include "cfdi/findings.h"
#include "cfdi/schema_model.h"
#include "cfdi/xml_events.h"

namespace kvn {

inline constexpr int kMaxDepth = 256;

// An element as listeners see it. `declaration` is the schema's declaration when the pass
// validates the element, null when it was reported as unexpected. Attributes are those of
// the start tag (normalised by the parser, before any whiteSpace rule); at the element's
// end they are not given again (count 0).
struct ValidationElement {
    const char* uri;
    const char* local;
    const char* qname;
    const ElementAttribute* attributes;
    std::size_t attributeCount;
    const XsdElement* declaration;
    int depth;  // the root is 0
};

class ValidationContext;

// Receives the pass's events. Findings are added through the context.
class ValidationListener {
public:
    virtual void OnStartElement(ValidationContext& /*context*/, const ValidationElement& /*element*/) {}
    virtual void OnEndElement(ValidationContext& /*context*/, const ValidationElement& /*element*/) {}
    virtual void OnEndDocument(ValidationContext& /*context*/) {}

protected:
    ~ValidationListener() = default;
};

struct SchemaPassOptions {
    bool checkValues = true;      // types, facets, fixed values and catalogs (KVN_OPT_NOFACETS clears it)
    bool firstErrorOnly = false;  // stop at the first finding of severity error
};

// What listeners may read and do during the pass.
class ValidationContext {
public:
    virtual const XsdSchemaSet& Schema() const noexcept = 0;
    virtual const Catalogs& CatalogTables() const noexcept = 0;
    // The document's date (the schema set's date attribute of the root) as yyyymmdd, 0 when
    // the root has no readable date.
    virtual std::int32_t DocumentDate() const noexcept = 0;
    // Line of the current event and path of the current element.
    virtual int Line() const noexcept = 0;
    virtual std::string_view Path() const noexcept = 0;
    // Adds a finding at the current element (line and path filled in).
    virtual void Report(FindingKind kind, FindingSeverity severity, const char* code, std::string_view attribute,
                        std::string_view value, std::string_view message) = 0;
    // Adds a finding at another place: a line and path the listener noted earlier (a total
    // checked when the element that carries it ends, for instance).
    virtual void ReportAt(int line, std::string_view path, FindingKind kind, FindingSeverity severity,
                          const char* code, std::string_view attribute, std::string_view value,
                          std::string_view message) = 0;

protected:
    ~ValidationContext() = default;
};

// Validates the document read from `document` (binary stream at its start) against `set`,
// with `catalogs` for its catalog types, appending findings to `findings`. kOk when the
// parse went through (the findings tell whether the document is valid); BAD_XML_ERROR with
// "XML parsing error/Error al analizar de XML: %s (Line/numero de linea: %d)" recorded when
// the document is not well-formed or nests deeper than kMaxDepth. Memory exhaustion throws.
Error RunSchemaPass(std::FILE* document, const XsdSchemaSet& set, const Catalogs& catalogs,
                    const SchemaPassOptions& options, ValidationListener* listener, FindingList& findings);

}  // namespace kvn
