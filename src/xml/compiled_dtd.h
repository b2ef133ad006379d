// A DTD read and compiled once, for any number of parses on any number of threads.
//
// Validating a document against a DTD that is always the same (the library's embedded
// DTDs) used to read its text and compile its content models anew for each document. A
// compiled DTD holds the result: the declarations as the parser keeps them (attribute
// lists with their defaults, entities) and the validator's automata. It is immutable once
// made. Installed in a parser as its external subset, a document without a DOCTYPE adopts
// it as it is, with nothing read or compiled; a document with a DOCTYPE has the DTD's text
// read as any external subset (through resolveEntity, which must then serve it), since its
// own declarations combine with it. Either way the parse reports what reading the text
// would: the same defaults, the same validation messages. The declaration handlers
// (elementDecl, attributeDecl, entityDecl, notationDecl) are not called for an adopted DTD.
#pragma once

#include <cstddef>
#include <memory>

#include "base/error.h"
#include "xml/parser.h"

namespace kvn {

struct XmlCompiledDtd;
struct XmlCompiledDtdDeleter {
    void operator()(XmlCompiledDtd* dtd) const noexcept;
};
using XmlCompiledDtdPtr = std::unique_ptr<XmlCompiledDtd, XmlCompiledDtdDeleter>;

// Reads text (size bytes, an external subset known by systemId) and compiles its content
// models. BAD_DTD_ERROR when it is not a well-formed DTD. Allocation failure propagates as
// std::bad_alloc.
Error XmlCompileDtd(XmlCompiledDtdPtr& out, const char* text, std::size_t size, const char* systemId);

// Installs dtd as the parser's external subset, under its system ID (as
// XmlSetExternalSubset does), until another subset is installed; dtd must outlive the
// parses. Returns the subset's entity record.
XmlEntity* XmlUseCompiledDtd(XmlParser* parser, const XmlCompiledDtd* dtd);

}  // namespace kvn
