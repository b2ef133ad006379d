// One catalog as data, and the views the validator and the rules read it through.
//
// A catalog is a table of rows sorted by key (the `id` column, or the first column when
// there is none), several rows of one key possibly valid over different dates. Fields are
// kept as text exactly as in the file; an empty field is no value. The validity columns
// (vigencia_desde, vigencia_hasta) become each row's dates; the descriptive columns
// (texto, descripcion, notas, similares) are not kept.
//
// Dates are yyyymmdd numbers (20240131). A row is valid at a date when the date is on or
// after its vigencia_desde and on or before its vigencia_hasta; an empty one leaves that
// side open. Date 0 stands for "any date": every row is valid at it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace kvn {

class CatalogTable;

// One row of a catalog: a view that lives as long as the Catalogs it came from.
class CatalogRow {
public:
    CatalogRow(const CatalogTable& table, std::uint32_t index) noexcept : table_(&table), index_(index) {}

    std::uint32_t index() const noexcept { return index_; }  // position in key order
    std::string_view key() const noexcept;
    // The field of a column by position (< CatalogTable::columnCount) or by name; by name,
    // nullopt when the catalog has no such column ("" is an empty field).
    std::string_view operator[](std::size_t column) const noexcept;
    std::optional<std::string_view> Field(std::string_view column) const noexcept;
    std::int32_t validFrom() const noexcept;   // 0: no start
    std::int32_t validUntil() const noexcept;  // 0: still valid
    bool ValidAt(std::int32_t date) const noexcept;

private:
    const CatalogTable* table_;
    std::uint32_t index_;
};

// Rows [first, last) of a catalog, in key order.
class CatalogRows {
public:
    class Iterator {
    public:
        Iterator(const CatalogTable& table, std::uint32_t at) noexcept : table_(&table), at_(at) {}
        CatalogRow operator*() const noexcept { return CatalogRow(*table_, at_); }
        Iterator& operator++() noexcept {
            ++at_;
            return *this;
        }
        bool operator==(const Iterator& other) const noexcept { return at_ == other.at_; }

    private:
        const CatalogTable* table_;
        std::uint32_t at_;
    };

    CatalogRows(const CatalogTable& table, std::uint32_t first, std::uint32_t last) noexcept
        : table_(&table), first_(first), last_(last) {}
    Iterator begin() const noexcept { return Iterator(*table_, first_); }
    Iterator end() const noexcept { return Iterator(*table_, last_); }
    std::uint32_t size() const noexcept { return last_ - first_; }
    bool empty() const noexcept { return first_ == last_; }

private:
    const CatalogTable* table_;
    std::uint32_t first_, last_;
};

// A condition on another column of a row: its field equals `value`. A column the catalog
// does not have matches no row.
struct CatalogCriterion {
    std::string_view column;
    std::string_view value;
};

// One catalog as data. Every text is NUL-terminated in `pool`, found by its offset; the
// generated snapshot and a loaded user file have the same shape.
//   columns     columnCount offsets: the kept column names, in file order
//   fields      rowCount * columnCount offsets, row after row
//   validFrom,  rowCount dates each (0 when the field is empty or the catalog has no such
//   validUntil  column)
// Rows are sorted by the key column's bytes (unsigned), one key's rows by validFrom.
class CatalogTable {
public:
    const char* name;
    const char* pool;
    const std::uint32_t* columns;
    const std::uint32_t* fields;
    const std::int32_t* validFrom;
    const std::int32_t* validUntil;
    std::uint32_t rowCount;
    std::uint16_t columnCount;
    std::uint16_t keyColumn;

    std::string_view ColumnName(std::size_t column) const noexcept { return pool + columns[column]; }
    std::optional<std::size_t> ColumnIndex(std::string_view column) const noexcept;

    CatalogRows Rows() const noexcept { return CatalogRows(*this, 0, rowCount); }
    // The rows of a key, whatever their validity.
    CatalogRows RowsOf(std::string_view key) const noexcept;
    // The first row of `key` valid at `date` whose fields also meet every criterion
    // (c_Colonia by colonia and codigo_postal, c_NumPedimentoAduana by aduana, patente
    // and ejercicio, ...).
    std::optional<CatalogRow> FindValid(std::string_view key, std::int32_t date,
                                        std::initializer_list<CatalogCriterion> also = {}) const noexcept;

    std::string_view FieldAt(std::uint32_t row, std::size_t column) const noexcept {
        return pool + fields[std::size_t{row} * columnCount + column];
    }

private:
    // The first row whose key is not below `key` (rowCount when there is none).
    std::uint32_t FirstRowOf(std::string_view key) const noexcept;
};

// The generated snapshot of one folder: its catalogs sorted by name (unsigned bytes).
struct CatalogTableList {
    const CatalogTable* tables;
    std::uint32_t count;
};

}  // namespace kvn
