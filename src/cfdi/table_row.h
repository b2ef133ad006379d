// A document as rows of a table: one row per document (the columns an accountant reads off
// an invoice: identity, parties, amounts, taxes by tax and rate, stamp and seal status) or,
// for line tables, one row per concept. This module is the only place rows are made: the
// export, and through it the tool and the Python package, present its text unchanged, so
// every front end gives the same rows for the same document.
//
// Text form (what WriteTableRows produces):
//   - the first line is the header, the column names separated by TAB; then one line per
//     row, each ended by LF, with one field per column;
//   - a field is the value as written in the document (amounts keep their digits), or a
//     sum of such values computed as decimals (tax columns); an absent value is written
//     \N; a backslash, TAB, LF or CR inside a value is written \\, \t, \n, \r.
//
// A document that cannot be read (missing, not well-formed, not an invoice) still gives
// one row: status "error" and the reason in the error column; nothing else is filled.
//
// Memory follows the output: the rows of the document and nothing of the document beyond
// the current element.
#pragma once

#include <cstddef>

#include "base/error.h"
#include "base/memory.h"

namespace kvn {

enum class TableKind {
    kDocuments,  // one row per document
    kLines,      // one row per concept (cfdi:Concepto)
};

// The column names of a table kind, in order.
const char* const* TableColumns(TableKind kind, std::size_t& count) noexcept;

// Appends the header line and the rows of xmlFile (a file name, or the document's text
// inside a DocumentTextScope) to `out`. The document's own faults give an error row, never
// a failure; messages recorded while the seal was checked are cleared again. Only an
// allocation failure escapes, as std::bad_alloc.
void WriteTableRows(String& out, const char* xmlFile, TableKind kind);

}  // namespace kvn
