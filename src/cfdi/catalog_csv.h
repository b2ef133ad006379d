// A catalog file of a user's catalog folder, read into the table shape of catalog_table.h.
//
// The format, which scripts/gen_catalog_tables.py also applies to the built-in snapshot:
//  - UTF-8, with or without a byte-order mark; no NUL characters.
//  - RFC 4180 records: fields separated by commas, a field either bare (no double quote in
//    it) or enclosed in double quotes, where "" stands for one quote and commas and line
//    breaks are text. A record ends at CR LF, LF or a lone CR; empty lines are skipped.
//  - The first record is the header: the column names, none empty, none twice. Every other
//    record has as many fields.
//  - vigencia_desde and vigencia_hasta, where present, are dates YYYY-MM-DD or empty.
//  - The key column is `id` when there is one; else, for the catalogs in the table of
//    catalog_csv.cpp (c_Colonia by colonia, c_Estado by estado, ...), the column named
//    there; else the first column. That table also names the columns that those catalogs
//    must have (c_Colonia needs codigo_postal).
// Lines are counted from 1 at the start of the file; a line break inside a quoted field
// counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/error.h"
#include "base/memory.h"
#include "cfdi/catalog_table.h"

namespace kvn {

// A catalog read from a file: owns the pool and arrays that table() points into (their
// heap blocks, so moving a LoadedCatalog keeps the table valid).
class LoadedCatalog {
public:
    const CatalogTable& table() const noexcept { return table_; }
    std::string_view name() const noexcept { return table_.name ? table_.name : ""; }

private:
    friend Error ParseCatalogCsv(const char* path, std::string_view name, const std::uint8_t* data,
                                 std::size_t size, LoadedCatalog* out);
    Vec<char> pool_;
    Vec<std::uint32_t> columns_;
    Vec<std::uint32_t> fields_;
    Vec<std::int32_t> validFrom_;
    Vec<std::int32_t> validUntil_;
    CatalogTable table_{};
};

// Reads the contents of one catalog file (data, size; `path` names it in messages) as the
// catalog `name`. kOk with the catalog in *out; otherwise BAD_FORMAT_ERROR with the message
// "Malformed catalog file '<path>'/Archivo de catalogo mal formado: <what> (Line/numero de
// linea: <n>)" recorded, *out untouched. Allocation failure throws std::bad_alloc.
Error ParseCatalogCsv(const char* path, std::string_view name, const std::uint8_t* data, std::size_t size,
                      LoadedCatalog* out);

}  // namespace kvn
