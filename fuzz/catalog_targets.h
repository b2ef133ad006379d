// A user's catalog file through the library's reader, under a plain catalog name and the
// names whose layout the reader knows (their own key column, required columns). Shared by
// the libFuzzer target and the test that replays fuzz/regressions/catalog_csv/.
//
// Besides crashes and leaks, the properties of a file that reads:
//  - rows are in key order, and each row is among the rows its key finds;
//  - at date 0 (any date) every key finds a row;
//  - the table written back as CSV (every field quoted, dates as YYYY-MM-DD) reads again
//    into the same table.
// A file that does not read must leave a message that names the line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

#include "base/lasterror.h"
#include "cfdi/catalog_csv.h"
#include "input_file.h"

namespace kvn_fuzz {

inline std::string QuotedCsv(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

inline std::string DateText(std::int32_t date) {
    if (!date) return "";
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(date / 10000), static_cast<int>(date / 100 % 100),
                  static_cast<int>(date % 100));
    return text;
}

// The table as a file of its kept columns and the two validity columns; empty when the
// table keeps a validity column itself (as its key), which a second header could not say.
inline std::string WrittenBack(const kvn::CatalogTable& t) {
    std::string out;
    for (std::size_t c = 0; c < t.columnCount; ++c) {
        if (t.ColumnName(c) == "vigencia_desde" || t.ColumnName(c) == "vigencia_hasta") return "";
        out += QuotedCsv(t.ColumnName(c)) + ",";
    }
    out += "vigencia_desde,vigencia_hasta\r\n";
    for (kvn::CatalogRow row : t.Rows()) {
        for (std::size_t c = 0; c < t.columnCount; ++c) out += QuotedCsv(row[c]) + ",";
        out += DateText(row.validFrom()) + "," + DateText(row.validUntil()) + "\n";
    }
    return out;
}

inline bool SameTable(const kvn::CatalogTable& a, const kvn::CatalogTable& b) {
    if (a.columnCount != b.columnCount || a.rowCount != b.rowCount || a.keyColumn != b.keyColumn) return false;
    for (std::size_t c = 0; c < a.columnCount; ++c)
        if (a.ColumnName(c) != b.ColumnName(c)) return false;
    for (std::uint32_t r = 0; r < a.rowCount; ++r) {
        if (a.validFrom[r] != b.validFrom[r] || a.validUntil[r] != b.validUntil[r]) return false;
        for (std::size_t c = 0; c < a.columnCount; ++c)
            if (a.FieldAt(r, c) != b.FieldAt(r, c)) return false;
    }
    return true;
}

inline void ReadOneCatalog(const char* name, const std::uint8_t* data, std::size_t size) {
    kvn::ClearLastError();
    kvn::LoadedCatalog loaded;
    if (kvn::Failed(kvn::ParseCatalogCsv("fuzz.csv", name, data, size, &loaded))) {
        KVN_FUZZ_CHECK(std::string(kvn::LastErrorText()).find("(Line/numero de linea: ") != std::string::npos);
        return;
    }
    const kvn::CatalogTable& t = loaded.table();
    KVN_FUZZ_CHECK(t.columnCount > 0 && t.keyColumn < t.columnCount);
    for (std::uint32_t r = 0; r < t.rowCount; ++r) {
        const kvn::CatalogRow row(t, r);
        if (r > 0) KVN_FUZZ_CHECK(kvn::CatalogRow(t, r - 1).key() <= row.key());
        const kvn::CatalogRows same = t.RowsOf(row.key());
        KVN_FUZZ_CHECK((*same.begin()).index() <= r && r < (*same.begin()).index() + same.size());
        KVN_FUZZ_CHECK(t.FindValid(row.key(), 0).has_value());
    }
    const std::string back = WrittenBack(t);
    if (back.empty()) return;
    kvn::LoadedCatalog again;
    const kvn::Error e = kvn::ParseCatalogCsv("fuzz-again.csv", name, reinterpret_cast<const std::uint8_t*>(back.data()),
                                              back.size(), &again);
    KVN_FUZZ_CHECK(!kvn::Failed(e));
    KVN_FUZZ_CHECK(SameTable(t, again.table()));
}

inline void FuzzCatalogCsv(const std::uint8_t* data, std::size_t size) {
    for (const char* name : {"c_Prueba", "c_Colonia", "c_TasaOCuota", "c_NumPedimentoAduana"})
        ReadOneCatalog(name, data, size);
}

}  // namespace kvn_fuzz
