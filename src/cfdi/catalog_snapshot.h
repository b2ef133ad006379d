// The built-in catalog snapshot: one list of catalogs per folder, in the files
// generated/catalog_tables_*.cpp that scripts/gen_catalog_tables.py writes.
#pragma once

#include "cfdi/catalog_table.h"

namespace kvn {

extern const CatalogTableList kCatalogSnapshot40;     // the top level (CFDI 4.0)
extern const CatalogTableList kCatalogSnapshot33;     // cfdi33/
extern const CatalogTableList kCatalogSnapshotRet20;  // ret20/
extern const CatalogTableList kCatalogSnapshotPagos;  // pagos/

}  // namespace kvn
