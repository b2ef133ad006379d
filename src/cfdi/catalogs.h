// The tax authority's catalogs: the values that attributes of CFDI 3.3/4.0, Retenciones 2.0
// and Pagos documents must take, each with the dates it is valid (catalog_table.h says how
// a catalog is kept and read).
//
// Two sources. The built-in snapshot (generated/catalog_tables_*.cpp, compiled by
// scripts/gen_catalog_tables.py) holds every catalog except the four large ones
// (c_ClaveProdServ, c_CodigoPostal, c_Colonia, c_NumPedimentoAduana). A user's catalog
// folder in the same layout (a CSV file per catalog, named after it: the top level for
// CFDI 4.0, and cfdi33/, ret20/, pagos/; catalog_csv.h gives the file format) adds catalogs
// and replaces the snapshot's of the same name, folder by folder. It is the only source of
// the four large ones; a 3.3 document finds them only in the user's cfdi33/, because the
// 4.0 catalogs date their rows from 2022 and would turn down every older document.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "base/error.h"
#include "base/memory.h"
#include "cfdi/catalog_csv.h"
#include "cfdi/catalog_table.h"

namespace kvn {

// Which folder of catalogs a document draws on: the top level (CFDI 4.0 and the complements
// of 4.0 documents), cfdi33/ (CFDI 3.3 and its complements), ret20/ (Retenciones 2.0),
// pagos/ (the Pagos complements' own catalog). Retenciones 2.0 also takes CFDI catalogs
// (c_RegimenFiscal, c_CodigoPostal, ...), the 4.0 ones: a catalog that ret20/ lacks is the
// top level's. The other sets have no such fallback.
enum class CatalogSet : std::uint8_t { kCfdi40, kCfdi33, kRet20, kPagos };
inline constexpr int kCatalogSetCount = 4;

enum class CatalogAnswer : std::uint8_t {
    kValid,    // a row whose key is the value and whose validity holds the date
    kInvalid,  // no such row (or none valid at the date)
    kAbsent,   // the catalog is in neither the snapshot nor the user's folder
};

// The catalogs a validation call reads: the snapshot with a user's folder over it.
// Immutable once opened; any number of threads may read it at once.
class Catalogs {
public:
    Catalogs() noexcept = default;  // the snapshot alone

    // The catalog `name` ("c_FormaPago") of a set: the user's, else the snapshot's (for
    // kRet20, then the top level's, the user's first); null when there is none. The table
    // lives as long as this object.
    const CatalogTable* Find(CatalogSet set, std::string_view name) const noexcept;

    // Building (before the object is shared): a catalog of the user's folder, replacing
    // any of the same name and set added before.
    void Add(CatalogSet set, LoadedCatalog catalog);

private:
    Vec<LoadedCatalog> user_[kCatalogSetCount];  // each sorted by name
};

// The built-in snapshot, with the catalogs of the user's folder (null or "" for none) in
// place of the snapshot's of the same name. Errors, with their message recorded:
// OPEN_ERROR for a folder that does not exist, is not a folder or cannot be listed (the top
// folder or one of cfdi33/, ret20/, pagos/); READ_ERROR for a catalog file that cannot be
// read; BAD_FORMAT_ERROR for a malformed one (the message names the file and line).
// Allocation failure throws std::bad_alloc. *out is set only on success.
//
// Loading a large folder takes a while (c_Colonia has 145,000 rows), so the last folder
// loaded is kept and shared by later calls while its files are unchanged; catalogs.cpp
// says why that is sound.
Error OpenCatalogs(const char* userDir, std::shared_ptr<const Catalogs>* out);

// `catalog` is the catalog's name ("c_FormaPago"); `value` the attribute's value after
// whitespace collapse; `date` the document's Fecha as yyyymmdd (0: any date).
CatalogAnswer CatalogCheck(const Catalogs& catalogs, CatalogSet set, std::string_view catalog,
                           std::string_view value, std::int32_t date) noexcept;

// Drops the kept folder, releasing its memory once no caller holds it (tests that count
// live allocations call it before counting).
void ForgetLoadedCatalogs() noexcept;

}  // namespace kvn
